import collections.abc
import gc
import inspect
import subprocess
import sys
import textwrap
import typing

import pytest

import velkor.ledgerlet as ledgerlet
from velkor.ledgerlet import Account, LiveMap, LiveObject, Order, Position, Trade, empty_position

READ_ONLY = "SDK 交易数据对象为只读"
SET_VALUES = LiveObject._values.__set__

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


S, F, I = "str | None", "float | None", "int | None"
DOCUMENTED = {
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


@pytest.mark.parametrize("name", DOCUMENTED)
def test_record_kind_docstring_and_annotations(name):
    kind = getattr(ledgerlet, name)
    doc, annotations = DOCUMENTED[name]
    assert kind.__doc__ == doc
    assert kind.__annotations__ == annotations and list(kind.__annotations__) == list(kind.fields)


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


def test_live_map_constructor_signature():
    assert str(inspect.signature(LiveMap)) == "(item_type)"
    assert str(inspect.signature(Order.__getattr__)) == "(self, key, /)"
    assert LiveMap(item_type=Trade).item_type is Trade and len(LiveMap(Order)) == 0
    for args, kwargs in (((), {}), ((Order, Trade), {}), ((), {"kind": Order})):
        with pytest.raises(TypeError):
            LiveMap(*args, **kwargs)


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
