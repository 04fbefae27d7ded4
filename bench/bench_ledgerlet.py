"""Cost of reading the snapshot objects, next to a plain slotted attribute read measured in the same run.

Goal: reading a field of an Order costs at most 2x reading an attribute of a Python object with __slots__.
Each figure is the best of many short interleaved runs (the machine is shared), with the cost of the
empty loop taken out, so it is the cost of the read itself.
"""

import time

from velkor.ledgerlet import LiveMap, Order

READS = 10  # reads per loop pass
PASSES = 100_000
ROUNDS = 40
KEY = "SHFE.ag2412:1"


class Slotted:
    __slots__ = ("status",)

    def __init__(self):
        self.status = "ALIVE"


def reader(expression):
    """A function that evaluates `expression` (on the argument `x`) READS times per pass."""
    body = "; ".join([expression] * READS) if expression else "pass"
    namespace = {"KEY": KEY}
    exec(f"def run(x, n):\n    for _ in range(n):\n        {body}\n", namespace)
    return namespace["run"]


def main():
    order = Order(order_id="1:2:3", symbol="SHFE.ag2412", status="ALIVE", volume_left=3)
    orders = LiveMap(Order)
    orders._data[KEY] = order
    cases = [
        ("empty loop", reader(""), None),
        ("slotted attribute read", reader("x.status"), Slotted()),
        ("Order field read", reader("x.status"), order),
        ("Order class attribute read", reader("x.fields"), order),
        ("LiveMap lookup", reader("x[KEY]"), orders),
        ("dict lookup", reader("x[KEY]"), {KEY: order}),
        ("LiveMap.get", reader("x.get(KEY)"), orders),
    ]
    best = {name: float("inf") for name, _, _ in cases}
    for _ in range(ROUNDS):
        for name, run, arg in cases:
            start = time.perf_counter_ns()
            run(arg, PASSES)
            best[name] = min(best[name], (time.perf_counter_ns() - start) / (PASSES * READS))
    loop = best.pop("empty loop")
    slot = best["slotted attribute read"] - loop
    for name, ns in best.items():
        print(f"{name:28s} {ns - loop:6.1f} ns/read  {(ns - loop) / slot:5.2f}x slotted")
    ratio = (best["Order field read"] - loop) / slot
    verdict = "met" if ratio <= 2.0 else "NOT met"
    print(f"goal: Order field read at most 2.00x a slotted read: {ratio:.2f}x, {verdict}")


if __name__ == "__main__":
    main()
