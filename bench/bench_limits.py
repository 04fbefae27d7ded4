"""Cost of the pre-trade limits in insert, over the fake adapter: one insert with every rule on against the
same insert in a session without limits, in a day's book of 100 and of 10,000 orders (half of them alive,
half finished). Goal: at most 2 us more with every rule on, whatever the size of the book.

Each run builds both books afresh and times the same inserts in both, in turn; the figures are the
ranges over the runs of the median insert and of the median difference of a pair.
"""

from __future__ import annotations

import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from test_entry_support import FRONT, SESSION, holding, now, ready_session  # noqa: E402
from test_sync_support import order_row  # noqa: E402

from velkor.trading import Limits  # noqa: E402

SYMBOLS = [f"SHFE.ag24{m:02d}" for m in range(1, 11)]
HIGH = 10 ** 9
EVERY_RULE = Limits(max_order_volume=HIGH, max_active_orders=HIGH, max_orders_per_second=HIGH,
                    max_cancels_per_contract=HIGH, max_large_cancels_per_contract=HIGH, large_order_volume=1,
                    self_trade=True)
RUNS = 5
INSERTS = 1000


def finish(s, order_id, status="5"):
    """An order return that finishes the order (cancelled by default), through order tracking."""
    child = s.native_orders[order_id]
    row = order_row(child["symbol"], child["ref"], f"{child['ref']:>12}", status=status,
                    volume=child["volume_original"], direction="0" if child["direction"] == "BUY" else "1",
                    offset="0", front=FRONT, session=SESSION, day=s.day)
    s._order(dict(row, LimitPrice=s.o[order_id]["limit_price"]))


def book(size, limits):
    """A READY session with `size` orders of the day: alive buys below 5000 and sells above 5500 (nothing
    crosses), every second order finished."""
    s = ready_session(*SYMBOLS, limits=limits)
    for symbol in SYMBOLS:
        s.p[symbol] = holding(symbol, long_today=size, short_today=size)
    for i in range(size):
        buy = i % 4 < 2
        [r] = now(s.insert(SYMBOLS[i % len(SYMBOLS)], "BUY" if buy else "SELL", "OPEN", 1,
                           (4000.0 if buy else 6000.0) + i % 900))
        if i % 2:
            finish(s, r.order_id)
    s.native.requests.clear()
    return s


def timed_insert(s, k: int) -> float:
    """The wall time of one insert (an open, buy or sell in turn) in microseconds; the order is finished and
    taken out afterwards, so that the book keeps its size."""
    args = (SYMBOLS[k % len(SYMBOLS)], "BUY", "OPEN", 1, 5000.0) if k % 2 else (
        SYMBOLS[k % len(SYMBOLS)], "SELL", "OPEN", 1, 5500.0)
    start = time.perf_counter()
    [r] = now(s.insert(*args))
    elapsed = time.perf_counter() - start
    assert r.status == "SUBMITTED", r
    finish(s, r.order_id)
    child = s.native_orders.pop(r.order_id)
    s.o.pop(r.order_id)
    s.ref_orders.pop((child["front"], child["session"], child["ref"]))
    return elapsed * 1e6


def span(values) -> str:
    return f"{min(values):.2f} to {max(values):.2f} us"


def bench(size: int) -> None:
    """Per run: both books afresh, then the same inserts into each in turn, so that whatever else the machine
    does falls on both alike; the medians per run, and the median of the differences of each pair."""
    plain, limited, more = [], [], []
    for _ in range(RUNS):
        without, with_limits = book(size, None), book(size, EVERY_RULE)
        pairs = [(timed_insert(without, k), timed_insert(with_limits, k)) for k in range(INSERTS)]
        plain.append(statistics.median(a for a, _ in pairs))
        limited.append(statistics.median(b for _, b in pairs))
        more.append(statistics.median(b - a for a, b in pairs))
        assert with_limits.limit_counts["active_orders"] == size // 2
        assert sum(with_limits.limit_counts["cancels"].values()) == size // 2 + INSERTS
    print(f"insert, {size} orders in the day's book: without limits {span(plain)}, with every rule on "
          f"{span(limited)}; more per insert {span(more)} (goal <= 2) [medians of {INSERTS} inserts, {RUNS} runs]")


def main() -> None:
    gc.disable()
    for size in (100, 10_000):
        bench(size)


if __name__ == "__main__":
    main()
