// velkor.trading: module initialisation, the module's constants and helper functions, and the
// helpers shared by the session's files.
#include "book_index.h"
#include "coro.h"
#include "journal.h"

#include "../common/main_interpreter.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace velkor::trading {

namespace {
MethodRegistration* registrations = nullptr;
nb::module_* the_module = nullptr;

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
}  // namespace

MethodRegistration::MethodRegistration(Slot s, void (*b)(TradingClass&)) : slot(s), bind(b), next(registrations) {
    registrations = this;
}

nb::module_& module() { return *the_module; }

nb::object global(nb::handle key) { return nb::getattr(*the_module, key); }

nb::object global(const char* text) { return global(name(text)); }

double monotonic() { return nb::cast<double>(global("time").attr("monotonic")()); }

double monotonic(nb::handle self) {
    double now = monotonic();
    if (journal::Journal* j = journal::of(self)) j->monotonic(now);
    return now;
}

nb::object now_object(nb::handle self) {
    nb::object now = global("time").attr("monotonic")();
    if (journal::Journal* j = journal::of(self)) j->monotonic(now);
    return now;
}

nb::handle name(std::string_view text) {
    // Interned for good: the strings live as long as the process, like the interpreter's own names.
    static std::unordered_map<std::string, PyObject*, NameHash, std::equal_to<>> names;
    auto it = names.find(text);
    if (it != names.end()) return it->second;
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
    if (!s) throw nb::python_error();
    PyUnicode_InternInPlace(&s);
    names.emplace(std::string(text), s);
    return s;
}

void raise(nb::handle type, std::string_view message) { raise(type, nb::str(message.data(), message.size())); }

void raise(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

void raise(nb::handle type) {
    PyErr_SetNone(type.ptr());
    throw nb::python_error();
}

void raise_velkor(std::string_view message) { raise(global("VelkorError"), message); }

void raise_velkor(nb::handle message) { raise(global("VelkorError"), message); }

nb::python_error current_python_error() {
    try {
        throw;
    } catch (nb::python_error& e) {
        return e;
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::bad_cast&) {
        PyErr_SetString(PyExc_TypeError, "unexpected value type");
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nb::python_error();
}

namespace {

// The originals of the module-level names the exact-shape fast path of timestamp() stands in for.
PyObject* original_datetime = nullptr;
PyObject* original_tz = nullptr;

// Days from 1970-01-01 to the proleptic Gregorian date y-m-d.
long long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return (long long)era * 146097 + doe - 719468;
}

// Fast path of timestamp(): two exact str objects "YYYYMMDD" and "HH:MM:SS" of ASCII digits, every field
// in range. Gives the same milliseconds as parsing in exchange time (UTC+8); false for any other input,
// which then takes the general path.
bool exact_timestamp(PyObject* day, PyObject* clock, long long& millis) {
    if (!PyUnicode_CheckExact(day) || !PyUnicode_CheckExact(clock)) return false;
    if (PyUnicode_GET_LENGTH(day) != 8 || PyUnicode_GET_LENGTH(clock) != 8) return false;
    if (!PyUnicode_IS_ASCII(day) || !PyUnicode_IS_ASCII(clock)) return false;
    const char* d = (const char*)PyUnicode_DATA(day);
    const char* c = (const char*)PyUnicode_DATA(clock);
    if (c[2] != ':' || c[5] != ':') return false;
    for (int i = 0; i < 8; ++i)
        if (d[i] < '0' || d[i] > '9' || (i != 2 && i != 5 && (c[i] < '0' || c[i] > '9'))) return false;
    auto num = [](const char* p, int n) {
        int v = 0;
        for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
        return v;
    };
    const int year = num(d, 4), month = num(d + 4, 2), mday = num(d + 6, 2);
    const int hour = num(c, 2), minute = num(c + 3, 2), second = num(c + 6, 2);
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || mday < 1) return false;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (mday > month_days[month - 1] + (month == 2 && leap)) return false;
    if (hour > 23 || minute > 59 || second > 59) return false;
    const long long seconds = days_from_civil(year, month, mday) * 86400 + hour * 3600 + minute * 60 + second;
    millis = (seconds - 8 * 3600) * 1000;
    return true;
}

// timestamp(day, clock): CTP exchange date and time to epoch milliseconds, None when unparsable.
nb::object timestamp(nb::handle day, nb::handle clock) {
    long long fast;
    if (exact_timestamp(day.ptr(), clock.ptr(), fast) && global("datetime").ptr() == original_datetime &&
        global("TZ").ptr() == original_tz) {
        PyObject* result = PyLong_FromLongLong(fast);
        if (!result) throw nb::python_error();
        return nb::steal(result);
    }
    nb::object parsed;
    try {
        PyObject* text = PyNumber_Add(day.ptr(), clock.ptr());
        if (!text) throw nb::python_error();
        parsed = global("datetime").attr("strptime")(nb::steal(text), "%Y%m%d%H:%M:%S");
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return nb::none();
        throw;
    }
    nb::object aware = parsed.attr("replace")(nb::arg("tzinfo") = global("TZ"));
    nb::object millis = aware.attr("timestamp")() * nb::int_(1000);
    PyObject* truncated = PyNumber_Long(millis.ptr());
    if (!truncated) throw nb::python_error();
    return nb::steal(truncated);
}

// finite(value): value itself when it is a finite int or float of magnitude below 1e100.
nb::object finite_value(nb::handle value) {
    if (!PyLong_Check(value.ptr()) && !PyFloat_Check(value.ptr())) return nb::none();
    if (!truthy(global("math").attr("isfinite")(value))) return nb::none();
    PyObject* magnitude = PyNumber_Absolute(value.ptr());
    if (!magnitude) throw nb::python_error();
    nb::object limit = nb::steal(PyFloat_FromDouble(1e100));
    int below = PyObject_RichCompareBool(magnitude, limit.ptr(), Py_LT);
    Py_DECREF(magnitude);
    if (below < 0) throw nb::python_error();
    return below ? nb::borrow(value) : nb::none();
}

// format(value): the text itself, or what its format() gives.
nb::str formatted(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow<nb::str>(value);
    PyObject* s = PyObject_Format(value.ptr(), nullptr);
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// local_order_id(front, session, order_ref): "front:session:order_ref".
nb::str local_order_id(nb::handle front, nb::handle session, nb::handle order_ref) {
    nb::str parts[3] = {formatted(front), formatted(session), formatted(order_ref)};
    nb::list items;
    for (auto& p : parts) items.append(p);
    PyObject* joined = PyUnicode_Join(name(":").ptr(), items.ptr());
    if (!joined) throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

// order_offset(value): the offset name of a CTP combined offset flag; only its first character counts.
nb::object order_offset(nb::handle value) {
    int truthy = PyObject_IsTrue(value.ptr());
    if (truthy < 0) throw nb::python_error();
    nb::handle source = truthy ? value : name("");
    PyObject* text = PyObject_Str(source.ptr());
    if (!text) throw nb::python_error();
    nb::object first = nb::steal(PyUnicode_Substring(text, 0, 1));
    Py_DECREF(text);
    if (!first.is_valid()) throw nb::python_error();
    return global("OFFSET_BY_FLAG").attr("get")(first, "CLOSE");
}

// Garbage-collector support of Trading: what the default of a class with an instance dict does
// (the dict and the type), the references of the closing-lot index, the run loop's pause and the
// cached instrument table.
PyObject** instance_dict(PyObject* self) {
    Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset) : nullptr;
}

int trading_traverse(PyObject* self, visitproc visit, void* arg) {
    if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
    if (nb::inst_ready(self)) {
        Trading& t = *nb::inst_ptr<Trading>(self);
        if (int r = closing_traverse(t, visit, arg)) return r;
        Py_VISIT(t.pause_state.ptr());
        Py_VISIT(t.exchanges_table.ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int trading_clear(PyObject* self) {
    if (PyObject** dict = instance_dict(self)) Py_CLEAR(*dict);
    if (nb::inst_ready(self)) {
        Trading& t = *nb::inst_ptr<Trading>(self);
        closing_clear(t);
        nb::object state = std::move(t.pause_state);
        nb::object table = std::move(t.exchanges_table);
    }
    return 0;
}

PyType_Slot trading_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(trading_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(trading_clear)},
                               {0, nullptr}};

nb::dict pairs(std::initializer_list<std::pair<const char*, const char*>> items) {
    nb::dict d;
    for (auto& [k, v] : items) d[k] = v;
    return d;
}

// The module-level names the session reaches when used (`time`, `asyncio`, ...), in order. The host
// modules are imported relative to the package.
void add_module_names(nb::module_& m) {
    m.attr("asyncio") = nb::module_::import_("asyncio");
    nb::module_ dt = nb::module_::import_("datetime");
    for (const char* n : {"datetime", "timedelta", "timezone"}) m.attr(n) = dt.attr(n);
    m.attr("math") = nb::module_::import_("math");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("mkdtemp") = nb::module_::import_("tempfile").attr("mkdtemp");
    // `from .data import ...` and `from .errors import ...`: siblings in this module's own package.
    nb::object package = nb::str(m.attr("__name__")).attr("rpartition")(".")[0];
    auto sibling = [&](const char* leaf) {
        nb::object full = nb::str("{}.{}").format(package, leaf);
        return nb::module_::import_(nb::borrow<nb::str>(full).c_str());
    };
    nb::module_ data = sibling("data");
    for (const char* n : {"VelkorError", "check_symbol", "different"}) m.attr(n) = data.attr(n);
    m.attr("Recovery") = sibling("errors").attr("Recovery");
    nb::module_ ledger = sibling("ledgerlet");
    for (const char* n : {"Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult"})
        m.attr(n) = ledger.attr(n);
}

// The module's constants: exchange time, the queries and their labels, the funds fields, the offsets.
void add_constants(nb::module_& m) {
    nb::object datetime = m.attr("datetime");
    nb::object tz = m.attr("timezone")(m.attr("timedelta")(nb::arg("hours") = 8));
    m.attr("TZ") = tz;
    original_datetime = datetime.release().ptr();  // kept for the life of the process
    original_tz = tz.release().ptr();
    nb::dict query = pairs({{"instruments", "QryInstrument"},
                            {"orders", "QryOrder"},
                            {"trades_before", "QryTrade"},
                            {"positions", "QryInvestorPosition"},
                            {"trades_after", "QryTrade"},
                            {"account", "QryTradingAccount"}});
    m.attr("QUERY") = query;
    m.attr("SYNC_STEPS") = nb::tuple(query);
    m.attr("PHASE_LABELS") = pairs({{"authenticate", "认证"}, {"login", "登录"}, {"settlement", "结算单确认"}});
    m.attr("QUERY_LABELS") = pairs({{"instruments", "合约"},
                                    {"orders", "订单"},
                                    {"trades_before", "首次成交"},
                                    {"positions", "持仓"},
                                    {"trades_after", "复查成交"},
                                    {"account", "资金"}});
    m.attr("ACCOUNT_FIELDS") = pairs({{"balance", "Balance"},
                                      {"available", "Available"},
                                      {"margin", "CurrMargin"},
                                      {"frozen_margin", "FrozenMargin"},
                                      {"commission", "Commission"},
                                      {"frozen_commission", "FrozenCommission"},
                                      {"close_profit", "CloseProfit"},
                                      {"position_profit", "PositionProfit"},
                                      {"deposit", "Deposit"},
                                      {"withdraw", "Withdraw"}});
    nb::dict offset_by_flag = pairs({{"0", "OPEN"}, {"1", "CLOSE"}, {"3", "CLOSE_TODAY"}, {"4", "CLOSE_YESTERDAY"}});
    m.attr("OFFSET_BY_FLAG") = offset_by_flag;
    nb::dict flag_by_offset;
    for (auto [flag, offset] : offset_by_flag) flag_by_offset[offset] = flag;
    m.attr("FLAG_BY_OFFSET") = flag_by_offset;
}

// The module's helper functions.
void add_helpers(nb::module_& m) {
    m.def("timestamp", &timestamp, nb::arg("day").none(), nb::arg("clock").none());
    m.def("finite", &finite_value, nb::arg("value").none());
    m.def("local_order_id", &local_order_id, nb::arg("front").none(), nb::arg("session").none(),
          nb::arg("order_ref").none());
    m.def("order_offset", &order_offset, nb::arg("value").none());
}

// The class Trading, its methods bound in definition order (Slot).
void bind_trading(nb::module_& m) {
    TradingClass cls(m, "Trading", "Private protocol state is committed to user objects only by wait_update.",
                     nb::dynamic_attr(), nb::is_weak_referenceable(), nb::type_slots(trading_slots));
    std::vector<MethodRegistration*> regs;
    for (auto* r = registrations; r; r = r->next) regs.push_back(r);
    std::stable_sort(regs.begin(), regs.end(), [](auto* a, auto* b) { return a->slot < b->slot; });
    for (auto* r : regs) r->bind(cls);
}

}  // namespace

}  // namespace velkor::trading

using namespace velkor::trading;

// The bindings; PyInit_trading (at the end) lets them load in the main interpreter only.
NB_MODULE(trading_bindings, m) {
    static nb::module_ keep = nb::borrow<nb::module_>(m);
    the_module = &keep;
    m.doc() = "CTP session, login snapshots and trade-driven local position state.";
    // Objects still referenced when the interpreter ends (by a daemon thread's frames, a traceback kept
    // for the exit, ...) are not freed by the interpreter: no leak of ours, and nothing users should see.
    // Our modules use their own nanobind domain, so this leaves other nanobind modules' checks alone.
    nb::set_leak_warnings(false);

    add_module_names(m);
    add_constants(m);
    add_helpers(m);
    bind_native(m);
    bind_limits(m);
    bind_trading(m);
    register_coroutine_type(m);
}

// Refused in a sub-interpreter before nanobind sets anything up there (common/main_interpreter.h).
extern "C" NB_EXPORT PyObject* PyInit_trading() {
    if (velkor::refuse_sub_interpreter("velkor.trading") < 0) return nullptr;
    return PyInit_trading_bindings();
}
