"""CTP session, login snapshots and trade-driven local position state."""

import asyncio as asyncio
import logging as logging
import math as math
import os as os
import time as time
from collections.abc import Callable, Coroutine, Mapping
from datetime import datetime as datetime, timedelta as timedelta, timezone as timezone
from tempfile import mkdtemp as mkdtemp
from types import ModuleType
from typing import Any, Literal, Protocol, TypeAlias, overload

from .data import VelkorError as VelkorError, check_symbol as check_symbol, different as different
from .errors import Recovery as Recovery
from .ledgerlet import (
    Account as Account,
    CtpAccount,
    LiveMap as LiveMap,
    LiveObject,
    Order as Order,
    Position as Position,
    Trade as Trade,
    TradingResult as TradingResult,
    empty_position as empty_position,
)

_Status: TypeAlias = Literal["SYNCING", "READY", "DISCONNECTED", "ERROR"]
_Phase: TypeAlias = Literal["connecting", "authenticate", "login", "settlement", "sync", "ready"]
# Exchanges number on their own: an order is (exchange, OrderSysID), a fill (exchange, TradeID, "BUY"/"SELL").
_OrderKey: TypeAlias = tuple[str, str]
_FillKey: TypeAlias = tuple[str, str, str]

TZ: timezone
QUERY: dict[str, str]
SYNC_STEPS: tuple[str, ...]
PHASE_LABELS: dict[str, str]
QUERY_LABELS: dict[str, str]
ACCOUNT_FIELDS: dict[str, str]
OFFSET_BY_FLAG: dict[str, str]
FLAG_BY_OFFSET: dict[str, str]

def timestamp(day: Any, clock: Any) -> int | None:
    """CTP date (YYYYMMDD) and time (HH:MM:SS), exchange time UTC+8, to epoch milliseconds; None if unparsable."""

def finite(value: Any) -> Any:
    """`value` itself when it is an int or float, finite and of magnitude below 1e100; else None."""

def local_order_id(front: Any, session: Any, order_ref: Any) -> str:
    """front, session and order reference joined by ":"."""

def order_offset(value: Any) -> str:
    """The offset name of a CTP combined offset flag (first character only); "CLOSE" when unknown."""

class _Adapter(Protocol):
    def request(self, method: str, data: dict[str, Any], request_id: int) -> int: ...
    def poll(self) -> list[dict[str, Any]]: ...
    def close(self) -> None: ...

class Native:
    module: ModuleType
    handle: object
    def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None:
        """The adapter over one handle of the bridge velkor._kestro (a CTP API for config.front_url)."""
    def request(self, method: str, data: dict[str, Any], request_id: int) -> int:
        """Sends one CTP request; CTP's result: 0 sent, -1 network failure, -2 and -3 flow control."""
    def poll(self) -> list[dict[str, Any]]:
        """The event records queued since the last poll, oldest first."""
    def close(self) -> None:
        """Releases the CTP API; closing again does nothing."""
    def fileno(self) -> int | None:
        """The bridge's readiness descriptor for this handle, which the run loop watches; None without one."""

class Limits:
    """Pre-trade rules of a session: Trading(..., limits=Limits(...)); None switches a rule off.

    Settings are ints of at least 0 (large_order_volume at least 1) and a bool; anything else raises TypeError or
    ValueError naming the setting. Frozen; equal rules compare and hash alike."""

    def __init__(self, *, max_order_volume: int | None = None, max_active_orders: int | None = None,
                 max_orders_per_second: int | None = None, max_cancels_per_contract: int | None = None,
                 max_large_cancels_per_contract: int | None = None, large_order_volume: int = 300,
                 self_trade: bool = False) -> None: ...
    @property
    def max_order_volume(self) -> int | None:
        """Lots in one insert() call, before a close is split."""
    @property
    def max_active_orders(self) -> int | None:
        """Orders of the account alive at once, other sessions' included; an insert counts every order it sends."""
    @property
    def max_orders_per_second(self) -> int | None:
        """Orders and cancels this session sends within any one second."""
    @property
    def max_cancels_per_contract(self) -> int | None:
        """Cancelled orders per contract and trading day; once reached, new orders on that contract are refused."""
    @property
    def max_large_cancels_per_contract(self) -> int | None:
        """The same for orders of at least large_order_volume lots; once reached, new orders of that size are refused."""
    @property
    def large_order_volume(self) -> int:
        """The lots from which an order counts as large (default 300)."""
    @property
    def self_trade(self) -> bool:
        """Refuse an order that could trade against an alive order of the account on the same contract."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> tuple[int | None, int | None, int | None, int | None, int | None, int, bool]: ...
    def __setstate__(self, state: tuple[int | None, int | None, int | None, int | None, int | None, int, bool]) -> None: ...

class Trading:
    """Private protocol state is committed to user objects only by wait_update."""

    config: CtpAccount | None
    timeout: float
    objects: dict[int, object]
    factory: Callable[[CtpAccount, str], _Adapter]
    account: Account
    session_status: _Status
    published_status: _Status
    positions: LiveMap[str, Position]
    orders: LiveMap[str, Order]
    trades: list[Trade]
    trade_views: dict[_FillKey, Trade]
    a: dict[str, Any]
    p: dict[str, dict[str, Any]]
    o: dict[str, dict[str, Any]]
    t: dict[_FillKey, dict[str, Any]]
    native_orders: dict[str, dict[str, Any]]
    instruments: dict[str, dict[str, Any]]
    ref_orders: dict[tuple[Any, Any, Any], str]
    system_orders: dict[_OrderKey, str]
    pending_trades: dict[_FillKey, dict[str, Any]]
    live_trade_buffer: dict[_FillKey, dict[str, Any]]
    trade_before: set[_FillKey]
    position_candidate: dict[str, Any] | None
    position_ready: bool
    pending: set[str]
    inflight: dict[str, Any] | None
    sync_index: int
    last_query: float
    last_account_refresh: float
    request_id: int
    order_ref: int
    order_revisions: dict[str, int]
    revision: int
    front: int
    session: int
    day: str
    phase: _Phase
    phase_id: int | None
    phase_time: float
    phase_data: dict[str, Any]
    task: asyncio.Task[None] | None
    native: _Adapter | None
    error: VelkorError | None
    dirty: bool
    changed: asyncio.Event
    directory: str | None
    reset_pending: bool
    recovery: Recovery
    query_recovery: Recovery
    published_position_time: int | None

    def __init__(self, config: CtpAccount | None, timeout: float, objects: dict[int, object], *,
                 native_factory: Callable[[CtpAccount, str], _Adapter] = ..., limits: Limits | None = None,
                 journal: str | os.PathLike[str] | None = None) -> None:
        """One CTP trading session of one account; nothing connects before start()."""
    @overload
    def position_view(self, symbol: str) -> Position:
        """The published Position of `symbol`, added to `positions` when new."""
    @overload
    def position_view(self, symbol: None) -> LiveMap[str, Position]: ...
    def start(self) -> None:
        """Starts the session's task on the running asyncio loop."""
    def _open_native(self) -> None: ...
    def _close_native(self) -> None: ...
    def _clear_cache(self, status: str) -> None: ...
    def _touch(self) -> None: ...
    def _status(self, value: str) -> None: ...
    def _request(self, method: str, fields: Mapping[str, Any] | None = None) -> tuple[int, Any]: ...
    def _phase_request(self, phase: str, method: str, data: Mapping[str, Any] | None = None) -> None: ...
    def _schedule_account(self) -> None: ...
    def _journal_clock(self) -> float: ...
    def run(self) -> Coroutine[Any, Any, None]:
        """The session's task: polls, dispatches, ticks; returns when a fatal error ends the session."""
    def event(self, event: dict[str, Any]) -> None:
        """Applies one event record of the bridge."""
    def _query_error(self, code: int, message: str) -> None: ...
    def tick(self, now: float) -> None:
        """Time-outs and query pacing at the monotonic time `now`."""
    def _deadline(self) -> float: ...
    def _complete(self, query: dict[str, Any]) -> None: ...
    def _complete_account(self, rows: list[dict[str, Any]], now_ms: int) -> None: ...
    def _positions(self, rows: list[dict[str, Any]], updated: int | None) -> dict[str, dict[str, Any]]: ...
    def _by_ref(self, ref: Any) -> dict[str, Any] | None: ...
    @staticmethod
    def _is_spec_order(row: Mapping[str, Any]) -> bool: ...
    @staticmethod
    def _is_spec_trade(row: Mapping[str, Any]) -> bool: ...
    def _child(self, row: Mapping[str, Any]) -> dict[str, Any] | None: ...
    def _order(self, row: Mapping[str, Any], query_revision: int | None = None) -> None: ...
    @staticmethod
    def _trade_key(row: Mapping[str, Any]) -> _FillKey: ...
    def _trade(self, row: Mapping[str, Any], *, update_position: bool) -> bool: ...
    def _apply_position_trade(self, row: Mapping[str, Any]) -> None: ...
    def _free_parts(self, symbol: str, side: Literal["long", "short"]) -> tuple[int, int]: ...
    def _recompute_frozen(self, updated: int | None = None, *, symbol: str | None = None) -> None: ...
    def _aggregate(self, child: dict[str, Any] | None = None) -> None: ...
    def insert(self, symbol: str, direction: Literal["BUY", "SELL"], offset: Literal["OPEN", "CLOSE"], volume: int,
               limit_price: float) -> Coroutine[Any, Any, list[TradingResult]]:
        """Sends a limit order; one TradingResult per order sent (a close on SHFE or INE may give two)."""
    def _insert(self, symbol: str, direction: Literal["BUY", "SELL"], offset: Literal["OPEN", "CLOSE"], volume: int,
                limit_price: float) -> Coroutine[Any, Any, list[TradingResult]]: ...
    def cancel(self, order_id: str) -> list[TradingResult]:
        """Asks the broker to cancel a working order: [] when there is nothing to cancel, else one result."""
    def _update_view(self, obj: LiveObject, values: Mapping[str, Any], changes: dict[int, set[str]]) -> set[str]: ...
    def _map_view(self, view: LiveMap[Any, Any], key: str, values: Mapping[str, Any],
                  changes: dict[int, set[str]]) -> LiveObject: ...
    def commit(self, changes: dict[int, set[str]]) -> bool:
        """Copies private state into account, positions, orders and trades; records what changed."""
    def close(self) -> Coroutine[Any, Any, None]:
        """Ends the session: orders and cancels are refused from now on; status "DISCONNECTED"."""
    @property
    def diagnostics(self) -> Mapping[str, int]:
        """How often the session took a slower path, by cause; a read-only snapshot with every name present:
        "closing_walk.<cause>" counts answers of the free lots to close that a walk over every order gave instead
        of the closing-lot index (no_watcher, shared_record, irregular_record, order_dependent, unusual_lots,
        index_failed); "timed_pause.<cause>" counts adapters the run loop paused for by time instead of waking on
        their descriptor (no_descriptor, descriptor_refused, descriptor_broken, asyncio_replaced) or, with a
        replaced module-level `time`, every 0.01 s besides it (clock_replaced), or likewise with a time-out, a time
        the session keeps or a clock reading that is no plain int or float (irregular_time). The first of
        each cause in a session is logged as a WARNING on "velkor.trading" with the record attribute `fallback`."""
    @property
    def limits(self) -> Limits | None:
        """The pre-trade rules the session was built with; None without them."""
    @property
    def limit_counts(self) -> Mapping[str, Any] | None:
        """What the pre-trade rules count, a read-only snapshot; None without limits: "active_orders" (alive orders of
        the account), "orders_last_second" (orders and cancels this session sent within the second before its last
        insert or cancel), "self_trade_refusals" (today), "cancels" and "large_cancels" (contract -> orders
        cancelled today, each order once: by any session, and those this session sent a cancel for)."""
