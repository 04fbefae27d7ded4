"""View publication over the fake adapter: commit, its change map, identity, resets, position_view."""

from __future__ import annotations

import pytest
from test_entry_support import BASELINE_MS, holding, ready_session

from velkor import trading
from velkor.ledgerlet import Order, Position, Trade

ORDER_FIELDS = Order.fields
TRADE_FIELDS = Trade.fields


def order(order_id, **kw):
    rec = dict(order_id=order_id, order_sys_id=None, symbol="SHFE.ag2412", direction="BUY", offset="OPEN",
               limit_price=5000.0, volume_original=2, volume_traded=0, volume_left=2, status="ALIVE",
               status_msg="", cancel_pending=False, cancel_error=None, insert_time=BASELINE_MS)
    rec.update(kw)
    return rec


def trade(trade_id, **kw):
    rec = dict(trade_id=trade_id, order_sys_id="1001", symbol="SHFE.ag2412", direction="BUY", offset="OPEN",
               price=5000.0, volume=1, trade_time=BASELINE_MS)
    rec.update(kw)
    return rec


def stocked(objects=None):
    """A READY session whose private book holds one position, two orders and two trades."""
    s = ready_session()
    if objects is not None:
        s.objects = objects
    s.a.update(balance=1e6, available=9e5)
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_today=1)
    s.o["o1"] = order("o1")
    s.o["o2"] = order("o2", direction="SELL")
    s.t["t1"] = trade("t1")
    s.t["t2"] = trade("t2", volume=2)
    s._touch()
    return s


def ids(*objs):
    return {id(x) for x in objs}


def test_nothing_pending_returns_false_and_leaves_changes_alone():
    s = stocked()
    s.dirty = False
    changes = {"mine": {"x"}}
    assert s.commit(changes) is False
    assert changes == {"mine": {"x"}} and len(s.orders) == 0


@pytest.mark.parametrize("status", ["SYNCING", "DISCONNECTED", "ERROR"])
def test_while_not_ready_only_the_status_is_published(status):
    s = stocked()
    s.session_status = status
    s.published_status = "READY"
    changes = {}
    assert s.commit(changes) is True
    assert s.published_status == status and not s.dirty and not s.changed.is_set()
    assert changes == {} and len(s.orders) == 0 and s.account.balance is None
    s._touch()
    assert s.commit(changes) is False  # same status again
    assert changes == {}


def test_first_ready_commit_creates_the_objects_and_reports_members_and_fields():
    objects = {}
    s = stocked(objects)
    changes = {}
    assert s.commit(changes) is True
    o1, o2 = s.orders["o1"], s.orders["o2"]
    t1, t2 = s.trades
    pos = s.positions["SHFE.ag2412"]
    assert (t1.trade_id, t2.volume, o2.direction, pos.pos_long, s.account.balance) == ("t1", 2, "SELL", 1, 1e6)
    assert s.trade_views == {"t1": t1, "t2": t2}
    assert ids(o1, o2, t1, t2, pos) <= set(objects) and all(objects[id(x)] is x for x in (o1, t1, pos))
    changed_order_fields = {f for f in ORDER_FIELDS if order("o1")[f] is not None}
    assert changes[id(s.orders)] == changed_order_fields | {"__members__"}
    assert changes[id(s.trades)] == set(TRADE_FIELDS) | {"__members__"}
    assert "__members__" in changes[id(s.positions)] and "pos_long" in changes[id(s.positions)]
    assert changes[id(o1)] == changed_order_fields
    assert changes[id(s.account)] == {"balance", "available"}
    # private keys that are not fields stay private
    assert "pos_long_his" not in pos._values and "frozen_long" not in changes[id(pos)]


def test_an_unchanged_commit_gives_every_visited_object_an_empty_set():
    s = stocked()
    s.commit({})
    s._touch()
    changes = {}
    assert s.commit(changes) is True
    visited = [s.account, s.positions["SHFE.ag2412"], *s.orders.values(), *s.trades, s.positions, s.orders]
    assert changes == {id(x): set() for x in visited}


def test_later_commits_update_the_same_objects_and_name_the_changed_fields():
    s = stocked()
    s.commit({})
    o1, t1, pos, account = s.orders["o1"], s.trades[0], s.positions["SHFE.ag2412"], s.account
    s.o["o1"].update(volume_traded=1, volume_left=1)
    s.p["SHFE.ag2412"]["pos_long"] = 2
    s.t["t3"] = trade("t3")
    s.a["balance"] = 1.0
    s._touch()
    changes = {id(o1): {"earlier"}}
    s.commit(changes)
    assert s.orders["o1"] is o1 and s.trades[0] is t1 and s.positions["SHFE.ag2412"] is pos and s.account is account
    assert (o1.volume_left, pos.pos_long, account.balance, s.trades[2].trade_id) == (1, 2, 1.0, "t3")
    assert changes[id(o1)] == {"earlier", "volume_traded", "volume_left"}
    assert changes[id(s.orders)] == {"volume_traded", "volume_left"}
    assert changes[id(s.positions)] == {"pos_long"} and changes[id(s.account)] == {"balance"}
    assert changes[id(s.trades)] == set(TRADE_FIELDS) | {"__members__"}


def test_values_of_another_type_count_as_changed():
    s = stocked()
    s.commit({})
    s.o["o1"]["limit_price"] = 5000  # int where the float was
    s._touch()
    changes = {}
    s.commit(changes)
    assert changes[id(s.orders["o1"])] == {"limit_price"} and type(s.orders["o1"].limit_price) is int


def test_different_is_the_hosts_looked_up_when_used_with_the_published_value_first(monkeypatch):
    s = stocked()
    calls = []
    monkeypatch.setattr(trading, "different", lambda old, new: calls.append((old, new)) or old != new)
    s.commit({})
    assert (None, "t1") in calls and ("t1", None) not in calls


def test_a_failing_comparison_propagates_after_dirty_was_cleared(monkeypatch):
    s = stocked()
    monkeypatch.setattr(trading, "different", lambda old, new: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        s.commit({})
    assert not s.dirty and s.published_status == "READY"


def recording(monkeypatch, fail_on=None):
    """The host's `different` replaced by one that records each new value it compares and fails on `fail_on`."""
    calls = []

    def different(old, new):
        calls.append(new)
        if new == fail_on:
            raise ZeroDivisionError
        return old != new

    monkeypatch.setattr(trading, "different", different)
    return calls


def test_commit_compares_a_position_in_the_order_of_its_private_record(monkeypatch):
    s = ready_session()
    s.p["SHFE.ag2412"] = rec = holding("SHFE.ag2412", long_his=1, long_today=2, short_today=4)
    s._touch()
    calls = recording(monkeypatch)
    s.commit({})
    fields = [k for k in rec if k in trading.Position.fields]
    assert fields != list(trading.Position.fields)  # the two orders differ, so the test can tell
    assert calls == [rec[k] for k in fields]


@pytest.mark.parametrize("target", ["account", "order"])
def test_a_failing_comparison_leaves_no_change_set_for_the_object(monkeypatch, target):
    s = ready_session()
    s.a.update(balance=1.0, available=2.0)
    s.o["k"] = {"order_id": "k", "status": "ALIVE", "symbol": "SHFE.ag2412"}
    s._touch()
    recording(monkeypatch, fail_on=2.0 if target == "account" else "ALIVE")
    changes = {}
    with pytest.raises(ZeroDivisionError):
        s.commit(changes)
    if target == "account":
        assert changes == {}
        assert s.account.balance is None  # nothing copied before every comparison succeeded
    else:
        order = s.orders["k"]
        assert id(order) not in changes and id(s.orders) not in changes
        assert order.order_id is None


def test_a_reset_drops_orders_and_trades_not_seen_again_keeping_the_others():
    objects = {}
    s = stocked(objects)
    s.t["t3"] = trade("t3")
    s.commit({})
    t1, t2, t3 = s.trades
    o1, o2 = s.orders["o1"], s.orders["o2"]
    pos = s.positions["SHFE.ag2412"]

    s._clear_cache("SYNCING")
    changes = {}
    assert s.commit(changes) is True  # status only while syncing
    assert list(s.orders) == ["o1", "o2"] and len(s.trades) == 3 and pos.pos_long == 1

    # the new login finds o2, t1 and t3 again
    s.session_status = "READY"
    s.o["o2"] = order("o2", direction="SELL", status="FILLED")
    s.t["t3"] = trade("t3")
    s.t["t1"] = trade("t1")
    s.p["SHFE.ag2412"] = holding("SHFE.ag2412", long_today=1)
    s._touch()
    trades_list = s.trades
    changes = {}
    assert s.commit(changes) is True
    assert s.trades is trades_list and s.trades == [t1, t3]
    assert s.trade_views == {"t1": t1, "t3": t3}
    assert list(s.orders) == ["o2"] and s.orders["o2"] is o2 and o2.status == "FILLED"
    assert id(o1) not in objects and id(t2) not in objects and id(t1) in objects
    assert o1.status == "ALIVE" and t2.volume == 2  # what users still hold keeps its last values
    assert "__members__" in changes[id(s.orders)] and "__members__" in changes[id(s.trades)]
    assert s.reset_pending is False and s.positions["SHFE.ag2412"] is pos


def test_trades_stay_published_without_a_reset():
    s = stocked()
    s.commit({})
    del s.t["t1"]
    s._touch()
    changes = {}
    s.commit(changes)
    assert [x.trade_id for x in s.trades] == ["t1", "t2"] and id(s.trades) not in changes


@pytest.mark.parametrize("change,names", [({"volume": 2}, {"volume"}), ({}, None)])
def test_a_known_trade_reports_only_its_changed_fields_to_the_list(change, names):
    s = ready_session()
    s.t["t1"] = trade("t1")
    s._touch()
    s.commit({})
    [view] = s.trades
    s.t["t1"].update(change)
    s._touch()
    changes = {}
    s.commit(changes)
    assert s.trades == [view] and changes[id(view)] == (names or set())
    assert changes.get(id(s.trades)) == names  # no entry at all when nothing changed, never "__members__"


def test_position_view_none_gives_the_map():
    s = ready_session()
    assert s.position_view(None) is s.positions


@pytest.mark.parametrize("baseline,quantity", [(None, None), (BASELINE_MS, 0)])
def test_position_view_publishes_a_new_symbol_at_once(baseline, quantity):
    objects = {}
    s = ready_session("DCE.m2501")
    s.objects = objects
    s.published_position_time = baseline
    pos = s.position_view("DCE.m2501")
    assert type(pos) is Position and s.positions["DCE.m2501"] is pos and objects[id(pos)] is pos
    assert list(pos._values) == list(Position.fields)
    assert [getattr(pos, f) for f in Position.fields] == ["DCE.m2501"] + [quantity] * 6
    assert s.p["DCE.m2501"]["updated_at"] == baseline and not s.dirty
    assert s.position_view("DCE.m2501") is pos


def test_position_view_keeps_an_existing_private_record():
    s = ready_session()
    s.p["SHFE.ag2412"] = held = holding("SHFE.ag2412", long_his=3)
    pos = s.position_view("SHFE.ag2412")
    assert s.p["SHFE.ag2412"] is held and pos.pos_long == 0  # published by the next commit
    s._touch()
    s.commit({})
    assert s.positions["SHFE.ag2412"] is pos and pos.pos_long == 3


def test_position_view_checks_the_symbol_and_the_instrument_table():
    s = ready_session()
    with pytest.raises(ValueError, match="^合约不存在或不是支持的期货或期权合约$"):
        s.position_view("DCE.m2501")
    with pytest.raises(TypeError):
        s.position_view(123)
    with pytest.raises(ValueError):
        s.position_view("ag2412")
    s.instruments.clear()  # before the instrument query any well-formed symbol passes
    assert s.position_view("DCE.m2501").symbol == "DCE.m2501"
    assert len(s.positions) == 1


def test_map_view_and_update_view_directly():
    s = ready_session()
    changes = {}
    item = s._map_view(s.orders, "k", {"order_id": "k", "status": "ALIVE", "extra": 1}, changes)
    assert s.orders["k"] is item and item._values["status"] == "ALIVE" and "extra" not in item._values
    assert changes[id(s.orders)] == {"order_id", "status", "__members__"}
    assert s._update_view(item, {"status": "ALIVE", "status_msg": None}, changes) == set()
    assert s._update_view(item, {"status": "FILLED"}, changes) == {"status"}
    assert changes[id(item)] == {"order_id", "status"}


def test_update_view_writes_missing_fields_and_reads_any_mapping():
    from types import MappingProxyType

    s = ready_session()
    item = Order()
    del item._values["status"]
    changes = {}
    assert s._update_view(item, {"status": None, "bogus": 1}, changes) == set()  # missing reads as None
    assert "status" in item._values and "bogus" not in item._values
    assert s._update_view(item, MappingProxyType({"status": "ALIVE", "bogus": 1}), changes) == {"status"}
    assert item.status == "ALIVE" and changes == {id(item): {"status"}}


def test_update_view_compares_in_the_order_of_the_values(monkeypatch):
    calls = recording(monkeypatch)
    s = ready_session()
    values = {"status": "ALIVE", "bogus": "x", "order_id": "k", "volume_left": 3, "symbol": "SHFE.ag2412"}
    assert s._update_view(Order(), values, {}) == {"status", "order_id", "volume_left", "symbol"}
    assert calls == ["ALIVE", "k", 3, "SHFE.ag2412"]
