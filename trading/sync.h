// Event dispatch (dispatch.cpp) and login synchronisation (sync.cpp): the handlers other files call,
// and the few helpers the two files share beyond those of the books.
#pragma once

#include "books.h"

#include <initializer_list>

namespace velkor::trading {

// Trading.event(record): one event record of the bridge.
void event(nb::handle self, nb::handle record);
// Trading._query_error(code, message): the query in flight failed.
void query_error(nb::handle self, nb::handle code, nb::handle message);
// Trading._complete(query): the last slice of a query arrived.
void complete(nb::handle self, nb::handle query);
// Trading._complete_account(rows, now_ms): funds rows into the private account values.
void complete_account(nb::handle self, nb::handle rows, nb::handle now_ms);
// Trading._positions(rows, updated): position rows into a new position candidate.
nb::object positions(nb::handle self, nb::handle rows, nb::handle updated);

// The books' dict helpers, as dispatch and synchronisation use them.
using book::contains;
using book::item;
using book::item_or;
using book::put;
using book::stripped;
using book::stripped_field;
using book::symbol_of;
using book::wall_ms;
#define KEY(text) VELKOR_KEY(text)

namespace sync {

[[noreturn]] inline void fail() { throw nb::python_error(); }

inline nb::object checked(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

// str(x)
inline nb::object text(nb::handle x) { return checked(PyObject_Str(x.ptr())); }

// len(x)
inline Py_ssize_t len(nb::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) fail();
    return n;
}

// a + b + ..., with Python's `+` (a piece that is not text raises TypeError as it would there).
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object out;
    for (nb::handle part : parts) out = out.is_valid() ? checked(PyNumber_Add(out.ptr(), part.ptr())) : nb::borrow(part);
    return out;
}

// raise type(text) with a text built at run time.
[[noreturn]] inline void raise_text(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    fail();
}

// for item in iterable: fn(item)
template <class Fn>
void each(nb::handle iterable, Fn&& fn) {
    nb::object it = checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) fn(nb::steal(raw));
    if (PyErr_Occurred()) fail();
}

}  // namespace sync

}  // namespace velkor::trading
