// Event dispatch (dispatch.cpp) and login synchronisation (sync.cpp): the handlers other files call,
// and the books' helpers as the two files use them.
#pragma once

#include "books.h"

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
nb::object position_candidate(nb::handle self, nb::handle rows, nb::handle updated);

// The books' dict helpers, as dispatch and synchronisation use them.
using book::check_day;
using book::contains;
using book::item;
using book::item_or;
using book::put;
using book::stripped;
using book::stripped_field;
using book::symbol_of;
using book::wall_ms;

}  // namespace velkor::trading
