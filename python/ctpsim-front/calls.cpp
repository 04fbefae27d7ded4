// The tables of the trader API's callbacks and requests. Never destroyed: API threads that were never released
// may outlive static destruction.
#include "calls.h"

#include "ThostFtdcUserApiStruct.h"

namespace ctpsim {

#define CB_PLAIN(n, shape) {"On" #n, Callback::n, Shape::shape, nullptr, 0}
#define CB_RECORD(n, shape, T) {"On" #n, Callback::n, Shape::shape, #T, sizeof(T)}

const std::vector<CallbackInfo> &callback_table() {
    static const auto &table = *new std::vector<CallbackInfo>{
        CB_PLAIN(FrontConnected, Plain),
        CB_PLAIN(FrontDisconnected, Reason),
        CB_PLAIN(HeartBeatWarning, Reason),
        CB_RECORD(RspAuthenticate, Response, CThostFtdcRspAuthenticateField),
        CB_RECORD(RspUserLogin, Response, CThostFtdcRspUserLoginField),
        CB_RECORD(RspOrderInsert, Response, CThostFtdcInputOrderField),
        CB_RECORD(RspOrderAction, Response, CThostFtdcInputOrderActionField),
        CB_RECORD(RspSettlementInfoConfirm, Response, CThostFtdcSettlementInfoConfirmField),
        CB_RECORD(RspQryOrder, Response, CThostFtdcOrderField),
        CB_RECORD(RspQryTrade, Response, CThostFtdcTradeField),
        CB_RECORD(RspQryInvestorPosition, Response, CThostFtdcInvestorPositionField),
        CB_RECORD(RspQryTradingAccount, Response, CThostFtdcTradingAccountField),
        CB_RECORD(RspQryInstrument, Response, CThostFtdcInstrumentField),
        CB_PLAIN(RspError, Error),
        CB_RECORD(RtnOrder, Return, CThostFtdcOrderField),
        CB_RECORD(RtnTrade, Return, CThostFtdcTradeField),
        CB_RECORD(ErrRtnOrderInsert, ErrorReturn, CThostFtdcInputOrderField),
        CB_RECORD(ErrRtnOrderAction, ErrorReturn, CThostFtdcOrderActionField),
    };
    return table;
}

const CallbackInfo *find_callback(std::string_view name) {
    for (const auto &cb : callback_table())
        if (name == cb.name) return &cb;
    return nullptr;
}

#define REQ(m, T) {#m, #T, sizeof(T)}

const std::vector<RequestInfo> &request_table() {
    static const auto &table = *new std::vector<RequestInfo>{
        REQ(Authenticate, CThostFtdcReqAuthenticateField),
        REQ(UserLogin, CThostFtdcReqUserLoginField),
        REQ(SettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField),
        REQ(QryOrder, CThostFtdcQryOrderField),
        REQ(QryTrade, CThostFtdcQryTradeField),
        REQ(QryInvestorPosition, CThostFtdcQryInvestorPositionField),
        REQ(QryTradingAccount, CThostFtdcQryTradingAccountField),
        REQ(QryInstrument, CThostFtdcQryInstrumentField),
        REQ(OrderInsert, CThostFtdcInputOrderField),
        REQ(OrderAction, CThostFtdcInputOrderActionField),
    };
    return table;
}

}  // namespace ctpsim
