"""Many accounts in one process: N trading sessions on one asyncio loop, each logged in to its own account of one
simulated counter, with nothing to do.

For each count (1, 10, 100 and 300 sessions, or the counts given as arguments), in a fresh process of its own:

- login: the time from the first start() until every session is "READY" (six queries at least 1 s apart each);
- cost: the threads, descriptors and memory (resident set) the sessions added, per session;
- idle CPU: the CPU time of the whole process over MEASURE_SECONDS of idling (the funds refresh every 5 s
  included), as a share of one core; of it, what the threads besides the loop's (the stand-in API's, and with
  journals the journal's writer) took and how often they woke, and what the simulated counter (in this process,
  answering the funds queries) took;
- reaction: one session inserts resting orders while the others idle; from the moment the counter hands the
  acknowledgement to the front to the moment the session's private state shows it, p50 and p99 (ms); and the
  p50 of the same session alone, in blocks taken in turn (among the others, alone, alone, among: the others are
  closed for the blocks alone and logged in again after them), so that drift weighs on both alike;

next to a bare asyncio loop on the same machine: its CPU with nothing scheduled and with a 10 ms timer, and its
reaction to an eventfd written from another thread. With --journal every session keeps a journal (in a temporary
folder) and each count is measured with journals and without, in processes of their own.

    python bench/bench_sessions.py [--journal] [COUNT ...]
    python bench/bench_sessions.py --soak SECONDS [--sessions N] [--every SECONDS]

The soak keeps N sessions (default 100) idle for SECONDS and prints the resident set and the CPU share at every
interval: an idle session's memory must stay flat while its funds refreshes go on.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from ctpsim import Front
from ctpsim.counter import AccountConfig, Counter
from velkor import trading
from velkor.ledgerlet import CtpAccount
from velkor.trading import Trading

from bench_wake import PRICE, SYMBOL, Probe, percentile, sends_of

COUNTS = (1, 10, 100, 300)
MEASURE_SECONDS = 20.0
SETTLE_SECONDS = 2.0
READY_LIMIT = 120.0
REACTION_SAMPLES = 200
CPU_GOALS = {100: 3.0, 300: 8.0}  # percent of one core
READY_GOAL = 10.0  # seconds after one session's login time, for 300 sessions
REACTION_GOAL = 0.20  # p50 within 20% of a session alone

TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


# -- the process, from /proc

def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def thread_cpu() -> dict[int, float]:
    """CPU seconds of every thread of the process, by thread id."""
    times = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        times[int(tid)] = (int(fields[11]) + int(fields[12])) / TICK  # utime, stime
    return times


def switches() -> int:
    """Context switches (each a wake-up after a wait, or a preemption) of the threads other than the main one."""
    main, total = threading.main_thread().native_id, 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) == main:
            continue
        try:
            with open(f"/proc/self/task/{tid}/status") as f:
                total += sum(int(line.split()[1]) for line in f
                             if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))
        except FileNotFoundError:
            continue
    return total


def others(before: dict[int, float], after: dict[int, float]) -> float:
    """CPU seconds of the threads other than the main one between two readings."""
    main = threading.main_thread().native_id
    return sum(t - before.get(tid, 0.0) for tid, t in after.items() if tid != main)


class CounterClock:
    """The CPU time the simulated counter spends answering requests (it runs inside each request call)."""

    def __init__(self, front: Front):
        self.seconds = 0.0
        self.calls = 0
        handler = front.handler

        def timed(request):
            start = time.thread_time()
            try:
                return handler(request)
            finally:
                self.seconds += time.thread_time() - start
                self.calls += 1

        front.handler = timed


# -- sessions

def accounts(n: int) -> list[AccountConfig]:
    return [AccountConfig(user_id=str(10086001 + i), balance=1e9) for i in range(n)]


def config(front: Front, account: AccountConfig) -> CtpAccount:
    return CtpAccount(account.broker_id, account.user_id, account.password, front.address, account.app_id,
                      account.auth_code)


async def all_ready(sessions: list[Trading]) -> float:
    start = time.monotonic()
    for s in sessions:
        s.start()
    while True:
        waiting = [s for s in sessions if s.session_status != "READY"]
        if not waiting:
            return time.monotonic() - start
        if any(s.task.done() for s in waiting) or time.monotonic() - start > READY_LIMIT:
            s = waiting[0]
            raise SystemExit(f"{len(waiting)} sessions not READY: {s.session_status} {s.phase} {s.error!r}")
        await asyncio.sleep(0.05)


def session(front: Front, account: AccountConfig, journal: str | None) -> Trading:
    return Trading(config(front, account), 30.0, {}, journal=journal)


async def reaction(front: Front, session: Trading, samples: int) -> list[float]:
    """Acknowledgements of resting orders: counter's send to the session's state, in ms."""
    if session.task is None:
        await all_ready([session])
    plain = front.send
    sent = sends_of(front)
    session.commit({})  # the session takes orders once its login is published
    session.changed = probe = Probe()
    delays = []
    try:
        for _ in range(samples):
            await asyncio.sleep(random.uniform(0.0, 0.012))
            alive = sum(1 for c in session.native_orders.values() if c["status"] == "ALIVE")
            mark = len(sent)
            probe.expect(lambda: sum(1 for c in session.native_orders.values() if c["status"] == "ALIVE") > alive)
            [result] = await session.insert(SYMBOL, "BUY", "OPEN", 1, PRICE)
            if result.status != "SUBMITTED":
                raise SystemExit(f"insert refused: {result!r}")
            reached = await probe.until()
            acked = next(t for name, t in sent[mark:] if name == "OnRtnOrder")
            delays.append((reached - acked) * 1000)
    finally:
        front.send = plain
    return delays


async def one_count(n: int, measure: float, samples: int, journal: bool) -> dict:
    with tempfile.TemporaryDirectory() as folder:
        journals = os.path.join(folder, "journals") if journal else None
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, folder)
        with Front() as front:
            counter = Counter(front, accounts(n + 1))
            # A session logged in and closed before the others start takes the process's one-time costs
            # (imports, caches) out of the per-session figures.
            first = session(front, counter.accounts[-1], journals)
            await all_ready([first])
            await first.close()
            gc.collect()
            fds0, rss0 = descriptors(), rss()
            tasks0 = len(os.listdir("/proc/self/task"))
            sessions = [session(front, a, journals) for a in counter.accounts[:-1]]
            login = await all_ready(sessions)
            await asyncio.sleep(SETTLE_SECONDS)
            gc.collect()
            tasks, fds, memory = [(len(os.listdir("/proc/self/task")) - tasks0) / n, (descriptors() - fds0) / n,
                                  (rss() - rss0) / n]
            front.requests.clear()
            clock = CounterClock(front)
            cpu0, wall0, threads_before, switches0 = time.process_time(), time.monotonic(), thread_cpu(), switches()
            await asyncio.sleep(measure)
            cpu, wall = time.process_time() - cpu0, time.monotonic() - wall0
            wakeups = (switches() - switches0) / wall
            api = others(threads_before, thread_cpu())
            refreshes = sum(1 for r in front.requests if r.method == "QryTradingAccount")
            counter_cpu = clock.seconds
            fallbacks = {k: v for s in sessions for k, v in s.diagnostics.items() if v}
            among, alone = await paired_reaction(front, counter, sessions, journals, samples)
            for s in sessions:
                await s.close()
            counter.close()
    return {
        "n": n, "journal": journal, "login": login, "threads": tasks, "fds": fds, "memory": memory,
        "cpu": 100 * cpu / wall, "api": 100 * api / wall, "wakeups": wakeups, "counter": 100 * counter_cpu / wall,
        "refreshes": refreshes / n / wall * 5, "p50": statistics.median(sum(among, [])),
        "p99": percentile(sum(among, []), 99), "fallbacks": fallbacks,
        "alone": statistics.median(sum(alone, [])),
        "blocks": [[statistics.median(b) for b in among], [statistics.median(b) for b in alone]],
    }


async def paired_reaction(front: Front, counter: Counter, sessions: list[Trading], journals: str | None,
                          samples: int) -> tuple[list[list[float]], list[list[float]]]:
    """The last session's reaction among the others and alone, in blocks ordered among, alone, alone, among:
    one session throughout, so that the orders it holds grow alike in both, and the machine's drift over the
    four blocks weighs on both alike. The others are closed for the blocks alone and new sessions of their
    accounts logged in after them."""
    probe, others = sessions[-1], sessions[:-1]
    block = max(samples // 2, 1)
    among = [await reaction(front, probe, block)]
    for s in others:
        await s.close()
    gc.collect()
    alone = [await reaction(front, probe, block), await reaction(front, probe, block)]
    others[:] = [session(front, counter.accounts[i], journals) for i in range(len(others))]
    await all_ready(others)
    await asyncio.sleep(SETTLE_SECONDS)
    among.append(await reaction(front, probe, block))
    sessions[:-1] = others
    return among, alone


# -- the bare loop

async def bare(measure: float, samples: int) -> dict:
    cpu0, wall0 = time.process_time(), time.monotonic()
    await asyncio.sleep(measure / 2)
    idle = 100 * (time.process_time() - cpu0) / (time.monotonic() - wall0)

    async def spin():
        while True:
            await asyncio.sleep(0.01)

    task = asyncio.get_running_loop().create_task(spin())
    cpu0, wall0 = time.process_time(), time.monotonic()
    await asyncio.sleep(measure / 2)
    timer = 100 * (time.process_time() - cpu0) / (time.monotonic() - wall0)
    task.cancel()

    # Reaction: another thread writes an eventfd that the loop watches.
    loop = asyncio.get_running_loop()
    fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
    written = []
    seen: asyncio.Future | None = None

    def reader():
        os.eventfd_read(fd)
        if seen is not None and not seen.done():
            seen.set_result(time.perf_counter())

    loop.add_reader(fd, reader)
    delays = []
    for _ in range(samples):
        await asyncio.sleep(random.uniform(0.0, 0.012))
        seen = loop.create_future()
        writer = threading.Thread(target=lambda: (written.append(time.perf_counter()), os.eventfd_write(fd, 1)))
        writer.start()
        reached = await asyncio.wait_for(seen, 5.0)
        writer.join()
        delays.append((reached - written[-1]) * 1000)
    loop.remove_reader(fd)
    os.close(fd)
    return {"idle": idle, "timer": timer, "p50": statistics.median(delays),
            "p99": percentile(delays, 99)}


# -- the soak

async def soak(n: int, seconds: float, every: float) -> None:
    with tempfile.TemporaryDirectory() as folder:
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, folder)
        with Front() as front:
            counter = Counter(front, accounts(n))
            sessions = [Trading(config(front, a), 30.0, {}) for a in counter.accounts]
            login = await all_ready(sessions)
            print(f"{n} sessions READY after {login:.1f} s; idling {seconds:.0f} s", flush=True)
            start = time.monotonic()
            cpu0, wall0 = time.process_time(), start
            refreshes = 0
            while time.monotonic() - start < seconds:
                await asyncio.sleep(every)
                for s in sessions:
                    s.commit({})  # as an update loop would, now and then
                refreshes += sum(1 for r in front.requests if r.method == "QryTradingAccount")
                front.requests.clear()  # the simulated front's own record of requests, not the sessions'
                gc.collect()
                cpu, wall = time.process_time(), time.monotonic()
                ready = sum(1 for s in sessions if s.session_status == "READY")
                print(f"{wall - start:7.0f} s  RSS {rss() / 2**20:8.1f} MiB  CPU {100 * (cpu - cpu0) / (wall - wall0):5.2f}%"
                      f"  funds refreshes {refreshes}  READY {ready}/{n}", flush=True)
                cpu0, wall0 = cpu, wall
            for s in sessions:
                await s.close()
            counter.close()


# -- main

def run_child(n: int, measure: float, samples: int, journal: bool) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", str(n), "--measure", str(measure),
                          "--samples", str(samples)] + ["--journal"] * journal, capture_output=True, text=True,
                         check=False)
    if out.returncode != 0:
        raise SystemExit(f"{n} sessions failed:\n{out.stdout}{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("counts", nargs="*", type=int, default=list(COUNTS))
    parser.add_argument("--measure", type=float, default=MEASURE_SECONDS)
    parser.add_argument("--samples", type=int, default=REACTION_SAMPLES)
    parser.add_argument("--journal", action="store_true", help="each count with journals and without")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--bare", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--soak", type=float, metavar="SECONDS")
    parser.add_argument("--sessions", type=int, default=100)
    parser.add_argument("--every", type=float, default=60.0)
    args = parser.parse_args()
    if args.soak:
        asyncio.run(soak(args.sessions, args.soak, args.every))
        return
    if args.child is not None:
        print(json.dumps(asyncio.run(one_count(args.child, args.measure, args.samples, args.journal))))
        return
    if args.bare:
        print(json.dumps(asyncio.run(bare(args.measure, args.samples))))
        return

    out = subprocess.run([sys.executable, __file__, "--bare", "--measure", str(args.measure), "--samples",
                          str(args.samples)], capture_output=True, text=True, check=True)
    loop = json.loads(out.stdout.strip().splitlines()[-1])
    rows = [run_child(n, args.measure, args.samples, journal) for n in args.counts
            for journal in ((False, True) if args.journal else (False,))]
    print(f"idle READY sessions on one loop against the simulated counter, idle CPU over {args.measure:.0f} s, "
          f"reaction over {args.samples} acknowledgements")
    print(f"{'sessions':>8} {'journal':>7} {'READY after':>11} {'threads':>8} {'fds':>5} {'memory':>9} {'idle CPU':>9}"
          f" {'others':>8} {'wake/s':>7} {'counter':>8} {'ack p50':>8} {'ack p99':>8}"
          f"   (per session; CPU in % of one core; wake/s: of the other threads, all together)")
    for r in rows:
        print(f"{r['n']:>8} {'on' if r['journal'] else 'off':>7} {r['login']:>9.2f} s {r['threads']:>8.2f} {r['fds']:>5.2f} {r['memory'] / 1024:>6.0f} KiB"
              f" {r['cpu']:>8.2f}% {r['api']:>7.2f}% {r['wakeups']:>7.0f} {r['counter']:>7.2f}% {r['p50']:>5.3f} ms {r['p99']:>5.3f} ms"
              + (f"   fallbacks {r['fallbacks']}" if r["fallbacks"] else ""))
    print(f"{'bare loop':>8} {'':>7} {'':>11} {'':>8} {'':>5} {'':>9} {loop['idle']:>8.2f}% (10 ms timer: {loop['timer']:.2f}%)"
          f" {'':>8} {loop['p50']:>5.3f} ms {loop['p99']:>5.3f} ms   (eventfd written by another thread)")
    by_n = {r["n"]: r for r in rows if not r["journal"]}
    for n, goal in CPU_GOALS.items():
        if n in by_n:
            print(f"goal: {n} idle sessions at most {goal:.0f}% of one core: {by_n[n]['cpu']:.2f}%")
    if 1 in by_n and 300 in by_n:
        print(f"goal: 300 sessions READY within {READY_GOAL:.0f} s of one session's login: "
              f"{by_n[300]['login'] - by_n[1]['login']:+.2f} s")
    if 1 in by_n:
        r = by_n[1]
        (b1, b2), (a1, a2) = r["blocks"]
        print(f"control: one session alone in all four blocks, the first and last against the middle two: "
              f"{r['p50'] / r['alone'] - 1:+.0%} (blocks {b1:.3f}, {a1:.3f}, {a2:.3f}, {b2:.3f} ms)")
    if 100 in by_n:
        r = by_n[100]
        (b1, b2), (a1, a2) = r["blocks"]
        print(f"goal: reaction of one session among 100 within {REACTION_GOAL:.0%} of the same session alone: p50 "
              f"{r['p50']:.3f} ms among, {r['alone']:.3f} ms alone ({r['p50'] / r['alone'] - 1:+.0%}; blocks in "
              f"turn among {b1:.3f}, alone {a1:.3f} and {a2:.3f}, among {b2:.3f} ms)")
    print(f"funds refreshes per session per 5 s while idle: "
          + ", ".join(f"{r['n']}: {r['refreshes']:.2f}" for r in rows))


if __name__ == "__main__":
    main()
