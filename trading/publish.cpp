// Publication of the private state into the user's snapshot objects: commit, position_view and the
// two copy operations they are built from. Nothing else writes to a published object.
#include "entry.h"
#include "journal.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace velkor::trading::entry {

// The module's own TradingResult, a frozen dataclass without hooks (set when the class is bound).
static PyObject* plain_result = nullptr;

nb::object trading_result(nb::handle status, nb::handle order_id, const char* message) {
    nb::object cls = nb::getattr(module(), KEY("TradingResult"));
    nb::object text = message ? nb::object(nb::str(message)) : nb::object();
    if (cls.ptr() != plain_result) return text.is_valid() ? cls(status, order_id, text) : cls(status, order_id);
    // What its generated __init__ does: object.__setattr__ of each field in turn.
    nb::object empty = nb::steal(PyTuple_New(0));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    nb::object made = nb::steal(PyBaseObject_Type.tp_new(type, empty.ptr(), nullptr));
    if (!made.is_valid()) throw nb::python_error();
    nb::handle fields[][2] = {{KEY("status"), status},
                              {KEY("order_id"), order_id},
                              {KEY("message"), text.is_valid() ? nb::handle(text) : KEY("")}};
    for (auto& [field, value] : fields)
        if (PyObject_GenericSetAttr(made.ptr(), field.ptr(), value.ptr()) < 0) throw nb::python_error();
    return made;
}

nb::object change_set(nb::handle changes, nb::handle obj) {
    nb::object key = identity(obj);
    if (PyDict_Check(changes.ptr())) {
        PyObject* s = PyDict_GetItemWithError(changes.ptr(), key.ptr());
        if (s) return nb::borrow(s);
        if (PyErr_Occurred()) throw nb::python_error();
        nb::object fresh = nb::steal(PySet_New(nullptr));
        if (!fresh.is_valid()) throw nb::python_error();
        if (PyDict_SetItem(changes.ptr(), key.ptr(), fresh.ptr()) < 0) throw nb::python_error();
        return fresh;
    }
    return changes.attr("setdefault")(key, nb::steal(PySet_New(nullptr)));
}

void add_names(nb::handle target, nb::handle names) {
    if (PySet_Check(target.ptr())) {
        if (PySet_GET_SIZE(names.ptr()) == 0) return;
        nb::object it = nb::steal(PyObject_GetIter(names.ptr()));
        if (!it.is_valid()) throw nb::python_error();
        while (PyObject* name = PyIter_Next(it.ptr())) {
            int r = PySet_Add(target.ptr(), name);
            Py_DECREF(name);
            if (r < 0) throw nb::python_error();
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    }
    target.attr("update")(names);
}

static void add_name(nb::handle target, nb::handle name) {
    if (PySet_Check(target.ptr())) {
        if (PySet_Add(target.ptr(), name.ptr()) < 0) throw nb::python_error();
        return;
    }
    target.attr("add")(name);
}

// A value of an immutable builtin type compared with itself: `different` would only confirm it, so
// the call is skipped (the common case once an object was published from the same private record).
static bool unchanged_when_same(nb::handle value) {
    PyObject* v = value.ptr();
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// The change set of `owner`, taken from `changes` on first use: the names of an object's changed
// fields also go to the set of the container that holds it.
struct LazyChangeSet {
    LazyChangeSet(nb::handle changes_, nb::handle owner_, nb::object names_ = nb::object())
        : changes(changes_), owner(owner_), names(std::move(names_)) {}
    nb::handle changes, owner;
    nb::object names;
    nb::handle get() {
        if (!names.is_valid()) names = change_set(changes, owner);
        return names;
    }
};

// Whether `key` is one of `fields` (`key in fields`); the field names and the keys of the private
// records are mostly the same interned texts, so identity settles most lookups.
static bool is_field(nb::handle fields, nb::handle key) {
    if (PyTuple_CheckExact(fields.ptr())) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(fields.ptr()); i < n; ++i)
            if (PyTuple_GET_ITEM(fields.ptr(), i) == key.ptr()) return true;
    }
    return contains(fields, key);
}

// Whether every field of `values` is already in `current` as the very same immutable object: then
// there is nothing to compare, copy or report (most objects of a commit). Reads only; false when
// in doubt, and the full update decides.
static bool already_there(nb::handle fields, nb::handle values, nb::handle current) {
    PyObject *f = fields.ptr(), *v = values.ptr(), *c = current.ptr();
    if (!PyTuple_CheckExact(f) || !PyDict_CheckExact(v) || !PyDict_CheckExact(c)) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(f);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(f, i))) return false;
    // The private record and the published values mostly hold the fields in the same order: the
    // current value is first looked for at the next entry of `current`.
    Py_ssize_t pos = 0, at = 0;
    bool in_step = true;
    PyObject *key, *value;
    while (PyDict_Next(v, &pos, &key, &value)) {
        bool field = false;
        for (Py_ssize_t i = 0; i < n && !field; ++i) field = PyTuple_GET_ITEM(f, i) == key;
        if (!field) {
            if (!PyUnicode_CheckExact(key)) return false;
            for (Py_ssize_t i = 0; i < n; ++i)
                if (equals(PyTuple_GET_ITEM(f, i), key)) return false;  // a field under another key object
            continue;
        }
        PyObject *old = nullptr, *next_key, *next_value;
        if (in_step && PyDict_Next(c, &at, &next_key, &next_value) && next_key == key)
            old = next_value;
        else
            in_step = false;
        if (!old && !(old = PyDict_GetItemWithError(c, key))) {
            if (PyErr_Occurred()) PyErr_Clear();
            return false;
        }
        if (old != value || !unchanged_when_same(value)) return false;
    }
    return true;
}

// The module's own snapshot types (set when the class is bound): their `fields` is a tuple on the
// type and their `_values` a slot, both read here as their attribute access reads them.
static PyObject* snapshot_types[4] = {};

static bool snapshot_parts(nb::handle obj, nb::object& fields, nb::object& current) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (std::find(std::begin(snapshot_types), std::end(snapshot_types), (PyObject*)type) == std::end(snapshot_types))
        return false;
    PyObject* f = _PyType_Lookup(type, KEY("fields").ptr());
    PyObject* d = _PyType_Lookup(type, KEY("_values").ptr());
    if (!f || !PyTuple_CheckExact(f) || !d || Py_TYPE(d) != &PyMemberDescr_Type) return false;
    PyObject* values = Py_TYPE(d)->tp_descr_get(d, obj.ptr(), (PyObject*)type);
    if (!values) {
        PyErr_Clear();
        return false;
    }
    fields = nb::borrow(f);
    current = nb::steal(values);
    return true;
}

// Copies the fields of `values` into `obj._values`. The fields are compared first, in the order of
// `values`, with the host's `different` (current value first); only when every comparison succeeded
// are the values copied and the names of the changed ones added to the object's change set (created
// even when nothing changed) and then to `also` when given. Returns how many fields changed.
static Py_ssize_t update_into(nb::handle obj, nb::handle values, nb::handle changes, nb::handle different,
                              LazyChangeSet* also) {
    nb::object fields, current;
    if (!snapshot_parts(obj, fields, current)) {
        fields = obj.attr(KEY("fields"));
        current = obj.attr(KEY("_values"));
    }
    if (already_there(fields, values, current)) {
        change_set(changes, obj);
        return 0;
    }
    std::vector<nb::handle> changed;  // keys of the changed fields

    // Identical values need no copy.
    std::vector<std::pair<nb::object, nb::object>> copy;
    bool plain_current = PyDict_CheckExact(current.ptr());
    auto compare_field = [&](nb::handle key, nb::handle value) {
        // A field missing from the current values reads as None but must still be written.
        bool present = true;
        nb::object old;
        if (plain_current) {
            PyObject* found = PyDict_GetItemWithError(current.ptr(), key.ptr());
            if (!found && PyErr_Occurred()) throw nb::python_error();
            present = found != nullptr;
            old = present ? nb::borrow(found) : nb::none();
        } else {
            old = item_or(current, key, nb::none());
            present = false;  // written back in any case
        }
        bool differs;
        if (present && old.is(value) && unchanged_when_same(value)) {
            differs = false;
        } else {
            PyObject* args[] = {old.ptr(), value.ptr()};
            nb::object verdict = nb::steal(PyObject_Vectorcall(different.ptr(), args, 2, nullptr));
            if (!verdict.is_valid()) throw nb::python_error();
            differs = truthy(verdict);
        }
        if (!present || !old.is(value)) {
            if (copy.empty()) copy.reserve(16);
            copy.emplace_back(nb::borrow(key), nb::borrow(value));
        }
        if (differs) changed.push_back(key);
    };
    // A snapshot of the items (it also keeps the keys in `changed` alive), so that `different` may run
    // any code.
    nb::list items;
    if (PyDict_CheckExact(values.ptr())) {
        items = nb::steal<nb::list>(PyDict_Items(values.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle item : items) {
            nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
            if (is_field(fields, key)) compare_field(key, PyTuple_GET_ITEM(item.ptr(), 1));
        }
    } else {
        for (nb::handle item : values.attr("items")()) items.append(item);
        for (nb::handle item : items) {
            nb::object key = item[0];
            if (is_field(fields, key)) compare_field(key, item[1]);
        }
    }
    for (auto& [key, value] : copy) {
        if (PyObject_SetItem(current.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
    }
    nb::object own = change_set(changes, obj);
    for (nb::handle key : changed) add_name(own, key);
    if (also && !changed.empty()) {
        nb::handle names = also->get();
        for (nb::handle key : changed) add_name(names, key);
    }
    return static_cast<Py_ssize_t>(changed.size());
}

nb::object update_view(nb::handle, nb::handle obj, nb::handle values, nb::handle changes) {
    LazyChangeSet changed{changes, obj, checked(PySet_New(nullptr))};
    update_into(obj, values, changes, global(KEY("different")), &changed);
    return changed.names;
}

// Drops `obj` from the registry, ignoring a missing entry.
static void unregister_object(nb::handle objects, nb::handle obj) {
    objects.attr("pop")(identity(obj), nb::none());
}

// `data` is the map's `_data`: membership and subscription of a LiveMap read it. `target` is the
// map's change set.
static nb::object map_view_with(nb::handle objects, nb::handle view, nb::handle data, nb::handle key,
                                nb::handle values, nb::handle changes, nb::handle different, LazyChangeSet& target) {
    nb::object obj = item_or(data, key, nb::none());
    bool created = obj.is_none() && !contains(data, key);
    if (created) {
        obj = view.attr(KEY("item_type"))();
        if (PyObject_SetItem(data.ptr(), key.ptr(), obj.ptr()) < 0) throw nb::python_error();
        register_object(objects, obj);
    }
    update_into(obj, values, changes, different, &target);
    nb::handle names = target.get();
    if (created) add_name(names, KEY("__members__"));
    return obj;
}

// (key, value) pairs of a dict, held, taken before the loop so that the loop body may call out freely.
using Items = std::vector<std::pair<nb::object, nb::object>>;
static Items snapshot_items(nb::handle d) {
    Items out;
    if (PyDict_Check(d.ptr())) {
        out.reserve(static_cast<size_t>(PyDict_GET_SIZE(d.ptr())));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(d.ptr(), &pos, &key, &value)) out.emplace_back(nb::borrow(key), nb::borrow(value));
        return out;
    }
    for (nb::handle item : d.attr("items")()) {
        nb::object pair = nb::steal(PySequence_Tuple(item.ptr()));
        if (!pair.is_valid()) throw nb::python_error();
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) raise(PyExc_ValueError, "items() must yield (key, value) pairs");
        out.emplace_back(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
    return out;
}

// What one commit publishes with: the user's registry, the changes map and the host's `different`.
struct Publication {
    nb::handle objects, changes, different;
};

// Orders gone from the private book `o` leave the published map.
static void drop_gone_orders(const Publication& c, nb::handle orders, nb::handle o) {
    nb::object data = orders.attr(KEY("_data"));
    nb::list gone;
    for (nb::handle order_id : data) {
        if (!contains(o, order_id)) gone.append(order_id);
    }
    for (nb::handle order_id : gone) {
        unregister_object(c.objects, orders[order_id]);
        if (PyObject_DelItem(data.ptr(), order_id.ptr()) < 0) throw nb::python_error();
    }
    if (nb::len(gone)) add_name(change_set(c.changes, orders), KEY("__members__"));
}

// Published trades that the private book `t` no longer holds leave the list and the registry.
static void drop_gone_trades(const Publication& c, nb::handle trades, nb::handle trade_views, nb::handle t) {
    nb::list gone;
    for (nb::handle trade_id : trade_views) {
        if (!contains(t, trade_id)) gone.append(trade_id);
    }
    if (!nb::len(gone)) return;
    nb::object dropped = checked(PySet_New(nullptr));
    for (nb::handle trade_id : gone) {
        nb::object view = trade_views.attr("pop")(trade_id);
        if (PySet_Add(dropped.ptr(), identity(view).ptr()) < 0) throw nb::python_error();
    }
    nb::list kept;
    for (nb::handle view : trades) {
        if (!contains(dropped, identity(view))) kept.append(view);
    }
    if (PySequence_SetSlice(trades.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()) < 0) throw nb::python_error();
    for (nb::handle id : dropped) c.objects.attr("pop")(id, nb::none());
    add_name(change_set(c.changes, trades), KEY("__members__"));
}

// Every private record of `records` into the LiveMap `view` (`data` is its `_data`).
static void publish_map(const Publication& c, nb::handle view, nb::handle data, nb::handle records) {
    LazyChangeSet names{c.changes, view};
    for (auto& [key, record] : snapshot_items(records))
        map_view_with(c.objects, view, data, key, record, c.changes, c.different, names);
}

// Every private trade of `t` into its published Trade, made and appended to `trades` when new.
static void publish_trades(const Publication& c, nb::handle trades, nb::handle trade_views, nb::handle t) {
    nb::object trade_type;
    LazyChangeSet names{c.changes, trades};  // only when a trade is new or changed
    for (auto& [trade_id, row] : snapshot_items(t)) {
        nb::object view = item_or(trade_views, trade_id, nb::none());
        bool created = view.is_none();
        if (created) {
            if (!trade_type.is_valid()) trade_type = global(KEY("Trade"));
            view = trade_type();
            if (PyObject_SetItem(trade_views.ptr(), trade_id.ptr(), view.ptr()) < 0) throw nb::python_error();
            trades.attr("append")(view);
            register_object(c.objects, view);
        }
        update_into(view, row, c.changes, c.different, &names);
        if (created) add_name(names.get(), KEY("__members__"));
    }
}

static nb::object commit(nb::handle self, nb::handle changes) {
    if (!truthy(get(self, KEY("dirty")))) return nb::bool_(false);
    set(self, KEY("dirty"), nb::bool_(false));
    get(self, KEY("changed")).attr("clear")();

    nb::object status = get(self, KEY("session_status"));
    bool status_changed = get(self, KEY("published_status")).not_equal(status);
    set(self, KEY("published_status"), status);
    if (status.not_equal(KEY("READY"))) return nb::bool_(status_changed);

    nb::object different = global(KEY("different"));
    nb::object objects = get(self, KEY("objects"));
    Publication c{objects, changes, different};
    update_into(get(self, KEY("account")), get(self, KEY("a")), changes, different, nullptr);

    nb::object orders = get(self, KEY("orders"));
    nb::object o = get(self, KEY("o"));
    drop_gone_orders(c, orders, o);
    nb::object trades = get(self, KEY("trades"));
    nb::object trade_views = get(self, KEY("trade_views"));
    nb::object t = get(self, KEY("t"));
    // Trades of an earlier login that the new one did not report again go only after a reset.
    if (truthy(get(self, KEY("reset_pending")))) drop_gone_trades(c, trades, trade_views, t);

    nb::object positions = get(self, KEY("positions"));
    nb::object position_data = positions.attr(KEY("_data"));
    publish_map(c, positions, position_data, get(self, KEY("p")));
    publish_map(c, orders, orders.attr(KEY("_data")), o);
    publish_trades(c, trades, trade_views, t);

    set(self, KEY("reset_pending"), nb::bool_(false));
    return nb::bool_(true);
}

static nb::object position_view(nb::handle self, nb::handle symbol) {
    nb::object positions = get(self, KEY("positions"));
    if (symbol.is_none()) return positions;
    global(KEY("check_symbol"))(symbol);
    nb::object instruments = get(self, KEY("instruments"));
    if (truthy(instruments) && !contains(instruments, symbol))
        raise(PyExc_ValueError, "合约不存在或不是支持的期货或期权合约");
    if (!contains(positions, symbol)) {
        nb::object baseline = get(self, KEY("published_position_time"));
        nb::object row = global(KEY("empty_position"))(symbol, baseline);
        nb::object position_type = global(KEY("Position"));
        nb::dict kwargs;
        for (nb::handle name : position_type.attr(KEY("fields"))) kwargs[name] = row[name];
        nb::object empty = nb::steal(PyTuple_New(0));
        nb::object view = nb::steal(PyObject_Call(position_type.ptr(), empty.ptr(), kwargs.ptr()));
        if (!view.is_valid()) throw nb::python_error();
        nb::object data = positions.attr(KEY("_data"));
        if (PyObject_SetItem(data.ptr(), symbol.ptr(), view.ptr()) < 0) throw nb::python_error();
        register_object(get(self, KEY("objects")), view);
        get(self, KEY("p")).attr("setdefault")(symbol, row);
    }
    return positions[symbol];
}

static MethodRegistration reg_position_view(Slot::position_view, [](TradingClass& cls) {
    cls.def(
        "position_view",
        [](nb::handle self, nb::handle symbol) {
            return journal::recorded(
                self, journal::VIEW, journal::Kind(0), [&] { return nb::borrow(symbol); },
                [&] { return position_view(self, symbol); });
        },
        nb::arg("symbol").none(), nb::sig(doc::position_view_sig), doc::position_view);
});

static MethodRegistration reg_update_view(Slot::update_view, [](TradingClass& cls) {
    cls.def("_update_view", &update_view, nb::arg("obj").none(), nb::arg("values").none(), nb::arg("changes").none());
});

static MethodRegistration reg_map_view(Slot::map_view, [](TradingClass& cls) {
    cls.def(
        "_map_view",
        [](nb::handle self, nb::handle view, nb::handle key, nb::handle values, nb::handle changes) {
            LazyChangeSet target{changes, view};
            nb::object objects = get(self, KEY("objects"));
            return map_view_with(objects, view, view.attr(KEY("_data")), key, values, changes,
                                 global(KEY("different")), target);
        },
        nb::arg("view").none(), nb::arg("key").none(), nb::arg("values").none(), nb::arg("changes").none());
});

static MethodRegistration reg_commit(Slot::commit, [](TradingClass& cls) {
    cls.def(
        "commit",
        [](nb::handle self, nb::handle changes) {
            nb::object result = commit(self, changes);
            if (journal::Journal* j = journal::of(self)) {
                j->result(journal::COMMIT, journal::describe_commit(self, result, changes));
                j->handoff(self);
            }
            return result;
        },
        nb::arg("changes").none(), nb::sig(doc::commit_sig), doc::commit);
    plain_result = Py_NewRef(nb::getattr(module(), KEY("TradingResult")).ptr());
    const char* kinds[] = {"Account", "Order", "Position", "Trade"};
    for (size_t i = 0; i < std::size(kinds); ++i) snapshot_types[i] = Py_NewRef(global(kinds[i]).ptr());
});

}  // namespace velkor::trading::entry
