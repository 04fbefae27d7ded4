// Order entry, cancellation and view publication: what these files share.
#pragma once

#include "session.h"

namespace velkor::trading::entry {

// An interned str, created on first use and kept for the life of the process (one per call site).
#define VELKOR_KEY(text)                                                       \
    ([]() -> ::nanobind::handle {                                              \
        static PyObject* interned = PyUnicode_InternFromString(text);          \
        return interned;                                                       \
    }())

// PyObject_RichCompareBool with the error turned into a C++ exception.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// id(obj) as a Python int.
inline nb::object identity(nb::handle obj) { return nb::steal(PyLong_FromVoidPtr(obj.ptr())); }

// d.get(key) for a dict (None when absent); a non-dict goes through its own `get`.
nb::object dict_get(nb::handle d, nb::handle key);

// TradingResult(status, order_id[, message]).
nb::object result(nb::handle status, nb::handle order_id, const char* message = nullptr);

// The change set of `obj` in `changes`, created empty when absent.
nb::object change_set(nb::handle changes, nb::handle obj);

// Adds every name of `names` (an iterable) to the change set `target`.
void add_names(nb::handle target, nb::handle names);

// _update_view: copies `values` into the snapshot `obj`; returns the set of changed field names.
nb::object update_view(nb::handle self, nb::handle obj, nb::handle values, nb::handle changes);

// The session operations that entry and cancellation call (owned by the session core and the books).
nb::object request(nb::handle self, nb::handle method, nb::handle fields);  // (request id, result)
void touch(nb::handle self);
void schedule_account(nb::handle self);
nb::object free_parts(nb::handle self, nb::handle symbol, nb::handle side);  // (history, today)
void recompute_frozen(nb::handle self, nb::handle symbol);
void aggregate(nb::handle self, nb::handle child);

}  // namespace velkor::trading::entry
