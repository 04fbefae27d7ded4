"""Pre-trade limits against the simulated broker counter: an order that could trade against the account's own
resting order is refused before it leaves, and so is any order on a contract whose cancels reached the limit;
the log names the rule, the limit and the count, and `limit_counts` shows what the session counted.

    .venv/bin/python examples/limits.py
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable
from typing import Literal

from ctpsim import Counter, Front
from velkor.ledgerlet import CtpAccount
from velkor.trading import Limits, Trading

SYMBOL = "SHFE.ag2412"  # the simulated counter starts it at 7800


async def wait_until(session: Trading, condition: Callable[[], bool], timeout: float = 30.0) -> None:
    """The update wait: sleeps until the session has news, publishes it with commit() and checks again."""
    async with asyncio.timeout(timeout):
        while not condition():
            await session.changed.wait()
            session.commit({})


async def rest(session: Trading, direction: Literal["BUY", "SELL"], price: float) -> str:
    """An order away from the market, once the exchange has numbered it (it can be cancelled then)."""
    [result] = await session.insert(SYMBOL, direction, "OPEN", 1, price)
    order_id = result.order_id
    assert order_id is not None, result.message
    await wait_until(session, lambda: order_id in session.orders and bool(session.orders[order_id].order_sys_id))
    return order_id


def cancelled(session: Trading, order_id: str) -> Callable[[], bool]:
    return lambda: session.orders[order_id].status == "CANCELLED"


async def trade(session: Trading) -> None:
    await wait_until(session, lambda: session.published_status == "READY")
    resting = await rest(session, "SELL", 7900.0)
    [refused] = await session.insert(SYMBOL, "BUY", "OPEN", 1, 7900.0)
    print(f"crossing buy: {refused.status} {refused.message}")

    for order_id in (resting, await rest(session, "BUY", 7700.0)):
        [cancel] = session.cancel(order_id)
        assert cancel.status == "SUBMITTED", cancel.message
        await wait_until(session, cancelled(session, order_id))
    [refused] = await session.insert(SYMBOL, "BUY", "OPEN", 1, 7700.0)
    print(f"after two cancels: {refused.status} {refused.message}")
    counts = session.limit_counts
    assert counts is not None
    print(f"cancels today: {dict(counts['cancels'])}; alive orders: {counts['active_orders']}")


async def main() -> None:
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    with Front() as front:
        counter = Counter(front)
        sim = counter.accounts[0]
        config = CtpAccount(sim.broker_id, sim.user_id, sim.password, front.address, sim.app_id, sim.auth_code)
        session = Trading(config, 10.0, objects={}, limits=Limits(max_cancels_per_contract=2, self_trade=True))
        session.start()
        try:
            await trade(session)
        finally:
            await session.close()
            counter.close()


if __name__ == "__main__":
    asyncio.run(main())
