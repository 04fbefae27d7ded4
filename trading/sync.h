// Event dispatch and login synchronisation: the handlers other files call, and the small
// Python-semantics helpers they share.
#pragma once

#include "session.h"

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

// raise VelkorError(text) with a text built at run time.
[[noreturn]] void raise_velkor_text(nb::handle text);

namespace py {

[[noreturn]] inline void fail() { throw nb::python_error(); }

inline nb::object steal_or_fail(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

// bool(x)
inline bool truthy(nb::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) fail();
    return r != 0;
}

// a == b, with Python's own comparison (no identity shortcut).
inline bool eq(nb::handle a, nb::handle b) {
    nb::object r = steal_or_fail(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truthy(r);
}
inline bool eq(nb::handle a, const char* text) { return eq(a, nb::str(text)); }

// a < b
inline bool lt(nb::handle a, nb::handle b) {
    nb::object r = steal_or_fail(PyObject_RichCompare(a.ptr(), b.ptr(), Py_LT));
    return truthy(r);
}

// mapping.get(key, default); plain dicts without a method call.
inline nb::object get(nb::handle map, nb::handle key, nb::handle fallback) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* v = PyDict_GetItemWithError(map.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) fail();
        return nb::borrow(fallback);
    }
    return map.attr("get")(key, fallback);
}
inline nb::object get(nb::handle map, const char* key, nb::handle fallback = nb::none()) {
    return get(map, nb::str(key), fallback);
}

// container[key]
inline nb::object item(nb::handle container, nb::handle key) {
    return steal_or_fail(PyObject_GetItem(container.ptr(), key.ptr()));
}
inline nb::object item(nb::handle container, const char* key) { return item(container, nb::str(key)); }

// container[key] = value
inline void store(nb::handle container, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) fail();
}
inline void store(nb::handle container, const char* key, nb::handle value) {
    store(container, nb::str(key), value);
}

// key in container
inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) fail();
    return r != 0;
}

// len(x)
inline Py_ssize_t len(nb::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) fail();
    return n;
}

// str(x)
inline nb::object str(nb::handle x) { return steal_or_fail(PyObject_Str(x.ptr())); }

// str(x).strip()
inline nb::object stripped(nb::handle x) { return str(x).attr("strip")(); }

// a + b + ..., with Python's `+` (so a non-text piece raises TypeError as it would there).
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object out;
    for (nb::handle part : parts)
        out = out.is_valid() ? steal_or_fail(PyNumber_Add(out.ptr(), part.ptr())) : nb::borrow(part);
    return out;
}

// "EXCHANGE.INSTRUMENT" of a CTP row.
inline nb::object symbol_of(nb::handle row) {
    nb::str empty("");
    return concat({str(get(row, "ExchangeID", empty)), nb::str("."), str(get(row, "InstrumentID", empty))});
}

// Iterate a Python iterable: fn(item) for each item.
template <class Fn>
void each(nb::handle iterable, Fn&& fn) {
    nb::object it = steal_or_fail(PyObject_GetIter(iterable.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) fn(nb::steal(raw));
    if (PyErr_Occurred()) fail();
}

}  // namespace py

// The session's other handlers, as this file calls them.
namespace peer {
using namespace nanobind::literals;
inline void clear_cache(nb::handle self, const char* status) { get(self, "_clear_cache")(nb::str(status)); }
inline void phase_request(nb::handle self, const char* phase, const char* method, nb::handle data = nb::none()) {
    get(self, "_phase_request")(nb::str(phase), nb::str(method), data);
}
inline void touch(nb::handle self) { get(self, "_touch")(); }
inline void status(nb::handle self, const char* value) { get(self, "_status")(nb::str(value)); }
inline void schedule_account(nb::handle self) { get(self, "_schedule_account")(); }
inline nb::object by_ref(nb::handle self, nb::handle ref) { return get(self, "_by_ref")(ref); }
inline bool is_spec_order(nb::handle self, nb::handle row) { return py::truthy(get(self, "_is_spec_order")(row)); }
inline bool is_spec_trade(nb::handle self, nb::handle row) { return py::truthy(get(self, "_is_spec_trade")(row)); }
inline void order(nb::handle self, nb::handle row, nb::handle query_revision = nb::none()) {
    get(self, "_order")(row, "query_revision"_a = query_revision);
}
inline nb::object trade_id(nb::handle self, nb::handle row) { return get(self, "_trade_id")(row); }
inline void trade(nb::handle self, nb::handle row, bool update_position) {
    get(self, "_trade")(row, "update_position"_a = update_position);
}
inline void recompute_frozen_symbol(nb::handle self, nb::handle symbol) {
    get(self, "_recompute_frozen")("symbol"_a = symbol);
}
inline void recompute_frozen_all(nb::handle self, nb::handle updated) { get(self, "_recompute_frozen")(updated); }
inline void aggregate(nb::handle self, nb::handle child) { get(self, "_aggregate")(child); }
}  // namespace peer
}  // namespace velkor::trading
