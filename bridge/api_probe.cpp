// Build-time probe: writes the definition of kestro::BUILT_API_VERSION, the GetApiVersion() text of the CTP
// library this program is linked with. The file is left untouched when its content would not change.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ThostFtdcTraderApi.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    const char* version = CThostFtdcTraderApi::GetApiVersion();
    std::string text =
        "// Generated when the bridge is built: GetApiVersion() of the CTP library it is linked with.\n"
        "#include \"api_setup.h\"\n\n"
        "const char kestro::BUILT_API_VERSION[] = \"";
    for (const char* p = version ? version : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c == '?') {
            text += '\\';
            text += *p;
        } else if (c >= 0x20 && c < 0x7f) {
            text += *p;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            text += escaped;
        }
    }
    text += "\";\n";

    if (std::ifstream in{argv[1], std::ios::binary}) {
        const std::string old{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (old == text) return 0;
    }
    std::ofstream out{argv[1], std::ios::binary | std::ios::trunc};
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
