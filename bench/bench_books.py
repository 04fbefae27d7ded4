"""Cost per event as the day's book grows: order return, trade return, insert, cancel and commit with
100 and with 10,000 child orders, on one symbol and on ten, over the fake adapter.

Every book is built alike: 70 % of the children filled (one fill each), 30 % live with one lot filled,
half of the live ones closing; every order and every fill published once. Each figure is CPU time per
call, best of a few runs (wall time is noisy on a shared machine), printed next to its goal and, for
10,000 children, next to its ratio to the same operation with 100 children (goal <= 1.5x).

    python bench/bench_books.py                  the timings
    python bench/bench_books.py --callgrind      instructions per call, one valgrind run per book
                                                 (valgrind on PATH; slow: several minutes)
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from test_entry_support import holding, now, ready_session  # noqa: E402

DAY = "20240102"
FRONT, SESSION = 2, 5  # the counter's front and session: orders of "another session"
GOALS_US = {"order": 25.0, "trade": 50.0, "insert": 60.0, "cancel": 8.0, "commit": 2.0}
LABELS = {
    "order": "order return, child changed",
    "trade": "trade return, position moved",
    "insert": "insert (open, or SHFE close split)",
    "cancel": "cancel",
    "commit": "commit, one change (per object)",
}
RATIO_GOAL = 1.5
SIZES = (100, 10_000)
BOOKS = (("one symbol", 1), ("ten symbols", 10))


def order_row(ref, sys_id, symbol, *, direction="0", offset="0", original=10, status="3", traded=0):
    exchange, instrument = symbol.split(".")
    return {"TradingDay": DAY, "ExchangeID": exchange, "InstrumentID": instrument, "OrderSysID": sys_id,
            "OrderRef": str(ref), "FrontID": FRONT, "SessionID": SESSION, "Direction": direction,
            "CombOffsetFlag": offset, "CombHedgeFlag": "1", "LimitPrice": 5000.0,
            "VolumeTotalOriginal": original, "VolumeTraded": traded, "VolumeTotal": original - traded,
            "OrderStatus": status, "OrderSubmitStatus": "3", "StatusMsg": "", "InsertDate": DAY,
            "InsertTime": "09:30:00"}


def trade_row(tid, sys_id, symbol, volume, *, direction="0", offset="0"):
    exchange, instrument = symbol.split(".")
    return {"TradingDay": DAY, "ExchangeID": exchange, "InstrumentID": instrument, "OrderSysID": sys_id,
            "OrderRef": "", "TradeID": tid, "Direction": direction, "OffsetFlag": offset, "HedgeFlag": "1",
            "Price": 5000.0, "Volume": volume, "TradeDate": DAY, "TradeTime": "09:31:00"}


class Book:
    """A READY session holding `children` child orders over `symbols`, everything published."""

    def __init__(self, children: int, symbols: list[str]):
        self.symbols = symbols
        s = self.s = ready_session(*symbols, max_volume=10**9)
        # Built without positions so that no step walks the book (an old build walks it on every return).
        s.position_ready = False
        for i in range(children):
            symbol = symbols[i % len(symbols)]
            live = i % 10 >= 7
            closing = live and i % 2 == 0
            kw = dict(direction="1" if closing else "0", offset="1" if closing else "0")
            s._order(order_row(i, f"S{i}", symbol, **kw))
            s._trade(trade_row(f"T{i}", f"S{i}", symbol, 10 if not live else 1, **kw), update_position=False)
            if not live:
                s._order(order_row(i, f"S{i}", symbol, status="0", traded=10, **kw))
        for symbol in symbols:
            s.p[symbol] = holding(symbol, long_his=10**6, long_today=10**6, short_his=10**6, short_today=10**6)
        s.position_ready = True
        s._recompute_frozen(1)
        assert len(s.native_orders) == children and len(s.t) == children
        s._touch()
        s.commit({})
        s.pending.clear()
        s.native.requests.clear()
        self.serial = 0
        # The live closing child 8 and the live opening child 7 (both on the first symbol when there is one).
        self.closing_child = f"{FRONT}:{SESSION}:8"
        self.opening_child = f"{FRONT}:{SESSION}:7"
        s.native_orders[self.opening_child]["volume_original"] = 10**9
        self.cancellable = [oid for oid, c in s.native_orders.items() if c["status"] == "ALIVE"]

    def visited(self):
        """The objects a commit visits: the account, every position, order and trade."""
        s = self.s
        return 1 + len(s.p) + len(s.o) + len(s.t)

    def order(self, i):
        """An order return that changes its child (the ordered volume alternates): full follow-up work."""
        self.s._order(order_row(8, "S8", self.symbols[8 % len(self.symbols)], direction="1", offset="1",
                                original=10 + i % 2))

    def trade(self, i):
        """A new open fill of the live opening child 7: counted, position moved, frozen recomputed."""
        self.serial += 1
        self.s._trade(trade_row(f"N{self.serial}", "S7", self.symbols[7 % len(self.symbols)], 1),
                      update_position=True)

    def insert(self, i):
        symbol = self.symbols[i % len(self.symbols)]
        args = (symbol, "SELL", "CLOSE", 3, 5000.0) if i % 2 else (symbol, "BUY", "OPEN", 1, 5000.0)
        self.inserted = now(self.s.insert(*args))
        assert self.inserted[0].status == "SUBMITTED", self.inserted

    def withdraw(self):
        """Takes the last insert's orders out again: the book keeps its size."""
        s = self.s
        for r in self.inserted:
            child = s.native_orders.pop(r.order_id)
            s.o.pop(r.order_id)
            s.ref_orders.pop((child["front"], child["session"], child["ref"]))

    def cancel(self, i):
        order_id = self.cancellable[i % len(self.cancellable)]
        self.s.native_orders[order_id]["cancel_pending"] = False  # cancellable again
        [r] = self.s.cancel(order_id)
        assert r.status == "SUBMITTED", r

    def commit(self, i):
        self.s.o[self.opening_child]["volume_traded"] += 1
        self.s._touch()
        self.s.commit({})


def per_call_us(fn, count, repeats=3, cleanup=None):
    """CPU time per call, best of `repeats` runs (the machine is shared: wall time is noisy). With a
    `cleanup`, each call is timed alone and the cleanup after it is not."""
    figures = []
    serial = 0
    for _ in range(repeats):
        spent = 0
        start = time.thread_time_ns()
        for _ in range(count):
            if cleanup:
                start = time.thread_time_ns()
            fn(serial)
            serial += 1
            if cleanup:
                spent += time.thread_time_ns() - start
                cleanup()
        if not cleanup:
            spent = time.thread_time_ns() - start
        figures.append(spent / count / 1e3)
    return min(figures)


COUNTS = {"order": 1000, "trade": 1000, "insert": 300, "cancel": 1000}


FALLBACKS = {}  # (children, symbols) -> the session's fallbacks that are not zero, after its runs


def measure(children, nsymbols):
    book = Book(children, [f"SHFE.ag24{m:02d}" for m in range(1, nsymbols + 1)])
    # Commit first: the trade returns below add fills.
    figures = {"commit": per_call_us(book.commit, max(3, 100_000 // book.visited())) / book.visited()}
    figures.update({op: per_call_us(getattr(book, op), count) for op, count in COUNTS.items() if op != "insert"})
    figures["insert"] = per_call_us(book.insert, COUNTS["insert"], cleanup=book.withdraw)
    FALLBACKS[(children, nsymbols)] = {k: v for k, v in book.s.diagnostics.items() if v}
    return figures


def report(results, unit, goals):
    for label, nsymbols in BOOKS:
        print(f"{label}:")
        small, large = results[(SIZES[0], nsymbols)], results[(SIZES[1], nsymbols)]
        for op, text in LABELS.items():
            ratio = large[op] / small[op] if small[op] else float("nan")
            goal = f"(goal <= {goals[op]:g} {unit})" if goals else ""
            print(f"  {text:36} {SIZES[0]:>6} children: {small[op]:9.2f} {unit}   "
                  f"{SIZES[1]:>6} children: {large[op]:9.2f} {unit} {goal}   "
                  f"ratio {ratio:5.2f} (goal <= {RATIO_GOAL})")


# ---- instruction counts under callgrind: each operation's calls run between two time.sleep(0)
# calls, and callgrind dumps its counters before every sleep.

CALLGRIND_COUNTS = {"commit": 2, "order": 200, "trade": 200, "insert": 100, "cancel": 200}


def callgrind_child(children, nsymbols):
    book = Book(children, [f"SHFE.ag24{m:02d}" for m in range(1, nsymbols + 1)])
    visited = book.visited()
    for op, count in CALLGRIND_COUNTS.items():
        fn = getattr(book, op)
        fn(0)  # warm
        if op == "insert":
            book.withdraw()
        time.sleep(0)
        for i in range(1, count + 1):
            fn(i)
            if op == "insert":  # counted with the insert: a few pops
                book.withdraw()
    time.sleep(0)
    print(visited)


def callgrind_run(children, nsymbols):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", "--dump-before=time_sleep", f"--callgrind-out-file={out}",
             sys.executable, __file__, "--callgrind-child", str(children), str(nsymbols)],
            capture_output=True, text=True, check=True)
        visited = int(proc.stdout.split()[-1])
        dumps = sorted((f for f in os.listdir(tmp) if f.startswith("cg.out.")), key=lambda f: int(f.rsplit(".", 1)[1]))
        totals = []
        for name in dumps:
            with open(os.path.join(tmp, name)) as f:
                for line in f:
                    if line.startswith("summary:") or line.startswith("totals:"):
                        totals.append(int(line.split()[1]))
                        break
    # dump 1 is the build; then one dump per operation, in CALLGRIND_COUNTS order.
    figures = {}
    for (op, count), total in zip(CALLGRIND_COUNTS.items(), totals[1:]):
        figures[op] = total / count / (visited if op == "commit" else 1)
    return figures


def main():
    gc.disable()
    if len(sys.argv) > 1 and sys.argv[1] == "--callgrind-child":
        callgrind_child(int(sys.argv[2]), int(sys.argv[3]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--callgrind":
        results = {(n, k): callgrind_run(n, k) for n in SIZES for _, k in BOOKS}
        print("instructions per call (callgrind):")
        report(results, "Ir", None)
        return
    results = {(n, k): measure(n, k) for n in SIZES for _, k in BOOKS}
    report(results, "us", GOALS_US)
    # Every free-lot figure above must come from the closing-lot index, not from the walk it falls back to.
    taken = {book: fallbacks for book, fallbacks in FALLBACKS.items() if fallbacks}
    print(f"fallbacks (session.diagnostics): {taken or 'none'}  (goal: none)")


if __name__ == "__main__":
    main()
