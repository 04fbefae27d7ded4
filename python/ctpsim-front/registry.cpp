// The registry of simulated fronts and the connections of API instances to them.
#include "registry.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace ctpsim {
namespace {

constexpr double kDefaultRetry = 0.2;

// The registry lock guards the registry and every front's state, and each connection's link to its front.
// The table below is never destroyed: API threads that were never released may outlive static destruction.
std::mutex g_mu;
auto &g_fronts = *new std::map<std::string, std::shared_ptr<Front>>;
unsigned g_next_port = 41200;

// Queues a delivery; the caller holds c.mu.
void push_locked(Connection &c, Delivery d) {
    c.tasks.push_back(std::move(d));
    ++c.queued;
    c.wake.notify_one();
}

void remember_locked(Front &f, const std::shared_ptr<Connection> &c) {
    if (std::find(f.known_.begin(), f.known_.end(), c) != f.known_.end()) return;
    if (f.known_.size() >= 64) std::erase_if(f.known_, [](const auto &k) { return k->released_.load(); });
    f.known_.push_back(c);
}

// Registry lock held: links the connection to the front and queues OnFrontConnected before anything else can be
// sent to it.
void attach_locked(const std::shared_ptr<Front> &f, const std::shared_ptr<Connection> &c) {
    c->connected_ = true;
    c->front_ = f;
    f->connections_.push_back(c);
    remember_locked(*f, c);
    {
        std::lock_guard lk(c->mu);
        Delivery d;
        d.callback = callback_info(Callback::FrontConnected);
        push_locked(*c, std::move(d));
    }
    f->connected_cv_.notify_all();
}

// Registry lock held: unlinks a connected connection from its front.
void detach_locked(Front &f, const std::shared_ptr<Connection> &c) {
    c->connected_ = false;
    c->front_.reset();
    f.connections_.erase(std::remove(f.connections_.begin(), f.connections_.end(), c), f.connections_.end());
}

}  // namespace

double attempt_connection(const std::shared_ptr<Connection> &c, const std::vector<std::string> &addresses) {
    std::lock_guard g(g_mu);
    double retry = kDefaultRetry;
    if (c->released_ || c->connected_) return retry;
    for (const auto &address : addresses) {
        auto it = g_fronts.find(address);
        if (it == g_fronts.end()) continue;
        const auto &f = it->second;
        retry = f->retry_interval_;
        if (f->accepting_) {
            attach_locked(f, c);
            break;
        }
    }
    return retry;
}

void release_connection(const std::shared_ptr<Connection> &c) {
    std::lock_guard g(g_mu);
    if (auto f = c->front_.lock()) detach_locked(*f, c);
    c->released_ = true;
}

int forward_request(const std::shared_ptr<Connection> &c, const char *method, int request_id, const void *record,
                    std::size_t size) {
    std::shared_ptr<RequestHook> hook;
    {
        std::lock_guard g(g_mu);
        if (!c->connected_) return -1;
        auto f = c->front_.lock();
        if (!f) return -1;
        hook = f->hook_;
    }
    const std::string copy(static_cast<const char *>(record), size);
    if (!hook) return 0;
    return hook->on_request(RequestView{c, method, request_id, copy.data(), copy.size()});
}

std::shared_ptr<Front> Front::open(const std::string &address) {
    std::lock_guard g(g_mu);
    std::string chosen = address;
    if (chosen.empty()) {
        do chosen = "tcp://127.0.0.1:" + std::to_string(g_next_port++);
        while (g_fronts.count(chosen));
    } else if (g_fronts.count(chosen)) {
        throw std::invalid_argument("front address already registered: " + chosen);
    }
    auto f = std::make_shared<Front>(chosen);
    g_fronts.emplace(chosen, f);
    return f;
}

bool Front::accepting() const {
    std::lock_guard g(g_mu);
    return accepting_;
}

void Front::set_accepting(bool accepting) {
    std::lock_guard g(g_mu);
    accepting_ = accepting;
}

double Front::retry_interval() const {
    std::lock_guard g(g_mu);
    return retry_interval_;
}

void Front::set_retry_interval(double s) {
    if (!(s >= 0) || s > 1e6) throw std::invalid_argument("retry_interval must be between 0 and 1e6 seconds");
    std::lock_guard g(g_mu);
    retry_interval_ = s;
}

bool Front::closed() const {
    std::lock_guard g(g_mu);
    return closed_;
}

std::shared_ptr<RequestHook> Front::set_hook(std::shared_ptr<RequestHook> hook) {
    std::lock_guard g(g_mu);
    hook_.swap(hook);
    return hook;
}

std::vector<std::shared_ptr<Connection>> Front::connections() const {
    std::lock_guard g(g_mu);
    return connections_;
}

std::shared_ptr<Connection> Front::wait_connection(double timeout) {
    std::unique_lock g(g_mu);
    connected_cv_.wait_until(g, Clock::now() + seconds(timeout),
                             [&] { return !connections_.empty() || closed_; });
    return connections_.empty() ? nullptr : connections_.front();
}

bool Front::send(const std::shared_ptr<Connection> &c, Delivery d) {
    if (!c || !d.callback) throw std::invalid_argument("send needs a connection and a callback");
    const Shape shape = d.callback->shape;
    if (d.has_data && d.callback->size == 0)
        throw std::invalid_argument(std::string(d.callback->name) + " takes no data record");
    if (d.has_error && (shape == Shape::Plain || shape == Shape::Reason || shape == Shape::Return))
        throw std::invalid_argument(std::string(d.callback->name) + " takes no response info");
    if (d.has_data && d.data.size() != d.callback->size)
        throw std::invalid_argument("data record has the wrong size");
    if (d.has_error && d.error.size() != sizeof(CThostFtdcRspInfoField))
        throw std::invalid_argument("response info record has the wrong size");
    if (d.count < 0) throw std::invalid_argument("count must not be negative");
    std::lock_guard g(g_mu);
    if (c->released_) return false;
    remember_locked(*this, c);
    std::lock_guard lk(c->mu);
    push_locked(*c, std::move(d));
    return true;
}

bool Front::flush(double timeout) {
    std::vector<std::shared_ptr<Connection>> pending;
    {
        std::lock_guard g(g_mu);
        std::erase_if(known_, [](const auto &c) { return c->released_.load(); });
        pending = known_;
    }
    const auto deadline = Clock::now() + seconds(timeout);
    for (const auto &c : pending) {
        std::unique_lock lk(c->mu);
        const std::uint64_t target = c->queued;
        if (!c->done.wait_until(lk, deadline, [&] { return c->delivered >= target || c->stopping; })) return false;
    }
    return true;
}

void Front::disconnect(const std::shared_ptr<Connection> &connection, int reason) {
    std::lock_guard g(g_mu);
    std::vector<std::shared_ptr<Connection>> targets;
    if (connection) {
        if (std::find(connections_.begin(), connections_.end(), connection) != connections_.end())
            targets.push_back(connection);
    } else {
        targets = connections_;
    }
    for (const auto &c : targets) {
        detach_locked(*this, c);
        std::lock_guard lk(c->mu);
        Delivery d;
        d.callback = callback_info(Callback::FrontDisconnected);
        d.reason = reason;
        push_locked(*c, std::move(d));
        c->next_attempt = Clock::now() + seconds(retry_interval_);
    }
}

std::shared_ptr<RequestHook> Front::close() {
    std::shared_ptr<RequestHook> hook;
    {
        std::lock_guard g(g_mu);
        if (closed_) return nullptr;
        closed_ = true;
        auto it = g_fronts.find(address_);
        if (it != g_fronts.end() && it->second.get() == this) g_fronts.erase(it);
        hook.swap(hook_);
        connected_cv_.notify_all();
    }
    disconnect(nullptr, 0x1001);
    return hook;
}

}  // namespace ctpsim
