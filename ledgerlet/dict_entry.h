// Reading one entry of a dict at a known position, for the attribute reads of the snapshot objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velkor::ledgerlet {

namespace dict_layout {

// CPython 3.12 keeps a dict's entries in insertion order in an array after its hash index. For a dict whose
// keys are all str (the `_values` of every snapshot object) an entry is a (key, value) pair. This is the fixed
// head of the key table; the hash index of 2**dk_log2_index_bytes bytes follows it, then the entries.
struct KeysHead {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};

struct StrEntry {
    PyObject* key;
    PyObject* value;
};

constexpr std::uint8_t str_keys_kind = 1;

// Set by check_dict_entry_reads once the layout is confirmed on this interpreter.
extern bool direct_reads;

inline PyObject* direct_value(PyObject* dict, Py_ssize_t pos, PyObject* name) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return nullptr;  // split table (instance dicts): not ours
    auto* keys = reinterpret_cast<const KeysHead*>(mp->ma_keys);
    if (keys->dk_kind != str_keys_kind || pos >= keys->dk_nentries) return nullptr;
    auto* entries = reinterpret_cast<const StrEntry*>(reinterpret_cast<const char*>(keys) + sizeof(KeysHead) +
                                                      (std::size_t{1} << keys->dk_log2_index_bytes));
    const StrEntry& entry = entries[pos];
    return entry.key == name ? entry.value : nullptr;
}

PyObject* next_value(PyObject* dict, Py_ssize_t pos, PyObject* name);

}  // namespace dict_layout

// The value stored under the key `name` if the entry at `pos` of `dict` holds exactly that key object;
// otherwise null. Borrowed. `dict` must be an exact dict; `pos` must not be negative. Sets no exception.
inline PyObject* dict_entry_value(PyObject* dict, Py_ssize_t pos, PyObject* name) {
    return dict_layout::direct_reads ? dict_layout::direct_value(dict, pos, name)
                                     : dict_layout::next_value(dict, pos, name);
}

// Checks once, on dicts built for the purpose, that the direct entry reads agree with PyDict_Next on this
// interpreter; if they do not, dict_entry_value keeps to PyDict_Next. Returns false on a Python error.
bool check_dict_entry_reads();

}  // namespace velkor::ledgerlet
