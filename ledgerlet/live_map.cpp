// LiveMap: a read-only mapping view over one dict of records, keyed as the session keys them.
//
// The class is made by the Mapping ABC's metaclass, so it is a genuine collections.abc.Mapping with the
// read-only mix-ins (membership, keys, items, values, get, ==). Its own methods are C functions that reach
// the two slots directly.
#include "ledgerlet.h"

#include <cstddef>

namespace velkor::ledgerlet {

namespace {

Py_ssize_t data_offset = -1;
Py_ssize_t item_type_offset = -1;

PyObject*& slot_at(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

// The `_data` dict, borrowed; null with AttributeError when the slot was never set.
PyObject* backing(PyObject* self) {
    PyObject* data = slot_at(self, data_offset);
    if (!data) PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '_data'", Py_TYPE(self)->tp_name);
    return data;
}

int map_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"item_type", nullptr};
    PyObject* item_type;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(keywords), &item_type))
        return -1;
    PyObject* data = PyDict_New();
    if (!data) return -1;
    Py_XSETREF(slot_at(self, data_offset), data);
    Py_XSETREF(slot_at(self, item_type_offset), Py_NewRef(item_type));
    return 0;
}

PyObject* map_init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return map_init(self, args, kwargs) ? nullptr : Py_NewRef(Py_None);
}

PyMethodDef init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_init_method)),
                        METH_VARARGS | METH_KEYWORDS, "__init__($self, /, item_type)\n--\n\n"};

PyObject* map_subscript(PyObject* self, PyObject* key) {
    PyObject* data = backing(self);
    if (!data) return nullptr;
    Py_INCREF(data);
    PyObject* result = PyObject_GetItem(data, key);
    Py_DECREF(data);
    return result;
}

PyObject* map_iter(PyObject* self) {
    PyObject* data = backing(self);
    return data ? PyObject_GetIter(data) : nullptr;
}

Py_ssize_t map_length(PyObject* self) {
    PyObject* data = backing(self);
    return data ? PyObject_Size(data) : -1;
}

PyObject* map_repr(PyObject* self) {
    PyObject* data = backing(self);
    if (!data) return nullptr;
    Py_INCREF(data);
    PyObject* result = PyObject_Repr(data);
    Py_DECREF(data);
    return result;
}

// The methods are slot wrappers, as on a built-in type, so that the interpreter calls the C functions
// straight from the type's slots (m[key], len(m), iter(m)) instead of looking the methods up on each use.
// Each borrows the slot description of a built-in wrapper of the same name and slot.
struct SlotMethod {
    const char* name;
    PyTypeObject* model;  // a built-in type whose own method of that name is the wrapper of that slot
    Py_ssize_t offset;   // the slot, in PyHeapTypeObject
    void* function;
};

const SlotMethod slot_methods[] = {
    {"__getitem__", &PyDictProxy_Type, offsetof(PyHeapTypeObject, as_mapping) + offsetof(PyMappingMethods, mp_subscript),
     reinterpret_cast<void*>(map_subscript)},
    {"__iter__", &PyDictProxy_Type, offsetof(PyTypeObject, tp_iter), reinterpret_cast<void*>(map_iter)},
    {"__len__", &PyDictProxy_Type, offsetof(PyHeapTypeObject, as_mapping) + offsetof(PyMappingMethods, mp_length),
     reinterpret_cast<void*>(map_length)},
    {"__repr__", &PyDictProxy_Type, offsetof(PyTypeObject, tp_repr), reinterpret_cast<void*>(map_repr)},
};

void set_slot_method(nb::handle type, const SlotMethod& method) {
    nb::object model = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(method.model)), method.name);
    if (!PyObject_TypeCheck(model.ptr(), &PyWrapperDescr_Type) ||
        PyDescr_TYPE(model.ptr()) != method.model)
        throw nb::type_error("LiveMap: no slot wrapper to model");
    wrapperbase* base = reinterpret_cast<PyWrapperDescrObject*>(model.ptr())->d_base;
    if (base->offset != method.offset) throw nb::type_error("LiveMap: unexpected slot wrapper");
    nb::object descr =
        checked(PyDescr_NewWrapper(reinterpret_cast<PyTypeObject*>(type.ptr()), base, method.function));
    nb::setattr(type, method.name, descr);
}

Py_ssize_t member_offset(nb::handle type, const char* name) {
    nb::object descr = nb::borrow(PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_dict, name));
    if (!descr.is_valid() || !PyObject_TypeCheck(descr.ptr(), &PyMemberDescr_Type))
        throw nb::type_error("LiveMap slot layout");
    return reinterpret_cast<PyMemberDescrObject*>(descr.ptr())->d_member->offset;
}

}  // namespace

nb::object make_live_map() {
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = "LiveMap";
    ns["__slots__"] = nb::make_tuple("_data", "item_type");
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(mapping.ptr())))(
        "LiveMap", nb::make_tuple(mapping), ns);
    data_offset = member_offset(type, "_data");
    item_type_offset = member_offset(type, "item_type");
    for (const SlotMethod& method : slot_methods) set_slot_method(type, method);
    set_method(type, &init_def);  // a method with a signature, so that inspect.signature(LiveMap) works
    // The abstract methods were supplied after the class was made.
    nb::module_::import_("abc").attr("update_abstractmethods")(type);
    return type;
}

}  // namespace velkor::ledgerlet
