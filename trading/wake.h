// The run loop's pause: until the adapter signals queued events, or the time, whichever comes first.
//
// An adapter with a `fileno()` that returns a descriptor (the bridge's) is watched with the running
// loop's add_reader, once per adapter; the reader resets the descriptor by reading it and ends the
// pause. Without one, with a descriptor the loop cannot watch, or with the module-level `asyncio`
// replaced, the pause is `asyncio.sleep`.
#pragma once

#include "session.h"

namespace velkor::trading {

class Wake {
public:
    // The state of the watch, in a list that the run coroutine keeps visible to the garbage collector.
    static nb::list state();

    explicit Wake(nb::handle state) : state_(state) {}

    // Watches the descriptor of the session's current adapter; drops the watch of an adapter that
    // was closed or replaced behind the loop's back.
    void follow(nb::handle self);
    // The awaitable of one pause.
    nb::object pause(double seconds);
    // After a pause has ended.
    void settle();
    // Stops watching: before the adapter is closed or replaced, and when the run loop ends. Never raises.
    void stop() noexcept;

private:
    nb::handle state_;
};

}  // namespace velkor::trading
