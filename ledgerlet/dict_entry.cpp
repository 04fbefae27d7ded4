// Direct reads of dict entries: the layout is the interpreter's own, so it is only used after
// check_dict_entry_reads has confirmed it; each read is bounded by the table's entry count and confirmed by
// the key's identity.
#include "dict_entry.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace velkor::ledgerlet {

namespace dict_layout {

bool direct_reads = false;

PyObject* next_value(PyObject* dict, Py_ssize_t pos, PyObject* name) {
    PyObject* key;
    PyObject* value;
    return PyDict_Next(dict, &pos, &key, &value) && key == name ? value : nullptr;
}

}  // namespace dict_layout

namespace {

using dict_layout::direct_reads;
using dict_layout::direct_value;

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
constexpr bool layout_known = true;
#else
constexpr bool layout_known = false;
#endif

// Every (position, key) of `dict` read directly must give PyDict_Next's value; a key at another position
// must give nothing.
bool agrees(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    PyObject* other = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (direct_value(dict, pos - 1, key) != value) return false;
        if (other && direct_value(dict, pos - 1, other)) return false;
        other = key;
    }
    return direct_value(dict, pos, other ? other : dict) == nullptr;
}

}  // namespace

bool check_dict_entry_reads() {
    direct_reads = false;
    if (!layout_known) return true;
    // Small and large tables (1- and 2-byte hash indices), with deleted entries, and one with a non-str key.
    bool ok = true;
    for (int size : {3, 14, 200, 400}) {
        PyObject* dict = PyDict_New();
        if (!dict) return false;
        for (int i = 0; i < size && ok; ++i) {
            PyObject* key = PyUnicode_FromFormat("field_%d", i);
            PyObject* value = PyLong_FromLong(i);
            ok = key && value && PyDict_SetItem(dict, key, value) == 0;
            if (ok && i % 5 == 2) ok = PyDict_DelItem(dict, key) == 0;
            Py_XDECREF(key);
            Py_XDECREF(value);
        }
        if (!ok) {
            Py_DECREF(dict);
            return false;
        }
        direct_reads = agrees(dict);
        if (direct_reads && size == 14) {
            PyObject* number = PyLong_FromLong(7);
            ok = number && PyDict_SetItem(dict, number, Py_None) == 0;
            Py_XDECREF(number);
            // Mixed keys change the entry layout: nothing may be read directly any more.
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (ok && direct_reads && PyDict_Next(dict, &pos, &key, &value))
                direct_reads = direct_value(dict, pos - 1, key) == nullptr;
        }
        Py_DECREF(dict);
        if (!ok) return false;
        if (!direct_reads) return true;
    }
    return true;
}

}  // namespace velkor::ledgerlet
