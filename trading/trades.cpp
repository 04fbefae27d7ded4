// Trade intake: every fill is recorded and counted into its child order exactly once, whether it
// arrives live or from a trade query; fills whose order is not known yet wait in a bounded buffer.
#include "books.h"
#include "limits.h"

namespace velkor::trading {

using namespace book;

namespace {

constexpr Py_ssize_t pending_trade_limit = 32768;

// The private trade record of a fill.
nb::dict trade_record(nb::handle row, nb::handle tid, nb::handle system_id, nb::handle symbol, nb::handle volume) {
    nb::dict record;
    put(record, KEY("trade_id"), tid);
    put(record, KEY("order_sys_id"), system_id);
    put(record, KEY("symbol"), symbol);
    put(record, KEY("direction"), direction_of(row));
    put(record, KEY("offset"), global(KEY("order_offset"))(item_or(row, KEY("OffsetFlag"), nb::none())));
    put(record, KEY("price"), item_or(row, KEY("Price"), nb::none()));
    put(record, KEY("volume"), volume);
    put(record, KEY("trade_time"), global(KEY("timestamp"))(item_or(row, KEY("TradeDate"), KEY("")),
                                                       item_or(row, KEY("TradeTime"), KEY(""))));
    return record;
}

// Counts a fill into its child; releases a held-back final state once every expected lot is in.
void count_fill(nb::handle child, nb::handle volume) {
    nb::object traded = item(child, KEY("volume_traded")) + volume;
    put(child, KEY("volume_traded"), traded);
    nb::object left = item(child, KEY("volume_original")) - traded;
    put(child, KEY("volume_left"), left);
    nb::int_ zero(0);
    if (left < zero) buffer_error("成交数量超过订单原始数量");

    if (truthy(item_or(child, KEY("pending_finish"), Py_False)) &&
        traded >= item_or(child, KEY("expected_traded"), zero)) {
        put(child, KEY("pending_finish"), Py_False);
        put(child, KEY("status"), nb::getattr(child, KEY("pop"))(KEY("finish_status")));
        put(child, KEY("status_msg"), nb::getattr(child, KEY("pop"))(KEY("finish_msg"), KEY("")));
    }
    if (equals(left, zero)) {
        put(child, KEY("pending_finish"), Py_False);
        if (item(child, KEY("status")).not_equal(KEY("FILLED")) || !truthy(item(child, KEY("status_msg"))))
            put(child, KEY("status_msg"), KEY("全部成交"));
        put(child, KEY("status"), KEY("FILLED"));
    }
    if (is_final(item(child, KEY("status")))) {
        put(child, KEY("cancel_pending"), Py_False);
        put(child, KEY("cancel_error"), nb::none());
    }
}

}  // namespace

nb::object trade_id(nb::handle, nb::handle row) {
    nb::object tid = stripped_field(row, KEY("TradeID"));
    if (!truthy(tid)) buffer_error("CTP 成交回报缺少 TradeID");
    return tid;
}

bool apply_trade(nb::handle self, nb::handle row, bool update_position) {
    if (!is_spec_trade(row)) return false;
    check_day(self, row, "成交回报的交易日发生变化");
    nb::object tid = trade_id(self, row);
    nb::object trades = get(self, KEY("t"));
    if (contains(trades, tid)) return false;  // live and queried copies of one fill count once

    nb::object system_id = stripped_field(row, KEY("OrderSysID"));
    nb::object key = truthy(system_id) ? item_or(get(self, KEY("system_orders")), system_id, nb::none()) : nb::none();
    nb::object pending = get(self, KEY("pending_trades"));
    if (key.is_none()) {
        if (!contains(pending, tid)) {
            Py_ssize_t size = PyObject_Length(pending.ptr());
            if (size < 0) throw nb::python_error();
            if (size >= pending_trade_limit) buffer_error("未关联订单的成交暂存队列已满");
            put(pending, tid, row);
        }
        return false;
    }
    nb::getattr(pending, KEY("pop"))(tid, nb::none());
    nb::object child = item(get(self, KEY("native_orders")), key);

    nb::object volume = item_or(row, KEY("Volume"), nb::none());
    if (!PyLong_CheckExact(volume.ptr()) || volume < nb::int_(1)) buffer_error("成交数量无效");
    nb::object symbol = symbol_of(row);
    nb::dict record = trade_record(row, tid, system_id, symbol, volume);

    count_fill(child, volume);
    limits::order_changed(self, child);
    put(trades, tid, record);
    if (update_position) {
        apply_position_trade(self, row);
        recompute_frozen(self, nb::none(), symbol);
    }
    aggregate(self, child);
    schedule_account(self);
    touch(self);
    return true;
}

static MethodRegistration reg_trade_id(Slot::trade_id, [](TradingClass& cls) {
    cls.def("_trade_id", [](nb::handle self, nb::handle row) { return trade_id(self, row); }, nb::arg("row").none());
});

static MethodRegistration reg_trade(Slot::trade, [](TradingClass& cls) {
    cls.def("_trade", [](nb::handle self, nb::handle row, nb::handle update_position) {
        return apply_trade(self, row, truthy(update_position));
    }, nb::arg("row").none(), nb::kw_only(), nb::arg("update_position").none());
});

}  // namespace velkor::trading
