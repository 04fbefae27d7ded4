// Query completion: what the rows of each synchronisation step become, the position baseline, funds.
#include "sync.h"

#include <string>
#include <utility>

namespace velkor::trading {

namespace {

// Rounds the trade/position steps may repeat while fills still wait for their order; after that the
// login starts over, and its fresh order query brings the missing orders.
constexpr long PENDING_TRADE_ROUNDS = 3;

[[noreturn]] void raise_type(PyObject* type, const char* text) { raise(nb::handle(type), text); }

bool is_exchange_with_dated_positions(nb::handle exchange) {
    return py::eq(exchange, "SHFE") || py::eq(exchange, "INE");
}

// A row's "TradingDay", when given, must be the session's trading day.
void check_day(nb::handle self, nb::handle row, const char* message) {
    nb::object day = py::get(row, "TradingDay");
    if (py::truthy(day) && !py::eq(day, get(self, "day"))) raise_type(PyExc_TimeoutError, message);
}

Py_ssize_t step_index(const char* step) {
    nb::object steps = global("SYNC_STEPS");
    return nb::cast<Py_ssize_t>(steps.attr("index")(nb::str(step)));
}

nb::object now_ms() {
    nb::object seconds = global("time").attr("time")();
    nb::object ms = py::steal_or_fail(PyNumber_Multiply(seconds.ptr(), nb::int_(1000).ptr()));
    return py::steal_or_fail(PyNumber_Long(ms.ptr()));
}

void instruments(nb::handle self, nb::handle rows) {
    nb::dict table;
    py::each(rows, [&](nb::object row) {
        nb::object product = py::get(row, "ProductClass");
        if (py::eq(product, "1") || py::eq(product, "2")) py::store(table, py::symbol_of(row), row);
    });
    set(self, "instruments", table);
}

void orders(nb::handle self, nb::handle rows, nb::handle revision) {
    py::each(rows, [&](nb::object row) {
        if (peer::is_spec_order(self, row)) peer::order(self, row, revision);
    });
}

// The speculation trades of a trade query and the set of their ids; every id is taken before any
// row is applied, so a row without TradeID raises before anything changes.
std::pair<nb::list, nb::object> spec_trades(nb::handle self, nb::handle rows) {
    nb::list kept;
    py::each(rows, [&](nb::object row) {
        if (peer::is_spec_trade(self, row)) kept.append(row);
    });
    nb::object ids = py::steal_or_fail(PySet_New(nullptr));
    for (nb::handle row : kept)
        if (PySet_Add(ids.ptr(), peer::trade_id(self, row).ptr()) < 0) py::fail();
    return {kept, ids};
}

void record_trades(nb::handle self, nb::handle kept) {
    for (nb::handle row : nb::borrow<nb::list>(kept)) peer::trade(self, row, false);
}

// Installs the position baseline: the users' symbols first, then the queried records.
void take_baseline(nb::handle self, nb::handle stamp) {
    nb::object known = get(self, "instruments");
    nb::object empty_position = global("empty_position");
    nb::dict book;
    py::each(get(self, "positions"), [&](nb::object symbol) {
        bool listed = py::contains(known, symbol);
        py::store(book, symbol, empty_position(symbol, listed ? stamp : nb::none()));
    });
    nb::object candidate = get(self, "position_candidate");
    if (!candidate.is_none()) book.attr("update")(candidate);
    set(self, "p", book);
    set(self, "position_candidate", nb::none());
    get(self, "live_trade_buffer").attr("clear")();
    set(self, "position_ready", nb::bool_(true));
    peer::recompute_frozen_all(self, stamp);
    set(self, "published_position_time", stamp);
}

// The second trade query: takes the baseline when nothing moved while positions were queried,
// otherwise sends the session round the trade and position steps again. False: go round again.
bool confirm_trades(nb::handle self, nb::handle rows, nb::handle stamp) {
    auto [kept, after] = spec_trades(self, rows);
    record_trades(self, kept);
    nb::object before = get(self, "trade_before");
    if (!py::truthy(py::steal_or_fail(PyObject_RichCompare(before.ptr(), after.ptr(), Py_LE))))
        raise_type(PyExc_TimeoutError, "登录期间成交查询结果回退，需要重建会话");
    bool stable = py::eq(before, after);
    if (stable)
        py::each(get(self, "live_trade_buffer"), [&](nb::object tid) {
            if (stable && !py::contains(after, tid)) stable = false;
        });
    bool waiting = py::truthy(get(self, "pending_trades"));
    if (stable && !waiting) {
        take_baseline(self, stamp);
        return true;
    }
    if (waiting) {
        // Fills whose order never shows would keep the session going round for ever.
        nb::object data = get(self, "phase_data");
        long rounds = nb::cast<long>(py::get(data, "pending_trade_rounds", nb::int_(0))) + 1;
        if (rounds > PENDING_TRADE_ROUNDS) raise_type(PyExc_TimeoutError, "登录期间成交回报缺少对应订单，需要重建会话");
        py::store(data, "pending_trade_rounds", nb::int_(rounds));
    }
    set(self, "trade_before", after);
    set(self, "position_candidate", nb::none());
    set(self, "sync_index", nb::int_(step_index("trades_before")));
    set(self, "phase_time", nb::float_(monotonic()));
    peer::touch(self);
    return false;
}

}  // namespace

void complete(nb::handle self, nb::handle query) {
    nb::object kind = py::item(query, "kind");
    nb::object rows = py::item(query, "rows");
    nb::object stamp = now_ms();

    if (py::eq(kind, "instruments")) {
        instruments(self, rows);
    } else if (py::eq(kind, "orders")) {
        orders(self, rows, py::item(query, "revision"));
    } else if (py::eq(kind, "trades_before")) {
        auto [kept, ids] = spec_trades(self, rows);
        set(self, "trade_before", ids);
        record_trades(self, kept);
    } else if (py::eq(kind, "positions")) {
        set(self, "position_candidate", positions(self, rows, stamp));
    } else if (py::eq(kind, "trades_after")) {
        if (!confirm_trades(self, rows, stamp)) return;
    } else if (py::eq(kind, "account")) {
        complete_account(self, rows, stamp);
        get(self, "query_recovery").attr("success")();
    }

    if (py::eq(get(self, "phase"), "sync")) {
        set(self, "phase_time", nb::float_(monotonic()));
        nb::object index = py::steal_or_fail(PyNumber_Add(get(self, "sync_index").ptr(), nb::int_(1).ptr()));
        set(self, "sync_index", index);
        if (py::eq(index, nb::int_(py::len(global("SYNC_STEPS"))))) {
            set(self, "phase", nb::str("ready"));
            peer::status(self, "READY");
            get(self, "recovery").attr("success")();
        }
    }
    peer::touch(self);
}

void complete_account(nb::handle self, nb::handle rows, nb::handle stamp) {
    nb::object user = get(self, "config").attr("user_id");
    nb::str cny("CNY");
    nb::list kept;
    py::each(rows, [&](nb::object row) {
        if (py::eq(py::get(row, "CurrencyID", cny), cny) && py::eq(py::get(row, "AccountID"), user)) kept.append(row);
    });
    if (kept.size() != 1) raise_velkor("完整资金查询中应恰好包含一个人民币账户");
    nb::object row = kept[0];
    check_day(self, row, "资金查询期间交易日发生变化");
    nb::object finite = global("finite");
    nb::dict values;
    nb::object fields = global("ACCOUNT_FIELDS");
    py::each(fields.attr("items")(), [&](nb::object pair) {
        nb::object ctp = py::item(pair, nb::int_(1));
        py::store(values, py::item(pair, nb::int_(0)), finite(py::get(row, ctp, nb::none())));
    });
    nb::object account = get(self, "a");
    account.attr("update")(values);
    py::store(account, "updated_at", stamp);
    set(self, "last_account_refresh", nb::float_(monotonic()));
}

nb::object positions(nb::handle self, nb::handle rows, nb::handle updated) {
    nb::object known = get(self, "instruments");
    nb::object empty_position = global("empty_position");
    nb::object zero = nb::int_(0);
    nb::dict result;
    py::each(rows, [&](nb::object row) {
        if (!py::eq(py::get(row, "HedgeFlag"), "1")) return;
        check_day(self, row, "持仓查询期间交易日发生变化");
        nb::object symbol = py::symbol_of(row);
        nb::object total = py::get(row, "Position", zero);
        if (!py::contains(known, symbol) && py::truthy(total)) raise_velkor("持仓查询包含 SDK 不支持的合约类别");
        nb::object direction = py::get(row, "PosiDirection");
        const char* side;
        if (py::eq(direction, "2"))
            side = "long";
        else if (py::eq(direction, "3"))
            side = "short";
        else
            raise_velkor("持仓查询包含不支持的净持仓方向");
        nb::object record = py::get(result, symbol, nb::none());
        if (record.is_none()) {
            record = empty_position(symbol, updated);
            py::store(result, symbol, record);
        }
        nb::object today;
        if (is_exchange_with_dated_positions(py::get(row, "ExchangeID")))
            today = py::eq(py::get(row, "PositionDate"), "1") ? total : zero;
        else
            today = py::get(row, "TodayPosition", zero);
        nb::object history = py::steal_or_fail(PyNumber_Subtract(total.ptr(), today.ptr()));
        if (py::lt(total, zero) || py::lt(today, zero) || py::lt(history, zero))
            raise_velkor("柜台持仓快照中的今昨仓数量无效");
        std::string base = std::string("pos_") + side;
        for (auto [key, amount] : {std::pair{base, total}, std::pair{base + "_today", today},
                                   std::pair{base + "_his", history}}) {
            nb::str name(key.c_str());
            py::store(record, name, py::steal_or_fail(PyNumber_Add(py::item(record, name).ptr(), amount.ptr())));
        }
    });
    py::each(result.values(), [&](nb::object record) {
        py::store(record, "pos", py::steal_or_fail(PyNumber_Subtract(py::item(record, "pos_long").ptr(),
                                                                     py::item(record, "pos_short").ptr())));
    });
    return result;
}

static MethodRegistration reg_complete(Slot::complete, [](TradingClass& cls) {
    cls.def("_complete", [](nb::handle self, nb::handle query) { complete(self, query); }, nb::arg("query"));
});

static MethodRegistration reg_complete_account(Slot::complete_account, [](TradingClass& cls) {
    cls.def("_complete_account",
            [](nb::handle self, nb::handle rows, nb::handle stamp) { complete_account(self, rows, stamp); },
            nb::arg("rows"), nb::arg("now_ms"));
});

static MethodRegistration reg_positions(Slot::positions, [](TradingClass& cls) {
    cls.def("_positions", [](nb::handle self, nb::handle rows, nb::handle updated) { return positions(self, rows, updated); },
            nb::arg("rows"), nb::arg("updated"));
});

}  // namespace velkor::trading
