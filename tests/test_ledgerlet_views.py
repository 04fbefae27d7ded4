import collections.abc
import gc
import inspect
import typing

import pytest

import velkor.ledgerlet as ledgerlet
from velkor.ledgerlet import Account, LiveMap, LiveObject, Order, Position, Trade, empty_position

READ_ONLY = "SDK 交易数据对象为只读"

KINDS = {
    Account: ["account_id", "trading_day", "balance", "available", "margin", "frozen_margin", "commission",
              "frozen_commission", "close_profit", "position_profit", "deposit", "withdraw", "updated_at"],
    Order: ["order_id", "order_sys_id", "symbol", "direction", "offset", "limit_price", "volume_original",
            "volume_traded", "volume_left", "status", "status_msg", "cancel_pending", "cancel_error", "insert_time"],
    Position: ["symbol", "pos_long", "pos_short", "pos_long_today", "pos_short_today", "available_long",
               "available_short"],
    Trade: ["trade_id", "order_sys_id", "symbol", "direction", "offset", "price", "volume", "trade_time"],
}


def test_module_surface():
    assert ledgerlet.__doc__ == "Read-only, identity-preserving trading views."
    assert set(ledgerlet.__all__) <= set(dir(ledgerlet))
    assert LiveObject.__slots__ == ("_values",) and LiveObject.fields == ()
    assert LiveObject.__bases__ == (object,) and LiveObject.__doc__ is None


@pytest.mark.parametrize("kind", KINDS)
def test_record_kinds(kind):
    assert kind.fields == tuple(KINDS[kind]) == tuple(kind.__annotations__)
    assert all(isinstance(text, str) for text in kind.__annotations__.values())
    assert typing.get_type_hints(kind)  # the annotation texts resolve in the module
    assert kind.__bases__ == (LiveObject,) and kind.__slots__ == ()
    assert kind.__module__ == "velkor.ledgerlet" and kind.__doc__
    assert str(inspect.signature(kind)) == "(**values)"
    obj = kind()
    assert obj._values == dict.fromkeys(KINDS[kind])
    assert not hasattr(obj, "__dict__")
    assert repr(obj) == f"{kind.__name__}({obj._values!r})"


def test_annotations_and_docstrings():
    assert Order.__annotations__["status"] == "Literal['PENDING', 'ALIVE', 'FILLED', 'CANCELLED', 'REJECTED'] | None"
    assert Order.__annotations__["cancel_pending"] == "bool"
    assert Account.__annotations__["updated_at"] == "int | None"
    assert Account.__doc__ == ("只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
                               "金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。")
    assert Position.__doc__ == "只读持仓快照；数量单位为手。\n\n登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。"


def test_keywords_overwrite_in_place_and_extras_come_last():
    order = Order(extra=1, status="ALIVE", more=2)
    assert list(order._values) == KINDS[Order] + ["extra", "more"]
    assert (order.status, order.extra, order.more) == ("ALIVE", 1, 2)
    assert repr(order).endswith(", 'extra': 1, 'more': 2})")
    with pytest.raises(TypeError):
        Order({"status": "ALIVE"})


@pytest.mark.parametrize("name", ["status", "unknown", "_values", "fields", "__class__"])
def test_assignment_and_deletion_are_refused(name):
    order = Order(status="ALIVE")
    before = dict(order._values)
    with pytest.raises(AttributeError) as info:
        setattr(order, name, "FILLED")
    assert info.value.args == (READ_ONLY,)
    with pytest.raises(AttributeError, match=READ_ONLY):
        delattr(order, name)
    assert order._values == before and type(order) is Order


def test_unknown_name_raises_attribute_error_of_the_name_without_context():
    order = Order()
    with pytest.raises(AttributeError) as info:
        order.no_such_field
    assert info.value.args == ("no_such_field",)
    assert info.value.__suppress_context__ and info.value.__cause__ is None
    assert getattr(order, "no_such_field", 7) == 7 and not hasattr(order, "no_such_field")
    with pytest.raises(AttributeError) as info:
        order.__getattr__("no_such_field")
    assert info.value.args == ("no_such_field",)
    assert order.__getattr__("status") is None


def test_normal_attributes_win_over_values_of_the_same_name():
    order = Order(fields="value", _values="value", __class__="value", __getattr__="value")
    assert order.fields == tuple(KINDS[Order])
    assert isinstance(order._values, dict) and order._values["fields"] == "value"
    assert order.__class__ is Order and callable(order.__getattr__)


def test_reads_follow_the_backing_dict_in_place():
    order = Order(status="PENDING")
    seen = []
    for status in ("ALIVE", "FILLED", None):
        seen.append(order.status)
        order._values["status"] = status
    assert seen == ["PENDING", "ALIVE", "FILLED"] and order.status is None
    del order._values["status"]
    with pytest.raises(AttributeError):
        order.status
    order._values["status"] = "CANCELLED"  # back, at another position of the dict
    assert order.status == "CANCELLED"


def test_reads_across_instances_with_different_key_orders():
    # The same name sits at different positions of different instances' dicts.
    first, second = Order(alpha=1, beta=2), Order(beta=20, alpha=10)
    third = Order(gamma=0)
    third._values.pop("order_id")
    third._values["order_id"] = "moved"
    for _ in range(3):
        assert (first.alpha, first.beta, second.alpha, second.beta) == (1, 2, 10, 20)
        assert (first.order_id, third.order_id) == (None, "moved")
    name = "".join(["al", "pha"])  # equal but not the same string object
    assert getattr(first, name) == 1 and getattr(second, name) == 10


class Plain:
    pass


def split_table(**values):
    obj = Plain()
    obj.__dict__.update(values)
    return vars(obj)


def grow(values):
    values.update({f"k{i}": i for i in range(300)})


def reinsert(values):
    values["status"] = values.pop("status")


def mixed_keys(values):
    values[1] = "int key"


@pytest.mark.parametrize("change", [grow, reinsert, mixed_keys, dict.clear])
def test_reads_stay_right_when_the_backing_dict_changes_shape(change):
    orders = [Order(status=f"S{i}", **{f"x{j}": j for j in range(i)}) for i in range(3)]
    for _ in range(3):  # warm the remembered positions
        assert [o.status for o in orders] == ["S0", "S1", "S2"]
    change(orders[1]._values)
    if change is dict.clear:
        with pytest.raises(AttributeError):
            orders[1].status
    else:
        assert orders[1].status == "S1"
    assert [orders[0].status, orders[2].status] == ["S0", "S2"]


def test_reads_from_dicts_of_other_shapes():
    late = Order(**{f"extra{i}": i for i in range(100)})
    assert late.extra99 == 99 and late.extra0 == 0
    obj = Order()
    for values in (split_table(status="split"), {1: "x", "status": "general"}):
        LiveObject._values.__set__(obj, values)
        assert obj.status == values["status"]


def test_class_changes_take_effect_at_once():
    order = Order(shadowed="value")
    for _ in range(3):
        assert order.shadowed == "value"
    try:
        Order.shadowed = "class"
        assert order.shadowed == "class"
        LiveObject.status = property(lambda self: "from base")
        assert order.status == "from base"
    finally:
        del Order.shadowed
        del LiveObject.status
    assert order.shadowed == "value" and order.status is None


def broken(self):
    raise AttributeError("inner")


@pytest.mark.parametrize("python_subclass", [False, True])
def test_failing_descriptor_falls_back_to_the_values(python_subclass):
    kind = type("Sub", (Order,), {"__slots__": ()}) if python_subclass else Order
    try:
        kind.broken = property(broken)
        assert kind(broken="value").broken == "value"
        with pytest.raises(AttributeError) as info:
            kind().broken
        assert info.value.args == ("broken",)
    finally:
        del kind.broken


def test_python_subclasses_keep_the_rules():
    class Quote(Order):
        __slots__ = ()
        fields = Order.fields + ("bid",)

    class Guarded(Order):
        __slots__ = ()

        def __getattr__(self, key):
            return "fallback:" + key

    quote = Quote(bid=1.5, status="ALIVE")
    for _ in range(2):
        assert (quote.bid, quote.status, quote.fields[-1]) == (1.5, "ALIVE", "bid")
    with pytest.raises(AttributeError) as info:
        quote.missing
    assert info.value.args == ("missing",)
    with pytest.raises(AttributeError, match=READ_ONLY):
        quote.bid = 2
    # An own __getattr__ answers for every name the type lacks, as after any normal lookup.
    guarded = Guarded(status="ALIVE")
    assert (guarded.status, guarded.missing, guarded.fields) == ("fallback:status", "fallback:missing", Order.fields)
    assert Order(status="ALIVE").status == "ALIVE"


def test_odd_states_raise_instead_of_crashing():
    bare = Order.__new__(Order)
    with pytest.raises(AttributeError):
        bare.status
    with pytest.raises(AttributeError):
        repr(bare)
    obj = Order()
    LiveObject._values.__set__(obj, collections.UserDict(status="ALIVE"))
    assert obj.status == "ALIVE"
    with pytest.raises(AttributeError):
        obj.order_id
    with pytest.raises(TypeError):
        getattr(obj, 5)


def test_views_compare_by_identity_and_self_references_are_collected():
    assert Order() != Order()
    finalised = []

    class Flag:
        def __del__(self):
            finalised.append(True)

    order = Order(flag=Flag())
    order._values["me"] = order
    assert "{...}" in repr(order)
    del order
    gc.collect()
    assert finalised == [True]


def test_live_map_is_a_read_only_mapping():
    view = LiveMap(Order)
    assert isinstance(view, collections.abc.Mapping) and LiveMap.__bases__ == (collections.abc.Mapping,)
    assert LiveMap.__doc__ is None
    assert LiveMap.__slots__ == ("_data", "item_type") and not hasattr(view, "__dict__")
    assert (len(view), repr(view), view.get("x"), "x" in view, list(view)) == (0, "{}", None, False, [])
    assert view.item_type is Order and LiveMap(item_type=Trade).item_type is Trade
    for name in ("__setitem__", "__delitem__", "pop", "popitem", "update", "setdefault", "clear"):
        assert not hasattr(view, name)
    with pytest.raises(TypeError):
        view["x"] = Order()


def test_live_map_shows_its_backing_dict():
    view = LiveMap(Order)
    a, b = view.item_type(order_id="a"), Order(order_id="b")
    view._data.update({"b": b, "a": a})
    assert view["a"] is a and view.get("b") is b and "a" in view
    assert list(view) == ["b", "a"] and list(view.values()) == [b, a] and len(view) == 2
    assert view == {"a": a, "b": b} and repr(view) == repr({"b": b, "a": a})
    del view._data["b"]
    assert list(view.items()) == [("a", a)]


def test_live_map_methods_are_bound_to_live_maps():
    view = LiveMap(Order)
    view._data["a"] = order = Order()
    assert LiveMap.__getitem__(view, "a") is order and LiveMap.__len__(view) == 1
    for method, args in ((LiveMap.__getitem__, ("a",)), (LiveMap.__len__, ()), (LiveMap.__iter__, ())):
        with pytest.raises(TypeError):
            method({"a": order}, *args)

    class Named(LiveMap):
        __slots__ = ("name",)

        def __getitem__(self, key):
            return ("named", super().__getitem__(key))

    named = Named(Trade)
    named._data["t"] = trade = Trade()
    assert named["t"] == ("named", trade) and len(named) == 1 and named.item_type is Trade


@pytest.mark.parametrize("key", ["missing", ("SHFE.ag2412", 1), 0])
def test_live_map_missing_key(key):
    with pytest.raises(KeyError) as info:
        LiveMap(Position)[key]
    assert info.value.args == (key,)


def test_live_map_uninitialised_raises_instead_of_crashing():
    bare = LiveMap.__new__(LiveMap)
    for action in (len, repr, list, lambda m: m["x"]):
        with pytest.raises(AttributeError):
            action(bare)
    with pytest.raises(TypeError):
        LiveMap()


COUNTS = ["pos_long", "pos_short", "pos", "pos_long_today", "pos_short_today", "pos_long_his", "pos_short_his",
          "frozen_long", "frozen_short", "available_long", "available_short"]


@pytest.mark.parametrize("updated_at, count", [(None, None), (0, 0), (1733650000123, 0)])
def test_empty_position(updated_at, count):
    row = empty_position("SHFE.ag2412", updated_at)
    assert list(row) == COUNTS + ["symbol", "updated_at"]
    assert all(row[k] is count if count is None else type(row[k]) is int and row[k] == 0 for k in COUNTS)
    assert row["symbol"] == "SHFE.ag2412" and row["updated_at"] is updated_at
    assert empty_position(symbol="SHFE.ag2412", updated_at=updated_at) == row


def test_empty_position_is_fresh_each_call():
    first = empty_position("SHFE.ag2412")
    first["pos_long"] = 3
    assert empty_position("SHFE.ag2412")["pos_long"] is None and first is not empty_position("SHFE.ag2412")
    with pytest.raises(TypeError):
        empty_position()
