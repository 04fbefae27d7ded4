// Records of the CTP trader API. Plain structs of char[N], char, int and double members.
#pragma once

#include "ThostFtdcUserApiDataType.h"

struct CThostFtdcRspInfoField {
    TThostFtdcErrorIDType ErrorID;
    TThostFtdcErrorSourceType ErrorSource;
    TThostFtdcErrorMsgType ErrorMsg;
};

struct CThostFtdcReqAuthenticateField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcUserIDType UserID;
    TThostFtdcProductInfoType UserProductInfo;
    TThostFtdcAuthCodeType AuthCode;
    TThostFtdcAppTypeType AppType;
    TThostFtdcAppIDType AppID;
};

struct CThostFtdcRspAuthenticateField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcUserIDType UserID;
    TThostFtdcProductInfoType UserProductInfo;
    TThostFtdcAppIDType AppID;
    TThostFtdcAppTypeType AppType;
};

struct CThostFtdcReqUserLoginField {
    TThostFtdcDateType TradingDay;
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcUserIDType UserID;
    TThostFtdcProductInfoType UserProductInfo;
    TThostFtdcPasswordType Password;
    TThostFtdcMacAddressType MacAddress;
    TThostFtdcIPAddressType ClientIPAddress;
};

struct CThostFtdcRspUserLoginField {
    TThostFtdcDateType TradingDay;
    TThostFtdcTimeType LoginTime;
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcUserIDType UserID;
    TThostFtdcSystemNameType SystemName;
    TThostFtdcFrontIDType FrontID;
    TThostFtdcTimeType ExchangeTime;
    TThostFtdcSessionIDType SessionID;
    TThostFtdcOrderRefType MaxOrderRef;
    TThostFtdcTimeType SHFETime;
};

struct CThostFtdcSettlementInfoConfirmField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcDateType ConfirmDate;
    TThostFtdcTimeType ConfirmTime;
    TThostFtdcSettlementIDType SettlementID;
    TThostFtdcAccountIDType AccountID;
    TThostFtdcCurrencyIDType CurrencyID;
};

struct CThostFtdcQryOrderField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInvestUnitIDType InvestUnitID;
    TThostFtdcOrderSysIDType OrderSysID;
    TThostFtdcTimeType InsertTimeStart;
    TThostFtdcTimeType InsertTimeEnd;
    TThostFtdcInstrumentIDType InstrumentID;
};

struct CThostFtdcQryTradeField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcTradeIDType TradeID;
    TThostFtdcTimeType TradeTimeStart;
    TThostFtdcTimeType TradeTimeEnd;
    TThostFtdcInstrumentIDType InstrumentID;
};

struct CThostFtdcQryInvestorPositionField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInvestUnitIDType InvestUnitID;
    TThostFtdcInstrumentIDType InstrumentID;
};

struct CThostFtdcQryTradingAccountField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcBizTypeType BizType;
    TThostFtdcAccountIDType AccountID;
    TThostFtdcCurrencyIDType CurrencyID;
};

struct CThostFtdcQryInstrumentField {
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInstrumentIDType ExchangeInstID;
    TThostFtdcProductIDType ProductID;
    TThostFtdcInstrumentIDType InstrumentID;
};

struct CThostFtdcInputOrderField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcOrderRefType OrderRef;
    TThostFtdcUserIDType UserID;
    TThostFtdcOrderPriceTypeType OrderPriceType;
    TThostFtdcDirectionType Direction;
    TThostFtdcCombOffsetFlagType CombOffsetFlag;
    TThostFtdcCombHedgeFlagType CombHedgeFlag;
    TThostFtdcPriceType LimitPrice;
    TThostFtdcVolumeType VolumeTotalOriginal;
    TThostFtdcTimeConditionType TimeCondition;
    TThostFtdcDateType GTDDate;
    TThostFtdcVolumeConditionType VolumeCondition;
    TThostFtdcVolumeType MinVolume;
    TThostFtdcContingentConditionType ContingentCondition;
    TThostFtdcPriceType StopPrice;
    TThostFtdcForceCloseReasonType ForceCloseReason;
    TThostFtdcBoolType IsAutoSuspend;
    TThostFtdcBusinessUnitType BusinessUnit;
    TThostFtdcRequestIDType RequestID;
    TThostFtdcBoolType UserForceClose;
    TThostFtdcBoolType IsSwapOrder;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInvestUnitIDType InvestUnitID;
    TThostFtdcAccountIDType AccountID;
    TThostFtdcCurrencyIDType CurrencyID;
    TThostFtdcClientIDType ClientID;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcMacAddressType MacAddress;
    TThostFtdcIPAddressType IPAddress;
};

struct CThostFtdcInputOrderActionField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcOrderActionRefType OrderActionRef;
    TThostFtdcOrderRefType OrderRef;
    TThostFtdcRequestIDType RequestID;
    TThostFtdcFrontIDType FrontID;
    TThostFtdcSessionIDType SessionID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcOrderSysIDType OrderSysID;
    TThostFtdcActionFlagType ActionFlag;
    TThostFtdcPriceType LimitPrice;
    TThostFtdcVolumeType VolumeChange;
    TThostFtdcUserIDType UserID;
    TThostFtdcInvestUnitIDType InvestUnitID;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcMacAddressType MacAddress;
    TThostFtdcIPAddressType IPAddress;
};

struct CThostFtdcOrderActionField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcOrderActionRefType OrderActionRef;
    TThostFtdcOrderRefType OrderRef;
    TThostFtdcRequestIDType RequestID;
    TThostFtdcFrontIDType FrontID;
    TThostFtdcSessionIDType SessionID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcOrderSysIDType OrderSysID;
    TThostFtdcActionFlagType ActionFlag;
    TThostFtdcPriceType LimitPrice;
    TThostFtdcVolumeType VolumeChange;
    TThostFtdcDateType ActionDate;
    TThostFtdcTimeType ActionTime;
    TThostFtdcOrderLocalIDType OrderLocalID;
    TThostFtdcOrderActionStatusType OrderActionStatus;
    TThostFtdcUserIDType UserID;
    TThostFtdcStatusMsgType StatusMsg;
    TThostFtdcInstrumentIDType InstrumentID;
};

struct CThostFtdcOrderField {
    TThostFtdcDateType TradingDay;
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcOrderLocalIDType OrderLocalID;
    TThostFtdcOrderSysIDType OrderSysID;
    TThostFtdcOrderRefType OrderRef;
    TThostFtdcUserIDType UserID;
    TThostFtdcFrontIDType FrontID;
    TThostFtdcRequestIDType RequestID;
    TThostFtdcSessionIDType SessionID;
    TThostFtdcOrderPriceTypeType OrderPriceType;
    TThostFtdcDirectionType Direction;
    TThostFtdcCombOffsetFlagType CombOffsetFlag;
    TThostFtdcCombHedgeFlagType CombHedgeFlag;
    TThostFtdcTimeConditionType TimeCondition;
    TThostFtdcPriceType LimitPrice;
    TThostFtdcVolumeType VolumeTotalOriginal;
    TThostFtdcVolumeType MinVolume;
    TThostFtdcVolumeType VolumeTraded;
    TThostFtdcVolumeType VolumeTotal;
    TThostFtdcOrderSourceType OrderSource;
    TThostFtdcOrderStatusType OrderStatus;
    TThostFtdcOrderTypeType OrderType;
    TThostFtdcOrderSubmitStatusType OrderSubmitStatus;
    TThostFtdcSequenceNoType SequenceNo;
    TThostFtdcStatusMsgType StatusMsg;
    TThostFtdcTimeType UpdateTime;
    TThostFtdcDateType InsertDate;
    TThostFtdcTimeType CancelTime;
    TThostFtdcTimeType InsertTime;
    TThostFtdcSettlementIDType SettlementID;
};

struct CThostFtdcTradeField {
    TThostFtdcDateType TradingDay;
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcOrderLocalIDType OrderLocalID;
    TThostFtdcOrderSysIDType OrderSysID;
    TThostFtdcUserIDType UserID;
    TThostFtdcOrderRefType OrderRef;
    TThostFtdcTradingRoleType TradingRole;
    TThostFtdcTradeIDType TradeID;
    TThostFtdcTradeTypeType TradeType;
    TThostFtdcDirectionType Direction;
    TThostFtdcPriceSourceType PriceSource;
    TThostFtdcOffsetFlagType OffsetFlag;
    TThostFtdcParticipantIDType ParticipantID;
    TThostFtdcHedgeFlagType HedgeFlag;
    TThostFtdcSequenceNoType SequenceNo;
    TThostFtdcPriceType Price;
    TThostFtdcSettlementIDType SettlementID;
    TThostFtdcVolumeType Volume;
    TThostFtdcClientIDType ClientID;
    TThostFtdcDateType TradeDate;
    TThostFtdcBusinessUnitType BusinessUnit;
    TThostFtdcTimeType TradeTime;
    TThostFtdcSequenceNoType BrokerOrderSeq;
};

struct CThostFtdcInvestorPositionField {
    TThostFtdcDateType TradingDay;
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcInvestorIDType InvestorID;
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInvestUnitIDType InvestUnitID;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcSettlementIDType SettlementID;
    TThostFtdcHedgeFlagType HedgeFlag;
    TThostFtdcVolumeType OpenVolume;
    TThostFtdcPosiDirectionType PosiDirection;
    TThostFtdcVolumeType CloseVolume;
    TThostFtdcPositionDateType PositionDate;
    TThostFtdcMoneyType PositionCost;
    TThostFtdcVolumeType Position;
    TThostFtdcVolumeType YdStrikeFrozen;
    TThostFtdcVolumeType TodayPosition;
    TThostFtdcVolumeType CombPosition;
    TThostFtdcVolumeType YdPosition;
    TThostFtdcMoneyType OpenAmount;
    TThostFtdcVolumeType LongFrozen;
    TThostFtdcMoneyType LongFrozenAmount;
    TThostFtdcVolumeType ShortFrozen;
    TThostFtdcMoneyType CloseProfit;
    TThostFtdcMoneyType PositionProfit;
    TThostFtdcMoneyType PreMargin;
    TThostFtdcMoneyType UseMargin;
    TThostFtdcMoneyType Commission;
};

struct CThostFtdcTradingAccountField {
    TThostFtdcBrokerIDType BrokerID;
    TThostFtdcAccountIDType AccountID;
    TThostFtdcSettlementIDType SettlementID;
    TThostFtdcCurrencyIDType CurrencyID;
    TThostFtdcBizTypeType BizType;
    TThostFtdcDateType TradingDay;
    TThostFtdcMoneyType PreBalance;
    TThostFtdcMoneyType Balance;
    TThostFtdcMoneyType Available;
    TThostFtdcMoneyType FrozenCash;
    TThostFtdcMoneyType CurrMargin;
    TThostFtdcMoneyType FrozenMargin;
    TThostFtdcMoneyType Commission;
    TThostFtdcMoneyType FrozenCommission;
    TThostFtdcMoneyType CashIn;
    TThostFtdcMoneyType CloseProfit;
    TThostFtdcMoneyType PositionProfit;
    TThostFtdcMoneyType Deposit;
    TThostFtdcMoneyType Reserve;
    TThostFtdcMoneyType Withdraw;
    TThostFtdcMoneyType WithdrawQuota;
};

struct CThostFtdcInstrumentField {
    TThostFtdcExchangeIDType ExchangeID;
    TThostFtdcInstrumentNameType InstrumentName;
    TThostFtdcInstrumentIDType InstrumentID;
    TThostFtdcProductIDType ProductID;
    TThostFtdcProductClassType ProductClass;
    TThostFtdcYearType DeliveryYear;
    TThostFtdcMonthType DeliveryMonth;
    TThostFtdcBoolType IsTrading;
    TThostFtdcVolumeMultipleType VolumeMultiple;
    TThostFtdcPriceType PriceTick;
    TThostFtdcVolumeType MaxMarketOrderVolume;
    TThostFtdcVolumeType MinLimitOrderVolume;
    TThostFtdcVolumeType MinMarketOrderVolume;
    TThostFtdcVolumeType MaxLimitOrderVolume;
    TThostFtdcDateType ExpireDate;
};
