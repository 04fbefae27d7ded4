"""Configuration records of the simulated counter: accounts, instruments and the default instrument table."""

from __future__ import annotations

from dataclasses import dataclass

# Exchanges that keep today's and earlier lots apart: a close must say which lots it closes.
SPLIT_EXCHANGES = frozenset({"SHFE", "INE"})

FUTURES = "1"
OPTIONS = "2"
COMBINATION = "3"


@dataclass
class AccountConfig:
    """One investor account at the counter.

    ``balance`` is the static balance the account starts its first trading day with (CNY).
    """

    broker_id: str = "7070"
    user_id: str = "10086001"
    password: str = "Sim@2024"
    app_id: str = "velkor_client_1.0"
    auth_code: str = "QJ7TZK4N8M2V5XR1"
    balance: float = 1_000_000.0


@dataclass
class Instrument:
    """One tradable contract.

    ``margin_rate`` is the share of the contract value held as margin (per lot: price * ``volume_multiple`` *
    ``margin_rate``); ``commission`` is charged per lot on every fill; ``price`` is the last price the counter
    starts with. ``product_class`` follows CTP: "1" futures, "2" options, "3" combinations, ...
    """

    exchange: str
    instrument_id: str
    price_tick: float
    volume_multiple: int
    price: float
    margin_rate: float = 0.1
    commission: float = 3.0
    min_volume: int = 1
    max_volume: int = 500
    trading: bool = True
    product_class: str = FUTURES
    name: str = ""
    product_id: str = ""

    @property
    def symbol(self) -> str:
        return self.exchange + "." + self.instrument_id

    @property
    def split(self) -> bool:
        """True when closes must name today's or earlier lots (SHFE, INE)."""
        return self.exchange in SPLIT_EXCHANGES

    def margin(self, value: float) -> float:
        """Margin held for a position or order worth ``value`` (price * lots summed)."""
        return value * self.volume_multiple * self.margin_rate

    def on_grid(self, price: float) -> bool:
        if self.price_tick <= 0:
            return True
        q = price / self.price_tick
        return abs(q - round(q)) <= 1e-7


def _fut(exchange: str, iid: str, name: str, product: str, tick: float, mult: int, price: float, margin: float,
         commission: float, max_volume: int = 500, trading: bool = True) -> Instrument:
    return Instrument(exchange, iid, tick, mult, price, margin, commission, max_volume=max_volume, name=name,
                      product_id=product, trading=trading)


def _opt(exchange: str, iid: str, name: str, product: str, tick: float, mult: int, price: float, commission: float,
         max_volume: int = 200) -> Instrument:
    # Option positions are margined like futures here, at a flat rate of the premium value.
    return Instrument(exchange, iid, tick, mult, price, 1.0, commission, max_volume=max_volume, name=name,
                      product_id=product, product_class=OPTIONS)


def default_instruments() -> list[Instrument]:
    """A realistic table of contracts on every exchange, with a few options, a combination and a halted contract."""
    return [
        _fut("SHFE", "ag2412", "白银2412", "ag", 1.0, 15, 7800.0, 0.12, 1.5),
        _fut("SHFE", "rb2501", "螺纹钢2501", "rb", 1.0, 10, 3500.0, 0.10, 3.0),
        _fut("SHFE", "cu2412", "铜2412", "cu", 10.0, 5, 76000.0, 0.10, 12.0),
        _fut("SHFE", "au2412", "黄金2412", "au", 0.02, 1000, 620.0, 0.10, 10.0),
        _fut("SHFE", "rb2410", "螺纹钢2410", "rb", 1.0, 10, 3400.0, 0.10, 3.0, trading=False),
        _fut("INE", "sc2412", "原油2412", "sc", 0.1, 1000, 540.0, 0.15, 20.0),
        _fut("INE", "bc2412", "国际铜2412", "bc", 10.0, 5, 68000.0, 0.10, 8.0),
        _fut("DCE", "m2501", "豆粕2501", "m", 1.0, 10, 3100.0, 0.10, 1.5, max_volume=1000),
        _fut("DCE", "i2501", "铁矿石2501", "i", 0.5, 100, 780.0, 0.13, 8.0, max_volume=1000),
        _fut("CZCE", "SR501", "白糖501", "SR", 1.0, 10, 5900.0, 0.09, 3.0, max_volume=1000),
        _fut("CZCE", "TA501", "PTA501", "TA", 2.0, 5, 4800.0, 0.09, 3.0, max_volume=1000),
        _fut("CFFEX", "IF2412", "沪深300指数2412", "IF", 0.2, 300, 3900.0, 0.12, 25.0, max_volume=20),
        _fut("CFFEX", "T2412", "十年期国债2412", "T", 0.005, 10000, 106.5, 0.02, 3.0, max_volume=50),
        _fut("GFEX", "si2501", "工业硅2501", "si", 5.0, 5, 11000.0, 0.09, 5.0, max_volume=1000),
        _fut("GFEX", "lc2501", "碳酸锂2501", "lc", 50.0, 1, 77000.0, 0.09, 8.0, max_volume=1000),
        _opt("DCE", "m2501-C-3000", "豆粕2501购3000", "m_o", 0.5, 10, 130.0, 1.0),
        _opt("CZCE", "SR501C6000", "白糖501购6000", "SR_o", 0.5, 10, 60.0, 1.5),
        _opt("SHFE", "cu2412C76000", "铜2412购76000", "cu_o", 2.0, 5, 1200.0, 5.0),
        _opt("CFFEX", "IO2412-C-4000", "沪深300指数期权2412购4000", "IO", 0.2, 100, 85.0, 15.0, max_volume=50),
        Instrument("DCE", "SP m2501&m2505", 1.0, 10, -20.0, 0.10, 3.0, max_volume=1000, name="豆粕跨期2501&2505",
                   product_id="m_sp", product_class=COMBINATION),
    ]
