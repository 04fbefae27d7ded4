// The session's log (see log.h).
#include "log.h"

#include <string>

namespace velkor::trading::log {

namespace {

constexpr const char* logger_names[] = {"velkor.trading", "velkor.trading.orders"};

// The last `logging` module seen and its loggers, kept for the life of the process. A logger of a
// name never changes once created, so the cache holds exactly what getLogger would answer.
PyObject* cached_module = nullptr;
PyObject* cached_loggers[2] = {nullptr, nullptr};

nb::object logger(Channel channel) {
    nb::object logging = global("logging");
    if (logging.ptr() != cached_module) {
        for (PyObject*& cached : cached_loggers) Py_CLEAR(cached);
        Py_XSETREF(cached_module, Py_NewRef(logging.ptr()));
    }
    PyObject*& cached = cached_loggers[channel];
    if (!cached) cached = logging.attr("getLogger")(logger_names[channel]).release().ptr();
    return nb::borrow(cached);
}

// getattr(obj, attr, None)
nb::object attribute_or_none(nb::handle obj, const char* attr) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), attr);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

}  // namespace

bool enabled(Channel channel, int level) {
    try {
        return truthy(logger(channel).attr("isEnabledFor")(level));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        e.discard_as_unraisable("velkor.trading logging");
        return false;
    }
}

void write(nb::handle self, Channel channel, int level, const char* format, const std::vector<nb::handle>& args,
           const Extra& more) {
    try {
        nb::object target = logger(channel);
        if (!truthy(target.attr("isEnabledFor")(level))) return;
        nb::object config = attribute_or_none(self, "config");
        nb::object broker = attribute_or_none(config, "broker_id");
        nb::object user = attribute_or_none(config, "user_id");
        std::string message = "[%s/%s] ";
        message += format;
        nb::list positional;
        positional.append(nb::int_(level));
        positional.append(nb::str(message.c_str()));
        positional.append(broker);
        positional.append(user);
        for (nb::handle arg : args) positional.append(arg);
        nb::dict extra;
        extra["broker_id"] = broker;
        extra["user_id"] = user;
        if (more.order_id.is_valid()) extra["order_id"] = more.order_id;
        if (more.error_id.is_valid()) extra["error_id"] = more.error_id;
        if (more.error_msg.is_valid()) extra["error_msg"] = more.error_msg;
        if (more.fallback.is_valid()) extra["fallback"] = more.fallback;
        if (more.limit.is_valid()) extra["limit"] = more.limit;
        nb::dict keywords;
        keywords["extra"] = extra;
        if (more.exc_info.is_valid()) keywords["exc_info"] = more.exc_info;
        PyObject* done = PyObject_Call(target.attr("log").ptr(), nb::tuple(positional).ptr(), keywords.ptr());
        if (!done) throw nb::python_error();
        Py_DECREF(done);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        e.discard_as_unraisable("velkor.trading logging");
    }
}

const char* disconnect_reason(nb::handle code) {
    if (!PyLong_Check(code.ptr())) return "unknown reason";
    long value = PyLong_AsLong(code.ptr());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return "unknown reason";
    }
    switch (value) {
        case 0x1001: return "network read failed";
        case 0x1002: return "network write failed";
        case 0x2001: return "heartbeat timed out";
        case 0x2002: return "heartbeat send failed";
        case 0x2003: return "bad packet received";
        default: return "unknown reason";
    }
}

const char* request_result(nb::handle result) {
    if (equals(result, nb::int_(-1))) return "network failure";
    if (equals(result, nb::int_(-2))) return "flow control: too many unprocessed requests";
    if (equals(result, nb::int_(-3))) return "flow control: too many requests per second";
    return "refused";
}

namespace {

nb::object english(nb::handle key, std::initializer_list<std::pair<const char*, const char*>> names) {
    if (PyUnicode_Check(key.ptr())) {
        for (auto& [from, to] : names)
            if (PyUnicode_CompareWithASCIIString(key.ptr(), from) == 0) return nb::str(to);
    }
    return nb::borrow(key);
}

}  // namespace

nb::object phase_name(nb::handle phase) {
    return english(phase, {{"connecting", "connection"},
                           {"authenticate", "authentication"},
                           {"login", "login"},
                           {"settlement", "settlement confirmation"},
                           {"sync", "synchronisation"},
                           {"ready", "trading"}});
}

nb::object query_name(nb::handle kind) {
    return english(kind, {{"instruments", "instruments"},
                          {"orders", "orders"},
                          {"trades_before", "trades"},
                          {"positions", "positions"},
                          {"trades_after", "trades (second pass)"},
                          {"account", "funds"}});
}

}  // namespace velkor::trading::log
