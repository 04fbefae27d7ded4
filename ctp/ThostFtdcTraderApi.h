// CTP trader API: the API object a client drives and the callback interface it implements.
#pragma once

#include "ThostFtdcUserApiStruct.h"

#if defined(_WIN32)
#if defined(THOST_TRADER_API_BUILD)
#define TRADER_API_EXPORT __declspec(dllexport)
#else
#define TRADER_API_EXPORT __declspec(dllimport)
#endif
#else
#define TRADER_API_EXPORT __attribute__((visibility("default")))
#endif

// Callbacks arrive on the API's own thread. Record pointers are valid only during the call.
// The interface has no virtual destructor: the owner deletes its own most-derived type.
class CThostFtdcTraderSpi {
public:
    virtual void OnFrontConnected() {}
    virtual void OnFrontDisconnected(int nReason) { (void)nReason; }
    virtual void OnHeartBeatWarning(int nTimeLapse) { (void)nTimeLapse; }

    virtual void OnRspAuthenticate(CThostFtdcRspAuthenticateField *pRspAuthenticateField,
                                   CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pRspAuthenticateField; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin, CThostFtdcRspInfoField *pRspInfo,
                                int nRequestID, bool bIsLast) {
        (void)pRspUserLogin; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo,
                                  int nRequestID, bool bIsLast) {
        (void)pInputOrder; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction,
                                  CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInputOrderAction; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm,
                                            CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pSettlementInfoConfirm; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryOrder(CThostFtdcOrderField *pOrder, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                               bool bIsLast) {
        (void)pOrder; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryTrade(CThostFtdcTradeField *pTrade, CThostFtdcRspInfoField *pRspInfo, int nRequestID,
                               bool bIsLast) {
        (void)pTrade; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *pInvestorPosition,
                                          CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInvestorPosition; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryTradingAccount(CThostFtdcTradingAccountField *pTradingAccount,
                                        CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pTradingAccount; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryInstrument(CThostFtdcInstrumentField *pInstrument, CThostFtdcRspInfoField *pRspInfo,
                                    int nRequestID, bool bIsLast) {
        (void)pInstrument; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRtnOrder(CThostFtdcOrderField *pOrder) { (void)pOrder; }
    virtual void OnRtnTrade(CThostFtdcTradeField *pTrade) { (void)pTrade; }
    virtual void OnErrRtnOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo) {
        (void)pInputOrder; (void)pRspInfo;
    }
    virtual void OnErrRtnOrderAction(CThostFtdcOrderActionField *pOrderAction, CThostFtdcRspInfoField *pRspInfo) {
        (void)pOrderAction; (void)pRspInfo;
    }
};

class TRADER_API_EXPORT CThostFtdcTraderApi {
public:
    // Creates an API object whose flow files live under pszFlowPath (a directory prefix ending in the path
    // separator; null or "" means the current directory). Null when the flow file cannot be created.
    static CThostFtdcTraderApi *CreateFtdcTraderApi(const char *pszFlowPath = "", bool bIsProductionMode = true);
    static const char *GetApiVersion();

    // Stops the API's thread and frees the object. Call RegisterSpi(nullptr) first.
    virtual void Release() = 0;
    // Starts the API's thread, which connects to the registered front and delivers every callback.
    virtual void Init() = 0;
    // Waits until the API's thread ends; returns 0.
    virtual int Join() = 0;
    virtual const char *GetTradingDay() = 0;
    virtual void RegisterFront(char *pszFrontAddress) = 0;
    // Replaces the callback object. Returns once no callback is running on the previous one (unless called from a
    // callback). With null, no further callback is delivered.
    virtual void RegisterSpi(CThostFtdcTraderSpi *pSpi) = 0;
    virtual void SubscribePrivateTopic(THOST_TE_RESUME_TYPE nResumeType, int nSeqNo = 1) = 0;
    virtual void SubscribePublicTopic(THOST_TE_RESUME_TYPE nResumeType) = 0;

    // Requests copy their record before returning. 0: sent; -1: not connected; other values: refused.
    virtual int ReqAuthenticate(CThostFtdcReqAuthenticateField *pReqAuthenticateField, int nRequestID) = 0;
    virtual int ReqUserLogin(CThostFtdcReqUserLoginField *pReqUserLoginField, int nRequestID) = 0;
    virtual int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm,
                                         int nRequestID) = 0;
    virtual int ReqQryOrder(CThostFtdcQryOrderField *pQryOrder, int nRequestID) = 0;
    virtual int ReqQryTrade(CThostFtdcQryTradeField *pQryTrade, int nRequestID) = 0;
    virtual int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *pQryInvestorPosition,
                                       int nRequestID) = 0;
    virtual int ReqQryTradingAccount(CThostFtdcQryTradingAccountField *pQryTradingAccount, int nRequestID) = 0;
    virtual int ReqQryInstrument(CThostFtdcQryInstrumentField *pQryInstrument, int nRequestID) = 0;
    virtual int ReqOrderInsert(CThostFtdcInputOrderField *pInputOrder, int nRequestID) = 0;
    virtual int ReqOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction, int nRequestID) = 0;

protected:
    virtual ~CThostFtdcTraderApi() = default;
};
