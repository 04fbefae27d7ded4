"""View publication: the order of the host's comparisons and the change sets when one fails."""

from __future__ import annotations

import pytest
from test_entry_support import holding, ready_session

from velkor import trading
from velkor.ledgerlet import Order


def recording(monkeypatch, fail_on=None):
    calls = []

    def different(old, new):
        calls.append(new)
        if new == fail_on:
            raise ZeroDivisionError
        return old != new

    monkeypatch.setattr(trading, "different", different)
    return calls


def test_update_view_compares_in_the_order_of_the_values(monkeypatch):
    calls = recording(monkeypatch)
    s = ready_session()
    values = {"status": "ALIVE", "bogus": "x", "order_id": "k", "volume_left": 3, "symbol": "SHFE.ag2412"}
    assert s._update_view(Order(), values, {}) == {"status", "order_id", "volume_left", "symbol"}
    assert calls == ["ALIVE", "k", 3, "SHFE.ag2412"]


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


@pytest.mark.parametrize("change,names", [({"volume": 2}, {"volume"}), ({}, None)])
def test_a_known_trade_reports_only_its_changed_fields_to_the_list(change, names):
    s = ready_session()
    s.t["t1"] = {"trade_id": "t1", "symbol": "SHFE.ag2412", "volume": 1}
    s._touch()
    s.commit({})
    [view] = s.trades
    s.t["t1"].update(change)
    s._touch()
    changes = {}
    s.commit(changes)
    assert s.trades == [view] and changes[id(view)] == (names or set())
    assert changes.get(id(s.trades)) == names  # no entry at all when nothing changed, never "__members__"
