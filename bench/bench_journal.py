"""The journal's cost: per event record on the poll-to-state path with the journal on and off, one pass's
reaction time (p50) on and off, the reaction time through the whole stack (bench_wake's: an acknowledgement or a
fill from the simulated counter through the bridge, the wake-up and the run loop to the session's state) with the
journal off and on over several alternating runs, bytes per record and per order of a trading session against the
simulated counter, and replay speed.

    .venv/bin/python bench/bench_journal.py
"""

from __future__ import annotations

import asyncio
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from fakes import ACCOUNT, FakeFactory, record, row  # noqa: E402

from velkor import trading  # noqa: E402
from velkor.journal import read, replay_segments  # noqa: E402

EVENTS_PER_POLL = 100
PASSES = 300
RUNS = 6  # end-to-end reaction runs with the journal off and on, alternating


class Pause:
    def __await__(self):
        yield self


class Sleeps:
    """The module-level asyncio with sleeps that return to the driver at once."""

    def sleep(self, seconds):
        return Pause()

    def __getattr__(self, name):
        return getattr(asyncio, name)


def order_return(i: int) -> dict:
    return record("RtnOrder", row("order", TradingDay="20240105", ExchangeID="SHFE", InstrumentID="ag2412",
                                  OrderSysID=f"{100000 + i:>12}", OrderRef=str(i), FrontID=1, SessionID=7,
                                  Direction="0", CombOffsetFlag="0", CombHedgeFlag="1", LimitPrice=7800.0,
                                  VolumeTotalOriginal=3, VolumeTraded=1, VolumeTotal=2, OrderStatus="1",
                                  OrderSubmitStatus="3", StatusMsg="部分成交", InsertDate="20240105",
                                  InsertTime="09:30:01"))


def session(folder):
    return trading.Trading(ACCOUNT, 1e9, {}, native_factory=FakeFactory(), journal=folder)


def per_pass(folder, events: int, passes: int) -> list[float]:
    """Seconds of each run-loop pass that polls `events` order returns (unknown orders: the session's
    own work is the same with and without the journal)."""
    s = session(folder)
    run = s.run()
    run.send(None)
    batch = [order_return(i) for i in range(events)]
    times = []
    for _ in range(passes):
        s.native.push_batch(*batch)
        t0 = time.perf_counter()
        run.send(None)
        times.append(time.perf_counter() - t0)
    run.close()
    c = s.close()
    try:
        c.send(None)
    except StopIteration:
        pass
    return times


def cost() -> None:
    with tempfile.TemporaryDirectory() as folder:
        for label, events in (("per event", EVENTS_PER_POLL), ("reaction (one event per pass)", 1)):
            off = per_pass(None, events, PASSES)
            on = per_pass(folder, events, PASSES)
            if events > 1:
                added = (statistics.median(on) - statistics.median(off)) / events
                print(f"{label}: journal off {statistics.median(off) / events * 1e6:.2f} µs, "
                      f"on {statistics.median(on) / events * 1e6:.2f} µs, added {added * 1e6:.2f} µs per event record")
            else:
                p_off, p_on = statistics.median(off), statistics.median(on)
                print(f"{label}: p50 off {p_off * 1e6:.1f} µs, on {p_on * 1e6:.1f} µs "
                      f"({(p_on / p_off - 1) * 100:+.0f}%)")


def end_to_end() -> None:
    """bench_wake's reaction times, journal off and on in alternating runs: the p50 of all samples of a side,
    and the range of the runs' p50s."""
    from bench_wake import percentile, reaction
    from velkor.trading import Native

    kinds = ("acknowledgement", "fill", "fill, own thread")
    samples = {(on, k): [] for on in (False, True) for k in kinds}
    saved = trading.mkdtemp
    with tempfile.TemporaryDirectory() as flows, tempfile.TemporaryDirectory() as folder:
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, flows)
        try:
            for _ in range(RUNS):
                for on in (False, True):
                    for k, run in zip(kinds, asyncio.run(reaction(Native, folder if on else None))):
                        samples[(on, k)].append(run)
        finally:
            trading.mkdtemp = saved
    print(f"reaction through the whole stack (bench_wake), {RUNS} alternating runs per side, ms:")
    for k in kinds:
        off, on = samples[(False, k)], samples[(True, k)]
        pooled = [percentile([x for run in side for x in run], 50) for side in (off, on)]
        ranges = [[percentile(run, 50) for run in side] for side in (off, on)]
        print(f"  {k:<16} p50 off {pooled[0]:.3f} (runs {min(ranges[0]):.3f}-{max(ranges[0]):.3f}),"
              f" on {pooled[1]:.3f} (runs {min(ranges[1]):.3f}-{max(ranges[1]):.3f}):"
              f" {(pooled[1] / pooled[0] - 1) * 100:+.0f}%  (goal: within +20%)")


async def day(folder: str, orders: int) -> None:
    from ctpsim import Counter, Front
    from velkor.ledgerlet import CtpAccount

    with Front() as front:
        counter = Counter(front)
        sim = counter.accounts[0]
        config = CtpAccount(sim.broker_id, sim.user_id, sim.password, front.address, sim.app_id, sim.auth_code)
        s = trading.Trading(config, 30.0, {}, journal=folder)
        s.start()
        try:
            while s.session_status != "READY":
                await asyncio.sleep(0.05)
            s.commit({})
            for i in range(orders):
                [r] = await s.insert("SHFE.ag2412", "BUY", "OPEN", 2, 7700.0 + (i % 5))  # rests
                await asyncio.sleep(0.02)
                if i % 4 == 0 and r.status == "SUBMITTED":
                    try:
                        counter.fill(r.order_id, 2)
                    except (KeyError, ValueError):  # refused by the counter (funds), or not yet working
                        pass
                elif i % 4 == 1:
                    s.cancel(r.order_id)
                await asyncio.sleep(0.02)
                s.commit({})
            await asyncio.sleep(6)  # funds queries at their 5 s pace
            s.commit({})
        finally:
            await s.close()


def sizes_and_replay(orders: int = 200) -> None:
    with tempfile.TemporaryDirectory() as folder:
        asyncio.run(day(folder, orders))
        [path] = Path(folder).glob("*.vkj")
        journal = read(path)
        size = path.stat().st_size
        kinds: dict[str, list[int]] = {}
        for a, b in zip(journal.records, journal.records[1:] + [None]):
            end = b.offset if b else size
            kinds.setdefault(a.kind, []).append(end - a.offset)
        print(f"a session with {orders} orders (fills, cancels, funds queries): {size} bytes, "
              f"{len(journal.records)} records, {size / len(journal.records):.1f} bytes per record, "
              f"{size / orders:.0f} bytes per order")
        print("  bytes per record by kind: " + ", ".join(
            f"{k} {statistics.mean(v):.0f} (x{len(v)})" for k, v in sorted(kinds.items(), key=lambda kv: -sum(kv[1]))))
        t0 = time.perf_counter()
        replay_segments(path, verify=True)
        elapsed = time.perf_counter() - t0
        print(f"replay with verify: {len(journal.records) / elapsed:,.0f} records per second "
              f"({elapsed:.2f} s for the file, reading included)")


if __name__ == "__main__":
    import logging
    logging.getLogger("velkor.trading").setLevel(logging.CRITICAL)
    trading.asyncio = Sleeps()
    cost()
    trading.asyncio = asyncio
    end_to_end()
    sizes_and_replay()
