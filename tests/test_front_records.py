"""Record layouts of the stand-in API and the front's field encoding."""

import struct

import pytest

pytest.importorskip("ctpsim._front", reason="simulated front not built (vendor SDK build)")

from ctpsim import _front  # noqa: E402
from ctpsim.front import decode, encode  # noqa: E402

ALIGN = {"s": 1, "c": 1, "i": 4, "d": 8}
WIDTH = {"c": 1, "i": 4, "d": 8}

# Fields the bridge reads or writes, with their kinds and string sizes (char[N]).
S = lambda n: ("s", n)  # noqa: E731
C, I, D = ("c", 1), ("i", 4), ("d", 8)
ORDER = dict(TradingDay=S(9), ExchangeID=S(9), InstrumentID=S(81), OrderSysID=S(21), OrderRef=S(13), FrontID=I,
             SessionID=I, Direction=C, CombOffsetFlag=S(5), CombHedgeFlag=S(5), LimitPrice=D,
             VolumeTotalOriginal=I, VolumeTraded=I, VolumeTotal=I, OrderStatus=C, OrderSubmitStatus=C,
             StatusMsg=S(81), InsertDate=S(9), InsertTime=S(9))
BRIDGE_FIELDS = {
    "CThostFtdcRspInfoField": dict(ErrorID=I, ErrorMsg=S(81)),
    "CThostFtdcReqAuthenticateField": dict(BrokerID=S(11), UserID=S(16), AuthCode=S(17), AppID=S(33)),
    "CThostFtdcRspAuthenticateField": dict(BrokerID=S(11), UserID=S(16), AppID=S(33)),
    "CThostFtdcReqUserLoginField": dict(BrokerID=S(11), UserID=S(16), Password=S(41)),
    "CThostFtdcRspUserLoginField": dict(TradingDay=S(9), FrontID=I, SessionID=I, MaxOrderRef=S(13)),
    "CThostFtdcSettlementInfoConfirmField": dict(BrokerID=S(11), InvestorID=S(13), CurrencyID=S(4)),
    "CThostFtdcQryOrderField": dict(BrokerID=S(11), InvestorID=S(13), ExchangeID=S(9), OrderSysID=S(21),
                                    InstrumentID=S(81)),
    "CThostFtdcQryTradeField": dict(BrokerID=S(11), InvestorID=S(13), ExchangeID=S(9), InstrumentID=S(81)),
    "CThostFtdcQryInvestorPositionField": dict(BrokerID=S(11), InvestorID=S(13), ExchangeID=S(9),
                                               InstrumentID=S(81)),
    "CThostFtdcQryTradingAccountField": dict(BrokerID=S(11), InvestorID=S(13), CurrencyID=S(4)),
    "CThostFtdcQryInstrumentField": dict(ExchangeID=S(9), InstrumentID=S(81)),
    "CThostFtdcOrderField": ORDER,
    "CThostFtdcTradeField": dict(TradingDay=S(9), ExchangeID=S(9), InstrumentID=S(81), OrderSysID=S(21),
                                 OrderRef=S(13), TradeID=S(21), Direction=C, OffsetFlag=C, HedgeFlag=C, Price=D,
                                 Volume=I, TradeDate=S(9), TradeTime=S(9)),
    "CThostFtdcInvestorPositionField": dict(TradingDay=S(9), ExchangeID=S(9), InstrumentID=S(81), HedgeFlag=C,
                                            PosiDirection=C, PositionDate=C, Position=I, TodayPosition=I,
                                            YdPosition=I, LongFrozen=I, ShortFrozen=I, PositionProfit=D,
                                            UseMargin=D),
    "CThostFtdcTradingAccountField": dict(AccountID=S(13), CurrencyID=S(4), TradingDay=S(9), Balance=D,
                                          Available=D, CurrMargin=D, FrozenMargin=D, Commission=D,
                                          FrozenCommission=D, CloseProfit=D, PositionProfit=D, Deposit=D,
                                          Withdraw=D),
    "CThostFtdcInstrumentField": dict(ExchangeID=S(9), InstrumentID=S(81), ProductClass=C, IsTrading=I,
                                      PriceTick=D, MinLimitOrderVolume=I, MaxLimitOrderVolume=I),
    "CThostFtdcInputOrderField": dict(BrokerID=S(11), InvestorID=S(13), OrderRef=S(13), UserID=S(16),
                                      OrderPriceType=C, Direction=C, CombOffsetFlag=S(5), CombHedgeFlag=S(5),
                                      LimitPrice=D, VolumeTotalOriginal=I, TimeCondition=C, VolumeCondition=C,
                                      MinVolume=I, ContingentCondition=C, ForceCloseReason=C, IsAutoSuspend=I,
                                      UserForceClose=I, ExchangeID=S(9), CurrencyID=S(4), InstrumentID=S(81)),
    "CThostFtdcInputOrderActionField": dict(BrokerID=S(11), InvestorID=S(13), ExchangeID=S(9), OrderSysID=S(21),
                                            ActionFlag=C, LimitPrice=D, UserID=S(16), InstrumentID=S(81)),
    "CThostFtdcOrderActionField": dict(InstrumentID=S(81), ExchangeID=S(9), OrderSysID=S(21)),
}


def test_every_record_is_covered():
    assert set(_front.RECORDS) == set(BRIDGE_FIELDS)


@pytest.mark.parametrize("record", sorted(BRIDGE_FIELDS))
def test_field_table_lists_every_byte_of_the_record(record):
    # Each field starts where the previous one ends, rounded up to its alignment: no field is missing.
    size, fields = _front.RECORDS[record]
    end = 0
    for name, offset, width, kind in fields:
        if kind != "s":
            assert width == WIDTH[kind], name
        assert offset == -(-end // ALIGN[kind]) * ALIGN[kind], name
        end = offset + width
    align = max(ALIGN[kind] for *_, kind in fields)
    assert size == -(-end // align) * align


@pytest.mark.parametrize("record", sorted(BRIDGE_FIELDS))
def test_bridge_fields_have_their_sizes_and_an_untouched_field_between_them(record):
    _, fields = _front.RECORDS[record]
    table = {name: (kind, width) for name, _, width, kind in fields}
    expected = BRIDGE_FIELDS[record]
    for name, kind_size in expected.items():
        assert table.get(name) == kind_size, name
    offsets = [offset for name, offset, *_ in fields if name in expected]
    untouched = [offset for name, offset, *_ in fields if name not in expected]
    assert any(min(offsets) < o < max(offsets) for o in untouched)


@pytest.mark.parametrize("method, record", [
    ("Authenticate", "CThostFtdcReqAuthenticateField"), ("UserLogin", "CThostFtdcReqUserLoginField"),
    ("SettlementInfoConfirm", "CThostFtdcSettlementInfoConfirmField"), ("QryOrder", "CThostFtdcQryOrderField"),
    ("QryTrade", "CThostFtdcQryTradeField"), ("QryInvestorPosition", "CThostFtdcQryInvestorPositionField"),
    ("QryTradingAccount", "CThostFtdcQryTradingAccountField"), ("QryInstrument", "CThostFtdcQryInstrumentField"),
    ("OrderInsert", "CThostFtdcInputOrderField"), ("OrderAction", "CThostFtdcInputOrderActionField")])
def test_request_records(method, record):
    assert _front.REQUESTS[method] == record


@pytest.mark.parametrize("field, value, stored", [
    ("TradingDay", b"202412011", b"202412011"),       # exactly the field size: no NUL left
    ("TradingDay", "20241201", b"20241201"),
    ("StatusMsg", "全部成交", "全部成交".encode("gb18030")),
    ("StatusMsg", b"\xff\xfe", b"\xff\xfe"),            # bytes go in as they are
    ("StatusMsg", b"ab\x00cd", b"ab"),                 # an embedded NUL ends the string when read back
    ("Direction", "0", b"0"),
    ("Direction", b"\x01", b"\x01"),
    ("Direction", 0, b"\x00"),
    ("Direction", "\xff", b"\xff"),
    ("VolumeTotal", -(2**31), -(2**31)),
    ("VolumeTotal", True, 1),
    ("LimitPrice", 3, 3.0),
    ("LimitPrice", float("inf"), float("inf")),
])
def test_encode_accepts(field, value, stored):
    assert decode("CThostFtdcOrderField", encode("CThostFtdcOrderField", {field: value}))[field] == stored


def test_fields_not_given_are_zero_and_neighbours_untouched():
    raw = encode("CThostFtdcOrderField", {"OrderRef": b"x" * 13, "UserID": "u"})
    fields = decode("CThostFtdcOrderField", raw)
    assert fields["OrderRef"] == b"x" * 13 and fields["UserID"] == b"u"  # read back within the field's size
    assert fields["OrderSysID"] == b"" and fields["FrontID"] == 0 and fields["LimitPrice"] == 0.0
    assert fields["OrderStatus"] == b"\x00"
    size, _ = _front.RECORDS["CThostFtdcOrderField"]
    assert raw.count(0) == size - 14


@pytest.mark.parametrize("field, value, error", [
    ("TradingDay", b"2024120111", ValueError),
    ("TradingDay", "２０２４１２０１", ValueError),     # 16 GB18030 bytes
    ("StatusMsg", "\udc80", ValueError),              # not encodable
    ("StatusMsg", 5, TypeError),
    ("Direction", "01", ValueError),
    ("Direction", "", ValueError),
    ("Direction", "中", ValueError),
    ("Direction", 256, ValueError),
    ("Direction", -1, ValueError),
    ("Direction", 1.0, TypeError),
    ("VolumeTotal", 2**31, ValueError),
    ("VolumeTotal", 1.5, TypeError),
    ("VolumeTotal", "1", TypeError),
    ("LimitPrice", "1.0", TypeError),
    ("LimitPrice", None, TypeError),
    ("NoSuchField", 1, KeyError),
])
def test_encode_rejects(field, value, error):
    with pytest.raises(error):
        encode("CThostFtdcOrderField", {field: value})


def test_decode_checks_size():
    size, _ = _front.RECORDS["CThostFtdcTradeField"]
    with pytest.raises(ValueError):
        decode("CThostFtdcTradeField", bytes(size - 1))
    assert decode("CThostFtdcTradeField", struct.pack(f"{size}s", b"2024"))["TradingDay"] == b"2024"
