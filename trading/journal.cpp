// The journal's records: encoded on the loop from the session's own objects, in batches for the writer.
#include "journal.h"

#include "journal_writer.h"
#include "log.h"

#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <unistd.h>

namespace velkor::trading::journal {

namespace {

constexpr int VERSION = 1;
constexpr std::size_t PRE_DAY_LIMIT = 8u << 20;  // records kept in memory while the trading day is unknown
constexpr unsigned IDLE_LIMIT = 100;             // idle passes in one IDLE record at most

// Value tags: the first byte of every encoded value.
enum Tag : unsigned char {
    T_NONE, T_FALSE, T_TRUE, T_INT, T_BIGINT, T_FLOAT, T_STR, T_NAME, T_DICT, T_LIST, T_TUPLE, T_BYTES, T_SET,
    T_ABSENT, T_OTHER, T_OBJECT, T_EXCEPTION,
};
constexpr const char* TAG_NAMES[] = {"none", "false", "true", "int", "bigint", "float", "str", "name", "dict",
                                     "list", "tuple", "bytes", "set", "absent", "other", "object", "exception"};
constexpr const char* KIND_NAMES[] = {"", "header", "start", "continues", "run", "resume", "idle", "poll",
                                      "request", "open", "mono", "wall", "insert", "insert_result", "cancel",
                                      "cancel_result", "commit", "view", "close", "run_end", "incomplete", "end"};

// Texts written as a name reference (T_NAME + its index): event names, CTP field names, request names and
// the session's words. The header carries the table; appending keeps older files readable.
constexpr const char* NAMES[] = {
    "name", "data", "error", "request_id", "last", "reason", "ErrorID", "ErrorMsg",
    "FrontConnected", "FrontDisconnected", "RspError", "RspAuthenticate", "RspUserLogin",
    "RspSettlementInfoConfirm", "RspQryOrder", "RtnOrder", "RspQryTrade", "RtnTrade", "RspQryInvestorPosition",
    "RspQryTradingAccount", "RspQryInstrument", "RspOrderInsert", "ErrRtnOrderInsert", "RspOrderAction",
    "ErrRtnOrderAction",
    "BrokerID", "UserID", "InvestorID", "AppID", "AuthCode", "Password", "TradingDay", "FrontID", "SessionID",
    "MaxOrderRef", "ExchangeID", "InstrumentID", "OrderSysID", "OrderRef", "Direction", "CombOffsetFlag",
    "CombHedgeFlag", "LimitPrice", "VolumeTotalOriginal", "VolumeTraded", "VolumeTotal", "OrderStatus",
    "OrderSubmitStatus", "StatusMsg", "InsertDate", "InsertTime", "TradeID", "OffsetFlag", "HedgeFlag", "Price",
    "Volume", "TradeDate", "TradeTime", "PosiDirection", "PositionDate", "Position", "TodayPosition", "YdPosition",
    "LongFrozen", "ShortFrozen", "PositionProfit", "UseMargin", "AccountID", "CurrencyID", "Balance", "Available",
    "CurrMargin", "FrozenMargin", "Commission", "FrozenCommission", "CloseProfit", "Deposit", "Withdraw",
    "ProductClass", "IsTrading", "PriceTick", "MinLimitOrderVolume", "MaxLimitOrderVolume", "OrderPriceType",
    "TimeCondition", "VolumeCondition", "MinVolume", "ContingentCondition", "ForceCloseReason", "IsAutoSuspend",
    "ActionFlag", "CNY",
    "Authenticate", "UserLogin", "SettlementInfoConfirm", "QryOrder", "QryTrade", "QryInvestorPosition",
    "QryTradingAccount", "QryInstrument", "OrderInsert", "OrderAction",
    "SHFE", "INE", "DCE", "CZCE", "CFFEX", "GFEX", "BUY", "SELL", "OPEN", "CLOSE", "CLOSE_TODAY",
    "CLOSE_YESTERDAY", "SUBMITTED", "REJECTED", "UNKNOWN", "PENDING", "ALIVE", "FILLED", "CANCELLED",
    "status", "order_id", "message", "TradingResult", "account", "positions", "orders", "trades", "Account",
    "Order", "Position", "Trade", "__members__", "symbol", "trade_id", "config", "timeout", "segment", "wall",
    "mono", "file", "records", "bytes", "next", "broker_id", "user_id", "password", "front_url", "app_id",
    "auth_code", "velkor.ledgerlet.Account", "velkor.ledgerlet.Order", "velkor.ledgerlet.Position",
    "velkor.ledgerlet.Trade", "account_id", "available_long", "available_short", "balance", "cancel_error",
    "cancel_pending", "close_profit", "commission", "deposit", "direction", "frozen_commission", "frozen_margin",
    "insert_time", "limit_price", "margin", "offset", "order_sys_id", "pos_long", "pos_long_today", "pos_short",
    "pos_short_today", "position_profit", "price", "status_msg", "trade_time", "trading_day", "updated_at", "volume",
    "volume_left", "volume_original", "volume_traded", "withdraw", "available",
};

// Payload keys never written: the value becomes T_ABSENT.
bool secret(std::string_view key) {
    return key == "Password" || key == "AuthCode" || key == "OldPassword" || key == "NewPassword" ||
           key == "password" || key == "auth_code";
}

// Name lookups: by content once, then by the object for interned texts (interned texts are immortal in
// CPython 3.12, so their addresses stay valid).
class NameTable {
public:
    NameTable() {
        for (std::size_t i = 0; i < std::size(NAMES); ++i) by_text_.emplace(NAMES[i], (int)i);
    }
    int find(PyObject* s) {
        bool interned = PyUnicode_CHECK_INTERNED(s);
        std::size_t h = 0;
        if (interned) {
            h = (std::uintptr_t(s) >> 4) * 0x9E3779B97F4A7C15ull >> (64 - BITS);
            for (std::size_t i = 0; i < SLOTS; ++i) {
                Slot& slot = slots_[(h + i) & (SLOTS - 1)];
                if (slot.key == s) return slot.index;
                if (!slot.key) break;
            }
        }
        Py_ssize_t n;
        const char* text = PyUnicode_AsUTF8AndSize(s, &n);
        int index = -1;
        if (!text) {
            PyErr_Clear();
        } else {
            auto it = by_text_.find(std::string_view(text, (std::size_t)n));
            if (it != by_text_.end()) index = it->second;
        }
        if (interned && used_ < SLOTS / 2) {
            for (std::size_t i = 0;; ++i) {
                Slot& slot = slots_[(h + i) & (SLOTS - 1)];
                if (!slot.key) {
                    slot = {s, index};
                    ++used_;
                    break;
                }
            }
        }
        return index;
    }

private:
    static constexpr int BITS = 11;
    static constexpr std::size_t SLOTS = std::size_t(1) << BITS;
    struct Slot {
        PyObject* key = nullptr;
        int index = -1;
    };
    std::array<Slot, SLOTS> slots_{};
    std::size_t used_ = 0;
    std::unordered_map<std::string_view, int> by_text_;
};

NameTable& names() {
    static NameTable table;  // the loop's thread only: every caller holds the interpreter lock
    return table;
}

void put_bytes(std::string& out, const char* p, std::size_t n) {
    put_varint(out, n);
    out.append(p, n);
}

void put_text(std::string& out, std::string_view text) {
    out.push_back(T_STR);
    put_bytes(out, text.data(), text.size());
}

void put_str(std::string& out, PyObject* s) {
    int index = names().find(s);
    if (index >= 0) {
        out.push_back(T_NAME);
        put_varint(out, (std::uint64_t)index);
        return;
    }
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(s, &n);
    if (text) {
        out.push_back(T_STR);
        put_bytes(out, text, (std::size_t)n);
        return;
    }
    PyErr_Clear();  // lone surrogates
    PyObject* encoded = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
    if (!encoded) {
        PyErr_Clear();
        return put_text(out, "\xef\xbf\xbd");
    }
    out.push_back(T_STR);
    put_bytes(out, PyBytes_AS_STRING(encoded), (std::size_t)PyBytes_GET_SIZE(encoded));
    Py_DECREF(encoded);
}

// type(value).__qualname__, with its module unless builtin.
std::string type_name(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    PyObject* qualname = PyType_GetQualName(type);
    PyObject* module = PyObject_GetAttrString((PyObject*)type, "__module__");
    std::string result;
    if (module && PyUnicode_Check(module)) {
        const char* m = PyUnicode_AsUTF8(module);
        if (m && std::strcmp(m, "builtins") != 0) result = std::string(m) + ".";
    }
    const char* q = qualname ? PyUnicode_AsUTF8(qualname) : nullptr;
    result += q ? q : type->tp_name;
    Py_XDECREF(qualname);
    Py_XDECREF(module);
    PyErr_Clear();
    return result;
}

void put_value(std::string& out, PyObject* v, int depth = 0);

void put_other(std::string& out, PyObject* v) {
    out.push_back(T_OTHER);
    std::string type = type_name(v);
    put_bytes(out, type.data(), type.size());
    PyObject* r = PyObject_Repr(v);
    Py_ssize_t n = 0;
    const char* text = r ? PyUnicode_AsUTF8AndSize(r, &n) : nullptr;
    if (!text) {
        PyErr_Clear();
        text = "";
        n = 0;
    }
    put_bytes(out, text, (std::size_t)n);
    Py_XDECREF(r);
}

// A TradingResult: its type's name and its three fields.
void put_result(std::string& out, PyObject* v, int depth) {
    out.push_back(T_OBJECT);
    put_text(out, "TradingResult");
    out.push_back(T_DICT);
    put_varint(out, 3);
    for (const char* field : {"status", "order_id", "message"}) {
        put_str(out, name(field).ptr());
        PyObject* x = PyObject_GetAttrString(v, field);
        if (!x) {
            PyErr_Clear();
            out.push_back(T_NONE);
        } else {
            put_value(out, x, depth + 1);
            Py_DECREF(x);
        }
    }
}

void put_exception(std::string& out, PyObject* v, int depth) {
    out.push_back(T_EXCEPTION);
    std::string type = type_name(v);
    put_bytes(out, type.data(), type.size());
    PyObject* args = PyObject_GetAttrString(v, "args");
    if (!args || !PyTuple_Check(args)) {
        PyErr_Clear();
        out.push_back(T_TUPLE);
        put_varint(out, 0);
    } else {
        put_value(out, args, depth + 1);
    }
    Py_XDECREF(args);
}

void put_items(std::string& out, PyObject* const* items, Py_ssize_t n, int depth) {
    put_varint(out, (std::uint64_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) put_value(out, items[i], depth + 1);
}

PyObject* trading_result_type() {
    static PyObject* type = global("TradingResult").release().ptr();  // kept for the life of the process
    return type;
}

void put_value(std::string& out, PyObject* v, int depth) {
    if (depth > 32) return put_other(out, v);
    if (v == Py_None) return out.push_back(T_NONE);
    if (v == Py_False) return out.push_back(T_FALSE);
    if (v == Py_True) return out.push_back(T_TRUE);
    if (PyUnicode_Check(v)) return put_str(out, v);
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && !(x == -1 && PyErr_Occurred())) {
            out.push_back(T_INT);
            put_varint(out, (std::uint64_t(x) << 1) ^ std::uint64_t(x >> 63));
            return;
        }
        PyErr_Clear();
        PyObject* text = PyObject_Str(v);
        Py_ssize_t n = 0;
        const char* t = text ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
        if (!t) {
            PyErr_Clear();
            Py_XDECREF(text);
            return put_other(out, v);
        }
        out.push_back(T_BIGINT);
        put_bytes(out, t, (std::size_t)n);
        Py_DECREF(text);
        return;
    }
    if (PyFloat_Check(v)) {
        out.push_back(T_FLOAT);
        double d = PyFloat_AS_DOUBLE(v);
        char bytes[8];
        std::memcpy(bytes, &d, 8);
        out.append(bytes, 8);
        return;
    }
    if (PyDict_Check(v)) {
        out.push_back(T_DICT);
        put_varint(out, (std::uint64_t)PyDict_GET_SIZE(v));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &pos, &key, &value)) {
            put_value(out, key, depth + 1);
            put_value(out, value, depth + 1);
        }
        return;
    }
    if (PyList_Check(v)) {
        out.push_back(T_LIST);
        return put_items(out, PySequence_Fast_ITEMS(v), PyList_GET_SIZE(v), depth);
    }
    if (PyTuple_Check(v)) {
        out.push_back(T_TUPLE);
        return put_items(out, PySequence_Fast_ITEMS(v), PyTuple_GET_SIZE(v), depth);
    }
    if (PyBytes_Check(v)) {
        out.push_back(T_BYTES);
        return put_bytes(out, PyBytes_AS_STRING(v), (std::size_t)PyBytes_GET_SIZE(v));
    }
    if (PyAnySet_Check(v)) {
        // Sorted by text, so that equal sets encode alike whatever their hash order.
        PyObject* sorted = PySequence_List(v);
        if (!sorted || PyList_Sort(sorted) != 0) {
            PyErr_Clear();
            Py_XDECREF(sorted);
            return put_other(out, v);
        }
        out.push_back(T_SET);
        put_items(out, PySequence_Fast_ITEMS(sorted), PyList_GET_SIZE(sorted), depth);
        Py_DECREF(sorted);
        return;
    }
    if ((PyObject*)Py_TYPE(v) == trading_result_type()) return put_result(out, v, depth);
    if (PyExceptionInstance_Check(v)) return put_exception(out, v, depth);
    put_other(out, v);
}

// A dict with its secret keys' values written as absent.
void put_payload(std::string& out, PyObject* payload) {
    if (!PyDict_Check(payload)) return put_value(out, payload);
    out.push_back(T_DICT);
    put_varint(out, (std::uint64_t)PyDict_GET_SIZE(payload));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(payload, &pos, &key, &value)) {
        put_value(out, key);
        const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!k) PyErr_Clear();
        if (k && secret(k))
            out.push_back(T_ABSENT);
        else
            put_value(out, value, 1);
    }
}

// A clock reading: an even varint 2*zigzag(ns - base) when float(ns) / 1e9 gives the value back
// exactly (what time.monotonic() returns always does), else 1 and the eight bytes of the double, else
// 3 and the value (an int from a substituted clock, for instance).
void put_clock(std::string& out, PyObject* value, long long& base) {
    if (PyFloat_CheckExact(value)) {
        double d = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(d) && std::fabs(d) < 9e6) {  // ns within 2**53
            long long ns = std::llround(d * 1e9);
            if ((double)ns / 1e9 == d) {
                long long delta = ns - base;
                put_varint(out, ((std::uint64_t(delta) << 1) ^ std::uint64_t(delta >> 63)) << 1);
                base = ns;
                return;
            }
        }
        put_varint(out, 1);
        char bytes[8];
        std::memcpy(bytes, &d, 8);
        out.append(bytes, 8);
        return;
    }
    put_varint(out, 3);
    put_value(out, value);
}

std::string json_text(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back((char)c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.push_back((char)c);
        }
    }
    return out + "\"";
}

std::string text_of(nb::handle value) {
    if (!value.is_valid() || value.is_none()) return "";
    nb::str s = nb::str(value);
    Py_ssize_t n;
    const char* t = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!t) throw nb::python_error();
    return std::string(t, (std::size_t)n);
}

// A file name part: letters, digits, "_" and "." kept, anything else as %XX.
std::string file_part(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.') {
            out.push_back((char)c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out.empty() ? "_" : out;
}

// The calendar date in exchange time (UTC+8), for a file whose trading day no login reported.
std::string exchange_date() {
    std::time_t now = std::time(nullptr) + 8 * 3600;
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

std::string new_segment_id() {
    std::random_device device;
    std::uint64_t x = (std::uint64_t(device()) << 32) ^ device() ^ (std::uint64_t)::getpid();
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)x);
    return buf;
}

}  // namespace

struct Journal::State {
    std::string folder, stem, segment, header;
    Writer writer;
    std::string batch;                // records since the last handoff
    std::uint64_t batch_records = 0, total_records = 0;
    std::string pre;                  // records before the trading day is known
    std::uint64_t pre_records = 0;
    std::string day, file;
    // Idle passes (resumed, polled nothing, read the clock once) are kept as one IDLE record.
    enum Pass { NONE, RESUMED, POLLED, CANDIDATE } pass = NONE;
    nb::object candidate;             // the clock reading of the pass that may be idle
    std::string idle;                 // the IDLE entries so far
    unsigned idle_count = 0;
    long long idle_base = 0;
    std::chrono::steady_clock::time_point idle_since;
    long long mono_base = 0;          // MONO records are absolute: base 0
    std::string scratch;

    State(std::string f, std::string s) : folder(std::move(f)), stem(std::move(s)), writer(folder) {}

    void frame(Kind kind, std::string_view body) {
        put_frame(batch, kind, body);
        ++batch_records;
        ++total_records;
    }

    void flush_idle() {
        if (!idle_count) return;
        std::string body;
        put_varint(body, idle_count);
        body += idle;
        idle.clear();
        idle_count = 0;
        idle_base = 0;
        frame(IDLE, body);
    }

    // The pass so far was not idle after all: its records as they came.
    void materialize() {
        flush_idle();
        if (pass >= RESUMED) frame(RESUME, {});
        if (pass >= POLLED) {
            std::string body;
            body.push_back(T_LIST);
            put_varint(body, 0);
            frame(POLL, body);
        }
        if (pass == CANDIDATE) {
            std::string body;
            long long base = 0;
            put_clock(body, candidate.ptr(), base);
            frame(MONO, body);
        }
        pass = NONE;
        candidate = nb::object();
    }

    // The end of a pass: an idle one joins the IDLE record.
    void end_pass() {
        if (pass == CANDIDATE) {
            if (!idle_count) idle_since = std::chrono::steady_clock::now();
            put_clock(idle, candidate.ptr(), idle_base);
            ++idle_count;
            pass = NONE;
            candidate = nb::object();
            if (idle_count >= IDLE_LIMIT) flush_idle();
        } else if (pass != NONE) {
            materialize();
        }
    }

    void flush_idle_if_old() {
        if (idle_count && std::chrono::steady_clock::now() - idle_since >= std::chrono::seconds(1)) flush_idle();
    }

    // The last records: END, and a file for them even when no login ever reported the day.
    void finish_records() {
        if (finished) return;
        finished = true;
        end_pass();
        materialize();
        record(END, std::string(1, char(T_NONE)));
        if (day.empty()) set_day(exchange_date());
        hand_over();
    }
    bool finished = false;

    void record(Kind kind, std::string_view body) {
        materialize();
        frame(kind, body);
    }

    std::string file_for(const std::string& d) const { return stem + "-" + file_part(d) + ".vkj"; }

    std::string header_for(const std::string& name) const {
        std::string h = header;
        h.insert(h.size() - 1, ",\"file\":" + json_text(name));
        std::string framed;
        put_frame(framed, HEADER, h);
        return framed;
    }

    // The trading day of the records from here on: the first opens its file with everything kept so far;
    // another ends this file and continues in the new one.
    void set_day(const std::string& d) {
        if (d == day) return;
        if (day.empty()) {
            day = d;
            file = file_for(d);
            writer.open(file, header_for(file));
            pre += batch;
            pre_records += batch_records;
            batch.clear();
            batch_records = 0;
            writer.data(std::move(pre), pre_records);
            pre.clear();
            pre_records = 0;
            return;
        }
        std::string next = file_for(d);
        std::string end;
        end.push_back(T_DICT);
        put_varint(end, 1);
        put_str(end, name("next").ptr());
        put_text(end, next);
        record(END, end);
        writer.data(std::move(batch), batch_records);
        batch.clear();
        batch_records = 0;
        std::string previous = file;
        day = d;
        file = next;
        writer.open(file, header_for(file));
        std::string body;
        body.push_back(T_DICT);
        put_varint(body, 3);
        put_str(body, name("file").ptr());
        put_text(body, previous);
        put_str(body, name("segment").ptr());
        put_text(body, segment);
        put_str(body, name("records").ptr());
        body.push_back(T_INT);
        put_varint(body, (total_records - 1) << 1);
        frame(CONTINUES, body);
    }

    void hand_over() {
        if (batch.empty()) return;
        if (day.empty()) {
            pre += batch;
            pre_records += batch_records;
            batch.clear();
            batch_records = 0;
            if (pre.size() > PRE_DAY_LIMIT) set_day(exchange_date());
            return;
        }
        writer.data(std::move(batch), batch_records);
        batch.clear();
        batch_records = 0;
    }
};

namespace {

// The trading day a successful login reports in this poll's records; empty when none does.
std::string login_day(nb::handle records) {
    if (!PyList_Check(records.ptr())) return {};
    for (nb::handle record : records) {
        if (!PyDict_Check(record.ptr())) continue;
        PyObject* event = PyDict_GetItemWithError(record.ptr(), name("name").ptr());
        if (!event || !PyUnicode_Check(event) || !equals(event, "RspUserLogin")) continue;
        PyObject* error = PyDict_GetItemWithError(record.ptr(), name("error").ptr());
        if (error && PyDict_Check(error)) {
            PyObject* code = PyDict_GetItemWithError(error, name("ErrorID").ptr());
            if (code && PyLong_Check(code) && PyLong_AsLong(code) != 0) continue;
        }
        PyObject* data = PyDict_GetItemWithError(record.ptr(), name("data").ptr());
        if (!data || !PyDict_Check(data)) continue;
        PyObject* day = PyDict_GetItemWithError(data, name("TradingDay").ptr());
        if (!day || !PyUnicode_Check(day) || PyUnicode_GET_LENGTH(day) == 0) continue;
        const char* text = PyUnicode_AsUTF8(day);
        if (text) return text;
    }
    PyErr_Clear();
    return {};
}

// The configuration without its secrets, for the START record.
void put_config(std::string& out, nb::handle config) {
    if (config.is_none()) return out.push_back(T_NONE);
    nb::object fields = nb::getattr(config, "__dataclass_fields__", nb::none());
    if (!PyDict_Check(fields.ptr())) return put_other(out, config.ptr());
    out.push_back(T_DICT);
    put_varint(out, (std::uint64_t)PyDict_GET_SIZE(fields.ptr()));
    for (nb::handle key : fields) {
        put_value(out, key.ptr());
        const char* k = PyUnicode_AsUTF8(key.ptr());
        if (!k) throw nb::python_error();
        if (secret(k))
            out.push_back(T_ABSENT);
        else
            put_value(out, nb::getattr(config, key).ptr(), 1);
    }
}

// The header: what a reader needs without this build: the format, the writer, the names and tags.
std::string header_json(const std::string& segment, nb::handle config) {
    std::string h = "{\"format\":\"velkor-journal\",\"version\":" + std::to_string(VERSION);
    h += ",\"writer\":{\"module\":\"velkor.trading\",\"pid\":" + std::to_string(::getpid());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    h += ",\"host\":" + json_text(host) + "}";
    h += ",\"segment\":" + json_text(segment);
    h += ",\"account\":{\"broker_id\":" + json_text(text_of(nb::getattr(config, "broker_id", nb::none()))) +
         ",\"user_id\":" + json_text(text_of(nb::getattr(config, "user_id", nb::none()))) + "}";
    h += ",\"kinds\":[";
    for (std::size_t i = 0; i < std::size(KIND_NAMES); ++i) h += (i ? "," : "") + json_text(KIND_NAMES[i]);
    h += "],\"tags\":[";
    for (std::size_t i = 0; i < std::size(TAG_NAMES); ++i) h += (i ? "," : "") + json_text(TAG_NAMES[i]);
    h += "],\"names\":[";
    for (std::size_t i = 0; i < std::size(NAMES); ++i) h += (i ? "," : "") + json_text(NAMES[i]);
    h += "],\"crc\":\"crc32\",\"clock\":\"varint 2*zigzag(ns-base) | 1 + f64 | 3 + value\"}";
    return h;
}

}  // namespace

Journal::Journal(std::string folder, nb::handle config, nb::handle timeout, nb::handle limits) {
    std::string stem = file_part(text_of(nb::getattr(config, "broker_id", nb::none()))) + "-" +
                       file_part(text_of(nb::getattr(config, "user_id", nb::none())));
    s_ = std::make_unique<State>(std::move(folder), std::move(stem));
    s_->segment = new_segment_id();
    s_->header = header_json(s_->segment, config);
    // START: the configuration (no secrets), the time-out, the pre-trade limits, and a wall and
    // monotonic reading of the module's clock that time the records for a reader (not readings the
    // session uses).
    std::string body;
    body.push_back(T_DICT);
    put_varint(body, 6);
    put_str(body, name("config").ptr());
    put_config(body, config);
    put_str(body, name("timeout").ptr());
    put_value(body, timeout.ptr());
    put_str(body, name("limits").ptr());
    put_value(body, limits.ptr());
    put_str(body, name("segment").ptr());
    put_text(body, s_->segment);
    nb::object clock = global("time");
    put_str(body, name("wall").ptr());
    put_value(body, clock.attr("time")().ptr());
    put_str(body, name("mono").ptr());
    put_value(body, clock.attr("monotonic")().ptr());
    s_->record(START, body);
}

// Touches no Python object: finish_records() has run (close(), or JournalDelete).
Journal::~Journal() { s_->writer.finish(); }

namespace {

// The journals not yet deleted, for the flush at interpreter exit. Under the interpreter lock.
std::vector<Journal*>& live() {
    static std::vector<Journal*> journals;
    return journals;
}

void flush_live() {
    for (Journal* j : std::vector<Journal*>(live())) j->flush_at_exit();
}

}  // namespace

void Journal::flush_at_exit() {
    if (s_->finished) return;
    s_->finished = true;
    s_->end_pass();
    s_->materialize();
    if (s_->day.empty()) s_->set_day(exchange_date());
    s_->hand_over();
    // With the interpreter lock held: the writer never takes it, and no other thread can delete this
    // journal meanwhile.
    s_->writer.finish();
}

void JournalDelete::operator()(Journal* j) const noexcept {
    if (!j) return;
    std::erase(live(), j);
    try {
        j->s_->finish_records();
    } catch (...) {
        PyErr_Clear();
    }
    j->s_->candidate = nb::object();  // the last Python object it holds, released while the lock is held
    // The writer's last sync may take a while: the interpreter lock goes meanwhile.
    Py_BEGIN_ALLOW_THREADS
    delete j;
    Py_END_ALLOW_THREADS
}

void Journal::run() { s_->record(RUN, {}); }

void Journal::resume() {
    s_->end_pass();
    s_->flush_idle_if_old();
    s_->pass = State::RESUMED;
}

void Journal::open(nb::handle error) {
    std::string& b = s_->scratch;
    b.clear();
    put_value(b, error.is_valid() ? error.ptr() : Py_None);
    s_->record(OPEN, b);
}

void Journal::poll(nb::handle records, nb::handle error) {
    if (!error.is_valid()) {
        std::string day = login_day(records);
        if (!day.empty()) {
            s_->materialize();
            s_->set_day(day);
        }
        if (s_->pass == State::RESUMED && PyList_CheckExact(records.ptr()) && PyList_GET_SIZE(records.ptr()) == 0) {
            s_->pass = State::POLLED;
            return;
        }
    }
    std::string& b = s_->scratch;
    b.clear();
    put_value(b, error.is_valid() ? error.ptr() : records.ptr());
    s_->record(POLL, b);
}

void Journal::request(nb::handle method, nb::handle payload, nb::handle request_id, nb::handle result,
                      nb::handle error) {
    std::string& b = s_->scratch;
    b.clear();
    put_value(b, method.ptr());
    put_value(b, request_id.ptr());
    put_payload(b, payload.ptr());
    put_value(b, error.is_valid() ? error.ptr() : result.ptr());
    s_->record(REQUEST, b);
}

void Journal::monotonic(nb::handle value) {
    if (s_->pass == State::POLLED) {
        s_->pass = State::CANDIDATE;
        s_->candidate = nb::borrow(value);
        return;
    }
    std::string& b = s_->scratch;
    b.clear();
    long long base = 0;
    put_clock(b, value.ptr(), base);
    s_->record(MONO, b);
}

void Journal::monotonic(double value) { monotonic(nb::float_(value)); }

void Journal::wall(nb::handle value) {
    std::string& b = s_->scratch;
    b.clear();
    put_value(b, value.ptr());
    s_->record(WALL, b);
}

void Journal::call(Kind kind, nb::handle args) {
    s_->end_pass();
    std::string& b = s_->scratch;
    b.clear();
    if (args.is_valid()) put_value(b, args.ptr());
    s_->record(kind, b);
}

void Journal::result(Kind kind, nb::handle value) { call(kind, value); }

void Journal::run_end(nb::handle error) {
    std::string& b = s_->scratch;
    b.clear();
    put_value(b, error.ptr());
    s_->record(RUN_END, b);
}

void Journal::handoff(nb::handle self) {
    s_->end_pass();
    s_->flush_idle_if_old();
    s_->hand_over();
    std::string message;
    if (s_->writer.take_failure(message))
        log::write(self, log::SESSION, log::ERROR,
                   "journal: %s; the journal misses the records from here until it can write again "
                   "(the file says where); trading goes on",
                   {nb::str(message.c_str())});
    if (s_->writer.take_recovery(message))
        log::write(self, log::SESSION, log::WARNING, "journal: %s; the records in between are missing",
                   {nb::str(message.c_str())});
}

void Journal::close(nb::handle self) {
    s_->finish_records();
    Py_BEGIN_ALLOW_THREADS
    s_->writer.finish();
    Py_END_ALLOW_THREADS
    std::string message;
    if (s_->writer.take_failure(message))
        log::write(self, log::SESSION, log::ERROR, "journal: %s; the journal is incomplete", {nb::str(message.c_str())});
}

unsigned long long Journal::records() const { return s_->total_records; }

std::unique_ptr<Journal, JournalDelete> create(nb::handle folder, nb::handle config, nb::handle timeout,
                                               nb::handle limits) {
    if (folder.is_none() || config.is_none()) return nullptr;
    nb::object path = nb::module_::import_("os").attr("fspath")(folder);
    if (!PyUnicode_Check(path.ptr())) path = nb::module_::import_("os").attr("fsdecode")(path);
    std::unique_ptr<Journal, JournalDelete> journal(new Journal(text_of(path), config, timeout, limits));
    // A process that ends without close() still gets what is in memory into its files.
    static bool hooked = false;
    if (!hooked) {
        nb::module_::import_("atexit").attr("register")(nb::cpp_function(flush_live));
        hooked = true;
    }
    live().push_back(journal.get());
    return journal;
}

nb::object describe_commit(nb::handle self, nb::handle result, nb::handle changes) {
    // [result, [[kind, key, {name: value} or {names}], ...]]: kind is the container's attribute name or the
    // snapshot's type name, key its symbol, order id or trade id.
    nb::list entries;
    if (PyDict_Check(changes.ptr())) {
        nb::object objects = get(self, "objects");
        nb::handle containers[] = {name("account"), name("positions"), name("orders"), name("trades")};
        for (auto [key, names_changed] : nb::borrow<nb::dict>(changes)) {
            PyObject* obj = PyObject_GetItem(objects.ptr(), key.ptr());
            if (!obj) {
                PyErr_Clear();
                continue;
            }
            nb::object o = nb::steal(obj);
            nb::object kind, id = nb::none(), detail;
            for (nb::handle c : containers)
                if (get(self, c).ptr() == o.ptr()) kind = nb::borrow(c);
            nb::object values = nb::getattr(o, "_values", nb::none());
            if (!kind.is_valid()) {
                kind = nb::str(type_name(o.ptr()).c_str());
                for (const char* field : {"symbol", "order_id", "trade_id"}) {
                    if (PyDict_Check(values.ptr()) && PyDict_GetItemString(values.ptr(), field)) {
                        id = values[field];
                        break;
                    }
                }
            }
            if (PyDict_Check(values.ptr())) {
                nb::dict d;
                nb::list sorted = nb::borrow<nb::list>(checked(PySequence_List(names_changed.ptr())));
                if (PyList_Sort(sorted.ptr()) != 0) throw nb::python_error();
                for (nb::handle n : sorted) d[n] = nb::borrow<nb::dict>(values).get(n, nb::none());
                detail = d;
            } else {
                detail = nb::steal(PyFrozenSet_New(names_changed.ptr()));
                if (!detail.is_valid()) throw nb::python_error();
            }
            entries.append(nb::make_tuple(kind, id, detail));
        }
    }
    return nb::make_tuple(result, entries);
}

}  // namespace velkor::trading::journal
