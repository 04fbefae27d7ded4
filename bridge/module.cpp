// The module velkor._kestro: version, create, request, poll, close.
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "../common/main_interpreter.h"
#include "api_setup.h"
#include "kestro.h"

namespace kestro {

Spi* handle_spi(PyObject* handle) {
    return static_cast<Spi*>(PyCapsule_GetPointer(handle, CAPSULE_NAME));
}

void shutdown_api(CThostFtdcTraderApi* api) {
    Py_BEGIN_ALLOW_THREADS
    api->RegisterSpi(nullptr);
    api->Release();
    Py_END_ALLOW_THREADS
}

namespace {

void destroy_handle(PyObject* capsule) {
    Spi* spi = static_cast<Spi*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (!spi) {
        PyErr_Clear();
        return;
    }
    for (CThostFtdcTraderApi* api : {spi->api, spi->retired}) {
        if (api) shutdown_api(api);
    }
    spi->api = spi->retired = nullptr;
    delete spi;  // pending events go unconverted
}

PyObject* version(PyObject*, PyObject*) {
    const char* text = CThostFtdcTraderApi::GetApiVersion();
    if (!text) text = "";
    return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

PyObject* create(PyObject*, PyObject* args) {
    const char* front;
    const char* path;
    if (!PyArg_ParseTuple(args, "sy", &front, &path)) return nullptr;
    std::string address;
    try {
        address = front;  // RegisterFront takes a mutable string
    } catch (...) {
        return PyErr_NoMemory();
    }
    Spi* spi;
    try {
        spi = new Spi();  // its empty queue allocates too
    } catch (...) {
        return PyErr_NoMemory();
    }
    CThostFtdcTraderApi* api = create_trader_api(path);
    if (!api) {
        delete spi;
        PyErr_SetString(PyExc_RuntimeError, "创建 CTP 接口失败");
        return nullptr;
    }
    spi->api = api;
    api->RegisterSpi(spi);
    subscribe_private_quick(api);
    api->SubscribePublicTopic(THOST_TERT_QUICK);
    api->RegisterFront(address.data());
    PyObject* capsule = PyCapsule_New(spi, CAPSULE_NAME, destroy_handle);
    if (!capsule) {
        spi->api = nullptr;
        shutdown_api(api);
        delete spi;
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    api->Init();
    Py_END_ALLOW_THREADS
    return capsule;
}

PyObject* poll(PyObject*, PyObject* handle) {
    Spi* spi = handle_spi(handle);
    if (!spi) return nullptr;
    // An empty deque allocates: it is made outside the lock, and its failure becomes MemoryError.
    std::optional<std::deque<Event>> made;
    try {
        made.emplace();
    } catch (...) {
        return PyErr_NoMemory();
    }
    std::deque<Event>& taken = *made;
    // Overflow is sticky and leaves the queue as it is.
    if (!spi->queue.take(taken)) {
        PyErr_SetString(PyExc_BufferError, "CTP 回调队列已满");
        return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(taken.size()));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (Event& event : taken) {
        PyObject* record = event();
        if (!record) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "event conversion failed without an error");
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, index++, record);
    }
    return list;
}

PyObject* close(PyObject*, PyObject* handle) {
    Spi* spi = handle_spi(handle);
    if (!spi) return nullptr;
    CThostFtdcTraderApi* api = spi->api;
    if (api) {
        spi->api = nullptr;
        if (spi->busy)
            spi->retired = api;  // a request is running on another thread: it shuts down when it returns
        else
            shutdown_api(api);
    }
    Py_RETURN_NONE;
}

// The handle's readiness descriptor, for an event loop to watch: readable once a callback has queued an
// event into an empty queue (the caller resets it by reading 8 bytes, then polls). None when there is none.
// It stays open after close, for a loop that still watches it, and is closed with the handle.
PyObject* fileno(PyObject*, PyObject* handle) {
    Spi* spi = handle_spi(handle);
    if (!spi) return nullptr;
    int fd = spi->queue.fileno();
    if (fd < 0) Py_RETURN_NONE;
    return PyLong_FromLong(fd);
}

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, nullptr},
    {"create", create, METH_VARARGS, nullptr},
    {"request", request, METH_VARARGS, nullptr},
    {"poll", poll, METH_O, nullptr},
    {"close", close, METH_O, nullptr},
    {"fileno", fileno, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Multi-phase initialisation: PyInit__kestro runs on every import, in whichever interpreter imports.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_kestro", nullptr, 0, methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestro

PyMODINIT_FUNC PyInit__kestro() {
    // The texts, codecs and the loaded CTP library are the process's: the main interpreter only.
    if (velkor::refuse_sub_interpreter("velkor._kestro") < 0) return nullptr;
    if (kestro::check_api_version() < 0) return nullptr;
    if (kestro::init_text() < 0 || kestro::init_records() < 0 || kestro::init_requests() < 0) return nullptr;
    return PyModuleDef_Init(&kestro::module_def);
}
