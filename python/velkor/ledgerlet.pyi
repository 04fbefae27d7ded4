"""Read-only, identity-preserving trading views."""

from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, ClassVar, Generic, Literal, TypeVar

__all__ = [
    "CtpAccount",
    "LiveObject",
    "Account",
    "Order",
    "Position",
    "Trade",
    "LiveMap",
    "TradingResult",
    "empty_position",
]

@dataclass(frozen=True)
class CtpAccount:
    """CTP 直连账户配置，交易凭据不会发送至行情服务。

    Args:
        broker_id: 期货公司代码。
        user_id: 资金账号。
        password: 交易密码。
        front_url: 交易前置地址，格式为 tcp://地址:端口。
        app_id: 期货公司提供的客户端标识。
        auth_code: 期货公司提供的客户端授权码。
    """

    broker_id: str
    user_id: str
    password: str
    front_url: str
    app_id: str
    auth_code: str
    def __post_init__(self) -> None: ...

class LiveObject:
    __slots__ = ("_values",)
    fields: ClassVar[tuple[str, ...]]
    _values: dict[str, Any]
    def __init__(self, **values: Any) -> None: ...
    def __getattr__(self, key: str) -> Any: ...
    def __setattr__(self, key: str, value: Any) -> None: ...

class Account(LiveObject):
    """只读资金快照；金额单位为人民币元，未知字段为 None。

    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。
    """

    __slots__ = ()
    account_id: str | None
    trading_day: str | None
    balance: float | None
    available: float | None
    margin: float | None
    frozen_margin: float | None
    commission: float | None
    frozen_commission: float | None
    close_profit: float | None
    position_profit: float | None
    deposit: float | None
    withdraw: float | None
    updated_at: int | None

class Order(LiveObject):
    """只读订单快照；断线后观察句柄保留最后一次已提交的数据。"""

    __slots__ = ()
    order_id: str
    order_sys_id: str | None
    symbol: str
    direction: str | None
    offset: str | None
    limit_price: float | None
    volume_original: int | None
    volume_traded: int | None
    volume_left: int | None
    status: Literal["PENDING", "ALIVE", "FILLED", "CANCELLED", "REJECTED"] | None
    status_msg: str | None
    cancel_pending: bool
    cancel_error: str | None
    insert_time: int | None

class Position(LiveObject):
    """只读持仓快照；数量单位为手。

    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。
    """

    __slots__ = ()
    symbol: str
    pos_long: int | None
    pos_short: int | None
    pos_long_today: int | None
    pos_short_today: int | None
    available_long: int | None
    available_short: int | None

class Trade(LiveObject):
    """只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。"""

    __slots__ = ()
    trade_id: str
    order_sys_id: str
    symbol: str
    direction: str | None
    offset: str | None
    price: float | None
    volume: int | None
    trade_time: int | None

_K = TypeVar("_K")
_V = TypeVar("_V", bound=LiveObject)

class LiveMap(Mapping[_K, _V], Generic[_K, _V]):
    __slots__ = ("_data", "item_type")
    _data: dict[_K, _V]
    item_type: type[_V]
    def __init__(self, item_type: type[_V]) -> None: ...
    def __getitem__(self, key: _K) -> _V: ...
    def __iter__(self) -> Iterator[_K]: ...
    def __len__(self) -> int: ...

@dataclass(frozen=True)
class TradingResult:
    """一次交易操作的即时提交结果；不是最终委托或撤单结果。"""

    status: Literal["SUBMITTED", "REJECTED", "UNKNOWN"]
    order_id: str | None
    message: str = ""

def empty_position(symbol: str, updated_at: int | None = None) -> dict[str, Any]: ...
