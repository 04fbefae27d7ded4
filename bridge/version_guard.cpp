// The import-time check that the CTP library loaded is the release the bridge was built against.
#include <cstring>

#include "api_setup.h"
#include "kestro.h"

namespace kestro {

int check_api_version() {
    const char* loaded = CThostFtdcTraderApi::GetApiVersion();
    if (!loaded) loaded = "";
    if (std::strcmp(loaded, BUILT_API_VERSION) == 0) return 0;
    PyObject* built_text = PyUnicode_DecodeASCII(BUILT_API_VERSION, std::strlen(BUILT_API_VERSION), "replace");
    PyObject* loaded_text = built_text ? PyUnicode_DecodeASCII(loaded, std::strlen(loaded), "replace") : nullptr;
    // The format must be ASCII: the Chinese pieces go in as UTF-8 arguments.
    PyObject* message = loaded_text ? PyUnicode_FromFormat(
        "%s%R%s%R%s", "CTP 交易接口库版本不一致：velkor._kestro 编译时链接的库版本为 ", built_text,
        "，当前加载的库版本为 ", loaded_text,
        "。头文件与库必须来自同一个 CTP 发布版本：请用该版本的 SDK 重新编译，或换回编译时的库。") : nullptr;
    Py_XDECREF(built_text);
    Py_XDECREF(loaded_text);
    if (!message) return -1;
    PyObject* name = PyUnicode_FromString("velkor._kestro");
    if (name) PyErr_SetImportError(message, name, nullptr);
    Py_DECREF(message);
    Py_XDECREF(name);
    return -1;
}

}  // namespace kestro
