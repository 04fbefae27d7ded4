// velkor.ledgerlet: module initialisation and empty_position.
#include "ledgerlet.h"

#include "../common/main_interpreter.h"

#include <iterator>

namespace velkor::ledgerlet {

void set_method(nb::handle type, PyMethodDef* def) {
    nb::object descr = checked(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), def));
    nb::setattr(type, def->ml_name, descr);
}

namespace {

constexpr const char* position_counts[] = {
    "pos_long",     "pos_short",    "pos",          "pos_long_today", "pos_short_today", "pos_long_his",
    "pos_short_his", "frozen_long", "frozen_short", "available_long", "available_short",
};

PyObject* position_keys[std::size(position_counts) + 2] = {};  // the counts, "symbol", "updated_at"

PyObject* empty_position(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"symbol", "updated_at", nullptr};
    PyObject* symbol;
    PyObject* updated_at = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:empty_position", const_cast<char**>(keywords), &symbol,
                                     &updated_at))
        return nullptr;
    PyObject* count = updated_at == Py_None ? Py_None : PyLong_FromLong(0);
    if (!count) return nullptr;
    PyObject* row = PyDict_New();
    int status = row ? 0 : -1;
    constexpr std::size_t n = std::size(position_counts);
    for (std::size_t i = 0; i < n && status == 0; ++i) status = PyDict_SetItem(row, position_keys[i], count);
    if (status == 0) status = PyDict_SetItem(row, position_keys[n], symbol);
    if (status == 0) status = PyDict_SetItem(row, position_keys[n + 1], updated_at);
    if (count != Py_None) Py_DECREF(count);
    if (status) {
        Py_XDECREF(row);
        return nullptr;
    }
    return row;
}

PyMethodDef empty_position_def = {
    "empty_position", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(empty_position)),
    METH_VARARGS | METH_KEYWORDS,
    "empty_position(symbol, updated_at=None)\n--\n\n"
    "A new value dict of a position with nothing known: every count is None while updated_at is None,\n"
    "otherwise 0; then \"symbol\" and \"updated_at\"."};

nb::object make_empty_position() {
    constexpr std::size_t n = std::size(position_counts);
    for (std::size_t i = 0; i < n; ++i) position_keys[i] = PyUnicode_InternFromString(position_counts[i]);
    position_keys[n] = PyUnicode_InternFromString("symbol");
    position_keys[n + 1] = PyUnicode_InternFromString("updated_at");
    for (PyObject* key : position_keys)
        if (!key) throw nb::python_error();
    nb::str module(module_name);
    return checked(PyCFunction_NewEx(&empty_position_def, nullptr, module.ptr()));
}

}  // namespace

}  // namespace velkor::ledgerlet

using namespace velkor::ledgerlet;

// The bindings; PyInit_ledgerlet (at the end) lets them load in the main interpreter only.
NB_MODULE(ledgerlet_bindings, m) {
    m.doc() = "Read-only, identity-preserving trading views.";
    // No report of objects still alive at exit (see trading/module.cpp).
    nb::set_leak_warnings(false);
    // Resolves the Literal[...] annotation texts for typing.get_type_hints.
    m.attr("Literal") = nb::module_::import_("typing").attr("Literal");
    m.attr("CtpAccount") = make_ctp_account();
    add_live_objects(m);
    m.attr("LiveMap") = make_live_map();
    m.attr("TradingResult") = make_trading_result();
    m.attr("empty_position") = make_empty_position();
    m.attr("__all__") = nb::make_tuple("CtpAccount", "LiveObject", "Account", "Order", "Position", "Trade", "LiveMap",
                                       "TradingResult", "empty_position");
}

// Refused in a sub-interpreter before nanobind sets anything up there (common/main_interpreter.h).
extern "C" NB_EXPORT PyObject* PyInit_ledgerlet() {
    if (velkor::refuse_sub_interpreter("velkor.ledgerlet") < 0) return nullptr;
    return PyInit_ledgerlet_bindings();
}
