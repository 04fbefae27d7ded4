// LiveMap: a read-only mapping view over one dict of records, keyed as the session keys them.
//
// The class is made by the Mapping ABC's metaclass, so it is a genuine collections.abc.Mapping with the
// read-only mix-ins (membership, keys, items, values, get, ==). Its own methods are C method descriptors that
// reach the two slots directly.
#include "ledgerlet.h"

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

PyObject* map_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"item_type", nullptr};
    PyObject* item_type;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(keywords), &item_type))
        return nullptr;
    PyObject* data = PyDict_New();
    if (!data) return nullptr;
    Py_XSETREF(slot_at(self, data_offset), data);
    Py_XSETREF(slot_at(self, item_type_offset), Py_NewRef(item_type));
    Py_RETURN_NONE;
}

PyObject* map_getitem(PyObject* self, PyObject* key) {
    PyObject* data = backing(self);
    if (!data) return nullptr;
    Py_INCREF(data);
    PyObject* result = PyObject_GetItem(data, key);
    Py_DECREF(data);
    return result;
}

PyObject* map_iter(PyObject* self, PyObject*) {
    PyObject* data = backing(self);
    return data ? PyObject_GetIter(data) : nullptr;
}

PyObject* map_len(PyObject* self, PyObject*) {
    PyObject* data = backing(self);
    if (!data) return nullptr;
    Py_ssize_t n = PyObject_Size(data);
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* map_repr(PyObject* self, PyObject*) {
    PyObject* data = backing(self);
    if (!data) return nullptr;
    Py_INCREF(data);
    PyObject* result = PyObject_Repr(data);
    Py_DECREF(data);
    return result;
}

PyMethodDef map_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_init)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__getitem__", map_getitem, METH_O, nullptr},
    {"__iter__", map_iter, METH_NOARGS, nullptr},
    {"__len__", map_len, METH_NOARGS, nullptr},
    {"__repr__", map_repr, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
    for (PyMethodDef* def = map_methods; def->ml_name; ++def) set_method(type, def);
    // The abstract methods were supplied after the class was made.
    nb::module_::import_("abc").attr("update_abstractmethods")(type);
    return type;
}

}  // namespace velkor::ledgerlet
