// Encoding records from field values by name, as ctpsim._front.encode.
#include <cstring>
#include <unordered_map>

#include "module.h"
#include "records.h"

namespace ctpsim::binding {
namespace {

struct RecordIndex {
    std::size_t size;
    std::unordered_map<std::string_view, Field> fields;
};

// Built on first use and never destroyed.
const std::unordered_map<std::string_view, RecordIndex> &record_index() {
    static const auto *index = [] {
        auto *out = new std::unordered_map<std::string_view, RecordIndex>;
        for (const Record &r : *new std::vector<Record>(make_records())) {
            RecordIndex &ri = (*out)[r.name];
            ri.size = r.size;
            for (const Field &f : r.fields) ri.fields.emplace(f.name, f);
        }
        return out;
    }();
    return *index;
}

[[noreturn]] void fail(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

const char *type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

// Bytes of a string field: str as GB18030 (ASCII taken as is), bytes-like objects as they are.
void put_string(char *dst, const Field &f, PyObject *value) {
    nb::object holder;
    const char *src;
    Py_ssize_t n;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_IS_ASCII(value)) {
            src = PyUnicode_AsUTF8AndSize(value, &n);
            if (!src) throw nb::python_error();
        } else {
            PyObject *encoded = PyUnicode_AsEncodedString(value, "gb18030", "strict");
            if (!encoded) {
                if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                    PyErr_Clear();
                    fail(PyExc_ValueError, std::string(f.name) + ": text not encodable as GB18030");
                }
                throw nb::python_error();
            }
            holder = nb::steal(encoded);
            src = PyBytes_AS_STRING(encoded);
            n = PyBytes_GET_SIZE(encoded);
        }
    } else if (PyObject_CheckBuffer(value)) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
        holder = nb::steal(PyBytes_FromStringAndSize(static_cast<const char *>(view.buf), view.len));
        PyBuffer_Release(&view);
        if (!holder.is_valid()) throw nb::python_error();
        src = PyBytes_AS_STRING(holder.ptr());
        n = PyBytes_GET_SIZE(holder.ptr());
    } else {
        fail(PyExc_TypeError, std::string(f.name) + ": expected str or bytes, got " + type_name(value));
    }
    if (static_cast<std::size_t>(n) > f.size)
        fail(PyExc_ValueError,
             std::string(f.name) + ": " + std::to_string(n) + " bytes do not fit in " + std::to_string(f.size));
    std::memcpy(dst, src, static_cast<std::size_t>(n));
}

char char_value(const Field &f, PyObject *value) {
    if (PyBytes_Check(value) || PyByteArray_Check(value)) {
        const Py_ssize_t n = PyBytes_Check(value) ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value);
        if (n != 1) fail(PyExc_ValueError, std::string(f.name) + ": a char field takes exactly one byte");
        return PyBytes_Check(value) ? PyBytes_AS_STRING(value)[0] : PyByteArray_AS_STRING(value)[0];
    }
    if (PyUnicode_Check(value)) {
        if (PyUnicode_GET_LENGTH(value) != 1 || PyUnicode_READ_CHAR(value, 0) > 255)
            fail(PyExc_ValueError,
                 std::string(f.name) + ": a char field takes one character with code point 0 to 255");
        return static_cast<char>(PyUnicode_READ_CHAR(value, 0));
    }
    if (PyLong_Check(value)) {
        const long v = PyLong_AsLong(value);
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        else if (v >= 0 && v <= 255) return static_cast<char>(v);
        fail(PyExc_ValueError, std::string(f.name) + ": byte value out of 0..255");
    }
    fail(PyExc_TypeError, std::string(f.name) + ": expected bytes, str or int, got " + type_name(value));
}

int int_value(const Field &f, PyObject *value) {
    nb::object index = nb::steal(PyNumber_Index(value));
    if (!index.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        fail(PyExc_TypeError, std::string(f.name) + ": expected int, got " + type_name(value));
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || v < INT32_MIN || v > INT32_MAX)
        fail(PyExc_ValueError, std::string(f.name) + ": does not fit in a 32-bit int");
    return static_cast<int>(v);
}

double double_value(const Field &f, PyObject *value) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value))
        fail(PyExc_TypeError, std::string(f.name) + ": expected float, got " + type_name(value));
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            fail(PyExc_ValueError, std::string(f.name) + ": does not fit in a double");
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        fail(PyExc_TypeError, std::string(f.name) + ": expected float, got " + type_name(value));
    }
    return v;
}

}  // namespace

// The bytes of `record` with the given fields set; fields not given are zero.
nb::bytes encode(const std::string &record, nb::handle data) {
    const auto &index = record_index();
    auto it = index.find(record);
    if (it == index.end()) fail(PyExc_KeyError, "unknown record " + record);
    if (!PyDict_Check(data.ptr()))
        fail(PyExc_TypeError, std::string("record data must be a dict, got ") + type_name(data.ptr()));
    const RecordIndex &ri = it->second;
    std::string raw(ri.size, '\0');
    // A snapshot of the items: conversions may run Python code that changes the dict.
    nb::object items = nb::steal(PyDict_Items(data.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        PyObject *key = PyTuple_GET_ITEM(item, 0);
        PyObject *value = PyTuple_GET_ITEM(item, 1);
        const Field *f = nullptr;
        if (PyUnicode_Check(key)) {
            Py_ssize_t len;
            const char *k = PyUnicode_AsUTF8AndSize(key, &len);
            if (!k) {
                PyErr_Clear();  // not valid UTF-8 (lone surrogates): no such field
                len = 0;
                k = "";
            }
            auto fit = ri.fields.find(std::string_view(k, static_cast<std::size_t>(len)));
            if (fit != ri.fields.end()) f = &fit->second;
        }
        if (!f) {
            nb::str shown = nb::repr(nb::handle(key));
            fail(PyExc_KeyError, record + " has no field " + shown.c_str());
        }
        char *dst = raw.data() + f->offset;
        switch (f->kind) {
        case 's': put_string(dst, *f, value); break;
        case 'c': *dst = char_value(*f, value); break;
        case 'i': {
            const int v = int_value(*f, value);
            std::memcpy(dst, &v, sizeof v);
            break;
        }
        default: {
            const double v = double_value(*f, value);
            std::memcpy(dst, &v, sizeof v);
            break;
        }
        }
    }
    return nb::bytes(raw.data(), raw.size());
}

}  // namespace ctpsim::binding
