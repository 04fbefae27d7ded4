"""Attribute reads of the snapshot views under changes that a cache or a direct dict read could get wrong."""

import collections
import subprocess
import sys
import textwrap

import pytest

from velkor.ledgerlet import LiveObject, Order

SET_VALUES = LiveObject._values.__set__


def run_isolated(source):
    """Runs `source` in a fresh interpreter: a use after free may crash it."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout.split()


FINALISER = """
    import gc
    from velkor.ledgerlet import Order

    class Base(Order):
        __slots__ = ()

    seen = []

    class Probe:
        def __del__(self):
            seen.append(view.shadowed)

    Kind = {kind}
    view = Kind(shadowed="own")
    {owner}.shadowed = [Probe()]
    for _ in range(3):
        assert isinstance(view.shadowed, list)
    {change}
    gc.collect()
    garbage = [[i] for i in range(1000)]
    print(*seen, view.shadowed)
"""


@pytest.mark.parametrize("kind, owner", [("Order", "Order"), ("type('Sub', (Base,), {'__slots__': ()})", "Base")])
@pytest.mark.parametrize("change, expected", [("{owner}.shadowed = 'new'", ["new", "new"]),
                                              ("del {owner}.shadowed", ["own", "own"])])
def test_class_attribute_replaced_while_its_old_value_reads_it_back(kind, owner, change, expected):
    # The old value is freed inside the assignment, before the type is marked changed: a read from its
    # finaliser must see the type as it is now, never the value being freed.
    source = FINALISER.format(kind=kind, owner=owner, change=change.format(owner=owner))
    assert run_isolated(source) == expected


class Free(Order):  # no __slots__: instances get a __dict__
    pass


@pytest.mark.parametrize("name, expected", [("x", 1), ("status", "inst"), ("order_id", "own"), ("fields", Order.fields)])
def test_instance_dict_of_a_subclass_takes_part_in_lookup(name, expected):
    view = Free(order_id="own", status="values")
    vars(view).update(x=1, status="inst")
    for _ in range(3):
        assert getattr(view, name) == expected
    with pytest.raises(AttributeError) as info:
        view.missing
    assert info.value.args == ("missing",)


class Shadow(dict):
    def __getitem__(self, key):
        return "shadow:" + key


class Defaulting(dict):
    def __missing__(self, key):
        return "missing:" + key


@pytest.mark.parametrize("values, expected", [
    (Shadow(status="plain"), "shadow:status"),
    (Defaulting(), "missing:status"),
    (collections.ChainMap({}, {"status": "chained"}), "chained"),
])
def test_replaced_values_are_read_through_their_own_lookup_after_warm_reads(values, expected):
    view = Order(status="ALIVE")
    for _ in range(3):
        assert view.status == "ALIVE"
    SET_VALUES(view, values)
    assert view.status == expected
    SET_VALUES(view, 5)
    with pytest.raises(TypeError):
        view.status


class Text(str):
    pass


class Sneaky(str):
    """Equal to the field name it spells; its comparison empties the view's values while a read looks."""

    view = None

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if Sneaky.view is not None:
            view, Sneaky.view = Sneaky.view, None
            view._values.clear()
            LiveObject._values.__delete__(view)
        return str.__eq__(self, other)


def test_str_subclass_names_and_keys():
    view = Order(**{Text("extra"): 1}, status="ALIVE")
    assert (view.extra, getattr(view, Text("status")), getattr(view, Text("extra"))) == (1, "ALIVE", 1)
    assert [type(k) for k in view._values][-1] is Text


def test_values_changed_by_a_key_comparison_during_a_read():
    view = Order(status="ALIVE")
    for _ in range(3):
        assert view.status == "ALIVE"
    values = {Sneaky("order_id"): "x", Sneaky("status"): "ALIVE"}
    SET_VALUES(view, values)
    Sneaky.view = view
    name = "".join(["sta", "tus"])  # not the interned name: compared by equality
    result = getattr(view, name, "gone")
    assert result in ("ALIVE", "gone")
    with pytest.raises(AttributeError):
        view.status


S, F, I = "str | None", "float | None", "int | None"
KINDS = {
    "Account": ("只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
                "金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。",
                {"account_id": S, "trading_day": S, "balance": F, "available": F, "margin": F, "frozen_margin": F,
                 "commission": F, "frozen_commission": F, "close_profit": F, "position_profit": F, "deposit": F,
                 "withdraw": F, "updated_at": I}),
    "Order": ("只读订单快照；断线后观察句柄保留最后一次已提交的数据。",
              {"order_id": "str", "order_sys_id": S, "symbol": "str", "direction": S, "offset": S,
               "limit_price": F, "volume_original": I, "volume_traded": I, "volume_left": I,
               "status": "Literal['PENDING', 'ALIVE', 'FILLED', 'CANCELLED', 'REJECTED'] | None",
               "status_msg": S, "cancel_pending": "bool", "cancel_error": S, "insert_time": I}),
    "Position": ("只读持仓快照；数量单位为手。\n\n登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。",
                 {"symbol": "str", "pos_long": I, "pos_short": I, "pos_long_today": I, "pos_short_today": I,
                  "available_long": I, "available_short": I}),
    "Trade": ("只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。",
              {"trade_id": "str", "order_sys_id": "str", "symbol": "str", "direction": S, "offset": S,
               "price": F, "volume": I, "trade_time": I}),
}


@pytest.mark.parametrize("name", KINDS)
def test_record_kind_docstring_and_annotations(name):
    import velkor.ledgerlet as ledgerlet

    kind = getattr(ledgerlet, name)
    doc, annotations = KINDS[name]
    assert kind.__doc__ == doc
    assert kind.__annotations__ == annotations and list(kind.__annotations__) == list(kind.fields)


def test_live_map_constructor_signature():
    import inspect

    from velkor.ledgerlet import LiveMap, Trade

    assert str(inspect.signature(LiveMap)) == "(item_type)"
    assert str(inspect.signature(Order.__getattr__)) == "(self, key, /)"
    assert LiveMap(item_type=Trade).item_type is Trade and len(LiveMap(Order)) == 0
    for args, kwargs in (((), {}), ((Order, Trade), {}), ((), {"kind": Order})):
        with pytest.raises(TypeError):
            LiveMap(*args, **kwargs)
