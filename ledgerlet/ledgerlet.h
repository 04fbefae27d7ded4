// velkor.ledgerlet: the read-only data model that users see.
#pragma once

#include <nanobind/nanobind.h>

namespace velkor::ledgerlet {

namespace nb = nanobind;

inline constexpr const char* module_name = "velkor.ledgerlet";

// The LiveObject base type and the four record kinds built on it, in this order:
// LiveObject, Account, Order, Position, Trade.
void add_live_objects(nb::module_& m);

// LiveMap, a collections.abc.Mapping over a private dict.
nb::object make_live_map();

// Frozen dataclasses built through the standard dataclasses module.
nb::object make_ctp_account();
nb::object make_trading_result();

// Raises the pending Python error as a C++ exception when `p` is null; returns `p` as an owned object.
inline nb::object checked(PyObject* p) {
    if (!p) throw nb::python_error();
    return nb::steal(p);
}

// Replaces a method of a heap type created from Python by a C method descriptor bound to that type.
void set_method(nb::handle type, PyMethodDef* def);

}  // namespace velkor::ledgerlet
