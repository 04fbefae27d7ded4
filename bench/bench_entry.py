"""Cost of commit, insert and cancel on large books, over the fake adapter.

- commit after one change in a session with 1,000 orders and 1,000 trades published
  (goal: at most 4 us per published object it visits);
- one insert in a book of 1,000 child orders (goal: at most 150 us);
- one cancel in a book of 1,000 child orders (goal: at most 30 us).
"""

from __future__ import annotations

import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from test_entry_support import BASELINE_MS, holding, now, ready_session  # noqa: E402

SYMBOLS = [f"SHFE.ag24{m:02d}" for m in range(1, 11)]
N = 1000


def order_record(i: int) -> dict:
    return dict(order_id=f"3:12345:{i}", order_sys_id=str(10000 + i), symbol=SYMBOLS[i % len(SYMBOLS)],
                direction="BUY", offset="OPEN", limit_price=5000.0 + i, volume_original=2, volume_traded=1,
                volume_left=1, status="ALIVE", status_msg="", cancel_pending=False, cancel_error=None,
                insert_time=BASELINE_MS + i)


def trade_record(i: int) -> dict:
    return dict(trade_id=f"T{i}", order_sys_id=str(10000 + i), symbol=SYMBOLS[i % len(SYMBOLS)], direction="BUY",
                offset="OPEN", price=5000.0 + i, volume=1, trade_time=BASELINE_MS + i)


def book_session():
    """A READY session with N confirmed live children spread over SYMBOLS, long and short held."""
    s = ready_session(*SYMBOLS)
    for symbol in SYMBOLS:
        s.p[symbol] = holding(symbol, long_his=N, long_today=N, short_his=N, short_today=N)
    for i in range(N):
        [r] = now(s.insert(SYMBOLS[i % len(SYMBOLS)], "BUY" if i % 2 else "SELL", "OPEN" if i % 3 else "CLOSE",
                           1, 5000.0))
        child = s.native_orders[r.order_id]
        child.update(exchange_order_id=f"{10000 + i:>12}", is_confirmed=True, status="ALIVE")
    s.native.requests.clear()
    return s


class Timer:
    """Wall and CPU time of the timed calls (CPU time: what a loaded machine does not inflate)."""

    def __init__(self):
        self.wall: list[float] = []
        self.cpu: list[float] = []

    def __enter__(self):
        self._wall, self._cpu = time.perf_counter(), time.thread_time()
        return self

    def __exit__(self, *exc):
        self.cpu.append(time.thread_time() - self._cpu)
        self.wall.append(time.perf_counter() - self._wall)

    def figures(self) -> str:
        # Each CPU sample is coarse on its own; their mean is not.
        return (f"{statistics.median(self.wall) * 1e6:.1f} us median wall, "
                f"{statistics.mean(self.cpu) * 1e6:.1f} us mean CPU")

    def cpu_us(self) -> float:
        return statistics.mean(self.cpu) * 1e6


def bench_commit() -> None:
    s = ready_session(*SYMBOLS)
    for symbol in SYMBOLS:
        s.p[symbol] = holding(symbol, long_today=1)
    for i in range(N):
        s.o[f"3:12345:{i}"] = order_record(i)
        s.t[f"T{i}"] = trade_record(i)
    s._touch()
    s.commit({})
    visited = 1 + len(s.positions) + len(s.orders) + len(s.trades)
    timer = Timer()
    for k in range(50):
        s.o[f"3:12345:{k}"]["volume_traded"] += 1
        s._touch()
        changes = {}
        with timer:
            s.commit(changes)
    print(f"commit, one change, {N} orders + {N} trades published ({visited} objects visited): "
          f"{timer.figures()} per commit; {timer.cpu_us() / visited:.2f} us CPU per visited object (goal <= 4)")


def bench_insert() -> None:
    s = book_session()
    timer = Timer()
    for k in range(300):
        symbol = SYMBOLS[k % len(SYMBOLS)]
        args = (symbol, "SELL", "CLOSE", 1, 5000.0) if k % 2 else (symbol, "BUY", "OPEN", 1, 5000.0)
        with timer:
            results = now(s.insert(*args))
        assert results[0].status == "SUBMITTED", results
        for r in results:  # keep the book at N children
            child = s.native_orders.pop(r.order_id)
            s.o.pop(r.order_id)
            s.ref_orders.pop((child["front"], child["session"], child["ref"]))
    print(f"insert (open or split close) in a book of {len(s.native_orders)} children: {timer.figures()} "
          f"(goal <= 150)")


def bench_cancel() -> None:
    s = book_session()
    timer = Timer()
    for order_id in list(s.native_orders)[:500]:
        with timer:
            [r] = s.cancel(order_id)
        assert r.status == "SUBMITTED", r
    print(f"cancel in a book of {len(s.native_orders)} children: {timer.figures()} (goal <= 30)")


def main() -> None:
    gc.disable()
    bench_commit()
    bench_insert()
    bench_cancel()


if __name__ == "__main__":
    main()
