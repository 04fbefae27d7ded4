"""Query completion, second look: failing steps leave the synchronisation where it was."""

from __future__ import annotations

import pytest

from test_sync import _positions, complete, synced  # noqa: F401  (fixture)
from test_sync_support import DAY, account_row, instrument, position_row, run_step, trade_row
from velkor.data import VelkorError


def test_trade_query_row_without_id_changes_nothing(synced, clock):
    synced.trade_before = {"old"}
    rows = [trade_row("SHFE.ag2412", "T1", "S1"), trade_row("SHFE.ag2412", " ", "S1")]
    with pytest.raises(BufferError):
        complete(synced, "trades_before", rows)
    assert synced.trade_before == {"old"} and synced.t == {} and synced.pending_trades == {}
    assert synced.sync_index == 2


@pytest.mark.parametrize("kind, rows, error", [
    ("positions", [position_row("DCE.m2501", "1", 1)], VelkorError),
    ("positions", [position_row("DCE.m2501", "2", 1, day="20240103")], TimeoutError),
    ("account", [account_row(day="20240103")], TimeoutError),
    ("account", [], VelkorError),
])
def test_failing_step_neither_advances_nor_touches(synced, clock, kind, rows, error):
    synced.sync_index = {"positions": 3, "account": 5}[kind]
    synced.dirty = False
    synced.changed.clear()
    time_before = synced.phase_time
    clock.advance(2)
    with pytest.raises(error):
        complete(synced, kind, rows)
    assert (synced.sync_index, synced.phase, synced.phase_time) == (
        {"positions": 3, "account": 5}[kind], "sync", time_before)
    assert synced.position_candidate is None and synced.dirty is False and not synced.changed.is_set()


def test_positions_without_timestamp_give_unstamped_records(session):
    session.instruments = {"DCE.m2501": instrument("DCE.m2501")}
    session.day = DAY
    assert session._positions([], None) == {}
    assert session._positions(rows=[], updated=None) == {}


def test_funds_without_timestamp(session):
    session.day = DAY
    session._complete_account([account_row()], None)
    assert session.a["updated_at"] is None and session.a["balance"] == 1000.0


def test_positions_query_stamps_candidate_with_the_completion_time(synced, clock):
    run_step(synced, clock, [], "trades_before")
    run_step(synced, clock, [position_row("DCE.m2501", "2", 2, today=1)], "positions")
    rec = synced.position_candidate["DCE.m2501"]
    assert rec["updated_at"] == int(clock.time() * 1000)
    assert (rec["pos_long"], rec["pos_long_today"], rec["pos_long_his"], rec["pos"]) == (2, 1, 1, 2)


def test_baseline_covers_the_position_views_users_hold(synced, clock):
    synced.instruments["CZCE.SR501"] = instrument("CZCE.SR501")  # known to an earlier login only
    views = [synced.position_view(sym) for sym in ("CZCE.SR501", "DCE.m2501")]
    del synced.instruments["CZCE.SR501"]
    run_step(synced, clock, [], "trades_before")
    run_step(synced, clock, [position_row("SHFE.ag2412", "2", 1)], "positions")
    run_step(synced, clock, [], "trades_after")
    assert list(synced.p) == ["CZCE.SR501", "DCE.m2501", "SHFE.ag2412"] and len(views) == 2
    assert synced.p["CZCE.SR501"]["pos"] is None and synced.p["DCE.m2501"]["pos"] == 0
    assert synced.p["SHFE.ag2412"]["pos_long_today"] == 1
