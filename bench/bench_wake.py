"""Reaction time and bursts through the whole stack: simulated counter and front, the stand-in API's thread,
the bridge, the session's run loop and its dispatch, on the real clock.

Reaction time: from the moment the counter hands an order's acknowledgement or a fill to the front to the moment
the session's private state shows it (the session's `changed.set()` after the handler), p50 and p99. Each figure
is printed next to the same run with the pause forced to a plain 0.01 s (an adapter without the bridge's
readiness descriptor), which is what a build without the wake-up does. Fills are made twice: on the loop's own
thread, as the acknowledgements are (inside the insert), and from an exchange thread of their own; the second adds
a Python thread's wake-ups and interpreter-lock hand-overs that a real front, whose fills arrive on the CTP API's
thread alone, does not have.

Burst: 30,000 order returns of one resting order, sent by the front back to back, to a READY session otherwise
idle: every one delivered to the session in order, none lost, no queue overflow.

Runs against any build: without the wake-up both columns show the plain pause.
"""

import asyncio
import logging
import queue
import random
import statistics
import sys
import tempfile
import threading
import time

from ctpsim import Front
from ctpsim.counter import AccountConfig, Counter
from velkor import trading
from velkor.ledgerlet import CtpAccount
from velkor.trading import Native, Trading

from bench_idle import Plain  # the default adapter without its readiness descriptor

SAMPLES = 400
SYMBOL, PRICE = "SHFE.rb2501", 3400.0  # the market is at 3500: a buy at 3400 rests
BURSTS, BURST = 30, 1000
P50_GOAL_MS, P99_GOAL_MS = 0.3, 1.5
WAKE = hasattr(Native, "fileno")


class Recording(Plain):
    """The adapter without its descriptor, noting every record it hands to the session."""

    def __init__(self, config, directory):
        super().__init__(config, directory)
        self.batches = []
        self.messages = []

    def poll(self):
        records = self.native.poll()
        self.batches.append(len(records))
        self.messages.extend(r["data"]["StatusMsg"] for r in records if r["name"] == "RtnOrder")
        return records


class WokenRecording(Recording):
    """The same with the descriptor: the default adapter's wake-up."""

    if WAKE:
        def fileno(self):
            return self.native.fileno()


class Probe:
    """Stands in for the session's `changed` event: notes when the session touches its state."""

    def __init__(self):
        self.event = asyncio.Event()
        self.check = None  # called at each touch until it returns True
        self.reached: asyncio.Future | None = None

    def set(self):
        now = time.perf_counter()
        if self.check is not None and self.reached is not None and not self.reached.done() and self.check():
            self.reached.set_result(now)
        self.event.set()

    def clear(self):
        self.event.clear()

    def is_set(self):
        return self.event.is_set()

    async def wait(self):
        return await self.event.wait()

    def expect(self, check):
        self.check = check
        self.reached = asyncio.get_running_loop().create_future()

    async def until(self, seconds=5.0):
        """The time the check first held; waits without waking the loop in between."""
        try:
            return await asyncio.wait_for(self.reached, seconds)
        except TimeoutError:
            raise RuntimeError("the session did not get there in time") from None
        finally:
            self.check = None


async def ready_session(front, counter, factory, journal=None):
    account = counter.accounts[0]
    config = CtpAccount(account.broker_id, account.user_id, account.password, front.address, account.app_id,
                        account.auth_code)
    session = Trading(config, 30.0, {}, native_factory=factory, journal=journal)
    session.start()
    deadline = time.monotonic() + 30
    while session.session_status != "READY":
        if session.task.done() or time.monotonic() > deadline:
            raise SystemExit(f"login failed: {session.session_status} {session.error!r}")
        await asyncio.sleep(0.05)
    session.commit({})  # as the update wait does: the session takes orders once its login is published
    session.changed = probe = Probe()
    return session, probe


def sends_of(front):
    """Notes the time of every callback the counter hands to the front."""
    sent = []
    plain = front.send

    def send(conn, callback, *args, **kwargs):
        sent.append((callback, time.perf_counter()))
        return plain(conn, callback, *args, **kwargs)

    front.send = send
    return sent


async def reaction(factory, journal=None):
    """Latencies in ms of acknowledgements and of fills (of a session keeping its journal in the folder `journal`)."""
    with Front() as front:
        counter = Counter(front, [AccountConfig(balance=1e9)])
        sent = sends_of(front)
        session, probe = await ready_session(front, counter, factory, journal)
        acks, fills, fills_threaded = [], [], []
        for _ in range(SAMPLES):
            await asyncio.sleep(random.uniform(0.0, 0.012))  # at any point of a pause
            alive = sum(1 for c in session.native_orders.values() if c["status"] == "ALIVE")
            mark = len(sent)
            probe.expect(lambda: sum(1 for c in session.native_orders.values() if c["status"] == "ALIVE") > alive)
            results = await session.insert(SYMBOL, "BUY", "OPEN", 1, PRICE)
            if results[0].status != "SUBMITTED":
                raise SystemExit(f"insert refused: {results[0]!r}")
            reached = await probe.until()
            acked = next(t for name, t in sent[mark:] if name == "OnRtnOrder")  # the counter's first answer
            acks.append((reached - acked) * 1000)

        # Fills twice: made by the counter on the loop's own thread (as the acknowledgements are, inside the
        # insert), then by an exchange on a thread of its own that waits, holding nothing, between fills.
        # A real front's fills come from the CTP API's thread alone; a second Python thread in the process adds
        # its own wake-ups and interpreter-lock hand-overs to the figure.
        orders = queue.SimpleQueue()

        def exchange():
            while (sys_id := orders.get()) is not None:
                counter.fill(sys_id)

        filler = threading.Thread(target=exchange)
        filler.start()
        resting = [o for o in counter.account().orders if o.resting]
        for k, order in enumerate(resting):
            await asyncio.sleep(random.uniform(0.0, 0.012))
            trades = len(session.t)
            mark = len(sent)
            probe.expect(lambda: len(session.t) > trades)
            threaded = k >= len(resting) // 2
            if threaded:
                orders.put(order.sys_id)
            else:
                counter.fill(order.sys_id)
            reached = await probe.until()
            filled = [t for name, t in sent[mark:] if name == "OnRtnTrade"][0]
            (fills_threaded if threaded else fills).append((reached - filled) * 1000)
        orders.put(None)
        filler.join()
        await session.close()
        counter.close()
        return acks, fills, fills_threaded, {k: v for k, v in session.diagnostics.items() if v}


async def burst(factory):
    """Returns (messages in the order the session got them, polls, largest batch, seconds, session status)."""
    with Front() as front:
        counter = Counter(front, [AccountConfig(balance=1e9)])
        session, probe = await ready_session(front, counter, factory)
        results = await session.insert(SYMBOL, "BUY", "OPEN", 1, PRICE)
        assert results[0].status == "SUBMITTED"
        probe.expect(lambda: any(c["status"] == "ALIVE" for c in session.native_orders.values()))
        await probe.until()
        order = next(o for o in counter.account().orders if o.resting)
        native = session.native
        conn = front.connections[0]
        rows = []
        for k in range(BURSTS):
            row = dict(order.row(), **order.extra())
            row["StatusMsg"] = f"burst {k}"
            rows.append(row)
        await asyncio.sleep(0.1)
        native.batches.clear()
        native.messages.clear()
        total = BURSTS * BURST
        start = time.perf_counter()
        for row in rows:
            front.burst(conn, "OnRtnOrder", row, BURST)
        while len(native.messages) < total and session.native is native:
            await asyncio.sleep(0.001)
            if time.perf_counter() - start > 60:
                break
        elapsed = time.perf_counter() - start
        status = session.session_status if session.native is native else "restarted"
        polls = [n for n in native.batches if n]
        await session.close()
        counter.close()
        return native.messages, len(polls), max(polls, default=0), elapsed, status


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main():
    logging.getLogger("velkor").setLevel(logging.ERROR)  # flow-control warnings of the bursts are expected here
    with tempfile.TemporaryDirectory() as directory:
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, directory)
        if not WAKE:
            print("(this build has no wake-up: both columns show the plain 0.01 s pause)")
        woken = asyncio.run(reaction(Native))
        plain = asyncio.run(reaction(Plain))
        print(f"callback to session state through the whole stack, {SAMPLES} acknowledgements and {SAMPLES // 2} fills"
              f" of each kind (ms):")
        for label, w, p in (("acknowledgement", woken[0], plain[0]), ("fill", woken[1], plain[1]),
                            ("fill, own thread", woken[2], plain[2])):
            print(f"  {label:<16} p50 {percentile(w, 50):7.3f}  p99 {percentile(w, 99):7.3f}"
                  f"   (goal p50 <= {P50_GOAL_MS}, p99 <= {P99_GOAL_MS});"
                  f" plain 0.01 s pause: p50 {percentile(p, 50):7.3f}  p99 {percentile(p, 99):7.3f}"
                  f"  mean {statistics.fmean(p):.3f}")
        print(f"  fallbacks (session.diagnostics): woken {woken[3] or 'none'} (goal: none);"
              f" plain 0.01 s pause {plain[3] or 'none'}")

        total = BURSTS * BURST
        expected = [f"burst {k}" for k in range(BURSTS) for _ in range(BURST)]
        for label, factory in (("woken", WokenRecording), ("plain 0.01 s pause", Recording)):
            messages, polls, largest, elapsed, status = asyncio.run(burst(factory))
            if messages == expected:
                verdict = "all in order, none lost"
            else:
                ordered = messages == sorted(messages, key=lambda m: int(m.split()[1]))
                verdict = f"{total - len(messages)} lost, order {'kept' if ordered else 'BROKEN'}"
            print(f"burst of {total} order returns ({label}): {verdict}; {polls} polls with events, largest batch "
                  f"{largest}, {elapsed * 1000:.0f} ms to the last; session {status}"
                  f"  (goal: all in order, none lost, no overflow)")


if __name__ == "__main__":
    sys.exit(main())
