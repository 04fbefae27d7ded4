// Trading: construction, the session's private state and its reset, start and close.
#include "coro.h"
#include "journal.h"
#include "limit_rules.h"
#include "log.h"

#include <cmath>
#include <new>

namespace velkor::trading {

namespace {

nb::object new_account(nb::handle config) {
    nb::object account_id = truthy(config) ? nb::object(config.attr("user_id")) : nb::none();
    return global("Account")(nb::arg("account_id") = account_id);
}

nb::dict values_copy(nb::handle account) {
    PyObject* copy = PyDict_New();
    if (!copy) throw nb::python_error();
    nb::dict result = nb::steal<nb::dict>(copy);
    if (PyDict_Merge(copy, account.attr("_values").ptr(), 1) != 0) throw nb::python_error();
    return result;
}

void trading_init(nb::pointer_and_handle<Trading> h, nb::handle config, nb::handle timeout, nb::handle objects,
                  nb::handle native_factory, nb::handle limits, nb::handle journal_folder) {
    nb::handle self = h.h;
    auto limit_book = limits::make_book(limits);  // a bad value raises before anything is registered
    // First, so that it sees every clock reading the construction makes.
    auto journal = journal::create(journal_folder, config, timeout, limits::settings_by_name(limits));
    bool configured = truthy(config);
    set(self, "config", config);
    set(self, "timeout", timeout);
    set(self, "objects", objects);
    set(self, "factory", native_factory);
    nb::object account = new_account(config);
    set(self, "account", account);
    nb::str status(configured ? "SYNCING" : "ERROR");
    set(self, "session_status", status);
    set(self, "published_status", status);
    nb::object positions = global("LiveMap")(global("Position"));
    set(self, "positions", positions);
    nb::object orders = global("LiveMap")(global("Order"));
    set(self, "orders", orders);
    nb::list trades;
    set(self, "trades", trades);
    set(self, "trade_views", nb::dict());
    for (nb::handle x : {nb::handle(account), nb::handle(positions), nb::handle(orders), nb::handle(trades)})
        register_object(objects, x);
    set(self, "a", values_copy(account));
    for (const char* attr : {"p", "o", "t", "native_orders", "instruments", "ref_orders", "system_orders",
                             "pending_trades", "live_trade_buffer"})
        set(self, attr, nb::dict());
    set(self, "trade_before", nb::set());
    set(self, "position_candidate", nb::none());
    set(self, "position_ready", nb::bool_(false));
    set(self, "pending", nb::set());
    set(self, "inflight", nb::none());
    set(self, "sync_index", nb::int_(0));
    set(self, "last_query", nb::float_(-INFINITY));
    set(self, "last_account_refresh", nb::float_(0.0));
    set(self, "request_id", nb::int_(0));
    set(self, "order_ref", nb::int_(0));
    set(self, "order_revisions", nb::dict());
    set(self, "revision", nb::int_(0));
    set(self, "front", nb::int_(0));
    set(self, "session", nb::int_(0));
    set(self, "day", nb::str(""));
    set(self, "phase", nb::str("connecting"));
    set(self, "phase_id", nb::none());
    nb::object now = global("time").attr("monotonic")();
    if (journal) journal->monotonic(now);
    set(self, "phase_time", now);
    set(self, "phase_data", nb::dict());
    set(self, "task", nb::none());
    set(self, "native", nb::none());
    set(self, "error", nb::none());
    set(self, "dirty", nb::bool_(false));
    set(self, "changed", global("asyncio").attr("Event")());
    set(self, "directory", nb::none());
    set(self, "reset_pending", nb::bool_(false));
    nb::object recovery = global("Recovery");
    if (journal) {
        // The retry controls read their clock through the session, so that the journal has it.
        nb::object clock = self.attr("_journal_clock");
        set(self, "recovery", recovery("交易连接", nb::arg("clock") = clock));
        set(self, "query_recovery", recovery("账户查询", 3, 120, nb::arg("clock") = clock));
    } else {
        set(self, "recovery", recovery("交易连接"));
        set(self, "query_recovery", recovery("账户查询", 3, 120));
    }
    set(self, "published_position_time", nb::none());
    new (h.p) Trading();
    h.p->limits = std::move(limit_book);
    h.p->journal = std::move(journal);
}

void clear_in_place(nb::handle container) {
    if (PyDict_CheckExact(container.ptr()))
        PyDict_Clear(container.ptr());
    else if (PySet_CheckExact(container.ptr()))
        PySet_Clear(container.ptr());
    else
        container.attr("clear")();
}

// The C++ side of a session; null for an object that is not a ready one (the methods take any self).
Trading* state_of(nb::handle self) {
    return nb::isinstance<Trading>(self) && nb::inst_ready(self) ? nb::inst_ptr<Trading>(self) : nullptr;
}

Coro run_close(nb::handle self) {
    if (Trading* t = state_of(self)) t->closed = true;
    if (journal::Journal* j = journal::of(self)) j->call(journal::CLOSE, {});
    // From here on the session takes no order and no cancel: both answer "not ready", send nothing and
    // register nothing. The status is published by the next commit.
    if (!equals(get(self, "session_status"), "ERROR")) set_status(self, "DISCONNECTED");
    Held task(get(self, "task"));  // held across the co_await: shown to the collector
    std::exception_ptr interrupted;  // close() itself cancelled while waiting: still close the adapter
    if (truthy(task)) {
        task.attr("cancel")();
        nb::object ended = global("asyncio").attr("gather")(task, nb::arg("return_exceptions") = true);
        try {
            co_await std::move(ended);
        } catch (...) {
            interrupted = std::current_exception();
        }
    }
    close_native(self);
    if (Trading* t = state_of(self); t && t->journal) {
        t->journal->close(self);
        t->journal.reset();
    }
    log::write(self, log::SESSION, log::INFO, "session closed", {});
    if (interrupted) std::rethrow_exception(interrupted);
    co_return nb::none();
}

}  // namespace

namespace {

void make_native(nb::handle self) {
    if (get(self, "directory").is_none())
        set(self, "directory", global("mkdtemp")(nb::arg("prefix") = "velkor-ctp-"));
    nb::object config = get(self, "config");
    log::write(self, log::SESSION, log::INFO, "connecting to front %s", {nb::getattr(config, "front_url", nb::none())});
    set(self, "native", get(self, "factory")(config, get(self, "directory")));
}

}  // namespace

void open_native(nb::handle self) {
    journal::Journal* j = journal::of(self);
    if (!j) return make_native(self);
    try {
        make_native(self);
    } catch (nb::python_error& e) {
        j->open(e.value());
        throw;
    }
    j->open({});
}

void register_object(nb::handle objects, nb::handle obj) {
    if (PyObject_SetItem(objects.ptr(), identity(obj).ptr(), obj.ptr()) < 0) throw nb::python_error();
}

void close_native(nb::handle self) {
    nb::object native = get(self, "native");
    if (native.is_none()) return;
    native.attr("close")();
    set(self, "native", nb::none());
}

void touch(nb::handle self) {
    set(self, "dirty", nb::bool_(true));
    get(self, "changed").attr("set")();
}

void set_status(nb::handle self, nb::handle value) {
    set(self, "session_status", value);
    touch(self);
}

void set_status(nb::handle self, const char* value) { set_status(self, nb::str(value)); }

void clear_cache(nb::handle self, nb::handle status) {
    set(self, "a", values_copy(new_account(get(self, "config"))));
    set(self, "session_status", status);
    for (const char* attr : {"o", "t", "native_orders", "instruments", "ref_orders", "system_orders",
                             "pending_trades", "live_trade_buffer", "order_revisions"})
        clear_in_place(get(self, attr));
    limits::books_cleared(self);
    nb::dict p;
    nb::object empty_position = global("empty_position");
    for (nb::handle symbol : get(self, "positions")) p[symbol] = empty_position(symbol);
    set(self, "p", p);
    clear_in_place(get(self, "trade_before"));
    set(self, "position_candidate", nb::none());
    set(self, "position_ready", nb::bool_(false));
    clear_in_place(get(self, "pending"));
    set(self, "inflight", nb::none());
    set(self, "sync_index", nb::int_(0));
    set(self, "last_account_refresh", nb::float_(0.0));
    set(self, "revision", nb::int_(0));
    set(self, "front", nb::int_(0));
    set(self, "session", nb::int_(0));
    set(self, "phase_id", nb::none());
    clear_in_place(get(self, "phase_data"));
    set(self, "published_position_time", nb::none());
    set(self, "reset_pending", nb::bool_(true));
    touch(self);
}

void clear_cache(nb::handle self, const char* status) { clear_cache(self, nb::str(status)); }

namespace {

void start(nb::handle self) {
    if (get(self, "config").is_none() || !get(self, "task").is_none()) return;
    // Closed before it ever ran: it stays closed, as one whose task has ended does.
    if (Trading* t = state_of(self); t && t->closed) return;
    nb::object loop = global("asyncio").attr("get_running_loop")();
    set(self, "task", loop.attr("create_task")(run(self)));
}

MethodRegistration reg_init(Slot::init, [](TradingClass& cls) {
    nb::object native = module().attr("Native");
    cls.def("__init__", &trading_init, nb::arg("config").none(), nb::arg("timeout").none(), nb::arg("objects").none(),
            nb::kw_only(), nb::arg("native_factory").none() = native, nb::arg("limits").none() = nb::none(),
            nb::arg("journal").none() = nb::none(), nb::sig(doc::init_sig), doc::init);
});
MethodRegistration reg_journal_clock(Slot::journal_clock, [](TradingClass& cls) {
    cls.def("_journal_clock", [](nb::handle self) { return now_object(self); });
});
MethodRegistration reg_start(Slot::start, [](TradingClass& cls) {
    cls.def("start", [](nb::handle self) { start(self); }, nb::sig(doc::start_sig), doc::start);
});
MethodRegistration reg_open_native(Slot::open_native, [](TradingClass& cls) {
    cls.def("_open_native", [](nb::handle self) { open_native(self); });
});
MethodRegistration reg_close_native(Slot::close_native, [](TradingClass& cls) {
    cls.def("_close_native", [](nb::handle self) { close_native(self); });
});
MethodRegistration reg_clear_cache(Slot::clear_cache, [](TradingClass& cls) {
    cls.def("_clear_cache", [](nb::handle self, nb::handle status) { clear_cache(self, status); }, nb::arg("status").none());
});
MethodRegistration reg_touch(Slot::touch, [](TradingClass& cls) { cls.def("_touch", [](nb::handle self) { touch(self); }); });
MethodRegistration reg_status(Slot::status, [](TradingClass& cls) {
    cls.def("_status", [](nb::handle self, nb::handle value) { set_status(self, value); }, nb::arg("value").none());
});
MethodRegistration reg_close(Slot::close, [](TradingClass& cls) {
    cls.def("close", [](nb::handle self) { return make_coroutine(run_close(self), "Trading.close", self); },
            nb::sig(doc::close_sig), doc::close);
});

}  // namespace

}  // namespace velkor::trading
