"""CTP session, login snapshots and trade-driven local position state."""

import asyncio as asyncio
import math as math
import os as os
import time as time
from collections.abc import Callable, Coroutine, Mapping
from datetime import datetime as datetime, timedelta as timedelta, timezone as timezone
from tempfile import mkdtemp as mkdtemp
from types import ModuleType
from typing import Any, Protocol

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
    def __init__(self, config: CtpAccount, directory: Any) -> None: ...
    def request(self, method: str, data: dict[str, Any], request_id: int) -> int: ...
    def poll(self) -> list[dict[str, Any]]: ...
    def close(self) -> None: ...
    def fileno(self) -> int | None:
        """The bridge's readiness descriptor for this handle, which the run loop watches; None without one."""

class Trading:
    """Private protocol state is committed to user objects only by wait_update."""

    config: CtpAccount | None
    timeout: float
    objects: dict[int, object]
    factory: Callable[[CtpAccount, str], _Adapter]
    account: Account
    session_status: str
    published_status: str
    positions: LiveMap
    orders: LiveMap
    trades: list[Trade]
    trade_views: dict[str, Trade]
    a: dict[str, Any]
    p: dict[str, dict[str, Any]]
    o: dict[str, dict[str, Any]]
    t: dict[str, dict[str, Any]]
    native_orders: dict[str, dict[str, Any]]
    instruments: dict[str, dict[str, Any]]
    ref_orders: dict[tuple[Any, Any, Any], str]
    system_orders: dict[str, str]
    pending_trades: dict[str, dict[str, Any]]
    live_trade_buffer: dict[str, dict[str, Any]]
    trade_before: set[str]
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
    phase: str
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
                 native_factory: Callable[[CtpAccount, str], _Adapter] = ...) -> None: ...
    def position_view(self, symbol: str | None) -> Position | LiveMap: ...
    def start(self) -> None: ...
    def _open_native(self) -> None: ...
    def _close_native(self) -> None: ...
    def _clear_cache(self, status: str) -> None: ...
    def _touch(self) -> None: ...
    def _status(self, value: str) -> None: ...
    def _request(self, method: str, fields: Mapping[str, Any] | None = None) -> tuple[int, Any]: ...
    def _phase_request(self, phase: str, method: str, data: Mapping[str, Any] | None = None) -> None: ...
    def _schedule_account(self) -> None: ...
    def run(self) -> Coroutine[Any, Any, None]: ...
    def event(self, record: dict[str, Any]) -> None: ...
    def tick(self, now: float) -> None: ...
    def insert(self, symbol: str, direction: str, offset: str, volume: int,
               limit_price: float) -> Coroutine[Any, Any, list[TradingResult]]: ...
    def _insert(self, symbol: str, direction: str, offset: str, volume: int,
                limit_price: float) -> Coroutine[Any, Any, list[TradingResult]]: ...
    def cancel(self, order_id: Any) -> list[TradingResult]: ...
    def _update_view(self, obj: LiveObject, values: Mapping[str, Any], changes: dict[int, set[str]]) -> set[str]: ...
    def _map_view(self, view: LiveMap, key: str, values: Mapping[str, Any],
                  changes: dict[int, set[str]]) -> LiveObject: ...
    def commit(self, changes: dict[int, set[str]]) -> bool: ...
    def close(self) -> Coroutine[Any, Any, None]: ...
