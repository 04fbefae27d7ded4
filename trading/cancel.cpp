// Cancellation: one "OrderAction" for a confirmed live order, answered at once. The broker's answer
// arrives later as an order return (cancelled) or a refusal that clears the in-flight mark.
#include "entry.h"
#include "journal.h"
#include "limit_rules.h"
#include "log.h"

namespace velkor::trading::entry {

namespace {

constexpr const char* UNCONFIRMED = "订单尚未确认，撤单未提交";

}  // namespace

static nb::list cancel(nb::handle self, nb::handle order_id) {
    if (!PyUnicode_Check(order_id.ptr())) return nb::list();

    nb::object values = item_or(get(self, KEY("o")), order_id, nb::none());
    if (values.is_none()) {
        // Still published from before a reset, gone from the private book.
        nb::object orders = get(self, KEY("orders"));
        if (contains(orders, order_id)) values = orders[order_id].attr(KEY("_values"));
    }
    if (values.is_none() || book::is_final(values[KEY("status")])) return nb::list();

    nb::handle rejected = KEY("REJECTED");
    if (get(self, KEY("session_status")).not_equal(KEY("READY")) ||
        truthy(get(self, KEY("reset_pending"))))
        return one_result(rejected, order_id, "交易账户未就绪，撤单未提交");

    nb::object child = item_or(get(self, KEY("native_orders")), order_id, nb::none());
    if (child.is_none()) return one_result(rejected, order_id, UNCONFIRMED);
    if (truthy(child[KEY("pending_finish")]) || truthy(child[KEY("cancel_pending")]))
        return nb::list();
    nb::object exchange_order_id = child[KEY("exchange_order_id")];
    if (!truthy(child[KEY("is_confirmed")]) || !truthy(book::stripped(exchange_order_id)))
        return one_result(rejected, order_id, UNCONFIRMED);

    nb::object pieces = split(child[KEY("symbol")], -1);
    nb::dict payload;
    payload[KEY("InstrumentID")] = pieces[1];
    payload[KEY("ExchangeID")] = pieces[0];
    payload[KEY("OrderSysID")] = exchange_order_id;
    payload[KEY("ActionFlag")] = "0";

    // Why a cancel did not leave, or may not have; the user's result carries a fixed text.
    auto unsent = [&](const char* format, std::initializer_list<nb::handle> reason) {
        std::vector<nb::handle> args{order_id};
        args.insert(args.end(), reason);
        log::write(self, log::ORDERS, log::WARNING, format, args, {.order_id = order_id});
    };
    nb::object outcome, rid;
    try {
        nb::object sent = request(self, nb::str("OrderAction"), payload);
        rid = sent[0];
        if (sent[1].not_equal(nb::int_(0))) {
            unsent("cancel of order %s not sent: CTP result %s (%s)", {sent[1], nb::str(log::request_result(sent[1]))});
            return one_result(rejected, order_id, "撤单未提交");
        }
        outcome = trading_result(KEY("SUBMITTED"), order_id);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError)) {
            unsent("cancel of order %s not sent: the request cannot carry a value: %r", {e.value()});
            return one_result(rejected, order_id, "撤单参数无效，未提交");
        }
        if (!e.matches(PyExc_Exception)) throw;
        unsent("cancel of order %s may have left: sending failed with %r; taken as in flight", {e.value()});
        // The request may have left: treat the cancel as in flight under the id it used.
        outcome = trading_result(KEY("UNKNOWN"), order_id, "撤单提交结果不明，等待柜台回报");
        rid = get(self, KEY("request_id"));
    }

    child[KEY("cancel_request_id")] = rid;
    child[KEY("cancel_pending")] = true;
    child[KEY("cancel_error")] = nb::none();
    limits::cancel_sent(self, child);
    aggregate(self, child);
    touch(self);
    nb::list out;
    out.append(outcome);
    return out;
}

static MethodRegistration reg_cancel(Slot::cancel, [](TradingClass& cls) {
    cls.def(
        "cancel",
        [](nb::handle self, nb::handle order_id) {
            return journal::recorded(
                self, journal::CANCEL, journal::CANCEL_RESULT, [&] { return nb::borrow(order_id); },
                [&] { return nb::object(cancel(self, order_id)); });
        },
        nb::arg("order_id").none(), nb::sig(doc::cancel_sig), doc::cancel);
});

}  // namespace velkor::trading::entry
