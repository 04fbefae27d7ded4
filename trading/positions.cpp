// Position accounting: fills move the local position book, live closing orders freeze part of it,
// and child orders roll up into the user orders.
#include "book_index.h"
#include "books.h"

namespace velkor::trading {

using namespace book;

namespace {

// The record keys of one side of a position.
struct SideKeys {
    nb::object total, today, his, frozen, available;
};

SideKeys side_keys(nb::handle side) {
    if (equals(side, KEY("long")))
        return {nb::borrow(KEY("pos_long")), nb::borrow(KEY("pos_long_today")), nb::borrow(KEY("pos_long_his")),
                nb::borrow(KEY("frozen_long")), nb::borrow(KEY("available_long"))};
    if (equals(side, KEY("short")))
        return {nb::borrow(KEY("pos_short")), nb::borrow(KEY("pos_short_today")), nb::borrow(KEY("pos_short_his")),
                nb::borrow(KEY("frozen_short")), nb::borrow(KEY("available_short"))};
    nb::str name(side);
    return {KEY("pos_") + name, KEY("pos_") + name + KEY("_today"), KEY("pos_") + name + KEY("_his"),
            KEY("frozen_") + name, KEY("available_") + name};
}

// Calls fn(value) for every value of a dict, holding each value while it is used; raises like a
// dict iterator when the dict changes size underneath.
template <typename F>
void each_value(nb::handle d, F&& fn) {
    if (!PyDict_Check(d.ptr())) {
        for (nb::handle value : nb::getattr(d, KEY("values"))()) fn(value);
        return;
    }
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d.ptr());
    PyObject *key, *value;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        nb::object held = nb::steal(Py_NewRef(value));
        fn(held);
        if (PyDict_GET_SIZE(d.ptr()) != size)
            raise(nb::handle(PyExc_RuntimeError), "dictionary changed size during iteration");
    }
}

// One child order into its user order.
void aggregate_one(nb::handle orders, nb::handle child) {
    nb::object order = item(orders, item(child, KEY("order_id")));
    nb::object sys_id = stripped(item(child, KEY("exchange_order_id")));
    nb::handle keys[] = {KEY("volume_original"), KEY("volume_traded"), KEY("volume_left"), KEY("status"),
                         KEY("status_msg"),      KEY("cancel_pending"), KEY("cancel_error")};
    nb::object values[std::size(keys)];
    for (size_t i = 0; i < std::size(keys); ++i) values[i] = item(child, keys[i]);
    put(order, KEY("order_sys_id"), truthy(sys_id) ? nb::handle(sys_id) : nb::none());
    for (size_t i = 0; i < std::size(keys); ++i) put(order, keys[i], values[i]);
}

}  // namespace

void apply_position_trade(nb::handle self, nb::handle row) {
    nb::object symbol = symbol_of(row);
    nb::object now = wall_ms(self);
    nb::object position_book = get(self, KEY("p"));
    if (!contains(position_book, symbol)) put(position_book, symbol, global(KEY("empty_position"))(symbol, now));
    nb::object record = item(position_book, symbol);

    nb::object volume = item(row, KEY("Volume"));
    nb::object flag = item(row, KEY("OffsetFlag"));
    bool buy = equals(item(row, KEY("Direction")), KEY("0"));
    bool open = equals(flag, KEY("0"));
    // Opening adds to the side bought or sold; closing takes from the opposite side.
    SideKeys k = side_keys(open == buy ? KEY("long") : KEY("short"));

    // Quantities unknown (no baseline for this symbol): the fill is counted into its order but the
    // book is not guessed at; the record stays unknown.
    for (nb::handle key : {nb::handle(KEY("pos_long")), nb::handle(KEY("pos_short")), nb::handle(k.today),
                           nb::handle(k.his)})
        if (item(record, key).is_none()) return;

    if (open) {
        put(record, k.total, item(record, k.total) + volume);
        put(record, k.today, item(record, k.today) + volume);
    } else {
        if (volume > item(record, k.total)) buffer_error("平仓成交数量超过本地持仓");
        std::pair<nb::object, nb::object> buckets[2];
        size_t count = 1;
        if (equals(flag, KEY("3"))) {
            buckets[0] = {k.today, volume};
        } else if (equals(flag, KEY("4"))) {
            buckets[0] = {k.his, volume};
        } else {
            // A plain close takes history first, then today.
            nb::object history = smaller(volume, item(record, k.his));
            buckets[0] = {k.his, history};
            buckets[1] = {k.today, volume - history};
            count = 2;
        }
        // Every bucket is checked before any changes, so a refused fill leaves the record whole.
        for (size_t i = 0; i < count; ++i)
            if (buckets[i].second > item(record, buckets[i].first)) buffer_error("平仓成交数量超过本地对应今昨仓");
        for (size_t i = 0; i < count; ++i)
            put(record, buckets[i].first, item(record, buckets[i].first) - buckets[i].second);
        put(record, k.total, item(record, k.total) - volume);
    }
    put(record, KEY("pos"), item(record, KEY("pos_long")) - item(record, KEY("pos_short")));
    put(record, KEY("updated_at"), now);
}

namespace {

// A machine int when `value` is an exact int well inside the range of long long.
bool small_int(nb::handle value, long long& out) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred()) throw nb::python_error();
    return !overflow && out > -(1LL << 61) && out < (1LL << 61);
}

// The closable lots of one side: (history, today) less what its live closing orders hold. The
// arithmetic runs on machine ints while every value is a small exact int, else on Python objects.
struct FreeParts {
    nb::handle closing;  // the direction of an order that closes this side
    nb::object history, today;
    bool native = false;
    long long h = 0, t = 0;

    void to_native() { native = small_int(history, h) && small_int(today, t); }
    void to_objects() {
        if (!native) return;
        history = nb::int_(h);
        today = nb::int_(t);
        native = false;
    }
};

// The fields the scans read from every child order. A dict keeps its entries in insertion order and
// the children are built alike, so the entry offset (PyDict_Next's position) at which one child
// holds a key mostly holds that same key object in the next child too: that entry is tried first
// and taken only when its key is the very key object, else the field is looked up.
enum ChildField : size_t { f_symbol, f_status, f_direction, f_offset, f_close_type, f_volume_left, f_count };

struct ChildFields {
    PyObject* keys[f_count] = {KEY("symbol").ptr(),    KEY("status").ptr(),     KEY("direction").ptr(),
                               KEY("offset").ptr(),    KEY("close_type").ptr(), KEY("volume_left").ptr()};
    Py_ssize_t at[f_count] = {-1, -1, -1, -1, -1, -1};
    bool learnt = false;

    // Where the first exact dict holds the keys.
    void learn(nb::handle child) {
        if (learnt || !PyDict_CheckExact(child.ptr())) return;
        learnt = true;
        Py_ssize_t pos = 0, offset = 0;
        PyObject *key, *value;
        while (offset = pos, PyDict_Next(child.ptr(), &pos, &key, &value))
            for (size_t i = 0; i < f_count; ++i)
                if (key == keys[i]) at[i] = offset;
    }

    // child[key], borrowed while it comes from an exact dict, else held in `keep`.
    [[gnu::always_inline]] PyObject* get(nb::handle child, ChildField i, nb::object& keep) const {
        if (at[i] >= 0 && PyDict_CheckExact(child.ptr())) {
            Py_ssize_t pos = at[i];
            PyObject *key, *value;
            if (PyDict_Next(child.ptr(), &pos, &key, &value) && key == keys[i]) return value;
        }
        return field(child, keys[i], keep);
    }
};

void hold_back(FreeParts& side, const ChildFields& fields, nb::handle child, nb::handle zero) {
    nb::object keep;
    nb::object close_type = nb::borrow(fields.get(child, f_close_type, keep));
    bool today = equals(close_type, KEY("TODAY")), history = !today && equals(close_type, KEY("HISTORY"));
    nb::handle left = fields.get(child, f_volume_left, keep);
    long long n = 0;
    if (side.native && small_int(left, n)) {
        if (today) {
            side.t -= n;
        } else if (history) {
            side.h -= n;
        } else {
            long long used = std::min(n, std::max(side.h, 0LL));
            side.h -= used;
            side.t -= n - used;
        }
        if (side.h < -(1LL << 61) || side.t < -(1LL << 61) || side.h > (1LL << 61) || side.t > (1LL << 61))
            side.to_objects();
        return;
    }
    nb::object held = nb::borrow(left);
    side.to_objects();
    if (today) {
        side.today = side.today - held;
    } else if (history) {
        side.history = side.history - held;
    } else {
        // History first, never lending more than what is left of it; the rest from today.
        nb::object used = smaller(held, larger(side.history, zero));
        side.history = side.history - used;
        side.today = side.today - (held - used);
    }
}

// The free lots of one or two sides from the session's closing-lot index, when it can answer for
// every side.
bool free_sides_indexed(nb::handle self, nb::handle symbol, FreeParts* sides, size_t count) {
    SideLots lots[2];
    for (size_t i = 0; i < count; ++i) {
        if (!sides[i].native) return closing_lots_unusual(self, symbol);
        lots[i] = {equals(sides[i].closing, KEY("SELL")), sides[i].h, sides[i].t};
    }
    if (!closing_lots(self, symbol, lots, count)) return false;
    for (size_t i = 0; i < count; ++i) {
        sides[i].h = lots[i].history;
        sides[i].t = lots[i].today;
    }
    return true;
}

// The free lots of one or two sides of a symbol, from the index or else from one pass over the child
// orders; the sides are checked in order. Most children are settled by their symbol or status: those
// are read borrowed and compared without Python-level calls.
void free_sides(nb::handle self, nb::handle symbol, FreeParts* sides, size_t count) {
    nb::int_ zero(0);
    for (size_t i = 0; i < count; ++i) sides[i].to_native();
    if (!free_sides_indexed(self, symbol, sides, count)) {
        ChildFields fields;
        nb::handle open = KEY("OPEN");
        each_value(get(self, KEY("native_orders")), [&](nb::handle child) {
            // Only live closing orders of the symbol hold lots: pending, alive or not yet confirmed.
            fields.learn(child);
            nb::object keep;
            if (!equals(fields.get(child, f_symbol, keep), symbol) || is_final(fields.get(child, f_status, keep)))
                return;
            nb::object direction = nb::borrow(fields.get(child, f_direction, keep));
            FreeParts* side = nullptr;
            for (size_t i = 0; i < count && !side; ++i)
                if (equals(direction, sides[i].closing)) side = &sides[i];
            if (side && !equals(fields.get(child, f_offset, keep), open)) hold_back(*side, fields, child, zero);
        });
    }
    for (size_t i = 0; i < count; ++i) sides[i].to_objects();
    for (size_t i = 0; i < count; ++i)
        if (smaller(sides[i].today, sides[i].history) < zero) buffer_error("有效平仓委托冻结量超过本地持仓");
}

FreeParts side_start(nb::handle record, nb::handle side, const SideKeys& k) {
    return {equals(side, KEY("long")) ? KEY("SELL") : KEY("BUY"), item(record, k.his), item(record, k.today)};
}

}  // namespace

nb::tuple free_parts(nb::handle self, nb::handle symbol, nb::handle side) {
    nb::object record = item_or(get(self, KEY("p")), symbol, nb::none());
    SideKeys k = side_keys(side);
    if (record.is_none() || item(record, k.total).is_none()) return nb::make_tuple(0, 0);
    FreeParts parts = side_start(record, side, k);
    free_sides(self, symbol, &parts, 1);
    return nb::make_tuple(parts.history, parts.today);
}

namespace {

// Frozen and available lots of one position record from its free lots; the record is stamped when
// any of the four changes.
void recompute_record(nb::handle self, nb::handle symbol, nb::handle record, nb::object& stamp) {
    if (item(record, KEY("pos_long")).is_none()) return;
    nb::handle four[4] = {KEY("frozen_long"), KEY("frozen_short"), KEY("available_long"), KEY("available_short")};
    nb::object before[4];
    for (size_t i = 0; i < 4; ++i) before[i] = item(record, four[i]);
    // Both sides in one pass over the orders; a side whose total is unknown has nothing free.
    nb::handle names[2] = {KEY("long"), KEY("short")};
    SideKeys keys[2] = {side_keys(names[0]), side_keys(names[1])};
    size_t count = 2;
    FreeParts parts[2];
    parts[0] = side_start(record, names[0], keys[0]);
    if (item(record, keys[1].total).is_none()) {
        parts[1] = {KEY("BUY"), nb::int_(0), nb::int_(0)};
        count = 1;
    } else {
        parts[1] = side_start(record, names[1], keys[1]);
    }
    free_sides(self, symbol, parts, count);
    for (size_t i = 0; i < 2; ++i) {
        nb::object available = parts[i].history + parts[i].today;
        put(record, keys[i].available, available);
        put(record, keys[i].frozen, item(record, keys[i].total) - available);
    }
    for (size_t i = 0; i < 4; ++i) {
        if (equals(item(record, four[i]), before[i])) continue;
        if (!truthy(stamp)) stamp = wall_ms(self);
        put(record, KEY("updated_at"), stamp);
        return;
    }
}

}  // namespace

void recompute_frozen(nb::handle self, nb::handle updated, nb::handle symbol) {
    nb::object stamp = nb::borrow(updated);
    nb::object position_book = get(self, KEY("p"));
    if (!symbol.is_none()) {
        if (contains(position_book, symbol)) recompute_record(self, symbol, item(position_book, symbol), stamp);
        return;
    }
    for (nb::handle pair : nb::list(nb::getattr(position_book, KEY("items"))()))
        recompute_record(self, pair[0], pair[1], stamp);
}

void aggregate(nb::handle self, nb::handle child) {
    nb::object orders = get(self, KEY("o"));
    if (!child.is_none()) return aggregate_one(orders, child);
    each_value(get(self, KEY("native_orders")), [&](nb::handle c) { aggregate_one(orders, c); });
}

static MethodRegistration reg_apply_position_trade(Slot::apply_position_trade, [](TradingClass& cls) {
    cls.def("_apply_position_trade", [](nb::handle self, nb::handle row) { apply_position_trade(self, row); },
            nb::arg("row").none());
});

static MethodRegistration reg_free_parts(Slot::free_parts, [](TradingClass& cls) {
    cls.def("_free_parts", [](nb::handle self, nb::handle symbol, nb::handle side) {
        return free_parts(self, symbol, side);
    }, nb::arg("symbol").none(), nb::arg("side").none());
});

static MethodRegistration reg_recompute_frozen(Slot::recompute_frozen, [](TradingClass& cls) {
    cls.def("_recompute_frozen", [](nb::handle self, nb::handle updated, nb::handle symbol) {
        recompute_frozen(self, updated, symbol);
    }, nb::arg("updated").none() = nb::none(), nb::kw_only(), nb::arg("symbol").none() = nb::none());
});

static MethodRegistration reg_aggregate(Slot::aggregate, [](TradingClass& cls) {
    cls.def("_aggregate", [](nb::handle self, nb::handle child) { aggregate(self, child); },
            nb::arg("child").none() = nb::none());
});

}  // namespace velkor::trading
