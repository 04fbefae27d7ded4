// Field types of the CTP trader API records. A string of at most N-1 bytes lives in char[N].
#pragma once

enum THOST_TE_RESUME_TYPE {
    THOST_TERT_RESTART = 0,
    THOST_TERT_RESUME = 1,
    THOST_TERT_QUICK = 2,
    THOST_TERT_NONE = 3,
};

typedef char TThostFtdcDateType[9];
typedef char TThostFtdcTimeType[9];
typedef char TThostFtdcBrokerIDType[11];
typedef char TThostFtdcInvestorIDType[13];
typedef char TThostFtdcUserIDType[16];
typedef char TThostFtdcPasswordType[41];
typedef char TThostFtdcAuthCodeType[17];
typedef char TThostFtdcAppIDType[33];
typedef char TThostFtdcProductInfoType[11];
typedef char TThostFtdcSystemNameType[41];
typedef char TThostFtdcOrderRefType[13];
typedef char TThostFtdcOrderSysIDType[21];
typedef char TThostFtdcOrderLocalIDType[13];
typedef char TThostFtdcTradeIDType[21];
typedef char TThostFtdcExchangeIDType[9];
typedef char TThostFtdcInstrumentIDType[81];
typedef char TThostFtdcInstrumentNameType[81];
typedef char TThostFtdcProductIDType[81];
typedef char TThostFtdcCombOffsetFlagType[5];
typedef char TThostFtdcCombHedgeFlagType[5];
typedef char TThostFtdcErrorMsgType[81];
typedef char TThostFtdcStatusMsgType[81];
typedef char TThostFtdcAccountIDType[13];
typedef char TThostFtdcCurrencyIDType[4];
typedef char TThostFtdcInvestUnitIDType[17];
typedef char TThostFtdcBusinessUnitType[21];
typedef char TThostFtdcClientIDType[11];
typedef char TThostFtdcParticipantIDType[11];
typedef char TThostFtdcMacAddressType[21];
typedef char TThostFtdcIPAddressType[33];

typedef char TThostFtdcDirectionType;
typedef char TThostFtdcOffsetFlagType;
typedef char TThostFtdcHedgeFlagType;
typedef char TThostFtdcOrderPriceTypeType;
typedef char TThostFtdcTimeConditionType;
typedef char TThostFtdcVolumeConditionType;
typedef char TThostFtdcContingentConditionType;
typedef char TThostFtdcForceCloseReasonType;
typedef char TThostFtdcOrderStatusType;
typedef char TThostFtdcOrderSubmitStatusType;
typedef char TThostFtdcOrderSourceType;
typedef char TThostFtdcOrderTypeType;
typedef char TThostFtdcActionFlagType;
typedef char TThostFtdcOrderActionStatusType;
typedef char TThostFtdcPosiDirectionType;
typedef char TThostFtdcPositionDateType;
typedef char TThostFtdcProductClassType;
typedef char TThostFtdcTradingRoleType;
typedef char TThostFtdcTradeTypeType;
typedef char TThostFtdcPriceSourceType;
typedef char TThostFtdcBizTypeType;
typedef char TThostFtdcAppTypeType;
typedef char TThostFtdcErrorSourceType;

typedef int TThostFtdcErrorIDType;
typedef int TThostFtdcFrontIDType;
typedef int TThostFtdcSessionIDType;
typedef int TThostFtdcRequestIDType;
typedef int TThostFtdcVolumeType;
typedef int TThostFtdcBoolType;
typedef int TThostFtdcSequenceNoType;
typedef int TThostFtdcSettlementIDType;
typedef int TThostFtdcOrderActionRefType;
typedef int TThostFtdcYearType;
typedef int TThostFtdcMonthType;
typedef int TThostFtdcVolumeMultipleType;

typedef double TThostFtdcPriceType;
typedef double TThostFtdcMoneyType;
typedef double TThostFtdcRatioType;
