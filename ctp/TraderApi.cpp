// The stand-in trader API: each API instance runs one thread that connects to a simulated front of the
// process-wide registry (python/ctpsim-front, compiled into this library) and delivers the callbacks that front
// sends it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "connection.h"

namespace ctpsim {
namespace {

constexpr auto kMinRetry = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(1));
std::atomic<std::uint64_t> g_next_connection{1};
// GetApiVersion(); a build may name another version (tests build stand-ins that differ from the bridge's).
#ifndef VELKOR_CTP_API_VERSION
#define VELKOR_CTP_API_VERSION "velkor CTP stand-in 1.0"
#endif
constexpr const char *kVersion = VELKOR_CTP_API_VERSION;
constexpr const char *kFlowFile = "trader.flow";

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
                double retry = attempt_connection(c, addresses);
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
        release_connection(c);
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
        return forward_request(conn_, method, id, record, sizeof(T));
    }

    std::shared_ptr<Connection> conn_;
    std::thread thread_;
    char trading_day_[9] = {};
};

}  // namespace

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
