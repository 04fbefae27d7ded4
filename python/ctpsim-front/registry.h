// The process-wide registry of simulated fronts: a front registered at an address accepts the stand-in API
// instances that register that address, queues callbacks for them and sees their requests. Used by the simulated
// front (ctpsim._front) and the native tests; clients of the API never include it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"

namespace ctpsim {

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
