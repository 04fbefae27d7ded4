// The field tables of every record, read from the record structs themselves.
#include "records.h"

#include <type_traits>

#include "ThostFtdcUserApiStruct.h"

namespace ctpsim::binding {
namespace {

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

#define F(S, name) Field{#name, offsetof(S, name), sizeof(S::name), kind_of<decltype(S::name)>()}
#define NAME_OF(T) #T
#define R(T, ...) Record{NAME_OF(T), sizeof(T), {__VA_ARGS__}}

// The response info that answers and errors carry.
#define S CThostFtdcRspInfoField
const Record kRspInfo = R(S, F(S, ErrorID), F(S, ErrorSource), F(S, ErrorMsg));
#undef S

// Logging in: authentication, login and the settlement confirmation.
void add_login_records(std::vector<Record> &r) {
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
}

// Queries of orders, trades, positions, the trading account and instruments.
void add_query_records(std::vector<Record> &r) {
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
}

// Orders and cancellations as entered and as they come back, and trades.
void add_order_records(std::vector<Record> &r) {
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
}

// Positions, the trading account and instruments as the queries answer them.
void add_account_records(std::vector<Record> &r) {
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
}

#undef F
#undef R
#undef NAME_OF

}  // namespace

std::vector<Record> make_records() {
    std::vector<Record> r;
    r.push_back(kRspInfo);
    add_login_records(r);
    add_query_records(r);
    add_order_records(r);
    add_account_records(r);
    return r;
}

}  // namespace ctpsim::binding
