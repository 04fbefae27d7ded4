// velkor.trading: module initialisation and the helpers shared by the session's files.
#include "session.h"

#include <algorithm>
#include <vector>

namespace velkor::trading {

namespace {
MethodRegistration* registrations = nullptr;
nb::module_* the_module = nullptr;
}  // namespace

MethodRegistration::MethodRegistration(Slot s, void (*b)(TradingClass&)) : slot(s), bind(b), next(registrations) {
    registrations = this;
}

nb::module_& module() { return *the_module; }

nb::object global(const char* name) { return nb::getattr(*the_module, name); }

double monotonic() { return nb::cast<double>(global("time").attr("monotonic")()); }

void raise(nb::handle type, std::string_view message) {
    nb::str text(message.data(), message.size());
    PyErr_SetObject(type.ptr(), text.ptr());
    throw nb::python_error();
}

void raise_velkor(std::string_view message) { raise(global("VelkorError"), message); }

}  // namespace velkor::trading

using namespace velkor::trading;

NB_MODULE(trading, m) {
    static nb::module_ keep = nb::borrow<nb::module_>(m);
    the_module = &keep;
    m.doc() = "CTP session, login snapshots and trade-driven local position state.";

    // Module-level names, in order. The host modules are imported relative to the package.
    m.attr("asyncio") = nb::module_::import_("asyncio");
    nb::module_ dt = nb::module_::import_("datetime");
    for (const char* name : {"datetime", "timedelta", "timezone"}) m.attr(name) = dt.attr(name);
    m.attr("math") = nb::module_::import_("math");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    m.attr("mkdtemp") = nb::module_::import_("tempfile").attr("mkdtemp");
    nb::module_ data = nb::module_::import_("velkor.data");
    for (const char* name : {"VelkorError", "check_symbol", "different"}) m.attr(name) = data.attr(name);
    m.attr("Recovery") = nb::module_::import_("velkor.errors").attr("Recovery");
    nb::module_ ledger = nb::module_::import_("velkor.ledgerlet");
    for (const char* name : {"Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult"})
        m.attr(name) = ledger.attr(name);

    TradingClass cls(m, "Trading", "Private protocol state is committed to user objects only by wait_update.",
                     nb::dynamic_attr());
    std::vector<MethodRegistration*> regs;
    for (auto* r = registrations; r; r = r->next) regs.push_back(r);
    std::stable_sort(regs.begin(), regs.end(), [](auto* a, auto* b) { return a->slot < b->slot; });
    for (auto* r : regs) r->bind(cls);
}
