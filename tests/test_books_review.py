"""The books, second look: argument handling as Python would do it and rules the first suite leaves open."""

from collections import UserDict

import pytest

from test_books import SYMBOL, child, hold, make_session, order_row, trade_row, user


@pytest.fixture
def s():
    return make_session()


def test_none_arguments_behave_as_in_python(s):
    s._order(order_row(1, "S1"))
    assert s._trade(trade_row("T1", "S1", 1), update_position=None) is True
    assert SYMBOL not in s.p and child(s, 1)["volume_traded"] == 1
    assert s._by_ref(None) is None
    assert s._free_parts(None, "long") == (0, 0)
    s._order(order_row(1, "S1", status="1"), None)
    assert child(s, 1)["status"] == "ALIVE"


@pytest.mark.parametrize("status, msg, expected", [
    ("ALIVE", "已报", "全部成交"),
    ("FILLED", "成交完毕", "成交完毕"),
    ("FILLED", "", "全部成交"),
    ("CANCELLED", "剩余委托已不再排队", "全部成交"),
])
def test_fill_completing_an_order_sets_filled_message(s, status, msg, expected):
    s._order(order_row(1, "S1"))
    child(s, 1).update(status=status, status_msg=msg, cancel_pending=True, cancel_error="撤单被拒绝")
    s._trade(trade_row("T1", "S1", 5), update_position=False)
    c = child(s, 1)
    assert (c["status"], c["status_msg"], c["volume_left"]) == ("FILLED", expected, 0)
    assert (c["cancel_pending"], c["cancel_error"]) == (False, None)
    assert (user(s, 1)["status"], user(s, 1)["status_msg"]) == ("FILLED", expected)


@pytest.mark.parametrize("row, status, msg", [
    (dict(submit="5", status="5"), "CANCELLED", "剩余委托已不再排队"),
    (dict(submit="5", status="1"), "ALIVE", "已报"),
    (dict(submit="4"), "REJECTED", "报单被拒绝"),
    (dict(status="1"), "ALIVE", ""),
])
def test_order_return_message_and_cancel_outcome(s, row, status, msg):
    s._order(order_row(1, "S1"))
    c = child(s, 1)
    c.update(status_msg="已报", cancel_pending=True, cancel_request_id=None, cancel_error="撤单被拒绝")
    s._order(order_row(1, "S1", **row))
    finished = status != "ALIVE"
    assert (c["status"], c["status_msg"]) == (status, msg)
    # A finished order has no cancellation left; a refusal without a request of ours changes nothing.
    assert (c["cancel_pending"], c["cancel_error"]) == ((False, None) if finished else (True, "撤单被拒绝"))


@pytest.mark.parametrize("comb, flag, offset, close_type", [
    ("", "3", "CLOSE_TODAY", "UNSPECIFIED"),
    ("", "0", "OPEN", "UNSPECIFIED"),
    ("4", "0", "CLOSE_YESTERDAY", "HISTORY"),
    ("0", "1", "OPEN", None),
    ("1", "3", "CLOSE", "UNSPECIFIED"),
])
def test_offset_and_close_type_of_a_new_order(s, comb, flag, offset, close_type):
    s._order(order_row(1, "S1", offset=comb, OffsetFlag=flag))
    assert (user(s, 1)["offset"], child(s, 1)["offset"], child(s, 1)["close_type"]) == (offset, offset, close_type)


def test_frozen_volumes_wait_for_the_position_baseline(s):
    rec = hold(s, long=(3, 4))
    s.position_ready = False
    s._order(order_row(1, "S1", direction="1", offset="1", original=2))
    assert (rec["available_long"], rec["frozen_long"], rec["updated_at"]) == (7, 0, 1)
    s.position_ready = True
    s._order(order_row(1, "S1", direction="1", offset="1", original=3))
    assert (rec["available_long"], rec["frozen_long"]) == (4, 3) and rec["updated_at"] > 1


def test_recompute_frozen_over_every_record_stamps_the_given_time(s):
    rec = hold(s, long=(3, 4))
    other = hold(s, "DCE.m2501", short=(1, 1))
    s._order(order_row(1, "S1", direction="1", offset="1", original=2))
    s._order(order_row(2, "S2", direction="0", offset="1", original=1, symbol="DCE.m2501"))
    rec["updated_at"] = other["updated_at"] = 7
    rec["frozen_long"] = other["frozen_short"] = None
    s._recompute_frozen(123)
    assert (rec["frozen_long"], rec["available_long"], rec["updated_at"]) == (2, 5, 123)
    assert (other["frozen_short"], other["available_short"], other["updated_at"]) == (1, 1, 123)


class Shifty:
    """A field value whose comparison takes it out of its child, as hostile user data could: the
    scan must hold it while comparing it again."""

    def __init__(self, child, key, value):
        self.child, self.key, self.value = child, key, value

    def __eq__(self, other):
        self.child.pop(self.key, None)
        return self.value == other

    __hash__ = None


@pytest.mark.parametrize("key, value, parts", [
    ("status", "FILLED", (3, 4)),
    ("status", "ALIVE", (3, 2)),
    ("close_type", "TODAY", (3, 2)),
    ("close_type", "HISTORY", (1, 4)),
    ("direction", "SELL", (3, 2)),
    ("direction", "BUY", (3, 4)),
])
def test_scan_holds_values_that_change_the_child(s, key, value, parts):
    hold(s, long=(3, 4))
    s.native_orders["c"] = c = {"symbol": SYMBOL, "direction": "SELL", "offset": "CLOSE", "status": "ALIVE",
                                "volume_left": 2, "close_type": "TODAY"}
    c[key] = Shifty(c, key, value)
    assert s._free_parts(SYMBOL, "long") == parts
    assert key not in c


def reordered(child):
    return dict(reversed(list(child.items())))


def reinserted(child):
    child = dict(child)
    child["padding"] = 0
    child["status"] = child.pop("status")   # leaves a hole where the status was
    del child["padding"]
    return child


@pytest.mark.parametrize("shape", [dict, reordered, reinserted, UserDict])
def test_scan_reads_children_of_any_layout(s, shape):
    hold(s, long=(3, 4), short=(2, 2))
    base = {"symbol": SYMBOL, "direction": "SELL", "offset": "CLOSE", "status": "ALIVE", "volume_left": 1,
            "close_type": "HISTORY"}
    variants = [base, dict(base, close_type="TODAY", volume_left=2), dict(base, status="FILLED", volume_left=3),
                dict(base, direction="BUY", volume_left=1), dict(base, symbol="SHFE.cu2412", volume_left=1),
                dict(base, offset="OPEN", volume_left=1), dict(base, close_type="UNSPECIFIED", volume_left=2)]
    # The first child sets where fields are looked for; the others come in every layout.
    s.native_orders["first"] = dict(base, status="CANCELLED")
    for i, child in enumerate(variants):
        s.native_orders[i] = shape(child)
    assert s._free_parts(SYMBOL, "long") == (0, 2)
    assert s._free_parts(SYMBOL, "short") == (1, 2)


def test_association_errors_leave_the_stated_state(s):
    s._order(order_row(1, "S1"))
    s._order(order_row(2, "S2"))
    refs, systems = dict(s.ref_orders), dict(s.system_orders)
    with pytest.raises(BufferError, match="同一个 CTP OrderSysID 关联到不同订单"):
        s._order(order_row(2, "S1"))
    assert (s.ref_orders, s.system_orders) == (refs, systems)
    # Found by an exchange number that is not its own: the new reference is already recorded.
    s.system_orders["S3"] = "1:7:1"
    with pytest.raises(BufferError, match="已有订单的 CTP OrderSysID 发生变化"):
        s._order(order_row(9, "S3", session=8))
    assert s.ref_orders[(1, 8, "9")] == "1:7:1" and "1:8:9" not in s.o and child(s, 1)["exchange_order_id"] == "S1"
