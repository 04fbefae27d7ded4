// LiveObject: a read-only attribute view over one dict of values, and the record kinds built on it.
//
// Reading a field is the hot path of every strategy, so attribute lookup is done here directly: the name is
// looked up on the type first (so a normal attribute, including the `_values` slot, wins over a value of the
// same name), then in `_values`. `__getattr__` stays available as the documented fallback and is what a
// Python subclass that overrides it gets.
#include "ledgerlet.h"
#include "dict_entry.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace velkor::ledgerlet {

namespace {

struct LiveObjectData {
    PyObject_HEAD
    PyObject* values;  // the `_values` slot; null only before __init__ ran
};

constexpr const char* read_only_message = "SDK 交易数据对象为只读";

PyObject* str_fields = nullptr;
PyObject* str_values = nullptr;
PyObject* str_getattr = nullptr;
PyObject* own_getattr = nullptr;  // LiveObject.__getattr__

LiveObjectData* data(PyObject* self) { return reinterpret_cast<LiveObjectData*>(self); }

// AttributeError(name) with no exception context shown, like `raise AttributeError(name) from None`.
PyObject* raise_missing(PyObject* name) {
    PyObject* exc = PyObject_CallOneArg(PyExc_AttributeError, name);
    if (!exc) return nullptr;
    PyException_SetCause(exc, nullptr);  // also sets __suppress_context__
    PyErr_SetRaisedException(exc);
    return nullptr;
}

// Type attributes are read from the dicts along the type's MRO themselves. The interpreter's method cache
// (_PyType_Lookup) keeps borrowed values and, while a class attribute is being replaced or deleted, still
// answers with the old value as it is being freed; the dicts already hold the new state by then.
//
// What is cached is only that a type lacks a name, in a small direct-mapped table keyed by the interpreter's
// type version tag: a tag is unique to one state of one type's MRO and dicts and is withdrawn when any of
// them changes. A name is added to a type dict before the tag is withdrawn, but no Python code can run in
// between (only replacing or deleting a value frees one), so a "lacks" entry is never seen stale. Entries own
// their name, so a name's address is never reused while an entry refers to it.
//
// An entry also remembers where the name sat in the `_values` of the last instance read: instances of one
// kind are built with the same key order, so the next read can go straight to that position and only has to
// confirm the key by identity. A wrong position costs a normal dict lookup, never a wrong value.
constexpr Py_ssize_t position_unknown = -1;
constexpr Py_ssize_t position_unusable = -2;
constexpr Py_ssize_t position_scan_limit = 64;

struct TypeCacheEntry {
    unsigned int version;
    PyObject* name;
    Py_ssize_t position;
};

constexpr std::size_t type_cache_size = 256;
TypeCacheEntry type_cache[type_cache_size] = {};

TypeCacheEntry* cache_slot(PyTypeObject* type, PyObject* name) {
    auto bits = reinterpret_cast<std::uintptr_t>(name);
    return &type_cache[((bits >> 4) ^ (bits >> 12) ^ type->tp_version_tag) % type_cache_size];
}

PyObject* live_getattro(PyObject* self, PyObject* name);

// The attribute `name` of `type` as the MRO gives it: a new reference, or null (with an error set only when
// a dict lookup raised). *entry is the cache entry recording that the type lacks the name, or null.
PyObject* type_lookup(PyTypeObject* type, PyObject* name, TypeCacheEntry** entry) {
    *entry = nullptr;
    bool cacheable = PyUnicode_CheckExact(name);
    if (cacheable && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        TypeCacheEntry* e = cache_slot(type, name);
        if (e->version == type->tp_version_tag && e->name == name) {
            *entry = e;
            return nullptr;
        }
    }
    if (cacheable && !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        (void)_PyType_Lookup(type, name);  // assigns the type a version tag; its answer is not used
    unsigned int version =
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    PyObject* mro = Py_XNewRef(type->tp_mro);
    if (!mro) return Py_XNewRef(_PyType_Lookup(type, name));  // not ready: nothing else to go by
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n && !found; ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(base));
        if (!dict) continue;
        found = Py_XNewRef(PyDict_GetItemWithError(dict, name));
        Py_DECREF(dict);
        if (!found && PyErr_Occurred()) break;
    }
    Py_DECREF(mro);
    if (found || PyErr_Occurred()) return found;
    // Cached only if no lookup above changed the type (a str subclass key's __eq__ may have).
    if (cacheable && version && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == version) {
        TypeCacheEntry* e = cache_slot(type, name);
        e->version = version;
        Py_XSETREF(e->name, Py_NewRef(name));  // an exact str: freeing one runs no Python code
        // Only types that read through this function directly, with no instance dict, take the positional
        // shortcut.
        bool direct = type->tp_getattro == live_getattro && !type->tp_dictoffset &&
                      !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
        e->position = direct ? position_unknown : position_unusable;
        *entry = e;
    }
    return nullptr;
}

// Position of the key `name` (by identity) among the first entries of `values`, or position_unusable.
Py_ssize_t find_position(PyObject* values, PyObject* name) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (pos < position_scan_limit && PyDict_Next(values, &pos, &key, &value))
        if (key == name) return pos - 1;
    return position_unusable;
}

// self._values[key], with a missing key reported as AttributeError(key).
PyObject* lookup_value(PyObject* self, PyObject* key, TypeCacheEntry* entry) {
    PyObject* values = data(self)->values;
    if (!values) return raise_missing(key);
    Py_INCREF(values);  // a key's __eq__ may replace the slot while we look
    PyObject* result;
    if (PyDict_CheckExact(values)) {
        result = Py_XNewRef(PyDict_GetItemWithError(values, key));
        // Positions are confirmed by key identity, so an entry reused meanwhile gets at worst a useless one.
        if (result && entry && entry->position == position_unknown) entry->position = find_position(values, key);
        Py_DECREF(values);
        if (result || PyErr_Occurred()) return result;
    } else {
        result = PyObject_GetItem(values, key);
        Py_DECREF(values);
        if (result || !PyErr_ExceptionMatches(PyExc_KeyError)) return result;
        PyErr_Clear();
    }
    return raise_missing(key);
}

// Whether `type` answers names it lacks from `_values`: it reads through live_getattro, or its __getattr__ is
// still ours. A Python subclass reaches live_getattro as its __getattribute__; if it has its own __getattr__,
// that decides about every name the type does not have, values included, as with any normal lookup.
int reads_values(PyTypeObject* type) {
    if (type->tp_getattro == live_getattro) return 1;
    TypeCacheEntry* entry;
    PyObject* getattr = type_lookup(type, str_getattr, &entry);
    if (!getattr) return PyErr_Occurred() ? -1 : 0;
    int ours = getattr == own_getattr;
    Py_DECREF(getattr);
    return ours;
}

// Attribute lookup as object.__getattribute__ followed by __getattr__: the type first (and the instance dict
// of a Python subclass without __slots__), then `_values`.
[[gnu::noinline]] PyObject* live_getattro_slow(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    PyTypeObject* type = Py_TYPE(self);
    int values_here = reads_values(type);
    if (values_here < 0) return nullptr;
    TypeCacheEntry* entry;
    PyObject* attr = type_lookup(type, name, &entry);
    if (!attr && PyErr_Occurred()) return nullptr;
    descrgetfunc get = attr ? Py_TYPE(attr)->tp_descr_get : nullptr;
    bool data_descriptor = get && Py_TYPE(attr)->tp_descr_set;
    if (!data_descriptor && (type->tp_dictoffset || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))) {
        PyObject* dict = PyObject_GenericGetDict(self, nullptr);
        PyObject* found = dict ? Py_XNewRef(PyDict_GetItemWithError(dict, name)) : nullptr;
        Py_XDECREF(dict);
        if (found || PyErr_Occurred()) {
            Py_XDECREF(attr);
            return found;
        }
        entry = nullptr;  // a key's __eq__ may have run code that reused the entry
    }
    if (attr) {
        if (!get) return attr;
        PyObject* result = get(attr, self, reinterpret_cast<PyObject*>(type));
        Py_DECREF(attr);
        // A failing descriptor falls back to the values, as normal lookup falls back to __getattr__.
        if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
        PyErr_Clear();
        entry = nullptr;
    }
    if (!values_here) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", type->tp_name, name);
        return nullptr;
    }
    PyObject* values = data(self)->values;
    if (entry && entry->position >= 0 && values && PyDict_CheckExact(values)) {
        if (PyObject* value = dict_entry_value(values, entry->position, name)) return Py_NewRef(value);
        entry->position = position_unusable;  // instances of this kind differ here: use plain lookups
    }
    return lookup_value(self, name, entry);
}

// The common case kept small: a name the type does not have, found at its remembered position.
PyObject* live_getattro(PyObject* self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* values = data(self)->values;
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && values && PyDict_CheckExact(values)) {
        // Only exact str names are cached, and a name matches by identity.
        const TypeCacheEntry* entry = cache_slot(type, name);
        if (entry->version == type->tp_version_tag && entry->name == name && entry->position >= 0)
            if (PyObject* value = dict_entry_value(values, entry->position, name)) return Py_NewRef(value);
    }
    return live_getattro_slow(self, name);
}

PyObject* live_getattr_method(PyObject* self, PyObject* key) { return lookup_value(self, key, nullptr); }

int live_setattro(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_AttributeError, read_only_message);
    return -1;
}

int live_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given) {
        PyErr_Format(PyExc_TypeError, "LiveObject.__init__() takes 1 positional argument but %zd were given",
                     given + 1);
        return -1;
    }
    PyObject* fields = PyObject_GetAttr(self, str_fields);
    if (!fields) return -1;
    PyObject* values = PyDict_New();
    if (!values) {
        Py_DECREF(fields);
        return -1;
    }
    int status = 0;
    if (PyTuple_CheckExact(fields)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(fields); i < n && status == 0; ++i)
            status = PyDict_SetItem(values, PyTuple_GET_ITEM(fields, i), Py_None);
    } else {
        PyObject* it = PyObject_GetIter(fields);
        if (!it) {
            status = -1;
        } else {
            while (PyObject* name = PyIter_Next(it)) {
                status = PyDict_SetItem(values, name, Py_None);
                Py_DECREF(name);
                if (status) break;
            }
            Py_DECREF(it);
            if (PyErr_Occurred()) status = -1;
        }
    }
    Py_DECREF(fields);
    if (status == 0 && kwargs) status = PyDict_Update(values, kwargs);
    if (status) {
        Py_DECREF(values);
        return -1;
    }
    Py_XSETREF(data(self)->values, values);
    return 0;
}

PyObject* live_repr(PyObject* self) {
    PyObject* values = data(self)->values;
    if (!values) return raise_missing(str_values);
    PyObject* name = PyType_GetName(Py_TYPE(self));
    if (!name) return nullptr;
    Py_INCREF(values);
    PyObject* result = PyUnicode_FromFormat("%U(%R)", name, values);
    Py_DECREF(values);
    Py_DECREF(name);
    return result;
}

int live_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(data(self)->values);
    return 0;
}

int live_clear(PyObject* self) {
    Py_CLEAR(data(self)->values);
    return 0;
}

void live_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    live_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef live_members[] = {
    {"_values", Py_T_OBJECT_EX, offsetof(LiveObjectData, values), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef live_methods[] = {
    {"__getattr__", live_getattr_method, METH_O, "__getattr__($self, key, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot live_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(live_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(live_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(live_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(live_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(live_repr)},
    {Py_tp_init, reinterpret_cast<void*>(live_init)},
    {Py_tp_members, live_members},
    {Py_tp_methods, live_methods},
    {0, nullptr},
};

constexpr unsigned live_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec live_spec = {"velkor.ledgerlet.LiveObject", sizeof(LiveObjectData), 0, live_flags, live_slots};

struct Field {
    const char* name;
    const char* annotation;
};

struct RecordKind {
    const char* qualified_name;
    const char* doc;
    std::initializer_list<Field> fields;
};

constexpr const char* str_or_none = "str | None";
constexpr const char* float_or_none = "float | None";
constexpr const char* int_or_none = "int | None";

const RecordKind record_kinds[] = {
    {"velkor.ledgerlet.Account",
     "只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
     "金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。",
     {{"account_id", str_or_none},
      {"trading_day", str_or_none},
      {"balance", float_or_none},
      {"available", float_or_none},
      {"margin", float_or_none},
      {"frozen_margin", float_or_none},
      {"commission", float_or_none},
      {"frozen_commission", float_or_none},
      {"close_profit", float_or_none},
      {"position_profit", float_or_none},
      {"deposit", float_or_none},
      {"withdraw", float_or_none},
      {"updated_at", int_or_none}}},
    {"velkor.ledgerlet.Order",
     "只读订单快照；断线后观察句柄保留最后一次已提交的数据。",
     {{"order_id", "str"},
      {"order_sys_id", str_or_none},
      {"symbol", "str"},
      {"direction", str_or_none},
      {"offset", str_or_none},
      {"limit_price", float_or_none},
      {"volume_original", int_or_none},
      {"volume_traded", int_or_none},
      {"volume_left", int_or_none},
      {"status", "Literal['PENDING', 'ALIVE', 'FILLED', 'CANCELLED', 'REJECTED'] | None"},
      {"status_msg", str_or_none},
      {"cancel_pending", "bool"},
      {"cancel_error", str_or_none},
      {"insert_time", int_or_none}}},
    {"velkor.ledgerlet.Position",
     "只读持仓快照；数量单位为手。\n\n"
     "登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。",
     {{"symbol", "str"},
      {"pos_long", int_or_none},
      {"pos_short", int_or_none},
      {"pos_long_today", int_or_none},
      {"pos_short_today", int_or_none},
      {"available_long", int_or_none},
      {"available_short", int_or_none}}},
    {"velkor.ledgerlet.Trade",
     "只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。",
     {{"trade_id", "str"},
      {"order_sys_id", "str"},
      {"symbol", "str"},
      {"direction", str_or_none},
      {"offset", str_or_none},
      {"price", float_or_none},
      {"volume", int_or_none},
      {"trade_time", int_or_none}}},
};

// Class attributes set after creation, as a class statement would have them in its namespace.
void set_class_attrs(nb::handle type, nb::object slots, nb::object fields, nb::object annotations) {
    type.attr("__slots__") = std::move(slots);
    type.attr("fields") = std::move(fields);
    if (annotations.is_valid()) type.attr("__annotations__") = std::move(annotations);
}

nb::object make_record_kind(const RecordKind& kind, nb::handle base) {
    // The signature line gives inspect.signature and help() the keyword-only constructor; __doc__ is the rest.
    std::string_view qualified(kind.qualified_name);
    std::string doc(qualified.substr(qualified.rfind('.') + 1));
    doc.append("(**values)\n--\n\n").append(kind.doc);
    PyType_Slot slots[] = {
        {Py_tp_doc, doc.data()},
        {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(live_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(live_clear)},
        {0, nullptr},
    };
    PyType_Spec spec = {kind.qualified_name, 0, 0, live_flags, slots};
    nb::object type = checked(PyType_FromSpecWithBases(&spec, base.ptr()));
    nb::list names;
    nb::dict annotations;
    for (const Field& field : kind.fields) {
        // Interned, so that a field read compares the keys of `_values` by identity.
        nb::object name = checked(PyUnicode_InternFromString(field.name));
        names.append(name);
        annotations[name] = nb::str(field.annotation);
    }
    set_class_attrs(type, nb::tuple(), nb::tuple(names), annotations);
    return type;
}

}  // namespace

void add_live_objects(nb::module_& m) {
    str_fields = PyUnicode_InternFromString("fields");
    str_values = PyUnicode_InternFromString("_values");
    str_getattr = PyUnicode_InternFromString("__getattr__");
    if (!str_fields || !str_values || !str_getattr || !check_dict_entry_reads()) throw nb::python_error();
    nb::object base = checked(PyType_FromSpec(&live_spec));
    own_getattr = Py_NewRef(PyDict_GetItem(reinterpret_cast<PyTypeObject*>(base.ptr())->tp_dict, str_getattr));
    set_class_attrs(base, nb::make_tuple("_values"), nb::tuple(), nb::object());
    m.attr("LiveObject") = base;
    for (const RecordKind& kind : record_kinds) {
        nb::object type = make_record_kind(kind, base);
        m.attr(type.attr("__name__")) = type;
    }
}

}  // namespace velkor::ledgerlet
