// The run loop's pause: until the adapter signals queued events, or the time, whichever comes first.
//
// An adapter with a `fileno()` that returns a descriptor (the bridge's) is watched with the running
// loop's add_reader, afresh whenever the adapter hands out another (asked once a pass); the reader
// resets the descriptor by reading it and ends the pause. The time is then the session's next deadline
// (next_deadline, beside tick), at most 1 s away and at least 0.01 s, reckoned from the `now` of the
// pass's tick without reading the clock again; a call between passes that brings the deadline nearer
// ends the pause sooner (shorten_pause). A pass that told a retry control of a failure is followed by
// the plain 0.01 s, so that its check comes as before.
// Without a descriptor, with one the loop cannot watch or that can no longer signal, or with the
// module-level `asyncio` replaced, the pauses run on time alone (`asyncio.sleep`, 0.01 s); with the
// module-level `time` replaced, the session's clock is not the loop's and, for as long as it is, the
// pauses end after 0.01 s besides the descriptor. Each is a fallback the session counts and logs
// (diagnostics.h), once per adapter that it pauses for that way.
//
// A run abandoned while suspended (its coroutine dropped or collected, coro.h) ends in the
// destructor: the reader is removed and the session's adapter closed, since nothing polls it again.
#pragma once

#include "diagnostics.h"

namespace velkor::trading {

class Wake {
public:
    // The state of the watch, in a list that the run coroutine keeps visible to the garbage collector.
    static nb::list state();

    explicit Wake(nb::handle state) : state_(state) {}
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    // Watches the descriptor of the session's current adapter; drops the watch of an adapter that
    // was closed or replaced behind the loop's back.
    void follow(nb::handle self);
    // The awaitable of one pause after the pass whose tick ran at `now` (null after a restart): until
    // the adapter signals or the session's next deadline, at most 1 s; the plain 0.01 s by time alone.
    nb::object pause(nb::handle now);
    // After a pause has ended.
    void settle();
    // Stops watching: before the adapter is closed or replaced, and when the run loop ends. Never raises.
    void stop() noexcept;

private:
    void watch(nb::handle native);
    bool hands_out_watched(nb::handle native);
    bool timed_for(Fallback cause) const;
    // The pauses of the current adapter run on time alone, for `cause`: counted and reported.
    void time_pauses(Fallback cause, const std::vector<nb::handle>& args = {});
    void report_broken();

    nb::handle state_;
    nb::handle session_;  // the session of the last follow(), kept alive by the run coroutine
};

}  // namespace velkor::trading
