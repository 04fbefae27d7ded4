// The session's journal: everything a session sees and does, appended to one file per account and
// trading day, so that a replay (python -m velkor.journal) takes the same decisions.
//
// Records are encoded here, on the loop, from the objects the session already holds, and handed in
// batches to one background writer thread per journal (journal_writer.cpp), which frames them with
// their checksums, writes, and syncs once a second and on close. The writer never touches Python.
// The format is described in velkor/journal/format.py, which reads it.
//
// What is recorded, in the order the session does it: the run loop's start and every resumption after
// a pause, each adapter made, each poll's event records, each request with its payload and result
// (the password and the authentication code written as absent), every clock reading made through the
// session's helpers (the retry controls' too, through the clock they are given), and the user's
// insert, cancel, commit, position_view and close with their results.
#pragma once

#include "session.h"

#include <memory>
#include <string>

namespace velkor::trading::journal {

// Record kinds, one byte in each record's frame.
enum Kind : unsigned char {
    HEADER = 1, START, CONTINUES, RUN, RESUME, IDLE, POLL, REQUEST, OPEN, MONO, WALL,
    INSERT, INSERT_RESULT, CANCEL, CANCEL_RESULT, COMMIT, VIEW, CLOSE, RUN_END, INCOMPLETE, END,
};

class Writer;

class Journal {
public:
    // Opens nothing yet: records wait in memory until the login reports the trading day. `limits`: the
    // session's pre-trade rules by name, or None.
    Journal(std::string folder, nb::handle config, nb::handle timeout, nb::handle limits);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    void run();
    void resume();
    void open(nb::handle error);                 // the factory made an adapter (error: null) or raised
    void poll(nb::handle records, nb::handle error);
    void request(nb::handle method, nb::handle payload, nb::handle request_id, nb::handle result, nb::handle error);
    void monotonic(nb::handle value);
    void monotonic(double value);
    void wall(nb::handle value);
    void call(Kind kind, nb::handle args);      // INSERT, CANCEL, VIEW, CLOSE
    void result(Kind kind, nb::handle value);   // INSERT_RESULT, CANCEL_RESULT, COMMIT
    void run_end(nb::handle error);
    // The end of a pass or of a user call: the batch goes to the writer; a write failure is logged.
    void handoff(nb::handle self);
    // Flushes, syncs and closes the file; waits for the writer with the interpreter lock released.
    void close(nb::handle self);
    // The interpreter exits and the session was never closed: the records in memory go to the file
    // (without an END record, so the file shows it was not closed) and the writer stops.
    void flush_at_exit();

    // The encoded size and count of the records so far (for benchmarks and tests).
    unsigned long long records() const;

private:
    friend struct JournalDelete;
    struct State;
    std::unique_ptr<State> s_;
};

// The journal of a session; null when it keeps none. Inline: every clock reading asks.
inline Journal* of(nb::handle self);

// Builds the journal of a new session from the `journal` argument (a folder: str or path-like);
// null for None.
std::unique_ptr<Journal, JournalDelete> create(nb::handle folder, nb::handle config, nb::handle timeout,
                                               nb::handle limits);

// A user call recorded around `call()`: `args()` into a `kind` record before, its result (or exception)
// into a `result` record after (none when `result` is 0), then the batch to the writer. Without a journal
// only `call()` runs.
template <class Args, class Call>
nb::object recorded(nb::handle self, Kind kind, Kind result, Args&& args, Call&& call) {
    Journal* j = of(self);
    if (!j) return call();
    j->call(kind, args());
    nb::object out;
    try {
        out = call();
    } catch (nb::python_error& e) {
        if (result) j->result(result, e.value());
        j->handoff(self);
        throw;
    }
    if (result) j->result(result, out);
    j->handoff(self);
    return out;
}

// The COMMIT record's description of what commit(changes) published.
nb::object describe_commit(nb::handle self, nb::handle result, nb::handle changes);

}  // namespace velkor::trading::journal

namespace velkor::trading {

// The C++ side of a session holds its journal (session.h); the two lookups meet here.
inline journal::Journal* journal::of(nb::handle self) {
    Trading* t = trading_state(self);
    return t ? t->journal.get() : nullptr;
}

}  // namespace velkor::trading
