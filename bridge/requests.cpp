// Request encoding: a dict of CTP field values becomes one zeroed CTP request record, sent as is.
#include <climits>
#include <cstring>
#include <string>

#include "kestro.h"

namespace kestro {
namespace {

#define F KESTRO_FIELD

using Auth = CThostFtdcReqAuthenticateField;
Field authenticate_fields[] = {F(Auth, BrokerID, Str), F(Auth, UserID, Str), F(Auth, AuthCode, Str),
                               F(Auth, AppID, Str)};

using Login = CThostFtdcReqUserLoginField;
Field user_login_fields[] = {F(Login, BrokerID, Str), F(Login, UserID, Str), F(Login, Password, Str)};

using Confirm = CThostFtdcSettlementInfoConfirmField;
Field settlement_confirm_fields[] = {F(Confirm, BrokerID, Str), F(Confirm, InvestorID, Str),
                                     F(Confirm, CurrencyID, Str)};

using QryOrder = CThostFtdcQryOrderField;
Field qry_order_fields[] = {F(QryOrder, BrokerID, Str), F(QryOrder, InvestorID, Str), F(QryOrder, ExchangeID, Str),
                            F(QryOrder, OrderSysID, Str), F(QryOrder, InstrumentID, Str)};

using QryTrade = CThostFtdcQryTradeField;
Field qry_trade_fields[] = {F(QryTrade, BrokerID, Str), F(QryTrade, InvestorID, Str), F(QryTrade, ExchangeID, Str),
                            F(QryTrade, InstrumentID, Str)};

using QryPosition = CThostFtdcQryInvestorPositionField;
Field qry_position_fields[] = {F(QryPosition, BrokerID, Str), F(QryPosition, InvestorID, Str),
                               F(QryPosition, ExchangeID, Str), F(QryPosition, InstrumentID, Str)};

using QryAccount = CThostFtdcQryTradingAccountField;
Field qry_account_fields[] = {F(QryAccount, BrokerID, Str), F(QryAccount, InvestorID, Str),
                              F(QryAccount, CurrencyID, Str)};

using QryInstrument = CThostFtdcQryInstrumentField;
Field qry_instrument_fields[] = {F(QryInstrument, ExchangeID, Str), F(QryInstrument, InstrumentID, Str)};

using Insert = CThostFtdcInputOrderField;
Field order_insert_fields[] = {
    F(Insert, BrokerID, Str),          F(Insert, InvestorID, Str),        F(Insert, OrderRef, Str),
    F(Insert, UserID, Str),            F(Insert, OrderPriceType, Char),   F(Insert, Direction, Char),
    F(Insert, CombOffsetFlag, Str),    F(Insert, CombHedgeFlag, Str),     F(Insert, LimitPrice, Float),
    F(Insert, VolumeTotalOriginal, Int), F(Insert, TimeCondition, Char),  F(Insert, VolumeCondition, Char),
    F(Insert, MinVolume, Int),         F(Insert, ContingentCondition, Char), F(Insert, ForceCloseReason, Char),
    F(Insert, IsAutoSuspend, Int),     F(Insert, UserForceClose, Int),    F(Insert, ExchangeID, Str),
    F(Insert, CurrencyID, Str),        F(Insert, InstrumentID, Str),
};

using Action = CThostFtdcInputOrderActionField;
Field order_action_fields[] = {
    F(Action, BrokerID, Str),   F(Action, InvestorID, Str), F(Action, ExchangeID, Str), F(Action, OrderSysID, Str),
    F(Action, ActionFlag, Char), F(Action, LimitPrice, Float), F(Action, UserID, Str),  F(Action, InstrumentID, Str),
};

#undef F

PyObject* gb18030_encoder;  // the codec's stateless encode function
PyObject* strict_obj;       // "strict"

// Encoded bytes of a str value: borrowed from the str itself when it is ASCII, else from `owner`.
int encode_text(PyObject* value, const char** bytes, Py_ssize_t* length, PyObject** owner) {
    *owner = nullptr;
    if (PyUnicode_IS_ASCII(value)) {
        *bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
        *length = PyUnicode_GET_LENGTH(value);
        return 0;
    }
    PyObject* args[] = {value, strict_obj};
    PyObject* result = PyObject_Vectorcall(gb18030_encoder, args, 2, nullptr);
    if (!result) return -1;
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2 || !PyBytes_Check(PyTuple_GET_ITEM(result, 0))) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_TypeError, "gb18030 encoder returned an unexpected result");
        return -1;
    }
    *owner = Py_NewRef(PyTuple_GET_ITEM(result, 0));
    Py_DECREF(result);
    *bytes = PyBytes_AS_STRING(*owner);
    *length = PyBytes_GET_SIZE(*owner);
    return 0;
}

// The message is the key name followed by `what`.
void field_error(PyObject* type, const Field& field, const char* what) {
    try {
        std::string message(field.name);
        message += what;
        PyErr_SetString(type, message.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}

int put_text(const Field& field, PyObject* value, char* target) {
    if (!PyUnicode_Check(value)) {
        field_error(PyExc_TypeError, field, " 必须是字符串");
        return -1;
    }
    const char* bytes;
    Py_ssize_t length;
    PyObject* owner;
    if (encode_text(value, &bytes, &length, &owner) < 0) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            field_error(PyExc_ValueError, field, " 包含 CTP 不支持的字符");
        }
        return -1;
    }
    // A string of size N keeps its terminating NUL; a char field holds one byte.
    std::size_t capacity = field.kind == Kind::Char ? 1 : field.size - 1;
    int rc = 0;
    if (static_cast<std::size_t>(length) > capacity || std::memchr(bytes, 0, static_cast<std::size_t>(length))) {
        field_error(PyExc_ValueError, field, " 超出 CTP 字段长度或包含 NUL 字符");
        rc = -1;
    } else {
        std::memcpy(target, bytes, static_cast<std::size_t>(length));
    }
    Py_XDECREF(owner);
    return rc;
}

int put_int(PyObject* value, char* target) {
    PyObject* index = PyNumber_Index(value);
    if (!index) return -1;
    long number = PyLong_AsLong(index);
    Py_DECREF(index);
    if (number == -1 && PyErr_Occurred()) return -1;
    if (number > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return -1;
    }
    if (number < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return -1;
    }
    int stored = static_cast<int>(number);
    std::memcpy(target, &stored, sizeof stored);
    return 0;
}

int put_float(PyObject* value, char* target) {
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return -1;
    std::memcpy(target, &number, sizeof number);
    return 0;
}

// Fills the record from `data`, key by key; stops at the first failure.
int encode(PyObject* data, FieldList list, void* record) {
    char* base = static_cast<char*>(record);
    for (std::size_t i = 0; i < list.count; ++i) {
        const Field& field = list.fields[i];
        // Plain dict lookup, also for subclasses; a strong reference, as conversions may run code that mutates `data`.
        PyObject* value = PyDict_GetItemWithError(data, field.key);
        if (!value) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        Py_INCREF(value);
        int rc;
        switch (field.kind) {
        case Kind::Str:
        case Kind::Char:
            rc = put_text(field, value, base + field.offset);
            break;
        case Kind::Int:
            rc = put_int(value, base + field.offset);
            break;
        default:
            rc = put_float(value, base + field.offset);
            break;
        }
        Py_DECREF(value);
        if (rc < 0) return -1;
    }
    return 0;
}

PyObject* closed_error() {
    PyErr_SetString(PyExc_RuntimeError, "CTP 接口已关闭");
    return nullptr;
}

template <class Rec, int (CThostFtdcTraderApi::*Send)(Rec*, int)>
PyObject* send(Spi* spi, PyObject* data, FieldList list, int request_id) {
    Rec record;
    std::memset(&record, 0, sizeof record);
    if (encode(data, list, &record) < 0) return nullptr;
    // Encoding can run Python code (conversions, key comparisons) that closes the handle.
    CThostFtdcTraderApi* api = spi->api;
    if (!api) return closed_error();
    int result;
    ++spi->busy;
    Py_BEGIN_ALLOW_THREADS
    result = (api->*Send)(&record, request_id);
    Py_END_ALLOW_THREADS
    if (--spi->busy == 0 && spi->retired) {
        // The handle was closed while requests ran: the last one out shuts the API down.
        CThostFtdcTraderApi* retired = spi->retired;
        spi->retired = nullptr;
        shutdown_api(retired);
    }
    return PyLong_FromLong(result);
}

struct Method {
    const char* name;
    FieldList fields;
    PyObject* (*send)(Spi*, PyObject*, FieldList, int);
};

using Api = CThostFtdcTraderApi;
const Method methods[] = {
    {"Authenticate", fields_of(authenticate_fields), send<Auth, &Api::ReqAuthenticate>},
    {"UserLogin", fields_of(user_login_fields), send<Login, &Api::ReqUserLogin>},
    {"SettlementInfoConfirm", fields_of(settlement_confirm_fields), send<Confirm, &Api::ReqSettlementInfoConfirm>},
    {"QryOrder", fields_of(qry_order_fields), send<QryOrder, &Api::ReqQryOrder>},
    {"QryTrade", fields_of(qry_trade_fields), send<QryTrade, &Api::ReqQryTrade>},
    {"QryInvestorPosition", fields_of(qry_position_fields), send<QryPosition, &Api::ReqQryInvestorPosition>},
    {"QryTradingAccount", fields_of(qry_account_fields), send<QryAccount, &Api::ReqQryTradingAccount>},
    {"QryInstrument", fields_of(qry_instrument_fields), send<QryInstrument, &Api::ReqQryInstrument>},
    {"OrderInsert", fields_of(order_insert_fields), send<Insert, &Api::ReqOrderInsert>},
    {"OrderAction", fields_of(order_action_fields), send<Action, &Api::ReqOrderAction>},
};

}  // namespace

int init_requests() {
    if (!strict_obj && !(strict_obj = PyUnicode_InternFromString("strict"))) return -1;
    if (!gb18030_encoder && !(gb18030_encoder = PyCodec_Encoder("gb18030"))) return -1;
    for (const Method& method : methods) {
        if (intern_keys(method.fields) < 0) return -1;
    }
    return 0;
}

PyObject* request(PyObject*, PyObject* args) {
    PyObject* handle;
    const char* name;
    PyObject* data;
    int request_id;
    if (!PyArg_ParseTuple(args, "OsO!i", &handle, &name, &PyDict_Type, &data, &request_id)) return nullptr;
    Spi* spi = handle_spi(handle);
    if (!spi) return nullptr;
    if (!spi->api) return closed_error();
    for (const Method& method : methods) {
        if (std::strcmp(method.name, name) == 0) return method.send(spi, data, method.fields, request_id);
    }
    PyErr_SetString(PyExc_ValueError, "不支持的 CTP 请求");
    return nullptr;
}

}  // namespace kestro
