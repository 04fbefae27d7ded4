// Order entry, cancellation and view publication: what these files share.
#pragma once

#include "books.h"
#include "session.h"

namespace velkor::trading::entry {

using book::contains;

// PyObject_RichCompareBool with the error turned into a C++ exception.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// id(obj) as a Python int.
inline nb::object identity(nb::handle obj) { return nb::steal(PyLong_FromVoidPtr(obj.ptr())); }

// d.get(key)
inline nb::object dict_get(nb::handle d, nb::handle key) { return book::item_or(d, key, nb::none()); }

// text.split(".", limit) (limit -1: every piece).
inline nb::object split(nb::handle text, Py_ssize_t limit) {
    if (!PyUnicode_CheckExact(text.ptr())) return text.attr("split")(VELKOR_KEY("."), limit);
    PyObject* pieces = PyUnicode_Split(text.ptr(), VELKOR_KEY(".").ptr(), limit);
    if (!pieces) throw nb::python_error();
    return nb::steal(pieces);
}

// TradingResult(status, order_id[, message]).
nb::object result(nb::handle status, nb::handle order_id, const char* message = nullptr);

// The change set of `obj` in `changes`, created empty when absent.
nb::object change_set(nb::handle changes, nb::handle obj);

// Adds every name of `names` (an iterable) to the change set `target`.
void add_names(nb::handle target, nb::handle names);

// _update_view: copies `values` into the snapshot `obj`; returns the set of changed field names.
nb::object update_view(nb::handle self, nb::handle obj, nb::handle values, nb::handle changes);

}  // namespace velkor::trading::entry
