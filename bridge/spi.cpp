// The callback side of a handle: every CTP callback becomes one pending event in the queue.
#include "kestro.h"

namespace kestro {

void QueueSpi::OnFrontConnected() {
    push([] { return Event([] { return front_connected_record(); }); });
}

void QueueSpi::OnFrontDisconnected(int nReason) {
    push([nReason] { return Event([nReason] { return front_disconnected_record(nReason); }); });
}

void QueueSpi::OnRspError(CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) {
    post(events::RspError, pRspInfo, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspAuthenticate(CThostFtdcRspAuthenticateField* pRspAuthenticateField, CThostFtdcRspInfoField* pRspInfo,
                            int nRequestID, bool bIsLast) {
    post(events::RspAuthenticate, pRspAuthenticateField, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspUserLogin(CThostFtdcRspUserLoginField* pRspUserLogin, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                         bool bIsLast) {
    post(events::RspUserLogin, pRspUserLogin, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspOrderInsert(CThostFtdcInputOrderField* pInputOrder, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                           bool bIsLast) {
    post(events::RspOrderInsert, pInputOrder, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspOrderAction(CThostFtdcInputOrderActionField* pInputOrderAction, CThostFtdcRspInfoField* pRspInfo,
                           int nRequestID, bool bIsLast) {
    post(events::RspOrderAction, pInputOrderAction, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField* pSettlementInfoConfirm,
                                     CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) {
    post(events::RspSettlementInfoConfirm, pSettlementInfoConfirm, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryOrder(CThostFtdcOrderField* pOrder, CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) {
    post(events::RspQryOrder, pOrder, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryTrade(CThostFtdcTradeField* pTrade, CThostFtdcRspInfoField* pRspInfo, int nRequestID, bool bIsLast) {
    post(events::RspQryTrade, pTrade, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryInvestorPosition(CThostFtdcInvestorPositionField* pInvestorPosition, CThostFtdcRspInfoField* pRspInfo,
                                   int nRequestID, bool bIsLast) {
    post(events::RspQryInvestorPosition, pInvestorPosition, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryTradingAccount(CThostFtdcTradingAccountField* pTradingAccount, CThostFtdcRspInfoField* pRspInfo,
                                 int nRequestID, bool bIsLast) {
    post(events::RspQryTradingAccount, pTradingAccount, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRspQryInstrument(CThostFtdcInstrumentField* pInstrument, CThostFtdcRspInfoField* pRspInfo, int nRequestID,
                             bool bIsLast) {
    post(events::RspQryInstrument, pInstrument, pRspInfo, nRequestID, bIsLast);
}

void Spi::OnRtnOrder(CThostFtdcOrderField* pOrder) {
    post(events::RtnOrder, pOrder, nullptr, 0, true);
}

void Spi::OnRtnTrade(CThostFtdcTradeField* pTrade) {
    post(events::RtnTrade, pTrade, nullptr, 0, true);
}

void Spi::OnErrRtnOrderInsert(CThostFtdcInputOrderField* pInputOrder, CThostFtdcRspInfoField* pRspInfo) {
    post(events::ErrRtnOrderInsert, pInputOrder, pRspInfo, 0, true);
}

void Spi::OnErrRtnOrderAction(CThostFtdcOrderActionField* pOrderAction, CThostFtdcRspInfoField* pRspInfo) {
    post(events::ErrRtnOrderAction, pOrderAction, pRspInfo, 0, true);
}

}  // namespace kestro
