// Order entry, cancellation and view publication: what these files share.
#pragma once

#include "books.h"
#include "session.h"

namespace velkor::trading::entry {

using book::contains;
using book::item_or;

// text.split(".", limit) (limit -1: every piece).
inline nb::object split(nb::handle text, Py_ssize_t limit) {
    if (!PyUnicode_CheckExact(text.ptr())) return text.attr("split")(KEY("."), limit);
    return checked(PyUnicode_Split(text.ptr(), KEY(".").ptr(), limit));
}

// TradingResult(status, order_id[, message]).
nb::object trading_result(nb::handle status, nb::handle order_id, const char* message = nullptr);

// [TradingResult(status, order_id[, message])]: the answer of an insert or cancel that ends at once.
inline nb::list one_result(nb::handle status, nb::handle order_id, const char* message = nullptr) {
    nb::list out;
    out.append(trading_result(status, order_id, message));
    return out;
}

// The change set of `obj` in `changes`, created empty when absent.
nb::object change_set(nb::handle changes, nb::handle obj);

// Adds every name of `names` (an iterable) to the change set `target`.
void add_names(nb::handle target, nb::handle names);

// _update_view: copies `values` into the snapshot `obj`; returns the set of changed field names.
nb::object update_view(nb::handle self, nb::handle obj, nb::handle values, nb::handle changes);

}  // namespace velkor::trading::entry
