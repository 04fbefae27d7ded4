"""Memory over trading days, short: what a day's orders and fills hold is released by the day roll.

The full run, with figures per day and per order, is bench/bench_soak.py.
"""

from __future__ import annotations

import os
import sys

import pytest

pytest.importorskip("ctpsim._front", reason="simulated front not built (vendor SDK build)")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from bench_soak import soak  # noqa: E402

DAYS = 4
ORDERS = 100
PLATEAU = 50  # tracked objects a day may add after the second roll: a few caches, nothing per order
HELD_SPREAD = 8  # objects the session holds after a roll: the same every day but for a few numbers


async def test_live_objects_return_to_a_plateau_after_every_day_roll():
    base, days = await soak(DAYS, ORDERS, report=lambda line: None, explain_days=())
    for day in days:
        full, after = day["full"], day["after"]
        # the day traded: orders went out and filled, and each held objects until the roll
        assert day["orders"] > ORDERS // 2 and day["fills"] > 0, day
        assert full["objects"] - after["objects"] > 2 * day["orders"], day
        assert full["Order"] >= day["orders"] and full["Trade"] >= day["fills"], day
        # after the roll the user holds no order or fill of an earlier day
        assert (after["Order"], after["Trade"]) == (0, 0), day
    plateau = [day["after"]["objects"] for day in days[1:]]
    assert max(plateau) - plateau[0] <= PLATEAU, (base, plateau)
    # what the session itself keeps, order ids and other texts included, comes back to the same count
    kept = [day["held"] for day in days[1:]]
    assert max(kept) - min(kept) <= HELD_SPREAD, kept
