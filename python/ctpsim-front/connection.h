// The seam between the stand-in trader API (ctp/) and the registry of simulated fronts: the connection of one API
// instance, through which a front queues callbacks for the API's thread, and the registry calls the API makes.
// The registry is compiled into the stand-in library, so every API instance and ctpsim._front share one.
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
#include <thread>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "calls.h"

namespace ctpsim {

class Front;

using Clock = std::chrono::steady_clock;

// A time-out or interval in seconds as a duration: none below zero, at most 1e7 seconds.
inline Clock::duration seconds(double s) {
    if (!(s > 0)) return Clock::duration::zero();
    if (s > 1e7) s = 1e7;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

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

// Shared state of one API instance, for its whole life. Members below the accessors belong to the library: the
// API's side and the registry's.
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
    Clock::time_point next_attempt{};
};

// The registry's side, for the API. None of them may be called with the connection's lock held.

// One connection attempt over the registered addresses. Returns the delay in seconds before the next attempt.
double attempt_connection(const std::shared_ptr<Connection> &c, const std::vector<std::string> &addresses);
// The API's Release(): unlinks the connection from its front for good; later deliveries to it are dropped.
void release_connection(const std::shared_ptr<Connection> &c);
// A request of the API, handed to its front's request hook on the calling thread with no lock held. -1 when not
// connected, 0 when the front has no hook, else the hook's answer.
int forward_request(const std::shared_ptr<Connection> &c, const char *method, int request_id, const void *record,
                    std::size_t size);

}  // namespace ctpsim
