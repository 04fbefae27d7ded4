// Query completion: what the rows of each synchronisation step become, the position baseline, funds.
#include "log.h"
#include "sync.h"

#include <utility>

namespace velkor::trading {

namespace {

// Rounds the trade and position steps may repeat while fills still wait for their order; after that
// the login starts over, and its fresh order query brings the missing orders.
constexpr long PENDING_TRADE_ROUNDS = 3;

void take_instruments(nb::handle self, nb::handle rows) {
    nb::dict table;
    for (nb::handle row : rows) {
        nb::object product = item_or(row, KEY("ProductClass"), nb::none());
        if (equals(product, KEY("1")) || equals(product, KEY("2"))) put(table, symbol_of(row), row);
    }
    set(self, "instruments", table);
}

// The speculation trades of a trade query and the set of their keys; every key is taken before any
// row is applied, so a row without TradeID raises before anything changes.
std::pair<nb::list, nb::object> spec_trades(nb::handle self, nb::handle rows) {
    nb::list kept;
    for (nb::handle row : rows) {
        if (is_spec_trade(row)) kept.append(with_exchange(self, row));
    }
    nb::object ids = checked(PySet_New(nullptr));
    for (nb::handle row : kept)
        if (PySet_Add(ids.ptr(), trade_key(row).ptr()) < 0) throw nb::python_error();
    return {kept, ids};
}

void record_trades(nb::handle self, const nb::list& kept) {
    for (nb::handle row : kept) apply_trade(self, row, false);
}

// Installs the position baseline: the symbols users already view first, then the queried records.
void take_baseline(nb::handle self, nb::handle stamp) {
    nb::object known = get(self, "instruments");
    nb::object empty_position = global("empty_position");
    nb::dict baseline;
    for (nb::handle symbol : get(self, "positions")) {
        put(baseline, symbol, empty_position(symbol, contains(known, symbol) ? stamp : nb::none()));
    }
    nb::object candidate = get(self, "position_candidate");
    if (!candidate.is_none()) baseline.attr("update")(candidate);
    set(self, "p", baseline);
    set(self, "position_candidate", nb::none());
    get(self, "live_trade_buffer").attr("clear")();
    set(self, "position_ready", Py_True);
    recompute_frozen(self, stamp, nb::none());
    set(self, "published_position_time", stamp);
}

// The second trade query: takes the baseline when no trade moved while positions were queried,
// otherwise sends the session round the trade and position steps again (and returns false).
bool confirm_trades(nb::handle self, nb::handle rows, nb::handle stamp) {
    auto [kept, after] = spec_trades(self, rows);
    record_trades(self, kept);
    nb::object before = get(self, "trade_before");
    if (!truthy(checked(PyObject_RichCompare(before.ptr(), after.ptr(), Py_LE))))
        raise(PyExc_TimeoutError, "登录期间成交查询结果回退，需要重建会话");
    bool stable = equals(before, after);
    // Keyed again: a fill returned before the instrument table came may have named no exchange then.
    if (stable)
        for (nb::handle fill : get(self, "live_trade_buffer").attr("values")())
            if (stable && !contains(after, trade_key(with_exchange(self, fill)))) stable = false;
    bool waiting = truthy(get(self, "pending_trades"));
    if (stable && !waiting) {
        take_baseline(self, stamp);
        return true;
    }
    if (waiting) {
        // A fill whose order never shows would otherwise keep the login going round for ever.
        nb::object data = get(self, "phase_data");
        long rounds = nb::cast<long>(item_or(data, KEY("pending_trade_rounds"), nb::int_(0))) + 1;
        if (rounds > PENDING_TRADE_ROUNDS) raise(PyExc_TimeoutError, "登录期间成交回报缺少对应订单，需要重建会话");
        put(data, KEY("pending_trade_rounds"), nb::int_(rounds));
    }
    log::write(self, log::SESSION, log::INFO,
               waiting ? "fills wait for orders the order query did not show; querying trades and positions again"
                       : "trades moved while positions were queried; querying trades and positions again",
               {});
    set(self, "trade_before", after);
    set(self, "position_candidate", nb::none());
    set(self, "sync_index", global("SYNC_STEPS").attr("index")(KEY("trades_before")));
    set(self, "phase_time", nb::float_(monotonic(self)));
    trading::touch(self);
    return false;
}

}  // namespace

namespace {

// The login's result: what the account holds now.
void log_ready(nb::handle self) {
    if (!log::enabled(log::SESSION, log::INFO)) return;
    log::guarded([&] {
        Py_ssize_t held = 0;
        for (nb::handle record : get(self, "p").attr("values")()) {
            if (PyDict_Check(record.ptr()) && (truthy(item_or(record, KEY("pos_long"), nb::none())) ||
                                               truthy(item_or(record, KEY("pos_short"), nb::none()))))
                ++held;
        }
        nb::object funds = get(self, "a");
        log::write(self, log::SESSION, log::INFO,
                   "READY: trading day %s, %s tradable instruments, %s orders and %s trades today, positions in %s "
                   "symbols, balance %s, available %s",
                   {get(self, "day"), nb::int_(nb::len(get(self, "instruments"))), nb::int_(nb::len(get(self, "o"))),
                    nb::int_(nb::len(get(self, "t"))), nb::int_(held), item_or(funds, KEY("balance"), nb::none()),
                    item_or(funds, KEY("available"), nb::none())});
    });
}

void log_step(nb::handle self, nb::handle kind, nb::handle rows) {
    if (!log::enabled(log::SESSION, log::DEBUG)) return;
    log::guarded([&] {
        if (equals(get(self, "phase"), KEY("sync")))
            log::write(self, log::SESSION, log::DEBUG, "%s query answered: %s rows",
                       {log::query_name(kind), nb::int_(nb::len(rows))});
    });
}

}  // namespace

void complete(nb::handle self, nb::handle query) {
    nb::object kind = item(query, KEY("kind"));
    nb::object rows = item(query, KEY("rows"));
    nb::object stamp = wall_ms(self);
    log_step(self, kind, rows);

    if (equals(kind, KEY("instruments"))) {
        take_instruments(self, rows);
    } else if (equals(kind, KEY("orders"))) {
        nb::object revision = item(query, KEY("revision"));
        for (nb::handle row : rows) {
            if (is_spec_order(row)) apply_order(self, row, revision);
        }
    } else if (equals(kind, KEY("trades_before"))) {
        auto [kept, ids] = spec_trades(self, rows);
        set(self, "trade_before", ids);
        record_trades(self, kept);
    } else if (equals(kind, KEY("positions"))) {
        set(self, "position_candidate", position_candidate(self, rows, stamp));
    } else if (equals(kind, KEY("trades_after"))) {
        if (!confirm_trades(self, rows, stamp)) return;
    } else if (equals(kind, KEY("account"))) {
        complete_account(self, rows, stamp);
        get(self, "query_recovery").attr("success")();
    }

    if (equals(get(self, "phase"), KEY("sync"))) {
        set(self, "phase_time", nb::float_(monotonic(self)));
        nb::object index = get(self, "sync_index") + nb::int_(1);
        set(self, "sync_index", index);
        if (equals(index, nb::int_(nb::len(global("SYNC_STEPS"))))) {
            set(self, "phase", KEY("ready"));
            set_status(self, "READY");
            get(self, "recovery").attr("success")();
            log_ready(self);
        }
    }
    trading::touch(self);
}

void complete_account(nb::handle self, nb::handle rows, nb::handle stamp) {
    nb::object user = get(self, "config").attr("user_id");
    // Some CTP-compatible counters leave CurrencyID empty: a single row without it is the CNY row.
    bool single = nb::len(rows) == 1;
    nb::list kept;
    for (nb::handle row : rows) {
        nb::object currency = item_or(row, KEY("CurrencyID"), KEY("CNY"));
        if ((equals(currency, KEY("CNY")) || (single && !truthy(stripped(currency)))) &&
            equals(item_or(row, KEY("AccountID"), nb::none()), user))
            kept.append(row);
    }
    if (kept.size() != 1) raise_velkor("完整资金查询中应恰好包含一个人民币账户");
    nb::object row = kept[0];
    check_day(self, row, "资金查询期间交易日发生变化");
    nb::object finite = global("finite");
    nb::dict values;
    for (nb::handle pair : global("ACCOUNT_FIELDS").attr("items")()) {
        put(values, item(pair, nb::int_(0)), finite(item_or(row, item(pair, nb::int_(1)), nb::none())));
    }
    nb::object account = get(self, "a");
    account.attr("update")(values);
    put(account, KEY("updated_at"), stamp);
    set(self, "last_account_refresh", nb::float_(monotonic(self)));
}

nb::object position_candidate(nb::handle self, nb::handle rows, nb::handle updated) {
    nb::object known = get(self, "instruments");
    nb::object empty_position = global("empty_position");
    nb::int_ zero(0);
    nb::dict result;
    for (nb::handle raw : rows) {
        if (!equals(item_or(raw, KEY("HedgeFlag"), nb::none()), KEY("1"))) continue;
        nb::object row = with_exchange(self, raw);
        check_day(self, row, "持仓查询期间交易日发生变化");
        nb::object symbol = symbol_of(row);
        nb::object total = item_or(row, KEY("Position"), zero);
        if (!contains(known, symbol) && truthy(total)) raise_velkor("持仓查询包含 SDK 不支持的合约类别");
        nb::object direction = item_or(row, KEY("PosiDirection"), nb::none());
        bool is_long = equals(direction, KEY("2"));
        if (!is_long && !equals(direction, KEY("3"))) raise_velkor("持仓查询包含不支持的净持仓方向");
        nb::object record = item_or(result, symbol, nb::none());
        if (record.is_none()) {
            record = empty_position(symbol, updated);
            put(result, symbol, record);
        }
        // SHFE and INE report today's and earlier holdings in separate rows, told apart by PositionDate.
        nb::object exchange = item_or(row, KEY("ExchangeID"), nb::none());
        nb::object today;
        if (equals(exchange, KEY("SHFE")) || equals(exchange, KEY("INE")))
            today = equals(item_or(row, KEY("PositionDate"), nb::none()), KEY("1")) ? total : nb::object(zero);
        else
            today = item_or(row, KEY("TodayPosition"), zero);
        nb::object history = total - today;
        if (total < zero || today < zero || history < zero) raise_velkor("柜台持仓快照中的今昨仓数量无效");
        nb::handle keys[3] = {is_long ? KEY("pos_long") : KEY("pos_short"),
                              is_long ? KEY("pos_long_today") : KEY("pos_short_today"),
                              is_long ? KEY("pos_long_his") : KEY("pos_short_his")};
        nb::handle amounts[3] = {total, today, history};
        for (int i = 0; i < 3; ++i) put(record, keys[i], item(record, keys[i]) + amounts[i]);
    }
    for (nb::handle record : result.values())
        put(record, KEY("pos"), item(record, KEY("pos_long")) - item(record, KEY("pos_short")));
    return result;
}

static MethodRegistration reg_complete(Slot::complete, [](TradingClass& cls) {
    cls.def("_complete", [](nb::handle self, nb::handle query) { complete(self, query); },
            nb::arg("query").none());
});

static MethodRegistration reg_complete_account(Slot::complete_account, [](TradingClass& cls) {
    cls.def("_complete_account",
            [](nb::handle self, nb::handle rows, nb::handle stamp) { complete_account(self, rows, stamp); },
            nb::arg("rows").none(), nb::arg("now_ms").none());
});

static MethodRegistration reg_positions(Slot::positions, [](TradingClass& cls) {
    cls.def("_positions",
            [](nb::handle self, nb::handle rows, nb::handle updated) { return position_candidate(self, rows, updated); },
            nb::arg("rows").none(), nb::arg("updated").none());
});

}  // namespace velkor::trading
