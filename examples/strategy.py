"""A small strategy against the simulated broker counter: wait for READY, open a position and see the fill,
close it, rest an order and cancel it, and read the broker's reason for a refused order from the log.

    .venv/bin/python examples/strategy.py

To trade with a broker, build the CtpAccount from your broker's front address and your account instead of
the simulated front and counter.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable

from ctpsim import Counter, Front
from velkor.ledgerlet import CtpAccount, Order
from velkor.trading import Trading

SYMBOL = "SHFE.ag2412"  # the simulated counter starts it at 7800


class BrokerReasons(logging.Handler):
    """What the broker said about each refused order: the log records of "velkor.trading.orders" carry
    the order id and the broker's ErrorID and ErrorMsg."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.by_order: dict[str, str] = {}

    def emit(self, record: logging.LogRecord) -> None:
        order_id = getattr(record, "order_id", None)
        if order_id is not None:
            self.by_order[order_id] = f"ErrorID {getattr(record, 'error_id')}: {getattr(record, 'error_msg')}"


async def wait_until(session: Trading, condition: Callable[[], bool], timeout: float = 30.0) -> None:
    """The update wait: sleeps until the session has news, publishes it with commit() and checks again."""
    async with asyncio.timeout(timeout):
        while not condition():
            if session.published_status == "ERROR":
                raise RuntimeError(f"the session ended: {session.error}")
            await session.changed.wait()
            session.commit({})


def order_of(session: Trading, order_id: str | None) -> Order:
    assert order_id is not None, "the order was not sent"
    return session.orders[order_id]


async def trade(session: Trading, reasons: BrokerReasons) -> None:
    await wait_until(session, lambda: session.published_status == "READY")
    print(f"READY: balance {session.account.balance:,.2f}, available {session.account.available:,.2f}")

    # Open at the market: the order fills at once, the trade and the position follow.
    [result] = await session.insert(SYMBOL, "BUY", "OPEN", 2, 7800.0)
    print(f"open: {result.status} {result.order_id}")
    await wait_until(session, lambda: result.order_id in session.orders
                     and order_of(session, result.order_id).status == "FILLED")
    position = session.positions[SYMBOL]  # the same object keeps showing the latest committed values
    for fill in session.trades:
        print(f"fill: {fill.direction} {fill.offset} {fill.volume} {fill.symbol} at {fill.price}")
    print(f"position: long {position.pos_long}, of which today {position.pos_long_today}")

    # Close it again: today's lots on SHFE, so one close-today order.
    results = await session.insert(SYMBOL, "SELL", "CLOSE", 2, 7800.0)
    print("close: " + ", ".join(f"{r.status} {r.order_id}" for r in results))
    await wait_until(session, lambda: position.pos_long == 0)
    print(f"closed: {', '.join(str(order_of(session, r.order_id).offset) for r in results)}; "
          f"long {position.pos_long}")

    # A buy below the market rests at the exchange until it is cancelled.
    [result] = await session.insert(SYMBOL, "BUY", "OPEN", 1, 7700.0)
    # Cancelling needs the exchange's order number, which comes with the order's second return.
    await wait_until(session, lambda: result.order_id in session.orders
                     and bool(order_of(session, result.order_id).order_sys_id))
    print(f"resting: {result.order_id} {order_of(session, result.order_id).status}")
    [cancelled] = session.cancel(str(result.order_id))
    print(f"cancel: {cancelled.status}")
    await wait_until(session, lambda: order_of(session, result.order_id).status == "CANCELLED")
    print(f"cancelled: {order_of(session, result.order_id).status_msg}")

    # 300 lots of copper need more margin than the account has: the counter refuses the order.
    [result] = await session.insert("SHFE.cu2412", "BUY", "OPEN", 300, 76000.0)
    await wait_until(session, lambda: result.order_id in session.orders
                     and order_of(session, result.order_id).status == "REJECTED")
    refused = order_of(session, result.order_id)
    print(f"refused: {refused.status_msg}; the broker said {reasons.by_order[refused.order_id]}")


async def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    reasons = BrokerReasons()
    logging.getLogger("velkor.trading.orders").addHandler(reasons)
    with Front() as front:
        counter = Counter(front)
        sim = counter.accounts[0]
        config = CtpAccount(sim.broker_id, sim.user_id, sim.password, front.address, sim.app_id, sim.auth_code)
        session = Trading(config, 10.0, objects={})
        session.start()
        try:
            await trade(session, reasons)
        finally:
            await session.close()
            counter.close()


if __name__ == "__main__":
    asyncio.run(main())
