// Trade intake: every fill is recorded and counted into its child order exactly once, whether it
// arrives live or from a trade query; fills whose order is not known yet wait in a bounded buffer.
#include "books.h"
#include "limit_rules.h"
#include "log.h"

#include <algorithm>
#include <string>
#include <vector>

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

// str(text) in UTF-8.
std::string utf8(nb::handle text) {
    nb::str s(text);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, size_t(size));
}

// The order that a recorded fill counted into, or None.
nb::object order_of_fill(nb::handle self, nb::handle exchange, nb::handle fill) {
    nb::object system = item_or(fill, KEY("order_sys_id"), nb::none());
    if (system.is_none()) return nb::none();
    return item_or(get(self, KEY("system_orders")), nb::make_tuple(exchange, system), nb::none());
}

// Both sides of one match are this account's: exchanges count self-trades against it, so the log says so
// once per session and trading day, naming both orders.
void note_self_trade(nb::handle self, nb::handle key, nb::handle order_id) {
    nb::handle exchange = key_part(key, 0), number = key_part(key, 1), side = key_part(key, 2);
    nb::handle other_side = equals(side, KEY("BUY")) ? KEY("SELL") : KEY("BUY");
    nb::object other = item_or(get(self, KEY("t")), nb::make_tuple(exchange, number, other_side), nb::none());
    if (other.is_none()) return;
    if (Trading* state = trading_state(self)) {
        std::string day = utf8(get(self, KEY("day")));
        if (state->self_trade_day != day) {  // numbers start again each trading day
            state->self_trades.clear();
            state->self_trade_day = day;
        }
        if (!state->self_trades.insert(utf8(exchange) + ' ' + utf8(number)).second) return;
    }
    log::guarded([&] {
        nb::object other_order = order_of_fill(self, exchange, other);
        log::write(self, log::ORDERS, log::WARNING,
                   "self-trade on %s: trade %s matched this account's orders %s (%s) and %s (%s); exchanges count "
                   "self-trades against the account",
                   {exchange, number, other_order, other_side, order_id, side}, {.order_id = order_id});
    });
}

// The exchanges named by the instrument table's symbols (the text before their first "."), each once.
std::vector<std::string> exchanges_of(nb::handle table) {
    std::vector<std::string> found;
    for (nb::handle symbol : table) {
        if (!PyUnicode_Check(symbol.ptr())) continue;
        std::string text = utf8(symbol);
        size_t dot = text.find('.');
        if (dot == std::string::npos) continue;
        text.resize(dot);
        if (std::find(found.begin(), found.end(), text) == found.end()) found.push_back(std::move(text));
    }
    return found;
}

// The same, kept beside the session for as long as its table is the same dict of the same size.
std::vector<std::string> table_exchanges(nb::handle self, nb::handle table) {
    Trading* state = trading_state(self);
    if (!state) return exchanges_of(table);
    Py_ssize_t size = PyObject_Length(table.ptr());
    if (size < 0) throw nb::python_error();
    if (!state->exchanges_table.is(table) || state->exchanges_size != size) {
        state->exchanges = exchanges_of(table);
        state->exchanges_table = nb::borrow(table);
        state->exchanges_size = size;
    }
    return state->exchanges;
}

}  // namespace

nb::object with_exchange(nb::handle self, nb::handle row) {
    if (truthy(stripped_field(row, KEY("ExchangeID")))) return nb::borrow(row);
    nb::object instrument = item_or(row, KEY("InstrumentID"), KEY(""));
    if (!PyUnicode_Check(instrument.ptr()) || !truthy(instrument)) return nb::borrow(row);
    nb::object table = get(self, KEY("instruments"));
    nb::object found;
    for (const std::string& exchange : table_exchanges(self, table)) {
        nb::str name(exchange.c_str(), exchange.size());
        if (!contains(table, name + KEY(".") + instrument)) continue;
        if (found.is_valid()) return nb::borrow(row);  // listed on two exchanges: no telling which
        found = std::move(name);
    }
    if (!found.is_valid()) return nb::borrow(row);
    nb::object copy = checked(PyDict_Check(row.ptr()) ? PyDict_Copy(row.ptr())
                                                       : PyObject_CallOneArg((PyObject*)&PyDict_Type, row.ptr()));
    put(copy, KEY("ExchangeID"), found);
    return copy;
}

nb::object order_key(nb::handle row) {
    nb::object system = stripped_field(row, KEY("OrderSysID"));
    if (!truthy(system)) return nb::none();
    return nb::make_tuple(stripped_field(row, KEY("ExchangeID")), system);
}

nb::object trade_key(nb::handle row) {
    nb::object tid = stripped_field(row, KEY("TradeID"));
    if (!truthy(tid)) buffer_error("CTP 成交回报缺少 TradeID");
    return nb::make_tuple(stripped_field(row, KEY("ExchangeID")), tid, direction_of(row));
}

bool apply_trade(nb::handle self, nb::handle raw, bool update_position) {
    if (!is_spec_trade(raw)) return false;
    nb::object row = with_exchange(self, raw);
    check_day(self, row, "成交回报的交易日发生变化");
    nb::object fill = trade_key(row);
    nb::object trades = get(self, KEY("t"));
    if (contains(trades, fill)) return false;  // live and queried copies of one fill count once

    nb::object system = order_key(row);
    nb::object key = system.is_none() ? nb::none() : item_or(get(self, KEY("system_orders")), system, nb::none());
    nb::object pending = get(self, KEY("pending_trades"));
    if (key.is_none()) {
        if (!contains(pending, fill)) {
            Py_ssize_t size = PyObject_Length(pending.ptr());
            if (size < 0) throw nb::python_error();
            if (size >= pending_trade_limit) buffer_error("未关联订单的成交暂存队列已满");
            put(pending, fill, row);
        }
        return false;
    }
    nb::getattr(pending, KEY("pop"))(fill, nb::none());
    nb::object child = item(get(self, KEY("native_orders")), key);

    nb::object volume = item_or(row, KEY("Volume"), nb::none());
    if (!PyLong_CheckExact(volume.ptr()) || volume < nb::int_(1)) buffer_error("成交数量无效");
    nb::object symbol = symbol_of(row);
    nb::dict record = trade_record(row, key_part(fill, 1), key_part(system, 1), symbol, volume);

    count_fill(child, volume);
    limits::order_changed(self, child);
    put(trades, fill, record);
    note_self_trade(self, fill, key);
    if (update_position) {
        apply_position_trade(self, row);
        recompute_frozen(self, nb::none(), symbol);
    }
    aggregate(self, child);
    schedule_account(self);
    touch(self);
    return true;
}

static MethodRegistration reg_trade_key(Slot::trade_key, [](TradingClass& cls) {
    cls.def_static("_trade_key", [](nb::handle row) { return trade_key(row); }, nb::arg("row").none());
});

static MethodRegistration reg_trade(Slot::trade, [](TradingClass& cls) {
    cls.def("_trade", [](nb::handle self, nb::handle row, nb::handle update_position) {
        return apply_trade(self, row, truthy(update_position));
    }, nb::arg("row").none(), nb::kw_only(), nb::arg("update_position").none());
});

}  // namespace velkor::trading
