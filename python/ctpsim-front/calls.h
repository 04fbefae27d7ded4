// The trader API's callbacks and requests as a simulated front sends and receives them: the shape of each
// callback's arguments and the record types it carries.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#define CTPSIM_API __attribute__((visibility("default")))

namespace ctpsim {

// Argument shape of a callback.
enum class Shape {
    Plain,        // OnFrontConnected()
    Reason,       // OnFrontDisconnected(int)
    Response,     // OnRsp...(record, info, request id, is last)
    Error,        // OnRspError(info, request id, is last)
    Return,       // OnRtn...(record)
    ErrorReturn,  // OnErrRtn...(record, info)
};

// In the order of callback_table().
enum class Callback {
    FrontConnected, FrontDisconnected, HeartBeatWarning, RspAuthenticate, RspUserLogin, RspOrderInsert,
    RspOrderAction, RspSettlementInfoConfirm, RspQryOrder, RspQryTrade, RspQryInvestorPosition,
    RspQryTradingAccount, RspQryInstrument, RspError, RtnOrder, RtnTrade, ErrRtnOrderInsert, ErrRtnOrderAction,
};

struct CallbackInfo {
    const char *name;    // the SPI method, e.g. "OnRtnOrder"
    Callback id;
    Shape shape;
    const char *record;  // type name of the data record, null when the callback takes none
    std::size_t size;    // its size in bytes, 0 when none
};

CTPSIM_API const std::vector<CallbackInfo> &callback_table();
CTPSIM_API const CallbackInfo *find_callback(std::string_view name);
inline const CallbackInfo *callback_info(Callback id) { return &callback_table()[static_cast<std::size_t>(id)]; }

// Request operations: request name, record type name, record size.
struct RequestInfo {
    const char *method;
    const char *record;
    std::size_t size;
};
CTPSIM_API const std::vector<RequestInfo> &request_table();

}  // namespace ctpsim
