// velkor._kestro: the native bridge over the CTP trader API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <functional>
#include <type_traits>

#include "ThostFtdcTraderApi.h"
#include "queue.h"

namespace kestro {

inline constexpr const char* CAPSULE_NAME = "velkor.ctp";

// One CTP record field as seen from Python: its key, its kind and where it lives in the record.
enum class Kind : unsigned char { Str, Char, Int, Float };

struct Field {
    const char* name;
    Kind kind;
    std::size_t offset;
    std::size_t size;
    PyObject* key;  // interned str, made once at module init
};

template <Kind K, class M>
consteval Field make_field(const char* name, std::size_t offset) {
    if constexpr (K == Kind::Str)
        static_assert(std::is_array_v<M> && std::is_same_v<std::remove_extent_t<M>, char>, "string field must be char[N]");
    else if constexpr (K == Kind::Char)
        static_assert(std::is_same_v<M, char>, "char field must be char");
    else if constexpr (K == Kind::Int)
        static_assert(std::is_same_v<M, int>, "int field must be int");
    else
        static_assert(std::is_same_v<M, double>, "float field must be double");
    return Field{name, K, offset, sizeof(M), nullptr};
}

#define KESTRO_FIELD(T, member, kind) \
    ::kestro::make_field<::kestro::Kind::kind, decltype(T::member)>(#member, offsetof(T, member))

struct FieldList {
    Field* fields;
    std::size_t count;
    PyObject* shape = nullptr;  // for records: a dict of every key mapped to None, copied for each record
};

template <std::size_t N>
constexpr FieldList fields_of(Field (&fields)[N]) {
    return FieldList{fields, N, nullptr};
}

// Makes the interned key of every field in the list; -1 with an exception set on failure.
int intern_keys(FieldList list);

// Codec objects and shared strings, made once at module init.
int init_text();
int init_records();
int init_requests();

// A pending event: owns plain copies of what CTP passed and builds the event record when polled.
// Returns a new reference, or null with an exception set.
using Event = std::function<PyObject*()>;

// Which event a callback produces and how its data record is laid out.
struct EventKind {
    const char* name;
    FieldList data;
    PyObject* name_obj;  // made at module init
};

namespace events {
extern EventKind RspError, RspAuthenticate, RspUserLogin, RspSettlementInfoConfirm, RspQryOrder, RtnOrder,
    RspQryTrade, RtnTrade, RspQryInvestorPosition, RspQryTradingAccount, RspQryInstrument, RspOrderInsert,
    ErrRtnOrderInsert, RspOrderAction, ErrRtnOrderAction;
}

PyObject* front_connected_record();
PyObject* front_disconnected_record(int reason);
PyObject* event_record(const EventKind& kind, bool has_data, const void* data, const CThostFtdcRspInfoField& info,
                       int request_id, bool last);

template <class Rec>
struct Pending {
    const EventKind* kind;
    bool has_data;
    Rec data;
    CThostFtdcRspInfoField info;
    int request_id;
    bool last;

    PyObject* operator()() const { return event_record(*kind, has_data, &data, info, request_id, last); }
};

// Text of a fixed-size CTP string field: up to the first NUL, GB18030 with "replace".
PyObject* field_text(const char* bytes, std::size_t size);

// The callback side: copies every record and queues it; never touches the interpreter.
class QueueSpi : public CThostFtdcTraderSpi {
public:
    CThostFtdcTraderApi* api = nullptr;
    EventQueue<Event> queue;
    // Requests running with the interpreter lock released, and an API whose shutdown waits for them.
    // Both are only touched with the interpreter lock held.
    int busy = 0;
    CThostFtdcTraderApi* retired = nullptr;

    void OnFrontConnected() override;
    void OnFrontDisconnected(int nReason) override;
    void OnRspError(CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) override;

protected:
    // Builds the pending event and queues it; nothing escapes to the CTP thread.
    template <class Make>
    void push(Make&& make) noexcept {
        queue.post(std::forward<Make>(make));
    }
    template <class Rec>
    void post(EventKind& kind, const Rec* data, const CThostFtdcRspInfoField* info, int request_id,
              bool last) noexcept {
        push([&] {
            Pending<Rec> pending{&kind, data != nullptr, Rec{}, CThostFtdcRspInfoField{}, request_id, last};
            if (data) pending.data = *data;
            if (info) pending.info = *info;
            return Event(pending);
        });
    }
};

class Spi final : public QueueSpi {
public:
    void OnRspAuthenticate(CThostFtdcRspAuthenticateField* pRspAuthenticateField, CThostFtdcRspInfoField* pRspInfo,
                           int nRequestID, bool bIsLast) override;
    void OnRspUserLogin(CThostFtdcRspUserLoginField* pRspUserLogin, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                        bool bIsLast) override;
    void OnRspOrderInsert(CThostFtdcInputOrderField* pInputOrder, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                          bool bIsLast) override;
    void OnRspOrderAction(CThostFtdcInputOrderActionField* pInputOrderAction, CThostFtdcRspInfoField* pRspInfo,
                          int nRequestID, bool bIsLast) override;
    void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* pSettlementInfoConfirm,
                                    CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) override;
    void OnRspQryOrder(CThostFtdcOrderField* pOrder, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                       bool bIsLast) override;
    void OnRspQryTrade(CThostFtdcTradeField* pTrade, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                       bool bIsLast) override;
    void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField* pInvestorPosition, CThostFtdcRspInfoField* pRspInfo,
                                  int nRequestID, bool bIsLast) override;
    void OnRspQryTradingAccount(CThostFtdcTradingAccountField* pTradingAccount, CThostFtdcRspInfoField* pRspInfo,
                                int nRequestID, bool bIsLast) override;
    void OnRspQryInstrument(CThostFtdcInstrumentField* pInstrument, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                            bool bIsLast) override;
    void OnRtnOrder(CThostFtdcOrderField* pOrder) override;
    void OnRtnTrade(CThostFtdcTradeField* pTrade) override;
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField* pInputOrder, CThostFtdcRspInfoField* pRspInfo) override;
    void OnErrRtnOrderAction(CThostFtdcOrderActionField* pOrderAction, CThostFtdcRspInfoField* pRspInfo) override;
};

// The handle's Spi, or null with the capsule lookup's ValueError set.
Spi* handle_spi(PyObject* handle);

// RegisterSpi(nullptr) then Release(), with the interpreter lock released.
void shutdown_api(CThostFtdcTraderApi* api);

PyObject* request(PyObject* module, PyObject* args);

}  // namespace kestro
