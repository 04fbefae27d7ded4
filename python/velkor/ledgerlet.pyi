"""Read-only, identity-preserving trading views."""

from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, ClassVar, Generic, Literal as Literal, TypeAlias, TypeVar

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

_Direction: TypeAlias = Literal["BUY", "SELL"]
_Offset: TypeAlias = Literal["OPEN", "CLOSE", "CLOSE_TODAY", "CLOSE_YESTERDAY"]
_OrderStatus: TypeAlias = Literal["PENDING", "ALIVE", "FILLED", "CANCELLED", "REJECTED"]

# A view's fields are read as attributes and can never be assigned, hence read-only properties here.
# The runtime's __getattr__ (which also serves values kept beyond `fields`) is left out on purpose, so
# that a misspelt field is a type error.
class LiveObject:
    __slots__ = ("_values",)
    fields: ClassVar[tuple[str, ...]]
    _values: dict[str, Any]
    def __init__(self, **values: Any) -> None: ...

class Account(LiveObject):
    """只读资金快照；金额单位为人民币元，未知字段为 None。

    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。
    """

    __slots__ = ()
    @property
    def account_id(self) -> str | None: ...
    @property
    def trading_day(self) -> str | None: ...
    @property
    def balance(self) -> float | None: ...
    @property
    def available(self) -> float | None: ...
    @property
    def margin(self) -> float | None: ...
    @property
    def frozen_margin(self) -> float | None: ...
    @property
    def commission(self) -> float | None: ...
    @property
    def frozen_commission(self) -> float | None: ...
    @property
    def close_profit(self) -> float | None: ...
    @property
    def position_profit(self) -> float | None: ...
    @property
    def deposit(self) -> float | None: ...
    @property
    def withdraw(self) -> float | None: ...
    @property
    def updated_at(self) -> int | None: ...

class Order(LiveObject):
    """只读订单快照；断线后观察句柄保留最后一次已提交的数据。"""

    __slots__ = ()
    @property
    def order_id(self) -> str: ...
    @property
    def order_sys_id(self) -> str | None: ...
    @property
    def symbol(self) -> str: ...
    @property
    def direction(self) -> _Direction | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def limit_price(self) -> float | None: ...
    @property
    def volume_original(self) -> int | None: ...
    @property
    def volume_traded(self) -> int | None: ...
    @property
    def volume_left(self) -> int | None: ...
    @property
    def status(self) -> _OrderStatus | None: ...
    @property
    def status_msg(self) -> str | None: ...
    @property
    def cancel_pending(self) -> bool: ...
    @property
    def cancel_error(self) -> str | None: ...
    @property
    def insert_time(self) -> int | None: ...

class Position(LiveObject):
    """只读持仓快照；数量单位为手。

    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。
    """

    __slots__ = ()
    @property
    def symbol(self) -> str: ...
    @property
    def pos_long(self) -> int | None: ...
    @property
    def pos_short(self) -> int | None: ...
    @property
    def pos_long_today(self) -> int | None: ...
    @property
    def pos_short_today(self) -> int | None: ...
    @property
    def available_long(self) -> int | None: ...
    @property
    def available_short(self) -> int | None: ...

class Trade(LiveObject):
    """只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。"""

    __slots__ = ()
    @property
    def trade_id(self) -> str: ...
    @property
    def order_sys_id(self) -> str: ...
    @property
    def symbol(self) -> str: ...
    @property
    def direction(self) -> _Direction | None: ...
    @property
    def offset(self) -> _Offset | None: ...
    @property
    def price(self) -> float | None: ...
    @property
    def volume(self) -> int | None: ...
    @property
    def trade_time(self) -> int | None: ...

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
