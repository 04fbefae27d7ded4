"""Memory over many trading days: one session trading against the simulated counter, day after day.

Every day the user sends ORDERS orders (opens, and closes of what is held, on six contracts; some marketable at
once, some resting), the market fills part of the resting ones, the user cancels some, the connection drops
once in the middle of the day, and the counter settles at the end of it: the session logs in to the new day.
After each day roll the process's memory and the live Python objects are printed, in all and per order of the
day; they must come back to a plateau, because orders and fills of earlier days are released.

Before each roll the day's retained memory is explained: which objects each order and fill keeps alive in
the session, in the user's snapshot objects, in the counter and in the simulated front, and how big they are.

    .venv/bin/python bench/bench_soak.py [days] [orders per day]

The figures are measured with the interpreter's own allocator switched to malloc (the script re-executes itself
so), so that the C library's heap statistics see every object.
"""

from __future__ import annotations

import asyncio
import ctypes
import gc
import logging
import os
import random
import sys
import time as real_time
from collections import Counter as Tally
from types import SimpleNamespace

from ctpsim import Front
from ctpsim.counter import Counter
from velkor import trading
from velkor.ledgerlet import CtpAccount

DAYS = 6
ORDERS = 2000
TIMEOUT = 30.0
GOAL_GROWTH_PER_DAY_KB = 64  # after the second day roll: heap growth per day, at most
SYMBOLS = {"SHFE.ag2412": 1.0, "SHFE.rb2501": 1.0, "INE.sc2412": 0.1, "DCE.m2501": 1.0, "CZCE.SR501": 1.0,
           "DCE.m2501-C-3000": 0.5}


class Clock:
    """The session's and the counter's clock: moves only when the run loop sleeps."""

    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now

    def time(self):
        return self.now + 1_700_000_000.0


class PacedAsyncio:
    """The session's `asyncio`: a sleep first waits until the front has delivered what it sent, then moves the
    clock and lets other tasks run; a small real pause keeps the clock from outrunning the API's reconnection."""

    def __init__(self, clock, front):
        self._clock, self._front = clock, front

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        self._front.flush()
        real_time.sleep(delay / 50)
        self._clock.now += delay
        await asyncio.sleep(0)
        return result


async def until(predicate, what, passes=200_000):
    for _ in range(passes):
        if predicate():
            return
        await asyncio.sleep(0)
    raise AssertionError(f"not reached: {what}")


# --- measuring ---------------------------------------------------------------------------------------------

class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def heap_bytes() -> int:
    """Bytes the C heap has handed out and not got back (all objects, with the interpreter on malloc)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _immortal(obj) -> bool:
    return sys.getrefcount(obj) > 1 << 30


def retained(roots, stop: set[int], seen: set[int]) -> tuple[int, int]:
    """(bytes, objects) reachable from `roots` and not yet `seen`, not entering objects whose id is in `stop`.

    Snapshot objects are entered through their backing dicts (`_values`, `_data`)."""
    size = count = 0
    todo = list(roots)
    roots = {id(r) for r in roots}
    while todo:
        obj = todo.pop()
        key = id(obj)
        if key in seen or (key in stop and key not in roots) or _immortal(obj) or isinstance(obj, type):
            continue
        seen.add(key)
        size += sys.getsizeof(obj)
        count += 1
        todo.extend(gc.get_referents(obj))
        for backing in ("_values", "_data"):
            inner = getattr(type(obj), backing, None) is not None and getattr(obj, backing, None)
            if isinstance(inner, dict):
                todo.append(inner)
    return size, count


def explain(k: "Soak", stop: set[int]) -> list[tuple[str, int, int]]:
    """What the day's orders and fills keep alive, by owner, in the order a user would look for it."""
    s, acct = k.session, k.counter.account()
    seen: set[int] = set()
    owners = [
        ("session: user orders (o)", [s.o]),
        ("session: child orders (native_orders)", [s.native_orders]),
        ("session: order indexes (ref_orders, system_orders, order_revisions)",
         [s.ref_orders, s.system_orders, s.order_revisions]),
        ("session: fills (t)", [s.t]),
        ("published: Order objects (orders)", [s.orders]),
        ("published: Trade objects (trades, trade_views)", [s.trades, s.trade_views]),
        ("published: object registry (objects)", [s.objects]),
        ("counter: orders, fills and indexes", [acct.orders, acct.trades, acct.by_sys_id, acct.working]),
        ("front: requests kept (Front.requests)", [k.front.requests]),
    ]
    rows = []
    for name, roots in owners:
        size, count = retained(roots, stop, seen)
        rows.append((name, size, count))
    return rows


# --- the trading ---------------------------------------------------------------------------------------------

class Soak:
    """A session, the counter and front it trades with, and the user's actions; the clock is the fake one."""

    def __init__(self, seed: int = 1, orders: int = ORDERS):
        self.rng = random.Random(seed)
        self.orders = orders
        self.clock = Clock()
        self.front = Front()
        self.front.retry_interval = 0.005
        self.counter = Counter(self.front, clock=self.clock.monotonic, wall_clock=self.clock.time,
                               trading_day="20241202")
        self.counter.deposit(50_000_000.0)
        acc = self.counter.accounts[0]
        config = CtpAccount(acc.broker_id, acc.user_id, acc.password, self.front.address, acc.app_id,
                            acc.auth_code)
        self.saved = trading.time, trading.asyncio
        trading.time = SimpleNamespace(monotonic=self.clock.monotonic, time=self.clock.time)
        trading.asyncio = PacedAsyncio(self.clock, self.front)
        self.session = trading.Trading(config, TIMEOUT, {})
        self.sent = 0  # orders the counter took
        self.self_trades = 0  # matches of two orders of the account
        self.shared_numbers = 0  # trade numbers given out by more than one exchange on one day

    def close(self):
        trading.time, trading.asyncio = self.saved
        self.counter.close()
        self.front.close()

    # what the user does

    def commit(self):
        self.session.commit({})

    def price(self, symbol, ticks):
        tick = SYMBOLS[symbol]
        return round((self.counter.price(symbol) + ticks * tick) / tick) * tick

    def resting(self):
        with self.counter.lock:
            return [o for o in self.counter.account().working.values()]

    async def ready(self):
        await until(lambda: self.session.session_status == "READY", "READY")
        self.commit()

    async def order(self):
        rng, s = self.rng, self.session
        held = [(sym, side, h["pos_" + side]) for sym, h in self.counter.positions().items()
                for side in ("long", "short") if h["pos_" + side]]
        marketable = rng.random() < 0.5
        if held and rng.random() < 0.4:
            symbol, side, lots = rng.choice(held)
            direction, offset, volume = ("SELL" if side == "long" else "BUY"), "CLOSE", rng.randint(1, min(lots, 3))
        else:
            symbol, direction, offset, volume = rng.choice(list(SYMBOLS)), rng.choice(["BUY", "SELL"]), "OPEN", \
                rng.randint(1, 4)
        ticks = rng.randint(0, 2) if marketable else rng.randint(2, 8)
        sign = 1 if (direction == "BUY") == marketable else -1
        results = await s.insert(symbol, direction, offset, volume, self.price(symbol, sign * ticks))
        self.sent += sum(r.status == "SUBMITTED" for r in results)

    def fill(self):
        resting = self.resting()
        if resting:
            o = self.rng.choice(resting)
            self.counter.fill(o, self.rng.randint(1, o.left))

    def cancel(self):
        resting = self.resting()
        if resting:
            self.session.cancel(self.rng.choice(resting).order_id)

    async def drop(self):
        self.counter.drop_sessions()
        await until(lambda: self.session.session_status != "READY", "connection lost")
        await self.ready()

    def caught_up(self) -> bool:
        s, c = self.session, self.counter
        if s.session_status != "READY" or len(s.t) != len(c.account().trades):
            return False
        return all(child["status"] != "PENDING" and not child["cancel_pending"] for child in s.native_orders.values())

    async def day(self):
        """One trading day: ORDERS orders with fills, cancels and one dropped connection; the user commits after
        every few steps, as an update wait does."""
        drop_at = self.rng.randrange(self.orders // 4, self.orders * 3 // 4)
        for i in range(self.orders):
            await self.order()
            roll = self.rng.random()
            if roll < 0.3:
                self.fill()
            elif roll < 0.45:
                self.cancel()
            if i == drop_at:
                await self.drop()
            if i % 8 == 0:
                await asyncio.sleep(0)
                self.commit()
        await until(self.caught_up, "caught up with the counter")
        self.agree()
        self.commit()

    def agree(self):
        """The session holds the counter's fills, one for each side of a self-trade, and its positions; counts the
        self-trades and the trade numbers that more than one exchange gave out."""
        s = self.session
        rows = self.counter.trades()
        fills = {(r["ExchangeID"], r["TradeID"].strip(), "BUY" if r["Direction"] == "0" else "SELL") for r in rows}
        if set(s.t) != fills:
            raise AssertionError("the session's fills are not the counter's")
        for symbol, h in self.counter.positions().items():
            if any(s.p[symbol][key] != lots for key, lots in h.items()):
                raise AssertionError(f"the session's position in {symbol} is not the counter's")
        matches = Tally((exchange, number) for exchange, number, _ in fills)
        self.self_trades += sum(n == 2 for n in matches.values())
        self.shared_numbers += sum(n > 1 for n in Tally(number for _, number in matches).values())

    async def roll(self) -> str:
        # The simulated front logs every request for tests to inspect, for ever: the soak keeps one day of it.
        self.front.requests.clear()
        day = self.counter.settle()
        self.counter.drop_sessions()
        await until(lambda: self.session.session_status != "READY", "connection lost at the day roll")
        await until(lambda: self.session.session_status == "READY" and self.session.day == day, "the new day")
        self.commit()
        return day


def measure() -> dict[str, int]:
    gc.collect()
    live = gc.get_objects()
    kinds = Tally(type(o).__name__ for o in live)
    return {"heap": heap_bytes(), "rss": rss_bytes(), "objects": len(live), "Order": kinds["Order"],
            "Trade": kinds["Trade"]}


def held(session) -> int:
    """Objects the session's state holds, strings and numbers included (which the collector's count of
    live objects leaves out): its private books and published views, not its task, adapter or factory."""
    state = [value for name, value in vars(session).items() if name not in ("task", "native", "factory")]
    return retained(state, set(), set())[1]


def _line(label, f, orders="", fills="", tail=""):
    return (f"{label:>9} {orders:>6} {fills:>6} {f['heap'] / 2**20:8.1f} {f['rss'] / 2**20:7.1f} "
            f"{f['objects']:8}{tail}")


async def soak(days: int, orders: int, report=print, explain_days=(0, -1)) -> tuple[dict, list[dict]]:
    """Runs `days` trading days of about `orders` orders each. Returns the figures at the start and, per day,
    the orders and fills of the day, the figures before ("full") and after ("after") its day roll and the
    objects the session holds after it ("held")."""
    k = Soak(orders=orders)
    explain_days = {d % days for d in explain_days}
    out = []
    try:
        k.session.start()
        await k.ready()
        base = measure()
        report(f"{'day':>9} {'orders':>6} {'fills':>6} {'heap MB':>8} {'RSS MB':>7} {'objects':>8}   "
               f"released at the roll, per order of the day: {'heap':>7} {'objects':>7}")
        report(_line("start", base))
        for n in range(days):
            stop = {id(o) for o in gc.get_objects()} if n in explain_days else set()
            start = measure()
            sent0, trades0 = k.sent, len(k.counter.account().trades)
            await k.day()
            sent, fills = k.sent - sent0, len(k.counter.account().trades) - trades0
            full = measure()
            if n in explain_days:
                stop.update(id(x) for x in (k, k.session, k.counter, k.front))
                rows = explain(k, stop)
                report(f"  day {n + 1}: {sent} orders and {fills} fills held until the day roll: heap "
                       f"{(full['heap'] - start['heap']) / 1024:.0f} KB, {full['objects'] - start['objects']} "
                       f"tracked objects; reachable from")
                for name, size, count in rows + [("all of these", sum(r[1] for r in rows), sum(r[2] for r in rows))]:
                    report(f"    {name:<66} {size / 1024:7.0f} KB {count:7} objects {size / max(sent, 1):6.0f} B/order")
                del stop
                full = measure()
            day = await k.roll()
            after = measure()
            out.append({"day": day, "orders": sent, "fills": fills, "full": full, "after": after,
                        "held": held(k.session)})
            report(_line(day, after, sent, fills, f"   {' ' * 42}{(full['heap'] - after['heap']) / max(sent, 1):6.0f} B "
                         f"{(full['objects'] - after['objects']) / max(sent, 1):7.1f}"))
        report(f"agreed with the counter every day: {k.self_trades} self-trades (both sides counted), "
               f"{k.shared_numbers} trade numbers given out by more than one exchange")
        return base, out
    finally:
        await k.session.close()
        k.close()


def main(argv: list[str]) -> None:
    if os.environ.get("PYTHONMALLOC") != "malloc":
        os.execve(sys.executable, [sys.executable, *sys.argv], dict(os.environ, PYTHONMALLOC="malloc"))
    # The day's refusals and dropped connections are part of the plan; their warnings would bury the figures.
    logging.getLogger("velkor").setLevel(logging.ERROR)
    days = int(argv[0]) if argv else DAYS
    orders = int(argv[1]) if len(argv) > 1 else ORDERS
    started = real_time.monotonic()
    _, days_run = asyncio.run(soak(days, orders))
    if len(days_run) > 2:
        first, last = days_run[1]["after"], days_run[-1]["after"]
        per_day = len(days_run) - 2
        print(f"from the second day roll on, per day: heap {(last['heap'] - first['heap']) / per_day / 1024:+.1f} KB "
              f"(goal <= {GOAL_GROWTH_PER_DAY_KB}), RSS {(last['rss'] - first['rss']) / per_day / 1024:+.0f} KB, "
              f"live objects {(last['objects'] - first['objects']) / per_day:+.1f}; "
              f"{real_time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main(sys.argv[1:])
