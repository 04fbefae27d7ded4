"""The journal's cost: per event record on the poll-to-state path with the journal on and off, one pass's
reaction time (p50) on and off, the reaction time through the whole stack (bench_wake's: an acknowledgement or a
fill from the simulated counter through the bridge, the wake-up and the run loop to the session's state) with the
journal off and on over several alternating runs, bytes per record and per order of a trading session against the
simulated counter, and replay speed.

    .venv/bin/python bench/bench_journal.py [--paired [SAMPLES] [--control]]
"""

from __future__ import annotations

import asyncio
import random
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
PAIRED_SAMPLES = 1000  # per side, two sessions taking turns


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


async def paired_reactions(folder: str | None, samples: int) -> dict:
    """Two sessions of one counter in one process, one keeping a journal and one not, taking turns sample by
    sample (in random order within a pair), so that the machine's drift weighs on both alike. Each sample: a resting
    order's acknowledgement (from the counter's send to the session's state), split into the time until `insert`
    returns to its caller (the rest of the insert on the loop, the journal's records of the request and the result
    included) and the time from there to the state; then a fill made by the counter on the loop's thread."""
    from ctpsim import Front
    from ctpsim.counter import AccountConfig, Counter

    from bench_wake import PRICE, SYMBOL, Probe, sends_of
    from velkor.ledgerlet import CtpAccount

    out: dict = {(on, k): [] for on in (False, True) for k in ("ack", "tail", "pass", "fill")}
    with Front() as front:
        counter = Counter(front, [AccountConfig(user_id=str(10086001 + i), balance=1e9) for i in range(2)])
        sent = sends_of(front)
        sessions = {}
        for on, account in zip((False, True), counter.accounts):
            config = CtpAccount(account.broker_id, account.user_id, account.password, front.address,
                                account.app_id, account.auth_code)
            sessions[on] = s = trading.Trading(config, 30.0, {}, journal=folder if on else None)
            s.start()
        while any(s.session_status != "READY" for s in sessions.values()):
            await asyncio.sleep(0.05)
        probes = {}
        for on, s in sessions.items():
            s.commit({})
            s.changed = probes[on] = Probe()

        def alive(s):
            return sum(1 for c in s.native_orders.values() if c["status"] == "ALIVE")

        for i in range(samples):
            for on in random.sample((False, True), 2):
                s, probe = sessions[on], probes[on]
                await asyncio.sleep(random.uniform(0.0, 0.012))
                before, mark = alive(s), len(sent)
                probe.expect(lambda s=s, before=before: alive(s) > before)
                [result] = await s.insert(SYMBOL, "BUY", "OPEN", 1, PRICE)
                returned = time.perf_counter()
                if result.status != "SUBMITTED":
                    raise SystemExit(f"insert refused: {result!r}")
                reached = await probe.until()
                acked = next(t for name, t in sent[mark:] if name == "OnRtnOrder")
                out[(on, "ack")].append((reached - acked) * 1e3)
                out[(on, "tail")].append((returned - acked) * 1e3)
                out[(on, "pass")].append((reached - returned) * 1e3)
        for i in range(samples // 2):
            for on in random.sample((False, True), 2):
                s, probe = sessions[on], probes[on]
                await asyncio.sleep(random.uniform(0.0, 0.012))
                order = next(o for o in counter.account(s.config.user_id).orders if o.resting)
                trades, mark = len(s.t), len(sent)
                probe.expect(lambda s=s, trades=trades: len(s.t) > trades)
                counter.fill(order.sys_id)
                reached = await probe.until()
                filled = next(t for name, t in sent[mark:] if name == "OnRtnTrade")
                out[(on, "fill")].append((reached - filled) * 1e3)
        for s in sessions.values():
            await s.close()
        counter.close()
    return out


def paired(samples: int = PAIRED_SAMPLES, block: int = 100, control: bool = False) -> None:
    """`control`: neither session keeps a journal, which shows what the two sessions differ by without one."""
    from bench_wake import percentile

    with tempfile.TemporaryDirectory() as flows, tempfile.TemporaryDirectory() as folder:
        saved = trading.mkdtemp
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, flows)
        try:
            out = asyncio.run(paired_reactions(None if control else folder, samples))
        finally:
            trading.mkdtemp = saved
    print(f"reaction, two sessions of one counter in one process taking turns (journal off / "
          f"{'off, a control' if control else 'on'}), {samples} "
          f"acknowledgements and {samples // 2} fills each, ms; p50 of all samples, in brackets the range of the "
          f"p50s of blocks of {block} samples taken side by side:")
    for k, label in (("ack", "acknowledgement"), ("tail", "  until insert returns"),
                     ("pass", "  from there to the state"), ("fill", "fill")):
        off, on = out[(False, k)], out[(True, k)]
        blocks = [(percentile(off[j:j + block], 50), percentile(on[j:j + block], 50))
                  for j in range(0, len(off) - block + 1, block)] or [(percentile(off, 50), percentile(on, 50))]
        ratios = [b / a - 1 for a, b in blocks]
        p_off, p_on = percentile(off, 50), percentile(on, 50)
        print(f"  {label:<26} off {p_off:.3f} ({min(a for a, _ in blocks):.3f}-{max(a for a, _ in blocks):.3f})"
              f"  on {p_on:.3f} ({min(b for _, b in blocks):.3f}-{max(b for _, b in blocks):.3f})"
              f"  {(p_on / p_off - 1) * 100:+.0f}% (blocks {min(ratios) * 100:+.0f}% to {max(ratios) * 100:+.0f}%)"
              + ("  (goal: within +20%)" if k in ("ack", "fill") else ""))


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
    if sys.argv[1:2] == ["--paired"]:  # only the paired reaction: [SAMPLES] [--control]
        numbers = [int(a) for a in sys.argv[2:] if a.isdigit()]
        paired(numbers[0] if numbers else PAIRED_SAMPLES, control="--control" in sys.argv)
        sys.exit()
    trading.asyncio = Sleeps()
    cost()
    trading.asyncio = asyncio
    end_to_end()
    paired()
    sizes_and_replay()
