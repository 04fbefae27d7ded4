// ctpsim._front: the Python face of the stand-in's front registry, the field tables of every record, and a
// small native client of the API for tests.
#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>

#include "registry.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---- field tables --------------------------------------------------------------------------------------------

struct Field {
    const char *name;
    std::size_t offset;
    std::size_t size;
    char kind;  // 's' string char[N], 'c' char, 'i' int, 'd' double
};

template <class T>
constexpr char kind_of() {
    if constexpr (std::is_array_v<T>) {
        static_assert(std::is_same_v<std::remove_extent_t<T>, char>);
        return 's';
    } else if constexpr (std::is_same_v<T, char>) {
        return 'c';
    } else if constexpr (std::is_same_v<T, int>) {
        return 'i';
    } else {
        static_assert(std::is_same_v<T, double>);
        return 'd';
    }
}

struct Record {
    const char *name;
    std::size_t size;
    std::vector<Field> fields;
};

#define F(S, name) Field{#name, offsetof(S, name), sizeof(S::name), kind_of<decltype(S::name)>()}
#define NAME_OF(T) #T
#define R(T, ...) Record{NAME_OF(T), sizeof(T), {__VA_ARGS__}}

#define S CThostFtdcRspInfoField
const Record kRspInfo = R(S, F(S, ErrorID), F(S, ErrorSource), F(S, ErrorMsg));
#undef S

std::vector<Record> make_records() {
    std::vector<Record> r;
    r.push_back(kRspInfo);
#define S CThostFtdcReqAuthenticateField
    r.push_back(R(S, F(S, BrokerID), F(S, UserID), F(S, UserProductInfo), F(S, AuthCode), F(S, AppType), F(S, AppID)));
#undef S
#define S CThostFtdcRspAuthenticateField
    r.push_back(R(S, F(S, BrokerID), F(S, UserID), F(S, UserProductInfo), F(S, AppID), F(S, AppType)));
#undef S
#define S CThostFtdcReqUserLoginField
    r.push_back(R(S, F(S, TradingDay), F(S, BrokerID), F(S, UserID), F(S, UserProductInfo), F(S, Password),
                  F(S, MacAddress), F(S, ClientIPAddress)));
#undef S
#define S CThostFtdcRspUserLoginField
    r.push_back(R(S, F(S, TradingDay), F(S, LoginTime), F(S, BrokerID), F(S, UserID), F(S, SystemName),
                  F(S, FrontID), F(S, ExchangeTime), F(S, SessionID), F(S, MaxOrderRef), F(S, SHFETime)));
#undef S
#define S CThostFtdcSettlementInfoConfirmField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, ConfirmDate), F(S, ConfirmTime), F(S, SettlementID),
                  F(S, AccountID), F(S, CurrencyID)));
#undef S
#define S CThostFtdcQryOrderField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, InvestUnitID), F(S, OrderSysID),
                  F(S, InsertTimeStart), F(S, InsertTimeEnd), F(S, InstrumentID)));
#undef S
#define S CThostFtdcQryTradeField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, TradeID), F(S, TradeTimeStart),
                  F(S, TradeTimeEnd), F(S, InstrumentID)));
#undef S
#define S CThostFtdcQryInvestorPositionField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, InvestUnitID), F(S, InstrumentID)));
#undef S
#define S CThostFtdcQryTradingAccountField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, BizType), F(S, AccountID), F(S, CurrencyID)));
#undef S
#define S CThostFtdcQryInstrumentField
    r.push_back(R(S, F(S, ExchangeID), F(S, ExchangeInstID), F(S, ProductID), F(S, InstrumentID)));
#undef S
#define S CThostFtdcInputOrderField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, OrderRef), F(S, UserID), F(S, OrderPriceType),
                  F(S, Direction), F(S, CombOffsetFlag), F(S, CombHedgeFlag), F(S, LimitPrice),
                  F(S, VolumeTotalOriginal), F(S, TimeCondition), F(S, GTDDate), F(S, VolumeCondition),
                  F(S, MinVolume), F(S, ContingentCondition), F(S, StopPrice), F(S, ForceCloseReason),
                  F(S, IsAutoSuspend), F(S, BusinessUnit), F(S, RequestID), F(S, UserForceClose), F(S, IsSwapOrder),
                  F(S, ExchangeID), F(S, InvestUnitID), F(S, AccountID), F(S, CurrencyID), F(S, ClientID),
                  F(S, InstrumentID), F(S, MacAddress), F(S, IPAddress)));
#undef S
#define S CThostFtdcInputOrderActionField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, OrderActionRef), F(S, OrderRef), F(S, RequestID),
                  F(S, FrontID), F(S, SessionID), F(S, ExchangeID), F(S, OrderSysID), F(S, ActionFlag),
                  F(S, LimitPrice), F(S, VolumeChange), F(S, UserID), F(S, InvestUnitID), F(S, InstrumentID),
                  F(S, MacAddress), F(S, IPAddress)));
#undef S
#define S CThostFtdcOrderActionField
    r.push_back(R(S, F(S, BrokerID), F(S, InvestorID), F(S, OrderActionRef), F(S, OrderRef), F(S, RequestID),
                  F(S, FrontID), F(S, SessionID), F(S, ExchangeID), F(S, OrderSysID), F(S, ActionFlag),
                  F(S, LimitPrice), F(S, VolumeChange), F(S, ActionDate), F(S, ActionTime), F(S, OrderLocalID),
                  F(S, OrderActionStatus), F(S, UserID), F(S, StatusMsg), F(S, InstrumentID)));
#undef S
#define S CThostFtdcOrderField
    r.push_back(R(S, F(S, TradingDay), F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, InstrumentID),
                  F(S, OrderLocalID), F(S, OrderSysID), F(S, OrderRef), F(S, UserID), F(S, FrontID), F(S, RequestID),
                  F(S, SessionID), F(S, OrderPriceType), F(S, Direction), F(S, CombOffsetFlag), F(S, CombHedgeFlag),
                  F(S, TimeCondition), F(S, LimitPrice), F(S, VolumeTotalOriginal), F(S, MinVolume),
                  F(S, VolumeTraded), F(S, VolumeTotal), F(S, OrderSource), F(S, OrderStatus), F(S, OrderType),
                  F(S, OrderSubmitStatus), F(S, SequenceNo), F(S, StatusMsg), F(S, UpdateTime), F(S, InsertDate),
                  F(S, CancelTime), F(S, InsertTime), F(S, SettlementID)));
#undef S
#define S CThostFtdcTradeField
    r.push_back(R(S, F(S, TradingDay), F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, InstrumentID),
                  F(S, OrderLocalID), F(S, OrderSysID), F(S, UserID), F(S, OrderRef), F(S, TradingRole),
                  F(S, TradeID), F(S, TradeType), F(S, Direction), F(S, PriceSource), F(S, OffsetFlag),
                  F(S, ParticipantID), F(S, HedgeFlag), F(S, SequenceNo), F(S, Price), F(S, SettlementID),
                  F(S, Volume), F(S, ClientID), F(S, TradeDate), F(S, BusinessUnit), F(S, TradeTime),
                  F(S, BrokerOrderSeq)));
#undef S
#define S CThostFtdcInvestorPositionField
    r.push_back(R(S, F(S, TradingDay), F(S, BrokerID), F(S, InvestorID), F(S, ExchangeID), F(S, InvestUnitID),
                  F(S, InstrumentID), F(S, SettlementID), F(S, HedgeFlag), F(S, OpenVolume), F(S, PosiDirection),
                  F(S, CloseVolume), F(S, PositionDate), F(S, PositionCost), F(S, Position), F(S, YdStrikeFrozen),
                  F(S, TodayPosition), F(S, CombPosition), F(S, YdPosition), F(S, OpenAmount), F(S, LongFrozen),
                  F(S, LongFrozenAmount), F(S, ShortFrozen), F(S, CloseProfit), F(S, PositionProfit),
                  F(S, PreMargin), F(S, UseMargin), F(S, Commission)));
#undef S
#define S CThostFtdcTradingAccountField
    r.push_back(R(S, F(S, BrokerID), F(S, AccountID), F(S, SettlementID), F(S, CurrencyID), F(S, BizType),
                  F(S, TradingDay), F(S, PreBalance), F(S, Balance), F(S, Available), F(S, FrozenCash),
                  F(S, CurrMargin), F(S, FrozenMargin), F(S, Commission), F(S, FrozenCommission), F(S, CashIn),
                  F(S, CloseProfit), F(S, PositionProfit), F(S, Deposit), F(S, Reserve), F(S, Withdraw),
                  F(S, WithdrawQuota)));
#undef S
#define S CThostFtdcInstrumentField
    r.push_back(R(S, F(S, ExchangeID), F(S, InstrumentName), F(S, InstrumentID), F(S, ProductID),
                  F(S, ProductClass), F(S, DeliveryYear), F(S, DeliveryMonth), F(S, IsTrading),
                  F(S, VolumeMultiple), F(S, PriceTick), F(S, MaxMarketOrderVolume), F(S, MinLimitOrderVolume),
                  F(S, MinMarketOrderVolume), F(S, MaxLimitOrderVolume), F(S, ExpireDate)));
#undef S
    return r;
}

#undef F
#undef R
#undef NAME_OF

// ---- encoding records from field values by name ----------------------------------------------------------------

struct RecordIndex {
    std::size_t size;
    std::unordered_map<std::string_view, Field> fields;
};

// Built once at import and never destroyed.
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

const char *shape_name(ctpsim::Shape s) {
    switch (s) {
    case ctpsim::Shape::Plain: return "plain";
    case ctpsim::Shape::Reason: return "reason";
    case ctpsim::Shape::Response: return "response";
    case ctpsim::Shape::Error: return "error";
    case ctpsim::Shape::Return: return "return";
    case ctpsim::Shape::ErrorReturn: return "error_return";
    }
    return "";
}

// ---- the front -----------------------------------------------------------------------------------------------

// A new reference to the Python object of a connection; null with an error set on failure.
PyObject *connection_object(const std::shared_ptr<ctpsim::Connection> &c) {
    try {
        return nb::cast(c).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Calls the Python request callable. Runs on whatever thread made the request, with no library lock held.
class PyHook final : public ctpsim::RequestHook {
public:
    explicit PyHook(nb::object callable) : callable_(callable.release().ptr()) {}

    ~PyHook() override {
        if (!callable_ || !Py_IsInitialized() || _Py_IsFinalizing()) return;  // leaked at interpreter exit
        PyGILState_STATE st = PyGILState_Ensure();
        Py_DECREF(callable_);
        PyGILState_Release(st);
    }

    // Plain C API from taking the interpreter lock on: at interpreter exit a daemon thread may be ended anywhere in
    // the Python call by unwinding its stack, and nothing on the way out may need the lock.
    int on_request(const ctpsim::RequestView &r) override {
        if (!Py_IsInitialized() || _Py_IsFinalizing()) return -1;
        PyGILState_STATE st = PyGILState_Ensure();
        PyObject *connection = connection_object(r.connection);
        PyObject *out = nullptr;
        if (connection) {
            PyObject *args[] = {connection, PyUnicode_FromString(r.method), PyLong_FromLong(r.request_id),
                                PyBytes_FromStringAndSize(static_cast<const char *>(r.record),
                                                          static_cast<Py_ssize_t>(r.size))};
            if (args[1] && args[2] && args[3]) out = PyObject_Vectorcall(callable_, args, 4, nullptr);
            for (PyObject *arg : args) Py_XDECREF(arg);
        }
        int result = -1;
        if (out) {
            int overflow = 0;
            const long v = PyLong_Check(out) ? PyLong_AsLongAndOverflow(out, &overflow) : 0;
            if (!PyLong_Check(out))
                PyErr_Format(PyExc_TypeError, "the request hook must return an int, got %s", Py_TYPE(out)->tp_name);
            else if (overflow || v < INT32_MIN || v > INT32_MAX)
                PyErr_SetString(PyExc_ValueError, "the request hook's result does not fit in a C int");
            else
                result = static_cast<int>(v);
            Py_DECREF(out);
        }
        if (PyErr_Occurred()) {
            result = -1;
            PyErr_WriteUnraisable(callable_);
        }
        PyGILState_Release(st);
        return result;
    }

private:
    PyObject *callable_;
};

class FrontCore {
public:
    explicit FrontCore(const std::string &address) : front_(ctpsim::Front::open(address)) {}
    ~FrontCore() { close(); }

    void close() {
        std::shared_ptr<ctpsim::RequestHook> hook = front_->close();
        hook.reset();  // the interpreter lock is held here
    }

    void set_hook(nb::object callable) {
        std::shared_ptr<ctpsim::RequestHook> hook;
        if (!callable.is_none()) hook = std::make_shared<PyHook>(callable);
        std::shared_ptr<ctpsim::RequestHook> old = front_->set_hook(std::move(hook));
        old.reset();
    }

    bool send(const std::shared_ptr<ctpsim::Connection> &conn, const std::string &callback, nb::object data,
              nb::object error, int request_id, bool last, int reason, long count) {
        ctpsim::Delivery d;
        d.callback = ctpsim::find_callback(callback);
        if (!d.callback) throw nb::value_error(("unknown callback: " + callback).c_str());
        if (!data.is_none()) {
            d.has_data = true;
            d.data = std::string(nb::cast<nb::bytes>(data).c_str(), nb::len(data));
        }
        if (!error.is_none()) {
            d.has_error = true;
            d.error = std::string(nb::cast<nb::bytes>(error).c_str(), nb::len(error));
        }
        d.request_id = request_id;
        d.last = last;
        d.reason = reason;
        d.count = count;
        return front_->send(conn, std::move(d));
    }

    std::shared_ptr<ctpsim::Front> front_;
};

// ---- waits ------------------------------------------------------------------------------------------------------

// flush(core, timeout) and wait_connection(core, timeout) wait with the interpreter lock released. They are plain
// CPython functions, with no C++ handler above the point where they take the lock back: a daemon thread that does
// so while the interpreter shuts down is ended by unwinding its stack, which a catch-all handler or a destructor
// that takes the lock would turn into a process abort.
template <class Result, Result (*wait)(ctpsim::Front &, double), PyObject *(*convert)(const Result &)>
PyObject *waiting(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "expected (front core, timeout)");
        return nullptr;
    }
    std::shared_ptr<ctpsim::Front> front;
    try {
        front = nb::cast<FrontCore &>(nb::handle(args[0])).front_;
    } catch (const std::exception &) {
        PyErr_Format(PyExc_TypeError, "expected a FrontCore, got %s", Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    const double timeout = PyFloat_AsDouble(args[1]);
    if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    Result result;
    Py_BEGIN_ALLOW_THREADS
    result = wait(*front, timeout);
    Py_END_ALLOW_THREADS
    return convert(result);
}

bool flush_front(ctpsim::Front &f, double timeout) { return f.flush(timeout); }
std::shared_ptr<ctpsim::Connection> wait_front(ctpsim::Front &f, double timeout) { return f.wait_connection(timeout); }
PyObject *bool_object(const bool &b) { return PyBool_FromLong(b); }

PyMethodDef kWaits[] = {
    {"flush", reinterpret_cast<PyCFunction>(
                  reinterpret_cast<void (*)()>(waiting<bool, flush_front, bool_object>)),
     METH_FASTCALL, "flush(core, timeout): True when every delivery queued so far returned within timeout"},
    {"wait_connection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         waiting<std::shared_ptr<ctpsim::Connection>, wait_front, connection_object>)),
     METH_FASTCALL, "wait_connection(core, timeout): the oldest connected API, or None"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- a native client of the API, for tests ---------------------------------------------------------------------

struct Event {
    std::string name;
    bool has_data = false;
    std::string data;
    bool has_error = false;
    std::string error;
    int request_id = 0;
    bool last = false;
    int reason = 0;
};

// Records every callback as plain bytes, without touching Python; optionally lingers in each callback, and
// optionally shuts its API down from inside the callback named `release_in`.
class RecordingSpi final : public CThostFtdcTraderSpi {
public:
    double linger = 0;
    std::string release_in;
    std::atomic<CThostFtdcTraderApi *> *api = nullptr;
    std::mutex mu;
    std::vector<Event> events;
    std::atomic<bool> released{false};
    std::atomic<int> late{0};     // callbacks that started after release returned
    std::atomic<int> running{0};  // callbacks running now

    void record(const char *name, const void *data, std::size_t size, const CThostFtdcRspInfoField *info, int id,
                bool last, int reason = 0) {
        ++running;
        if (released) ++late;
        Event e;
        e.name = name;
        if (data) e.has_data = true, e.data.assign(static_cast<const char *>(data), size);
        if (info) e.has_error = true, e.error.assign(reinterpret_cast<const char *>(info), sizeof *info);
        e.request_id = id;
        e.last = last;
        e.reason = reason;
        {
            std::lock_guard lk(mu);
            events.push_back(std::move(e));
        }
        if (linger > 0) std::this_thread::sleep_for(std::chrono::duration<double>(linger));
        if (!release_in.empty() && release_in == name) {
            if (CThostFtdcTraderApi *a = api->exchange(nullptr)) {
                a->RegisterSpi(nullptr);
                a->Release();
                released = true;
            }
        }
        --running;
    }

#define RSP(cb, T) \
    void cb(T *p, CThostFtdcRspInfoField *e, int id, bool last) override { record(#cb, p, sizeof(T), e, id, last); }
    void OnFrontConnected() override { record("OnFrontConnected", nullptr, 0, nullptr, 0, false); }
    void OnFrontDisconnected(int reason) override {
        record("OnFrontDisconnected", nullptr, 0, nullptr, 0, false, reason);
    }
    void OnHeartBeatWarning(int lapse) override { record("OnHeartBeatWarning", nullptr, 0, nullptr, 0, false, lapse); }
    RSP(OnRspAuthenticate, CThostFtdcRspAuthenticateField)
    RSP(OnRspUserLogin, CThostFtdcRspUserLoginField)
    RSP(OnRspOrderInsert, CThostFtdcInputOrderField)
    RSP(OnRspOrderAction, CThostFtdcInputOrderActionField)
    RSP(OnRspSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField)
    RSP(OnRspQryOrder, CThostFtdcOrderField)
    RSP(OnRspQryTrade, CThostFtdcTradeField)
    RSP(OnRspQryInvestorPosition, CThostFtdcInvestorPositionField)
    RSP(OnRspQryTradingAccount, CThostFtdcTradingAccountField)
    RSP(OnRspQryInstrument, CThostFtdcInstrumentField)
#undef RSP
    void OnRspError(CThostFtdcRspInfoField *e, int id, bool last) override {
        record("OnRspError", nullptr, 0, e, id, last);
    }
    void OnRtnOrder(CThostFtdcOrderField *p) override { record("OnRtnOrder", p, sizeof *p, nullptr, 0, true); }
    void OnRtnTrade(CThostFtdcTradeField *p) override { record("OnRtnTrade", p, sizeof *p, nullptr, 0, true); }
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *p, CThostFtdcRspInfoField *e) override {
        record("OnErrRtnOrderInsert", p, sizeof *p, e, 0, true);
    }
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *p, CThostFtdcRspInfoField *e) override {
        record("OnErrRtnOrderAction", p, sizeof *p, e, 0, true);
    }
};

template <class T>
int call(CThostFtdcTraderApi *api, int (CThostFtdcTraderApi::*op)(T *, int), const std::string &record, int id) {
    if (record.size() != sizeof(T)) throw std::invalid_argument("record has the wrong size");
    T copy;
    std::memcpy(&copy, record.data(), sizeof copy);
    return (api->*op)(&copy, id);
}

class Client {
public:
    Client(nb::bytes flow_path, const std::string &front, double linger, const std::string &release_in) {
        spi_.linger = linger;
        spi_.release_in = release_in;
        spi_.api = &api_;
        CThostFtdcTraderApi *a = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_path.c_str(), true);
        if (!a) throw std::runtime_error("CreateFtdcTraderApi returned null");
        api_ = a;
        a->RegisterSpi(&spi_);
        a->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
        a->SubscribePublicTopic(THOST_TERT_QUICK);
        std::string address = front;
        a->RegisterFront(address.data());
        a->Init();
    }

    ~Client() {
        release();
        // A callback that released the API from inside may still be returning on the API's thread.
        while (spi_.running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    CThostFtdcTraderApi *api() {
        CThostFtdcTraderApi *a = api_;
        if (!a) throw std::runtime_error("released");
        return a;
    }

    // Throws std::invalid_argument for an unknown method or a record of the wrong size.
    int request(const std::string &method, const std::string &r, int id) {
        CThostFtdcTraderApi *a = api();
        using A = CThostFtdcTraderApi;
        if (method == "Authenticate") return call(a, &A::ReqAuthenticate, r, id);
        if (method == "UserLogin") return call(a, &A::ReqUserLogin, r, id);
        if (method == "SettlementInfoConfirm") return call(a, &A::ReqSettlementInfoConfirm, r, id);
        if (method == "QryOrder") return call(a, &A::ReqQryOrder, r, id);
        if (method == "QryTrade") return call(a, &A::ReqQryTrade, r, id);
        if (method == "QryInvestorPosition") return call(a, &A::ReqQryInvestorPosition, r, id);
        if (method == "QryTradingAccount") return call(a, &A::ReqQryTradingAccount, r, id);
        if (method == "QryInstrument") return call(a, &A::ReqQryInstrument, r, id);
        if (method == "OrderInsert") return call(a, &A::ReqOrderInsert, r, id);
        if (method == "OrderAction") return call(a, &A::ReqOrderAction, r, id);
        throw std::invalid_argument("unknown request");
    }

    nb::list events() {
        std::vector<Event> taken;
        {
            std::lock_guard lk(spi_.mu);
            taken.swap(spi_.events);
        }
        nb::list out;
        for (const Event &e : taken) {
            nb::object data = e.has_data ? nb::object(nb::bytes(e.data.data(), e.data.size())) : nb::none();
            nb::object error = e.has_error ? nb::object(nb::bytes(e.error.data(), e.error.size())) : nb::none();
            out.append(nb::make_tuple(e.name, data, error, e.request_id, e.last, e.reason));
        }
        return out;
    }

    void register_spi(bool attached) {
        api()->RegisterSpi(attached ? &spi_ : nullptr);
    }

    // RegisterSpi(nullptr) and Release(), as a client shuts the API down.
    void release() {
        CThostFtdcTraderApi *a = api_.exchange(nullptr);
        if (!a) return;
        a->RegisterSpi(nullptr);
        a->Release();
        spi_.released = true;
    }

    std::string trading_day() { return api()->GetTradingDay(); }

    RecordingSpi spi_;
    std::atomic<CThostFtdcTraderApi *> api_{nullptr};
};

// Client.request(method, record, request_id) as a plain CPython method, like the waits: the front's handler runs
// inside the request, and a daemon thread may be ended there at interpreter exit.
PyObject *client_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Client *client = nullptr;
    std::string method, record;
    int id = 0;
    try {
        if (nargs != 3) throw std::invalid_argument("");
        client = &nb::cast<Client &>(nb::handle(self));
        method = nb::cast<std::string>(nb::handle(args[0]));
        nb::bytes raw = nb::cast<nb::bytes>(nb::handle(args[1]));
        record.assign(raw.c_str(), raw.size());
        id = nb::cast<int>(nb::handle(args[2]));
    } catch (const std::exception &) {
        PyErr_SetString(PyExc_TypeError, "request(method: str, record: bytes, request_id: int)");
        return nullptr;
    }
    int result;
    try {
        result = client->request(method, record, id);
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::runtime_error &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return PyLong_FromLong(result);
}

PyMethodDef kClientRequest = {
    "request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_request)), METH_FASTCALL,
    "request(method, record, request_id): the request call's result"};

}  // namespace

NB_MODULE(_front, m) {
    // No report of objects still alive at exit (see trading/module.cpp).
    nb::set_leak_warnings(false);
    nb::class_<ctpsim::Connection>(m, "Connection")
        .def_prop_ro("id", &ctpsim::Connection::id)
        .def_prop_ro("connected", &ctpsim::Connection::connected)
        .def_prop_ro("released", &ctpsim::Connection::released)
        .def_prop_ro("flow_path", [](const ctpsim::Connection &c) {
            return nb::bytes(c.flow_path().data(), c.flow_path().size());
        })
        .def("__repr__", [](const ctpsim::Connection &c) {
            return "<Connection " + std::to_string(c.id()) + (c.released() ? " released" : "") +
                   (c.connected() ? " connected" : "") + ">";
        });

    nb::class_<FrontCore>(m, "FrontCore")
        .def(nb::init<const std::string &>(), "address"_a)
        .def_prop_ro("address", [](const FrontCore &f) { return f.front_->address(); })
        .def_prop_rw(
            "accepting", [](const FrontCore &f) { return f.front_->accepting(); },
            [](FrontCore &f, bool v) { f.front_->set_accepting(v); })
        .def_prop_rw(
            "retry_interval", [](const FrontCore &f) { return f.front_->retry_interval(); },
            [](FrontCore &f, double v) { f.front_->set_retry_interval(v); })
        .def_prop_ro("closed", [](const FrontCore &f) { return f.front_->closed(); })
        .def("set_hook", &FrontCore::set_hook, "callable"_a.none())
        .def("connections", [](const FrontCore &f) { return f.front_->connections(); })
        .def("send", &FrontCore::send, "connection"_a, "callback"_a, "data"_a.none(), "error"_a.none(),
             "request_id"_a, "last"_a, "reason"_a, "count"_a)
        .def("disconnect",
             [](FrontCore &f, std::shared_ptr<ctpsim::Connection> c, int reason) { f.front_->disconnect(c, reason); },
             "connection"_a.none(), "reason"_a)
        .def("close", &FrontCore::close);

    nb::class_<Client>(m, "Client")
        .def(nb::init<nb::bytes, const std::string &, double, const std::string &>(), "flow_path"_a, "front"_a,
             "linger"_a = 0.0, "release_in"_a = "")
        .def_prop_ro("released", [](const Client &c) { return c.api_.load() == nullptr; })
        .def("events", &Client::events)
        .def("register_spi", &Client::register_spi, "attached"_a)
        .def("release", &Client::release)
        .def("trading_day", &Client::trading_day)
        .def_prop_ro("late_callbacks", [](const Client &c) { return c.spi_.late.load(); })
        .def_prop_ro("running_callbacks", [](const Client &c) { return c.spi_.running.load(); });

    {
        nb::handle client = nb::type<Client>();
        nb::object request = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(client.ptr()),
                                                          &kClientRequest));
        if (!request.is_valid()) throw nb::python_error();
        nb::setattr(client, "request", request);
    }
    for (PyMethodDef *def = kWaits; def->ml_name; ++def) {
        nb::object fn = nb::steal(PyCFunction_NewEx(def, nullptr, m.attr("__name__").ptr()));
        if (!fn.is_valid()) throw nb::python_error();
        m.attr(def->ml_name) = fn;
    }
    m.def("version", [] { return std::string(CThostFtdcTraderApi::GetApiVersion()); });
    m.def("encode", &encode, "record"_a, "data"_a);

    nb::dict records;
    for (const Record &r : make_records()) {
        nb::list fields;
        for (const Field &f : r.fields) fields.append(nb::make_tuple(f.name, f.offset, f.size, std::string(1, f.kind)));
        records[r.name] = nb::make_tuple(r.size, fields);
    }
    m.attr("RECORDS") = records;
    nb::dict callbacks;
    for (const auto &cb : ctpsim::callback_table())
        callbacks[cb.name] = nb::make_tuple(cb.record ? nb::object(nb::str(cb.record)) : nb::none(),
                                            shape_name(cb.shape));
    m.attr("CALLBACKS") = callbacks;
    nb::dict requests;
    for (const auto &rq : ctpsim::request_table()) requests[rq.method] = rq.record;
    m.attr("REQUESTS") = requests;
    m.attr("RSP_INFO") = "CThostFtdcRspInfoField";
}
