// The lots that live closing orders hold, per symbol and side, kept up to date from the child
// orders so that the free lots of a side cost the same however many orders the day has seen.
//
// The index is derived state only: `native_orders` and its child records stay the truth. Every
// change to them reaches the index through a CPython dict watcher on the container and on each
// child, from our own code and from any other Python code alike; a replaced container is noticed
// by its identity, a cleared or re-filled one by the watcher, and the index then rebuilds on its
// next use. The index answers only where the walk over the children provably gives the same:
// every child a plain dict whose fields the walk reads are plain texts and small non-negative
// ints; anywhere else the caller walks.
#pragma once

#include "session.h"

namespace velkor::trading {

// The closable lots of one side, from its history and today lots: what the walk over the live
// closing orders of `symbol` leaves of them. `selling` picks the orders that close the long side
// ("SELL"), else the short side ("BUY"). False, and nothing written, when the walk must answer.
struct SideLots {
    bool selling;
    long long history, today;
};
// Each time the walk must answer, the session counts and reports why (diagnostics.h).
bool closing_lots(nb::handle self, nb::handle symbol, SideLots* sides, size_t count);
// For sides whose lots the index does not take (not plain ints within 2**60): reports the walk that
// answers instead, as closing_lots does; false.
bool closing_lots_unusual(nb::handle self, nb::handle symbol);

// The references the index holds, for the session's garbage-collector support: a record or a book
// that reaches back to its session must not keep it alive.
int closing_traverse(Trading& session, visitproc visit, void* arg);
void closing_clear(Trading& session);

}  // namespace velkor::trading
