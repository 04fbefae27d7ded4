"""Data helpers of the host package that the trading layer relies on."""

from __future__ import annotations

import math

from .errors import VelkorError

__all__ = ["VelkorError", "check_symbol", "different"]

_PRINTABLE = frozenset(chr(c) for c in range(0x21, 0x7F))  # printable ASCII without the space


def check_symbol(symbol: object) -> None:
    """Accepts "EXCHANGE.INSTRUMENT" and returns None; raises TypeError or ValueError otherwise.

    The exchange id is 1 to 8 upper-case ASCII letters; the instrument id is 1 to 80 printable
    ASCII characters without spaces or ".".
    """
    if not isinstance(symbol, str):
        raise TypeError(f"合约代码必须是字符串，而不是 {type(symbol).__name__}")
    exchange, dot, instrument = symbol.partition(".")
    if not dot:
        raise ValueError(f"合约代码 {symbol!r} 格式错误，应为 交易所.合约，例如 SHFE.ag2412")
    if not (1 <= len(exchange) <= 8 and exchange.isascii() and exchange.isalpha() and exchange.isupper()):
        raise ValueError(f"合约代码 {symbol!r} 的交易所代码必须是 1 至 8 个大写英文字母")
    if not 1 <= len(instrument) <= 80:
        raise ValueError(f"合约代码 {symbol!r} 的合约编号长度必须为 1 至 80 个字符")
    if "." in instrument or not _PRINTABLE.issuperset(instrument):
        raise ValueError(f"合约代码 {symbol!r} 的合约编号只能包含可打印 ASCII 字符，且不能包含空格或“.”")


def different(old: object, new: object) -> bool:
    """True when a published value ``old`` must be replaced by ``new``.

    Values of different types always differ (``True`` vs ``1``, ``1`` vs ``1.0``); two float NaNs
    are the same value, so an unchanged NaN is not reported again.
    """
    if type(old) is not type(new):
        return True
    if old is new:
        return False
    if type(old) is float and type(new) is float and math.isnan(old) and math.isnan(new):
        return False
    return bool(old != new)
