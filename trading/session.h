// The trading session: shared declarations of the files in trading/.
//
// A session's state is its instance __dict__ (the class is bound with nb::dynamic_attr): the plain
// dicts, sets, lists and scalars that Python code reads and assigns as ordinary attributes. The C++
// side holds no state of its own. Each concern file binds its methods through a MethodRegistration;
// the module binds them in the class's definition order (Slot).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace nb = nanobind;

namespace velkor::trading {

struct Trading {};
using TradingClass = nb::class_<Trading>;

// The methods of Trading, in definition order.
enum class Slot : int {
    init, position_view, start, open_native, close_native, clear_cache, touch, status,
    request, phase_request, schedule_account, run, event, query_error, tick,
    complete, complete_account, positions, by_ref, is_spec_order, is_spec_trade, child, order,
    trade_id, trade, apply_position_trade, free_parts, recompute_frozen, aggregate,
    insert, insert_, cancel, update_view, map_view, commit, close,
};

// A file-scope `static MethodRegistration reg(Slot::order, [](TradingClass& cls) { cls.def(...); });`
// binds that file's methods when the module is initialised.
struct MethodRegistration {
    MethodRegistration(Slot slot, void (*bind)(TradingClass&));
    Slot slot;
    void (*bind)(TradingClass&);
    MethodRegistration* next;
};

// The module object of velkor.trading (valid once the module is initialised).
nb::module_& module();

// A module-level name, looked up when used, as Python code would (tests may substitute
// `time`, `asyncio` or `mkdtemp`).
nb::object global(const char* name);

// time.monotonic() through the module-level name `time`.
double monotonic();

// Session attributes.
inline nb::object get(nb::handle self, const char* name) { return nb::getattr(self, name); }
inline void set(nb::handle self, const char* name, nb::handle value) { nb::setattr(self, name, value); }

// Raise `type(message)` as a Python exception (type: a Python exception class).
[[noreturn]] void raise(nb::handle type, std::string_view message);
// Raise VelkorError(message) with the module-level VelkorError.
[[noreturn]] void raise_velkor(std::string_view message);

}  // namespace velkor::trading
