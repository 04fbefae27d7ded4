// The stand-in trader API: each API instance runs one thread that connects to a simulated front of the
// process-wide registry and delivers the callbacks that front sends it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

#include "SimFront.h"

namespace ctpsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kDefaultRetry = 0.2;
constexpr auto kMinRetry = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(1));
// GetApiVersion(); a build may name another version (tests build stand-ins that differ from the bridge's).
#ifndef VELKOR_CTP_API_VERSION
#define VELKOR_CTP_API_VERSION "velkor CTP stand-in 1.0"
#endif
constexpr const char *kVersion = VELKOR_CTP_API_VERSION;
constexpr const char *kFlowFile = "trader.flow";

// The registry lock guards the registry and every front's state, and each connection's link to its front.
// The tables below are never destroyed: API threads that were never released may outlive static destruction.
std::mutex g_mu;
auto &g_fronts = *new std::map<std::string, std::shared_ptr<Front>>;
unsigned g_next_port = 41200;
std::atomic<std::uint64_t> g_next_connection{1};

Clock::duration seconds(double s) {
    if (!(s > 0)) return Clock::duration::zero();
    if (s > 1e7) s = 1e7;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

#define CB_PLAIN(n, shape) {"On" #n, Callback::n, Shape::shape, nullptr, 0}
#define CB_RECORD(n, shape, T) {"On" #n, Callback::n, Shape::shape, #T, sizeof(T)}

const auto &kCallbacks = *new std::vector<CallbackInfo>{
    CB_PLAIN(FrontConnected, Plain),
    CB_PLAIN(FrontDisconnected, Reason),
    CB_PLAIN(HeartBeatWarning, Reason),
    CB_RECORD(RspAuthenticate, Response, CThostFtdcRspAuthenticateField),
    CB_RECORD(RspUserLogin, Response, CThostFtdcRspUserLoginField),
    CB_RECORD(RspOrderInsert, Response, CThostFtdcInputOrderField),
    CB_RECORD(RspOrderAction, Response, CThostFtdcInputOrderActionField),
    CB_RECORD(RspSettlementInfoConfirm, Response, CThostFtdcSettlementInfoConfirmField),
    CB_RECORD(RspQryOrder, Response, CThostFtdcOrderField),
    CB_RECORD(RspQryTrade, Response, CThostFtdcTradeField),
    CB_RECORD(RspQryInvestorPosition, Response, CThostFtdcInvestorPositionField),
    CB_RECORD(RspQryTradingAccount, Response, CThostFtdcTradingAccountField),
    CB_RECORD(RspQryInstrument, Response, CThostFtdcInstrumentField),
    CB_PLAIN(RspError, Error),
    CB_RECORD(RtnOrder, Return, CThostFtdcOrderField),
    CB_RECORD(RtnTrade, Return, CThostFtdcTradeField),
    CB_RECORD(ErrRtnOrderInsert, ErrorReturn, CThostFtdcInputOrderField),
    CB_RECORD(ErrRtnOrderAction, ErrorReturn, CThostFtdcOrderActionField),
};

#define REQ(m, T) {#m, #T, sizeof(T)}

const auto &kRequests = *new std::vector<RequestInfo>{
    REQ(Authenticate, CThostFtdcReqAuthenticateField),
    REQ(UserLogin, CThostFtdcReqUserLoginField),
    REQ(SettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField),
    REQ(QryOrder, CThostFtdcQryOrderField),
    REQ(QryTrade, CThostFtdcQryTradeField),
    REQ(QryInvestorPosition, CThostFtdcQryInvestorPositionField),
    REQ(QryTradingAccount, CThostFtdcQryTradingAccountField),
    REQ(QryInstrument, CThostFtdcQryInstrumentField),
    REQ(OrderInsert, CThostFtdcInputOrderField),
    REQ(OrderAction, CThostFtdcInputOrderActionField),
};

constexpr std::size_t kMaxRecord = std::max({
    sizeof(CThostFtdcRspAuthenticateField), sizeof(CThostFtdcRspUserLoginField), sizeof(CThostFtdcInputOrderField),
    sizeof(CThostFtdcInputOrderActionField), sizeof(CThostFtdcSettlementInfoConfirmField),
    sizeof(CThostFtdcOrderField), sizeof(CThostFtdcTradeField), sizeof(CThostFtdcInvestorPositionField),
    sizeof(CThostFtdcTradingAccountField), sizeof(CThostFtdcInstrumentField), sizeof(CThostFtdcOrderActionField)});

// Calls the SPI method of one delivery on fresh copies of its records.
void deliver(CThostFtdcTraderSpi *spi, const Delivery &d) {
    alignas(std::max_align_t) unsigned char data[kMaxRecord];
    CThostFtdcRspInfoField info;
    void *p = nullptr;
    if (d.has_data) {
        std::memcpy(data, d.data.data(), d.data.size());
        p = data;
    }
    CThostFtdcRspInfoField *e = nullptr;
    if (d.has_error) {
        std::memcpy(&info, d.error.data(), sizeof info);
        e = &info;
    }
    const int id = d.request_id;
    const bool last = d.last;
    switch (d.callback->id) {
    case Callback::FrontConnected: spi->OnFrontConnected(); break;
    case Callback::FrontDisconnected: spi->OnFrontDisconnected(d.reason); break;
    case Callback::HeartBeatWarning: spi->OnHeartBeatWarning(d.reason); break;
    case Callback::RspAuthenticate:
        spi->OnRspAuthenticate(static_cast<CThostFtdcRspAuthenticateField *>(p), e, id, last); break;
    case Callback::RspUserLogin: spi->OnRspUserLogin(static_cast<CThostFtdcRspUserLoginField *>(p), e, id, last); break;
    case Callback::RspOrderInsert: spi->OnRspOrderInsert(static_cast<CThostFtdcInputOrderField *>(p), e, id, last); break;
    case Callback::RspOrderAction:
        spi->OnRspOrderAction(static_cast<CThostFtdcInputOrderActionField *>(p), e, id, last); break;
    case Callback::RspSettlementInfoConfirm:
        spi->OnRspSettlementInfoConfirm(static_cast<CThostFtdcSettlementInfoConfirmField *>(p), e, id, last); break;
    case Callback::RspQryOrder: spi->OnRspQryOrder(static_cast<CThostFtdcOrderField *>(p), e, id, last); break;
    case Callback::RspQryTrade: spi->OnRspQryTrade(static_cast<CThostFtdcTradeField *>(p), e, id, last); break;
    case Callback::RspQryInvestorPosition:
        spi->OnRspQryInvestorPosition(static_cast<CThostFtdcInvestorPositionField *>(p), e, id, last); break;
    case Callback::RspQryTradingAccount:
        spi->OnRspQryTradingAccount(static_cast<CThostFtdcTradingAccountField *>(p), e, id, last); break;
    case Callback::RspQryInstrument:
        spi->OnRspQryInstrument(static_cast<CThostFtdcInstrumentField *>(p), e, id, last); break;
    case Callback::RspError: spi->OnRspError(e, id, last); break;
    case Callback::RtnOrder: spi->OnRtnOrder(static_cast<CThostFtdcOrderField *>(p)); break;
    case Callback::RtnTrade: spi->OnRtnTrade(static_cast<CThostFtdcTradeField *>(p)); break;
    case Callback::ErrRtnOrderInsert: spi->OnErrRtnOrderInsert(static_cast<CThostFtdcInputOrderField *>(p), e); break;
    case Callback::ErrRtnOrderAction: spi->OnErrRtnOrderAction(static_cast<CThostFtdcOrderActionField *>(p), e); break;
    }
}

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
        d.callback = &kCallbacks[static_cast<int>(Callback::FrontConnected)];
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

// One connection attempt over the registered addresses. Returns the delay before the next attempt.
double attempt(const std::shared_ptr<Connection> &c, const std::vector<std::string> &addresses) {
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

// The API's own thread: delivers queued callbacks in order and, while not connected, retries the fronts.
void run(std::shared_ptr<Connection> c) {
    std::unique_lock lk(c->mu);
    c->thread = std::this_thread::get_id();
    while (!c->stopping) {
        if (!c->tasks.empty()) {
            Delivery d = std::move(c->tasks.front());
            c->tasks.pop_front();
            for (long i = 0; i < d.count && !c->stopping && c->spi; ++i) {
                CThostFtdcTraderSpi *spi = c->spi;
                c->in_callback = true;
                ++c->callbacks_started;
                lk.unlock();
                deliver(spi, d);
                lk.lock();
                c->in_callback = false;
                if (c->spi_waiters) c->done.notify_all();
            }
            ++c->delivered;
            c->done.notify_all();
            continue;
        }
        if (!c->connected_) {
            if (Clock::now() >= c->next_attempt) {
                std::vector<std::string> addresses = c->addresses;
                lk.unlock();
                double retry = attempt(c, addresses);
                lk.lock();
                if (!c->connected_) c->next_attempt = Clock::now() + std::max(seconds(retry), kMinRetry);
                continue;
            }
            c->wake.wait_until(lk, c->next_attempt);
        } else {
            c->wake.wait(lk);
        }
    }
}

class TraderApi final : public CThostFtdcTraderApi {
public:
    explicit TraderApi(std::string flow_path)
        : conn_(std::make_shared<Connection>(g_next_connection++, std::move(flow_path))) {
        std::time_t now = std::time(nullptr) + 8 * 3600;  // exchange time, UTC+8
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(trading_day_, sizeof trading_day_, "%Y%m%d", &tm);
    }

    void Release() override {
        const auto c = conn_;
        {
            std::lock_guard g(g_mu);
            if (auto f = c->front_.lock()) detach_locked(*f, c);
            c->released_ = true;
        }
        {
            std::lock_guard lk(c->mu);
            c->stopping = true;
            c->spi = nullptr;
            c->tasks.clear();
            c->wake.notify_all();
            c->done.notify_all();
        }
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id())
                thread_.detach();  // released from inside a callback: the thread ends when it returns
            else
                thread_.join();
        }
        delete this;
    }

    void Init() override {
        std::lock_guard lk(conn_->mu);
        if (conn_->started || conn_->stopping) return;
        conn_->started = true;
        conn_->next_attempt = Clock::now();
        thread_ = std::thread(run, conn_);
    }

    int Join() override {
        const auto c = conn_;
        std::unique_lock lk(c->mu);
        if (c->started && c->thread != std::this_thread::get_id()) c->done.wait(lk, [&] { return c->stopping; });
        return 0;
    }

    const char *GetTradingDay() override { return trading_day_; }

    void RegisterFront(char *address) override {
        if (!address) return;
        std::lock_guard lk(conn_->mu);
        conn_->addresses.emplace_back(address);
        conn_->wake.notify_all();
    }

    void RegisterSpi(CThostFtdcTraderSpi *spi) override {
        Connection &c = *conn_;
        std::unique_lock lk(c.mu);
        c.spi = spi;
        if (c.in_callback && c.thread != std::this_thread::get_id()) {
            const std::uint64_t running = c.callbacks_started;
            ++c.spi_waiters;
            c.done.wait(lk, [&] { return !c.in_callback || c.callbacks_started != running; });
            --c.spi_waiters;
        }
    }

    void SubscribePrivateTopic(THOST_TE_RESUME_TYPE, int) override {}
    void SubscribePublicTopic(THOST_TE_RESUME_TYPE) override {}

    int ReqAuthenticate(CThostFtdcReqAuthenticateField *r, int id) override { return request("Authenticate", r, id); }
    int ReqUserLogin(CThostFtdcReqUserLoginField *r, int id) override { return request("UserLogin", r, id); }
    int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *r, int id) override {
        return request("SettlementInfoConfirm", r, id);
    }
    int ReqQryOrder(CThostFtdcQryOrderField *r, int id) override { return request("QryOrder", r, id); }
    int ReqQryTrade(CThostFtdcQryTradeField *r, int id) override { return request("QryTrade", r, id); }
    int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *r, int id) override {
        return request("QryInvestorPosition", r, id);
    }
    int ReqQryTradingAccount(CThostFtdcQryTradingAccountField *r, int id) override {
        return request("QryTradingAccount", r, id);
    }
    int ReqQryInstrument(CThostFtdcQryInstrumentField *r, int id) override { return request("QryInstrument", r, id); }
    int ReqOrderInsert(CThostFtdcInputOrderField *r, int id) override { return request("OrderInsert", r, id); }
    int ReqOrderAction(CThostFtdcInputOrderActionField *r, int id) override { return request("OrderAction", r, id); }

private:
    ~TraderApi() override = default;

    template <class T>
    int request(const char *method, const T *record, int id) {
        if (!record) return -3;
        std::shared_ptr<RequestHook> hook;
        {
            std::lock_guard g(g_mu);
            if (!conn_->connected_) return -1;
            auto f = conn_->front_.lock();
            if (!f) return -1;
            hook = f->hook_;
        }
        const std::string copy(reinterpret_cast<const char *>(record), sizeof(T));
        if (!hook) return 0;
        return hook->on_request(RequestView{conn_, method, id, copy.data(), copy.size()});
    }

    std::shared_ptr<Connection> conn_;
    std::thread thread_;
    char trading_day_[9] = {};
};

}  // namespace

const std::vector<CallbackInfo> &callback_table() { return kCallbacks; }

const CallbackInfo *find_callback(std::string_view name) {
    for (const auto &cb : kCallbacks)
        if (name == cb.name) return &cb;
    return nullptr;
}

const std::vector<RequestInfo> &request_table() { return kRequests; }

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
        d.callback = &kCallbacks[static_cast<int>(Callback::FrontDisconnected)];
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

CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *flow_path, bool) {
    std::string prefix = flow_path ? flow_path : "";
    std::FILE *file = std::fopen((prefix + ctpsim::kFlowFile).c_str(), "ab");
    if (!file) return nullptr;
    std::fprintf(file, "%s\n", ctpsim::kVersion);
    const bool written = std::fclose(file) == 0;
    if (!written) return nullptr;
    try {
        return new ctpsim::TraderApi(std::move(prefix));
    } catch (...) {
        return nullptr;
    }
}

const char *CThostFtdcTraderApi::GetApiVersion() { return ctpsim::kVersion; }
