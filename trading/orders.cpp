// Order tracking: every order row from the front (live return or query row) finds or creates its
// child order, moves the child's status forward only, and holds a final state back until the
// child's fills have been counted.
#include "books.h"
#include "limit_rules.h"

#include <utility>

namespace velkor::trading {

using namespace book;

namespace {

// The user order and the child order of an order first seen in a row; `number`: its trimmed exchange
// number, null while unknown.
void create_order(nb::handle self, nb::handle row, nb::handle key, nb::handle front, nb::handle session,
                  nb::handle ref, nb::handle system, nb::handle number) {
    nb::object symbol = symbol_of(row);
    nb::object comb = item_or(row, KEY("CombOffsetFlag"), nb::none());
    nb::object flag = comb.is_none() || equals(comb, KEY("")) ? item_or(row, KEY("OffsetFlag"), nb::none()) : comb;
    nb::handle direction = direction_of(row);
    nb::object offset = global(KEY("order_offset"))(flag);
    nb::object limit_price = global(KEY("finite"))(item_or(row, KEY("LimitPrice"), nb::none()));
    nb::object insert_time =
        global(KEY("timestamp"))(item_or(row, KEY("InsertDate"), KEY("")), item_or(row, KEY("InsertTime"), KEY("")));
    auto [order, child] = new_order_records({.order_id = key,
                                             .order_sys_id = number.is_valid() ? number : nb::handle(Py_None),
                                             .symbol = symbol,
                                             .direction = direction,
                                             .offset = offset,
                                             .limit_price = limit_price,
                                             .volume = nb::int_(0),
                                             .insert_time = insert_time,
                                             .exchange_order_id = system,
                                             .close_type = KEY("UNSPECIFIED"),
                                             .ref = ref,
                                             .front = front,
                                             .session = session});
    put(get(self, KEY("o")), key, order);
    put(get(self, KEY("native_orders")), key, child);
}

// The session's status of an order row.
nb::handle row_status(nb::handle submit, nb::handle status) {
    if (equals(submit, KEY("4"))) return KEY("REJECTED");
    if (equals(status, KEY("0"))) return KEY("FILLED");
    if (equals(status, KEY("2")) || equals(status, KEY("4")) || equals(status, KEY("5"))) return KEY("CANCELLED");
    return KEY("ALIVE");
}

// A child's status moves forward only; a held-back final state waits for another final state.
bool moves_forward(nb::handle child, nb::handle now, nb::handle next, bool finished) {
    if (equals(now, KEY("FILLED"))) return equals(next, KEY("FILLED"));
    if (equals(now, KEY("REJECTED"))) return equals(next, KEY("REJECTED"));
    if (equals(now, KEY("CANCELLED")) && !equals(next, KEY("CANCELLED")) && !equals(next, KEY("REJECTED")))
        return false;
    return finished || !truthy(item_or(child, KEY("pending_finish"), Py_False));
}

nb::handle status_text(nb::handle status) {
    if (equals(status, KEY("FILLED"))) return KEY("全部成交");
    if (equals(status, KEY("CANCELLED"))) return KEY("剩余委托已不再排队");
    if (equals(status, KEY("REJECTED"))) return KEY("报单被拒绝");
    return KEY("");
}

// What applying a row's fields leaves for the rest of its update.
struct RowFields {
    nb::object expected;      // the lots the child is expected to have traded
    nb::object previous_msg;  // the child's message before the row
    bool cancel_refused;      // the row reports a refused cancel
};

// The row's fields into the child: exchange order number, close type, volumes, message and CTP identity.
RowFields apply_row_fields(nb::handle row, nb::handle child, nb::handle previous, nb::handle submit,
                           nb::handle status) {
    nb::int_ zero(0);
    nb::object original = item(row, KEY("VolumeTotalOriginal"));
    nb::object expected = larger(item_or(row, KEY("VolumeTraded"), zero), item_or(child, KEY("expected_traded"), zero));
    if (equals(status, KEY("FILLED"))) expected = larger(original, expected);

    // A return without an exchange order number keeps the one already known: the order must stay
    // cancellable.
    nb::object system = item_or(row, KEY("OrderSysID"), KEY(""));
    if (truthy(stripped(system)) || !truthy(stripped(item(child, KEY("exchange_order_id")))))
        put(child, KEY("exchange_order_id"), system);
    put(child, KEY("close_type"), close_type_of(item(row, KEY("CombOffsetFlag"))));
    put(child, KEY("volume_original"), original);
    put(child, KEY("volume_left"), original - item(child, KEY("volume_traded")));
    put(child, KEY("is_confirmed"), Py_True);
    nb::object previous_msg = item(previous, KEY("status_msg"));
    bool cancel_refused = equals(submit, KEY("5"));
    bool keep_msg = cancel_refused && equals(status, KEY("ALIVE")) && truthy(previous_msg);
    put(child, KEY("status_msg"), keep_msg ? nb::handle(previous_msg) : status_text(status));
    put(child, KEY("front"), item(row, KEY("FrontID")));
    put(child, KEY("session"), item(row, KEY("SessionID")));
    put(child, KEY("ref"), item(row, KEY("OrderRef")));
    put(child, KEY("expected_traded"), expected);
    if (item(child, KEY("volume_left")) < zero) buffer_error("成交数量超过订单原始数量");
    return {std::move(expected), std::move(previous_msg), cancel_refused};
}

// The child's status: a final state reported before all its fills were counted waits for them. A
// final state or a refused cancel ends the cancel in flight.
void apply_status(nb::handle child, nb::handle status, bool finished, const RowFields& fields) {
    bool pending_finish = finished && item(child, KEY("volume_traded")) < fields.expected;
    put(child, KEY("pending_finish"), pending_finish ? Py_True : Py_False);
    if (pending_finish) {
        put(child, KEY("finish_status"), status);
        put(child, KEY("finish_msg"), item(child, KEY("status_msg")));
        put(child, KEY("status_msg"), fields.previous_msg);
    } else {
        put(child, KEY("finish_status"), nb::none());
        put(child, KEY("finish_msg"), KEY(""));
    }
    put(child, KEY("status"), pending_finish ? KEY("ALIVE") : status);

    if (finished) {
        put(child, KEY("cancel_pending"), Py_False);
        put(child, KEY("cancel_error"), nb::none());
    } else if (fields.cancel_refused && truthy(item(child, KEY("cancel_pending"))) &&
               !item(child, KEY("cancel_request_id")).is_none()) {
        put(child, KEY("cancel_pending"), Py_False);
        put(child, KEY("cancel_error"), KEY("撤单被拒绝"));
    }
}

// The user order's price and insert time, from the first row that has them.
void complete_user_order(nb::handle self, nb::handle row, nb::handle child) {
    nb::object order = item(get(self, KEY("o")), item(child, KEY("parent")));
    if (!item(order, KEY("limit_price")).is_none()) return;
    put(order, KEY("limit_price"), global(KEY("finite"))(item_or(row, KEY("LimitPrice"), nb::none())));
    put(order, KEY("insert_time"), global(KEY("timestamp"))(item_or(row, KEY("InsertDate"), KEY("")),
                                                       item_or(row, KEY("InsertTime"), KEY(""))));
}

// A changed child: a new revision for it, then its symbol's frozen lots, its user order and the funds
// query follow.
void child_changed(nb::handle self, nb::handle child, nb::handle cid) {
    nb::object revision = get(self, KEY("revision")) + nb::int_(1);
    set(self, KEY("revision"), revision);
    put(get(self, KEY("order_revisions")), cid, revision);
    if (truthy(get(self, KEY("position_ready")))) recompute_frozen(self, nb::none(), item(child, KEY("symbol")));
    limits::order_changed(self, child);
    aggregate(self, child);
    schedule_account(self);
    touch(self);
}

// Applies one order row to its child; returns early when the row is stale or would move the child
// backwards.
void update_child(nb::handle self, nb::handle row, nb::handle child, nb::handle cid, nb::handle query_revision) {
    if (!query_revision.is_none() && item_or(get(self, KEY("order_revisions")), cid, nb::int_(0)) > query_revision)
        return;
    nb::object previous = nb::steal(PyDict_Check(child.ptr()) ? PyDict_Copy(child.ptr()) : nullptr);
    if (!previous.is_valid()) previous = nb::getattr(child, KEY("copy"))();
    nb::object submit = item_or(row, KEY("OrderSubmitStatus"), nb::none());
    nb::handle status = row_status(submit, item(row, KEY("OrderStatus")));
    bool finished = is_final(status);
    if (!moves_forward(child, item(child, KEY("status")), status, finished)) return;

    RowFields fields = apply_row_fields(row, child, previous, submit, status);
    apply_status(child, status, finished, fields);
    complete_user_order(self, row, child);
    if (child.not_equal(previous)) child_changed(self, child, cid);
}

// Fills that arrived before their order, replayed once the order's exchange number is known.
void replay_pending(nb::handle self, nb::handle row) {
    nb::object pending = get(self, KEY("pending_trades"));
    if (!truthy(pending)) return;
    nb::object system = order_key(row);
    if (system.is_none()) return;
    nb::list waiting(nb::getattr(pending, KEY("values"))());
    for (nb::handle trade : waiting)
        if (equals(order_key(trade), system)) apply_trade(self, trade, truthy(get(self, KEY("position_ready"))));
}

}  // namespace

std::pair<nb::dict, nb::dict> new_order_records(const NewOrder& o) {
    nb::int_ zero(0);
    nb::handle none = Py_None, no = Py_False, pending = KEY("PENDING"), empty = KEY("");
    std::pair<nb::handle, nb::handle> order_fields[] = {
        {KEY("order_id"), o.order_id},
        {KEY("order_sys_id"), o.order_sys_id},
        {KEY("symbol"), o.symbol},
        {KEY("direction"), o.direction},
        {KEY("offset"), o.offset},
        {KEY("limit_price"), o.limit_price},
        {KEY("volume_original"), o.volume},
        {KEY("volume_traded"), zero},
        {KEY("volume_left"), o.volume},
        {KEY("status"), pending},
        {KEY("status_msg"), empty},
        {KEY("cancel_pending"), no},
        {KEY("cancel_error"), none},
        {KEY("insert_time"), o.insert_time}};
    std::pair<nb::handle, nb::handle> child_fields[] = {
        {KEY("order_id"), o.order_id},
        {KEY("parent"), o.order_id},
        {KEY("symbol"), o.symbol},
        {KEY("direction"), o.direction},
        {KEY("offset"), o.offset},
        {KEY("exchange_order_id"), o.exchange_order_id},
        {KEY("close_type"), o.close_type},
        {KEY("volume_original"), o.volume},
        {KEY("volume_traded"), zero},
        {KEY("volume_left"), o.volume},
        {KEY("status"), pending},
        {KEY("is_confirmed"), no},
        {KEY("status_msg"), empty},
        {KEY("cancel_pending"), no},
        {KEY("cancel_error"), none},
        {KEY("ref"), o.ref},
        {KEY("front"), o.front},
        {KEY("session"), o.session},
        {KEY("cancel_request_id"), none},
        {KEY("pending_finish"), no},
        {KEY("expected_traded"), zero},
        {KEY("finish_status"), none},
        {KEY("finish_msg"), empty}};
    nb::dict order, child;
    for (auto& [key, value] : order_fields) put(order, key, value);
    for (auto& [key, value] : child_fields) put(child, key, value);
    return {std::move(order), std::move(child)};
}

nb::object by_ref(nb::handle self, nb::handle ref) {
    nb::object refkey = nb::make_tuple(get(self, KEY("front")), get(self, KEY("session")), nb::str(ref));
    nb::object cid = item_or(get(self, KEY("ref_orders")), refkey, nb::none());
    if (cid.is_none()) return nb::none();
    return item_or(get(self, KEY("native_orders")), cid, nb::none());
}

bool is_spec_order(nb::handle row) {
    nb::object flag = item_or(row, KEY("CombHedgeFlag"), nb::none());
    if (flag.is_none()) return false;
    nb::str text(flag);
    return PyUnicode_GET_LENGTH(text.ptr()) > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == '1';
}

bool is_spec_trade(nb::handle row) { return equals(item_or(row, KEY("HedgeFlag"), nb::none()), KEY("1")); }

nb::object child_of(nb::handle self, nb::handle row) {
    nb::object front = item_or(row, KEY("FrontID"), get(self, KEY("front")));
    nb::object session = item_or(row, KEY("SessionID"), get(self, KEY("session")));
    nb::str ref(item_or(row, KEY("OrderRef"), KEY("")));
    nb::object refkey = nb::make_tuple(front, session, ref);
    nb::object system = item_or(row, KEY("OrderSysID"), KEY(""));
    nb::object syskey = order_key(row);

    nb::object ref_orders = get(self, KEY("ref_orders")), system_orders = get(self, KEY("system_orders"));
    nb::object native_orders = get(self, KEY("native_orders"));
    nb::object by_ref = item_or(ref_orders, refkey, nb::none());
    nb::object by_system = syskey.is_none() ? nb::none() : item_or(system_orders, syskey, nb::none());
    if (!by_ref.is_none() && !by_system.is_none() && by_ref.not_equal(by_system))
        buffer_error("同一个 CTP OrderSysID 关联到不同订单");
    nb::object key = by_ref.is_none() ? by_system : by_ref;
    if (key.is_none()) {
        key = global(KEY("local_order_id"))(front, session, ref);
        create_order(self, row, key, front, session, ref, system,
                     syskey.is_none() ? nb::handle() : key_part(syskey, 1));
    }
    put(ref_orders, refkey, key);
    if (!syskey.is_none()) {
        nb::object known = stripped(item(item(native_orders, key), KEY("exchange_order_id")));
        if (truthy(known) && known.not_equal(key_part(syskey, 1)))
            buffer_error("已有订单的 CTP OrderSysID 发生变化");
        put(system_orders, syskey, key);
    }
    return item(native_orders, key);
}

void apply_order(nb::handle self, nb::handle raw, nb::handle query_revision) {
    nb::object row = with_exchange(self, raw);
    check_day(self, row, "订单回报的交易日发生变化");
    nb::object child = child_of(self, row);
    update_child(self, row, child, item(child, KEY("order_id")), query_revision);
    // Also after a stale or backward row: the row may have just made the exchange number known.
    replay_pending(self, row);
}

static MethodRegistration reg_by_ref(Slot::by_ref, [](TradingClass& cls) {
    cls.def("_by_ref", [](nb::handle self, nb::handle ref) { return by_ref(self, ref); }, nb::arg("ref").none());
});

static MethodRegistration reg_is_spec_order(Slot::is_spec_order, [](TradingClass& cls) {
    cls.def_static("_is_spec_order", [](nb::handle row) { return is_spec_order(row); }, nb::arg("row").none());
});

static MethodRegistration reg_is_spec_trade(Slot::is_spec_trade, [](TradingClass& cls) {
    cls.def_static("_is_spec_trade", [](nb::handle row) { return is_spec_trade(row); }, nb::arg("row").none());
});

static MethodRegistration reg_child(Slot::child, [](TradingClass& cls) {
    cls.def("_child", [](nb::handle self, nb::handle row) { return child_of(self, row); }, nb::arg("row").none());
});

static MethodRegistration reg_order(Slot::order, [](TradingClass& cls) {
    cls.def("_order", [](nb::handle self, nb::handle row, nb::handle query_revision) {
        apply_order(self, row, query_revision);
    }, nb::arg("row").none(), nb::arg("query_revision").none() = nb::none());
});

}  // namespace velkor::trading
