// Simulator entry points of the stand-in trader API: the process-wide registry of simulated fronts and the
// connections of API instances to them. Used by the simulated front only; clients of the API never include it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ThostFtdcTraderApi.h"

#define CTPSIM_API __attribute__((visibility("default")))

namespace ctpsim {

class Front;

// Argument shape of a callback.
enum class Shape {
    Plain,        // OnFrontConnected()
    Reason,       // OnFrontDisconnected(int)
    Response,     // OnRsp...(record, info, request id, is last)
    Error,        // OnRspError(info, request id, is last)
    Return,       // OnRtn...(record)
    ErrorReturn,  // OnErrRtn...(record, info)
};

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

// Request operations: request name, record type name, record size.
struct RequestInfo {
    const char *method;
    const char *record;
    std::size_t size;
};
CTPSIM_API const std::vector<RequestInfo> &request_table();

// One callback to deliver, `count` times back to back.
struct Delivery {
    const CallbackInfo *callback = nullptr;
    bool has_data = false;
    std::string data;   // exactly callback->size bytes when has_data
    bool has_error = false;
    std::string error;  // exactly sizeof(CThostFtdcRspInfoField) bytes when has_error
    int request_id = 0;
    bool last = true;
    int reason = 0;
    long count = 1;
};

// Shared state of one API instance, for its whole life. Members below the accessors belong to the library.
class CTPSIM_API Connection {
public:
    Connection(std::uint64_t id, std::string flow_path) : id_(id), flow_path_(std::move(flow_path)) {}
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    std::uint64_t id() const { return id_; }
    const std::string &flow_path() const { return flow_path_; }
    bool connected() const { return connected_.load(); }
    bool released() const { return released_.load(); }

    const std::uint64_t id_;
    const std::string flow_path_;
    std::atomic<bool> connected_{false};  // written under the registry lock
    std::atomic<bool> released_{false};   // written under the registry lock
    std::weak_ptr<Front> front_;    // registry lock: the front connected to now

    std::mutex mu;  // guards everything below; taken after the registry lock, never before it
    std::condition_variable wake;  // the API thread: new deliveries, stop, retry time
    std::condition_variable done;  // deliveries finished, callback ended
    std::deque<Delivery> tasks;
    std::uint64_t queued = 0;
    std::uint64_t delivered = 0;
    CThostFtdcTraderSpi *spi = nullptr;
    bool in_callback = false;
    std::uint64_t callbacks_started = 0;
    int spi_waiters = 0;  // RegisterSpi calls waiting for the running callback to end
    bool started = false;
    bool stopping = false;
    std::thread::id thread;
    std::vector<std::string> addresses;
    std::chrono::steady_clock::time_point next_attempt{};
};

// A request as it reached the front. `record` is the front's own copy, valid during the hook call.
struct RequestView {
    std::shared_ptr<Connection> connection;
    const char *method;
    int request_id;
    const void *record;
    std::size_t size;
};

// Called synchronously inside each request of a connected API, with no lock of the library held.
class RequestHook {
public:
    virtual ~RequestHook() = default;
    virtual int on_request(const RequestView &request) = 0;
};

class CTPSIM_API Front {
public:
    // Registers a front at `address`; an empty address picks a fresh "tcp://127.0.0.1:<port>".
    // Throws std::invalid_argument when the address is taken.
    static std::shared_ptr<Front> open(const std::string &address);

    const std::string &address() const { return address_; }
    bool accepting() const;
    void set_accepting(bool accepting);
    double retry_interval() const;
    void set_retry_interval(double seconds);
    bool closed() const;
    // Installs the request hook; returns the previous one for the caller to drop.
    std::shared_ptr<RequestHook> set_hook(std::shared_ptr<RequestHook> hook);

    std::vector<std::shared_ptr<Connection>> connections() const;
    // The oldest connected API; null when none connected within `timeout` seconds or the front closed.
    std::shared_ptr<Connection> wait_connection(double timeout);
    // Queues a delivery on the connection's thread after everything queued before it.
    // False when the API was released (the delivery is dropped). Throws std::invalid_argument on bad sizes.
    bool send(const std::shared_ptr<Connection> &connection, Delivery delivery);
    // Waits until every delivery queued so far to connections of this front has returned. False on time-out.
    bool flush(double timeout);
    // Drops one connection (null: all of them) with OnFrontDisconnected(reason); the API then retries.
    void disconnect(const std::shared_ptr<Connection> &connection, int reason);
    // Disconnects everything and unregisters the address. Returns the hook for the caller to drop.
    std::shared_ptr<RequestHook> close();

    explicit Front(std::string address) : address_(std::move(address)) {}

    // Registry lock.
    const std::string address_;
    bool accepting_ = true;
    double retry_interval_ = 0.2;
    bool closed_ = false;
    std::shared_ptr<RequestHook> hook_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::shared_ptr<Connection>> known_;  // connections sent to since the last flush pruned them
    std::condition_variable connected_cv_;
};

}  // namespace ctpsim
