// The trading session: shared declarations of the files in trading/.
//
// A session's state is its instance __dict__ (the class is bound with nb::dynamic_attr): the plain
// dicts, sets, lists and scalars that Python code reads and assigns as ordinary attributes. The C++
// side keeps only what it derives from them and checks against them before use (book_index.h).
// Each concern file binds its methods through a MethodRegistration; the module binds them in the
// class's definition order (Slot).
#pragma once

#include "docs.h"

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <string_view>

namespace nb = nanobind;

namespace velkor::trading {

class ClosingIndex;
struct Diagnostics;

// Deletes a closing-lot index where its type is complete (book_index.cpp).
struct ClosingIndexDelete {
    void operator()(ClosingIndex* index) const noexcept;
};

// The C++ side of a session (session.cpp).
struct Trading {
    Trading();
    ~Trading();
    std::unique_ptr<ClosingIndex, ClosingIndexDelete> closing;  // lots held by live closing orders, built on first use
    std::unique_ptr<Diagnostics> diagnostics;                   // the fallbacks taken (diagnostics.h)
    bool closed = false;  // close() has run: start() does nothing from then on
};
using TradingClass = nb::class_<Trading>;

// The C++ side of `self`; null for an object that is not a ready session (the methods take any self).
Trading* trading_state(nb::handle self);

// The methods of Trading, in definition order.
enum class Slot : int {
    init, position_view, start, open_native, close_native, clear_cache, touch, status,
    request, phase_request, schedule_account, run, event, query_error, tick,
    complete, complete_account, positions, by_ref, is_spec_order, is_spec_trade, child, order,
    trade_id, trade, apply_position_trade, free_parts, recompute_frozen, aggregate,
    insert, insert_, cancel, update_view, map_view, commit, close,
    diagnostics,
};

// A file-scope `static MethodRegistration reg(Slot::order, [](TradingClass& cls) { cls.def(...); });`
// binds that file's methods when the module is initialised. Name every parameter with
// `nb::arg("name").none()`: nanobind refuses None for an nb::handle parameter otherwise, where Python
// would accept it.
struct MethodRegistration {
    MethodRegistration(Slot slot, void (*bind)(TradingClass&));
    Slot slot;
    void (*bind)(TradingClass&);
    MethodRegistration* next;
};

// The module object of velkor.trading (valid once the module is initialised).
nb::module_& module();

// A module-level name, looked up when used, as Python code would (tests may substitute
// `time`, `asyncio` or `mkdtemp`); by its text or by its interned key (name(), VELKOR_KEY).
nb::object global(nb::handle key);
nb::object global(const char* name);

// time.monotonic() through the module-level name `time`.
double monotonic();

// An interned Python string for an attribute or key name (cached for the life of the process).
nb::handle name(std::string_view text);

// Python truthiness (`bool(x)`).
inline bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// Python equality (`a == b`).
inline bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}
inline bool equals(nb::handle a, const char* text) { return equals(a, name(text)); }

// Session attributes, by an interned name. A name the class does not define is the instance dict's
// entry, read and written there directly, as the generic attribute access does it; anything else,
// and a missing attribute's error, takes the full attribute access.
inline PyObject** plain_attrs(PyObject* self, nb::handle key, bool writing) {
    PyTypeObject* type = Py_TYPE(self);
    if (writing ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return nullptr;
    if (_PyType_Lookup(type, key.ptr())) return nullptr;
    PyObject** dict = _PyObject_GetDictPtr(self);
    return dict && *dict && PyDict_CheckExact(*dict) ? dict : nullptr;
}
inline nb::object get(nb::handle self, nb::handle key) {
    if (PyObject** dict = plain_attrs(self.ptr(), key, false)) {
        if (PyObject* value = PyDict_GetItemWithError(*dict, key.ptr())) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyObject* value = PyObject_GetAttr(self.ptr(), key.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}
inline void set(nb::handle self, nb::handle key, nb::handle value) {
    PyObject** dict = plain_attrs(self.ptr(), key, true);
    if (dict ? PyDict_SetItem(*dict, key.ptr(), value.ptr()) : PyObject_SetAttr(self.ptr(), key.ptr(), value.ptr()))
        throw nb::python_error();
}
inline nb::object get(nb::handle self, const char* attr) { return get(self, name(attr)); }
inline void set(nb::handle self, const char* attr, nb::handle value) { set(self, name(attr), value); }

// Raise `type(message)` as a Python exception (type: a Python exception class).
[[noreturn]] void raise(nb::handle type, std::string_view message);
// Raise VelkorError(message) with the module-level VelkorError.
[[noreturn]] void raise_velkor(std::string_view message);

// The Python exception of a C++ exception in flight (call inside a catch block): a python_error as
// it is, nanobind's builtin exceptions as their Python types, anything else as RuntimeError.
nb::python_error current_python_error();

// Binds the class Native (native.cpp).
void bind_native(nb::module_& m);

// ---- the session core, for the other concern files

// lifecycle.cpp
void open_native(nb::handle self);
void close_native(nb::handle self);
void clear_cache(nb::handle self, nb::handle status);
void clear_cache(nb::handle self, const char* status);
void touch(nb::handle self);
void set_status(nb::handle self, nb::handle value);
void set_status(nb::handle self, const char* value);

// engine.cpp
// _request(method, fields): the (request id, result) tuple; `fields` may be None.
nb::tuple request(nb::handle self, nb::handle method, nb::handle fields);
nb::tuple request(nb::handle self, const char* method, nb::handle fields);
void phase_request(nb::handle self, nb::handle phase, nb::handle method, nb::handle data);
void schedule_account(nb::handle self);
void tick(nb::handle self, nb::handle now);

// Event dispatch (dispatch.cpp) plugs itself in at static-init time:
//     static const bool hooked = (event_hook() = &event, true);
// Without a hook the run loop drops the polled records.
void event(nb::handle self, nb::handle record);
using EventHook = void (*)(nb::handle self, nb::handle record);
EventHook& event_hook();

}  // namespace velkor::trading
