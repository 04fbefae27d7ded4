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


def per_call_us(samples: list[float]) -> tuple[float, float]:
    return statistics.median(samples) * 1e6, statistics.mean(samples) * 1e6


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
    samples = []
    for k in range(50):
        s.o[f"3:12345:{k}"]["volume_traded"] += 1
        s._touch()
        changes = {}
        t0 = time.perf_counter()
        s.commit(changes)
        samples.append(time.perf_counter() - t0)
    median, mean = per_call_us(samples)
    print(f"commit, one change, {N} orders + {N} trades published ({visited} objects visited): "
          f"{median:.0f} us median, {mean:.0f} us mean per commit; "
          f"{median / visited:.2f} us per visited object (goal <= 4)")


def bench_insert() -> None:
    s = book_session()
    samples = []
    for k in range(300):
        symbol = SYMBOLS[k % len(SYMBOLS)]
        args = (symbol, "SELL", "CLOSE", 1, 5000.0) if k % 2 else (symbol, "BUY", "OPEN", 1, 5000.0)
        t0 = time.perf_counter()
        results = now(s.insert(*args))
        samples.append(time.perf_counter() - t0)
        assert results[0].status == "SUBMITTED", results
        for r in results:  # keep the book at N children
            child = s.native_orders.pop(r.order_id)
            s.o.pop(r.order_id)
            s.ref_orders.pop((child["front"], child["session"], child["ref"]))
    median, mean = per_call_us(samples)
    print(f"insert in a book of {len(s.native_orders)} children: {median:.1f} us median, {mean:.1f} us mean "
          f"(goal <= 150)")


def bench_cancel() -> None:
    s = book_session()
    samples = []
    for order_id in list(s.native_orders)[:500]:
        t0 = time.perf_counter()
        [r] = s.cancel(order_id)
        samples.append(time.perf_counter() - t0)
        assert r.status == "SUBMITTED", r
    median, mean = per_call_us(samples)
    print(f"cancel in a book of {len(s.native_orders)} children: {median:.1f} us median, {mean:.1f} us mean "
          f"(goal <= 30)")


def main() -> None:
    gc.disable()
    bench_commit()
    bench_insert()
    bench_cancel()


if __name__ == "__main__":
    main()
