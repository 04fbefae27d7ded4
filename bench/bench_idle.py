"""CPU cost of an idle trading session: connected to a simulated front, nothing happening.

The session runs its real loop over the bridge (a pass at least every 10 ms, tick, funds refresh every 5 s).
With the simulated broker counter available it logs in and waits until "READY"; otherwise it stays connected in
the connection phase with a time-out that never expires. The figure is the process CPU time (all threads: the
event loop and the CTP API's own thread) over the measured wall time, as a share of one core. It is printed for
the default adapter (woken by the bridge's readiness descriptor) next to the same session with a plain 0.01 s
pause (an adapter without the descriptor, as builds without the wake-up run) and a bare asyncio loop.
"""

import asyncio
import time

from ctpsim import Front
from velkor.ledgerlet import CtpAccount
from velkor.trading import Native, Trading

MEASURE_SECONDS = 10.0
READY_WAIT_SECONDS = 15.0
GOAL_PERCENT = 1.0


class Plain:
    """The default adapter without its readiness descriptor."""

    def __init__(self, config, directory):
        self.native = Native(config, directory)

    def request(self, method, data, request_id):
        return self.native.request(method, data, request_id)

    def poll(self):
        return self.native.poll()

    def close(self):
        self.native.close()


def open_front():
    front = Front()
    try:
        from ctpsim import Counter
    except ImportError:
        return front, None, CtpAccount("9999", "123456", "secret", front.address, "client_app", "auth-code")
    counter = Counter(front)
    acc = counter.accounts[0]
    return front, counter, CtpAccount(acc.broker_id, acc.user_id, acc.password, front.address, acc.app_id,
                                      acc.auth_code)


async def measure(factory=Native):
    front, counter, config = open_front()
    try:
        session = Trading(config, 1e9 if counter is None else 10.0, {}, native_factory=factory)
        session.start()
        deadline = time.monotonic() + READY_WAIT_SECONDS
        while time.monotonic() < deadline:
            if counter is None and front.connections:
                break
            if session.session_status == "READY" or session.task.done():
                break
            await asyncio.sleep(0.05)
        state = f"status {session.session_status}, phase {session.phase}"
        if session.task.done():
            raise SystemExit(f"session ended before the measurement ({state}, error {session.error!r})")
        await asyncio.sleep(1.0)  # settle
        wall0, cpu0 = time.monotonic(), time.process_time()
        await asyncio.sleep(MEASURE_SECONDS)
        wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
        await session.close()
        return state, wall, cpu
    finally:
        if counter is not None:
            counter.close()
        front.close()


async def bare_loop():
    """The same 10 ms pause with nothing else: what the host's event loop alone costs here."""

    async def spin():
        while True:
            await asyncio.sleep(0.01)

    task = asyncio.get_running_loop().create_task(spin())
    await asyncio.sleep(1.0)
    wall0, cpu0 = time.monotonic(), time.process_time()
    await asyncio.sleep(MEASURE_SECONDS)
    wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
    task.cancel()
    return wall, cpu


def main():
    state, wall, cpu = asyncio.run(measure())
    share = 100.0 * cpu / wall
    _, plain_wall, plain_cpu = asyncio.run(measure(Plain))
    plain = 100.0 * plain_cpu / plain_wall
    print(f"idle session ({state}) over {wall:.1f} s: CPU {cpu * 1000:.1f} ms = {share:.2f}% of one core"
          f"  (goal: at most {GOAL_PERCENT:.0f}%, and no higher than with the plain pause)")
    print(f"the same session with a plain 0.01 s pause: {plain:.2f}% of one core")
    base_wall, base_cpu = asyncio.run(bare_loop())
    base = 100.0 * base_cpu / base_wall
    print(f"for comparison, a bare asyncio loop pausing 10 ms: {base:.2f}% of one core;"
          f" the session's own share: {share - base:.2f}% (plain pause: {plain - base:.2f}%)")


if __name__ == "__main__":
    main()
