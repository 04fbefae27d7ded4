// Event records: the dicts poll builds from the copied CTP records.
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "kestro.h"

namespace kestro {
namespace {

#define F KESTRO_FIELD

using RspInfo = CThostFtdcRspInfoField;
Field rsp_info_fields[] = {F(RspInfo, ErrorID, Int), F(RspInfo, ErrorMsg, Str)};

using RspAuth = CThostFtdcRspAuthenticateField;
Field rsp_authenticate_fields[] = {F(RspAuth, BrokerID, Str), F(RspAuth, UserID, Str), F(RspAuth, AppID, Str)};

using RspLogin = CThostFtdcRspUserLoginField;
Field rsp_user_login_fields[] = {F(RspLogin, TradingDay, Str), F(RspLogin, FrontID, Int),
                                 F(RspLogin, SessionID, Int), F(RspLogin, MaxOrderRef, Str)};

using Confirm = CThostFtdcSettlementInfoConfirmField;
Field settlement_confirm_fields[] = {F(Confirm, BrokerID, Str), F(Confirm, InvestorID, Str)};

using Order = CThostFtdcOrderField;
Field order_fields[] = {
    F(Order, TradingDay, Str),     F(Order, ExchangeID, Str),         F(Order, InstrumentID, Str),
    F(Order, OrderSysID, Str),     F(Order, OrderRef, Str),           F(Order, FrontID, Int),
    F(Order, SessionID, Int),      F(Order, Direction, Char),         F(Order, CombOffsetFlag, Str),
    F(Order, CombHedgeFlag, Str),  F(Order, LimitPrice, Float),       F(Order, VolumeTotalOriginal, Int),
    F(Order, VolumeTraded, Int),   F(Order, VolumeTotal, Int),        F(Order, OrderStatus, Char),
    F(Order, OrderSubmitStatus, Char), F(Order, StatusMsg, Str),      F(Order, InsertDate, Str),
    F(Order, InsertTime, Str),
};

using Trade = CThostFtdcTradeField;
Field trade_fields[] = {
    F(Trade, TradingDay, Str), F(Trade, ExchangeID, Str), F(Trade, InstrumentID, Str), F(Trade, OrderSysID, Str),
    F(Trade, OrderRef, Str),   F(Trade, TradeID, Str),    F(Trade, Direction, Char),   F(Trade, OffsetFlag, Char),
    F(Trade, HedgeFlag, Char), F(Trade, Price, Float),    F(Trade, Volume, Int),       F(Trade, TradeDate, Str),
    F(Trade, TradeTime, Str),
};

using Position = CThostFtdcInvestorPositionField;
Field position_fields[] = {
    F(Position, TradingDay, Str),     F(Position, ExchangeID, Str),  F(Position, InstrumentID, Str),
    F(Position, HedgeFlag, Char),     F(Position, PosiDirection, Char), F(Position, PositionDate, Char),
    F(Position, Position, Int),       F(Position, TodayPosition, Int), F(Position, YdPosition, Int),
    F(Position, LongFrozen, Int),     F(Position, ShortFrozen, Int), F(Position, PositionProfit, Float),
    F(Position, UseMargin, Float),
};

using Account = CThostFtdcTradingAccountField;
Field account_fields[] = {
    F(Account, AccountID, Str),     F(Account, CurrencyID, Str),     F(Account, TradingDay, Str),
    F(Account, Balance, Float),     F(Account, Available, Float),    F(Account, CurrMargin, Float),
    F(Account, FrozenMargin, Float), F(Account, Commission, Float),  F(Account, FrozenCommission, Float),
    F(Account, CloseProfit, Float), F(Account, PositionProfit, Float), F(Account, Deposit, Float),
    F(Account, Withdraw, Float),
};

using Instrument = CThostFtdcInstrumentField;
Field instrument_fields[] = {
    F(Instrument, ExchangeID, Str),          F(Instrument, InstrumentID, Str), F(Instrument, ProductClass, Char),
    F(Instrument, IsTrading, Int),           F(Instrument, PriceTick, Float),
    F(Instrument, MinLimitOrderVolume, Int), F(Instrument, MaxLimitOrderVolume, Int),
};

using InputOrder = CThostFtdcInputOrderField;
Field input_order_fields[] = {F(InputOrder, InstrumentID, Str), F(InputOrder, ExchangeID, Str),
                              F(InputOrder, OrderRef, Str)};

using InputAction = CThostFtdcInputOrderActionField;
Field input_action_fields[] = {F(InputAction, InstrumentID, Str), F(InputAction, ExchangeID, Str),
                               F(InputAction, OrderSysID, Str)};

using Action = CThostFtdcOrderActionField;
Field order_action_fields[] = {F(Action, InstrumentID, Str), F(Action, ExchangeID, Str), F(Action, OrderSysID, Str)};

#undef F

PyObject* gb18030_decoder;  // the codec's stateless decode function
PyObject* replace_obj;      // "replace"
PyObject* key_name;
PyObject* key_reason;
PyObject* key_data;
PyObject* key_error;
PyObject* key_request_id;
PyObject* key_last;
PyObject* name_front_connected;
PyObject* name_front_disconnected;

PyObject* decode_with_codec(std::string_view raw) {
    PyObject* bytes = PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    if (!bytes) return nullptr;
    PyObject* args[] = {bytes, replace_obj};
    PyObject* result = PyObject_Vectorcall(gb18030_decoder, args, 2, nullptr);
    Py_DECREF(bytes);
    if (!result) return nullptr;
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(result, 0))) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_TypeError, "gb18030 decoder returned an unexpected result");
        return nullptr;
    }
    PyObject* text = Py_NewRef(PyTuple_GET_ITEM(result, 0));
    Py_DECREF(result);
    return text;
}

// Non-ASCII texts (status and error messages) come from a small set: recent decodings are kept, direct-mapped.
// Only used with the interpreter lock held.
struct Decoded {
    std::string raw;
    PyObject* text = nullptr;
};
Decoded decoded[128];

PyObject* decode_gb18030(std::string_view raw) {
    Decoded& slot = decoded[std::hash<std::string_view>{}(raw) % std::size(decoded)];
    if (slot.text && slot.raw == raw) return Py_NewRef(slot.text);
    PyObject* text = decode_with_codec(raw);
    if (!text) return nullptr;
    Py_CLEAR(slot.text);
    try {
        slot.raw.assign(raw);
    } catch (...) {
        return text;  // not remembered
    }
    slot.text = Py_NewRef(text);
    return text;
}

PyObject* field_value(const Field& field, const char* base) {
    const char* p = base + field.offset;
    switch (field.kind) {
    case Kind::Str:
        return field_text(p, field.size);
    case Kind::Char:
        return PyUnicode_FromOrdinal(static_cast<unsigned char>(*p));
    case Kind::Int: {
        int value;
        std::memcpy(&value, p, sizeof value);
        return PyLong_FromLong(value);
    }
    case Kind::Float: {
        double value;
        std::memcpy(&value, p, sizeof value);
        return PyFloat_FromDouble(value);
    }
    }
    PyErr_SetString(PyExc_SystemError, "unknown field kind");
    return nullptr;
}

// A dict of the listed fields of a record, in list order; null with an exception set on failure.
// Copying the prepared shape gives a dict already sized and ordered, so each field only replaces a value.
PyObject* record_dict(const FieldList& list, const void* record) {
    PyObject* dict = PyDict_Copy(list.shape);
    if (!dict) return nullptr;
    const char* base = static_cast<const char*>(record);
    for (std::size_t i = 0; i < list.count; ++i) {
        PyObject* value = field_value(list.fields[i], base);
        if (!value || PyDict_SetItem(dict, list.fields[i].key, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(value);
    }
    return dict;
}

// Interns the keys and prepares the shape of a record's dict.
int prepare(FieldList& list) {
    if (list.shape) return 0;
    if (intern_keys(list) < 0) return -1;
    PyObject* shape = PyDict_New();
    if (!shape) return -1;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (PyDict_SetItem(shape, list.fields[i].key, Py_None) < 0) {
            Py_DECREF(shape);
            return -1;
        }
    }
    list.shape = shape;
    return 0;
}

FieldList rsp_info_list = fields_of(rsp_info_fields);

int set_item(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) return -1;
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc;
}

PyObject* intern(const char* text) {
    return PyUnicode_InternFromString(text);
}

}  // namespace

namespace events {
EventKind RspError{"RspError", fields_of(rsp_info_fields), nullptr};
EventKind RspAuthenticate{"RspAuthenticate", fields_of(rsp_authenticate_fields), nullptr};
EventKind RspUserLogin{"RspUserLogin", fields_of(rsp_user_login_fields), nullptr};
EventKind RspSettlementInfoConfirm{"RspSettlementInfoConfirm", fields_of(settlement_confirm_fields), nullptr};
EventKind RspQryOrder{"RspQryOrder", fields_of(order_fields), nullptr};
EventKind RtnOrder{"RtnOrder", fields_of(order_fields), nullptr};
EventKind RspQryTrade{"RspQryTrade", fields_of(trade_fields), nullptr};
EventKind RtnTrade{"RtnTrade", fields_of(trade_fields), nullptr};
EventKind RspQryInvestorPosition{"RspQryInvestorPosition", fields_of(position_fields), nullptr};
EventKind RspQryTradingAccount{"RspQryTradingAccount", fields_of(account_fields), nullptr};
EventKind RspQryInstrument{"RspQryInstrument", fields_of(instrument_fields), nullptr};
EventKind RspOrderInsert{"RspOrderInsert", fields_of(input_order_fields), nullptr};
EventKind ErrRtnOrderInsert{"ErrRtnOrderInsert", fields_of(input_order_fields), nullptr};
EventKind RspOrderAction{"RspOrderAction", fields_of(input_action_fields), nullptr};
EventKind ErrRtnOrderAction{"ErrRtnOrderAction", fields_of(order_action_fields), nullptr};
}  // namespace events

int intern_keys(FieldList list) {
    for (std::size_t i = 0; i < list.count; ++i) {
        if (list.fields[i].key) continue;
        list.fields[i].key = intern(list.fields[i].name);
        if (!list.fields[i].key) return -1;
    }
    return 0;
}

int init_text() {
    if (gb18030_decoder) return 0;
    replace_obj = intern("replace");
    if (!replace_obj) return -1;
    gb18030_decoder = PyCodec_Decoder("gb18030");
    return gb18030_decoder ? 0 : -1;
}

int init_records() {
    PyObject** keys[] = {&key_name, &key_reason, &key_data, &key_error, &key_request_id, &key_last,
                         &name_front_connected, &name_front_disconnected};
    const char* texts[] = {"name", "reason", "data", "error", "request_id", "last", "FrontConnected",
                           "FrontDisconnected"};
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        if (!*keys[i] && !(*keys[i] = intern(texts[i]))) return -1;
    }
    EventKind* kinds[] = {&events::RspError,        &events::RspAuthenticate,      &events::RspUserLogin,
                          &events::RspSettlementInfoConfirm, &events::RspQryOrder, &events::RtnOrder,
                          &events::RspQryTrade,     &events::RtnTrade,             &events::RspQryInvestorPosition,
                          &events::RspQryTradingAccount, &events::RspQryInstrument, &events::RspOrderInsert,
                          &events::ErrRtnOrderInsert, &events::RspOrderAction,     &events::ErrRtnOrderAction};
    for (EventKind* kind : kinds) {
        if (!kind->name_obj && !(kind->name_obj = intern(kind->name))) return -1;
        if (prepare(kind->data) < 0) return -1;
    }
    return prepare(rsp_info_list);
}

PyObject* field_text(const char* bytes, std::size_t size) {
    std::size_t length = strnlen(bytes, size);
    bool ascii = true;
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(bytes[i]) & 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        if (length == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(bytes[0]));  // shared
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
        if (text && length) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes, length);
        return text;
    }
    return decode_gb18030(std::string_view(bytes, length));
}

PyObject* front_connected_record() {
    PyObject* record = PyDict_New();
    if (record && PyDict_SetItem(record, key_name, name_front_connected) < 0) Py_CLEAR(record);
    return record;
}

PyObject* front_disconnected_record(int reason) {
    PyObject* record = PyDict_New();
    if (!record) return nullptr;
    if (PyDict_SetItem(record, key_name, name_front_disconnected) < 0 ||
        set_item(record, key_reason, PyLong_FromLong(reason)) < 0)
        Py_CLEAR(record);
    return record;
}

PyObject* event_record(const EventKind& kind, bool has_data, const void* data, const CThostFtdcRspInfoField& info,
                       int request_id, bool last) {
    PyObject* data_obj = has_data ? record_dict(kind.data, data) : Py_NewRef(Py_None);
    PyObject* error_obj = data_obj ? record_dict(rsp_info_list, &info) : nullptr;
    if (!data_obj || !error_obj) {
        Py_XDECREF(data_obj);
        Py_XDECREF(error_obj);
        return nullptr;
    }
    PyObject* record = PyDict_New();
    if (!record || PyDict_SetItem(record, key_name, kind.name_obj) < 0 || PyDict_SetItem(record, key_data, data_obj) < 0 ||
        PyDict_SetItem(record, key_error, error_obj) < 0 ||
        set_item(record, key_request_id, PyLong_FromLong(request_id)) < 0 ||
        PyDict_SetItem(record, key_last, last ? Py_True : Py_False) < 0)
        Py_CLEAR(record);
    Py_DECREF(data_obj);
    Py_DECREF(error_obj);
    return record;
}

}  // namespace kestro
