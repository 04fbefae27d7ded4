// A workout for the bridge's callback queue under a thread checker, without the interpreter.
//
// The queue is the one the bridge's Spi uses (queue.h), fed the way the Spi feeds it: each callback copies
// its record into a type-erased pending event and posts it. The events here carry a source and a number
// instead of building Python records, so that the drain can check that every event arrives once and in order.
//
//   producers    several threads call the callbacks at once while another thread drains the queue the way
//                the session's run loop does (wait for the signal, reset it, take everything)
//   limit        exactly the capacity is delivered whole; one more overflows for good
//   stand-in     the stand-in library's own threads: connect, callbacks from a simulated front, requests
//                answered from the requesting thread, disconnect and reconnect, then shutdown racing
//                callbacks: none may begin after RegisterSpi(nullptr) and Release() have returned
//
// Exits 1 when a check fails. Build and run it with tests/native/run_thread_stress.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "check.h"
#include "queue.h"
#include "registry.h"

namespace {

using kestro::EventQueue;
using kestro::QUEUE_CAPACITY;

// Sources of events. Senders (0, 1, ...) and the answers to requests number their events 0, 1, 2, ... in
// the order they were sent; the others are only counted.
enum : int { CONNECTED = -1, DISCONNECTED = -2, ANSWERS = -3, BURST = -4 };

struct Seen {
    int source;
    long number;
};
using Event = std::function<Seen()>;

// A Spi like the bridge's: copies what the callback got into a pending event and queues it, nothing else.
class StressSpi final : public CThostFtdcTraderSpi {
public:
    EventQueue<Event> queue;
    std::atomic<bool> closed{false};  // the API's shutdown has returned
    std::atomic<long> late{0};        // callbacks that began after that

    void OnFrontConnected() override {
        begin();
        queue.post([] { return Event([] { return Seen{CONNECTED, 0}; }); });
    }
    void OnFrontDisconnected(int reason) override {
        begin();
        queue.post([reason] { return Event([reason] { return Seen{DISCONNECTED, reason}; }); });
    }
    void OnRtnOrder(CThostFtdcOrderField* order) override {
        begin();
        post(order, [](const CThostFtdcOrderField& o) { return Seen{o.SessionID, o.VolumeTraded}; });
    }
    void OnRspOrderInsert(CThostFtdcInputOrderField* input, CThostFtdcRspInfoField*, int request_id, bool) override {
        begin();
        post(input, [request_id](const CThostFtdcInputOrderField&) { return Seen{ANSWERS, request_id}; });
    }

private:
    void begin() {
        if (closed.load()) ++late;
    }
    // As the bridge: the record is copied on the stack (zeroed when absent) and moved into the event.
    template <class Rec, class Read>
    void post(const Rec* data, Read read) {
        queue.post([&] {
            Rec copy;
            std::memset(&copy, 0, sizeof copy);
            if (data) copy = *data;
            return Event([copy, read] { return read(copy); });
        });
    }
};

// What a drain saw: per source the count and whether the numbers ran 0, 1, 2, ... without a gap or repeat.
struct Tally {
    std::map<int, long> count;
    std::map<int, long> broken;  // events out of sequence
    long lost_signals = 0;
    bool overflowed = false;

    void see(const Seen& s) {
        long& n = count[s.source];
        if ((s.source >= 0 || s.source == ANSWERS) && s.number != n) ++broken[s.source];
        ++n;
    }
    // Events of a numbered source continue a sequence that started before this drain.
    void resume(int source, long from) { count[source] = from; }
};

// Drains like the run loop: waits for the signal (a lost one shows as a long wait with events pending),
// resets it, takes everything, until `stop` is seen and one last take finds the rest. `drained`, when
// given, counts what was taken.
void drain(StressSpi& spi, const std::atomic<bool>& stop, Tally& tally, std::atomic<long>* drained = nullptr) {
    pollfd ready{spi.queue.fileno(), POLLIN, 0};
    for (;;) {
        const bool last = stop.load();
        const int n = ::poll(&ready, 1, last ? 0 : 1000);
        spi.queue.signal().clear();
        std::deque<Event> taken;
        if (!spi.queue.take(taken)) {
            tally.overflowed = true;
            return;
        }
        // A signal raised by a post that was taken just now may still be on its way; a lost one never comes.
        if (n == 0 && !last && !taken.empty() && ::poll(&ready, 1, 200) == 0) ++tally.lost_signals;
        for (Event& event : taken) tally.see(event());
        if (drained) drained->fetch_add(static_cast<long>(taken.size()), std::memory_order_relaxed);
        if (last) return;
    }
}

CThostFtdcOrderField order_record(int source, long number) {
    CThostFtdcOrderField o;
    std::memset(&o, 0, sizeof o);
    o.SessionID = source;
    o.VolumeTraded = static_cast<int>(number);
    std::strcpy(o.StatusMsg, "stress");
    return o;
}

// Several threads call the callbacks at once while another drains.
void producers() {
    constexpr int THREADS = 4;
    constexpr long EACH = 50000;
    StressSpi spi;
    std::atomic<bool> stop{false};
    std::atomic<long> posted{0}, drained{0};  // relaxed: a brake only, not an ordering the checker could lean on
    Tally tally;
    std::thread drainer([&] { drain(spi, stop, tally, &drained); });
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (long i = 0; i < EACH; ++i) {
                while (posted.load(std::memory_order_relaxed) - drained.load(std::memory_order_relaxed) >
                       static_cast<long>(QUEUE_CAPACITY / 2))
                    std::this_thread::yield();
                CThostFtdcOrderField o = order_record(t, i);
                spi.OnRtnOrder(&o);
                posted.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto& t : threads) t.join();
    stop = true;
    drainer.join();
    CHECK(!tally.overflowed, "the queue overflowed");
    CHECK(tally.lost_signals == 0, "%ld waits ended on time with events pending", tally.lost_signals);
    for (int t = 0; t < THREADS; ++t) {
        CHECK(tally.count[t] == EACH, "source %d: %ld of %ld events", t, tally.count[t], EACH);
        CHECK(tally.broken[t] == 0, "source %d: %ld events out of order", t, tally.broken[t]);
    }
    std::printf("producers: %d threads x %ld events drained once each, in order, no signal lost\n", THREADS, EACH);
}

// Fills the queue from several threads at once.
void fill(StressSpi& spi, long total) {
    constexpr int THREADS = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&spi, t, total] {
            for (long i = 0; i < total / THREADS; ++i) {
                CThostFtdcOrderField o = order_record(t, i);
                spi.OnRtnOrder(&o);
            }
        });
    for (auto& t : threads) t.join();
}

void limit() {
    {
        StressSpi spi;
        fill(spi, QUEUE_CAPACITY);
        CHECK(spi.queue.signal().clear(), "a full queue without its signal");
        CHECK(!spi.queue.signal().clear(), "the signal raised more than once for one burst");
        std::deque<Event> taken;
        CHECK(spi.queue.take(taken), "exactly the capacity counts as overflow");
        Tally tally;
        for (Event& event : taken) tally.see(event());
        for (int t = 0; t < 4; ++t)
            CHECK(tally.count[t] == static_cast<long>(QUEUE_CAPACITY / 4) && tally.broken[t] == 0,
                  "source %d: %ld events, %ld out of order", t, tally.count[t], tally.broken[t]);
    }
    {
        StressSpi spi;
        fill(spi, QUEUE_CAPACITY + 4);
        std::deque<Event> taken;
        for (int i = 0; i < 3; ++i) CHECK(!spi.queue.take(taken) && taken.empty(), "overflow not sticky");
        spi.OnFrontConnected();
        CHECK(!spi.queue.take(taken), "overflow cleared by a later event");
    }
    {
        // An event that cannot be built is lost like one that does not fit, and says so at once.
        StressSpi spi;
        spi.queue.post([]() -> Event { throw std::bad_alloc(); });
        CHECK(spi.queue.signal().clear(), "a lost event on an empty queue without a signal");
        std::deque<Event> taken;
        CHECK(!spi.queue.take(taken), "a lost event did not overflow the queue");
    }
    std::printf("limit: %zu events delivered whole, one more overflows for good\n", QUEUE_CAPACITY);
}

// The stand-in's front answers every order insertion from the requesting thread.
class Answer final : public ctpsim::RequestHook {
public:
    explicit Answer(std::shared_ptr<ctpsim::Front> front) : front_(std::move(front)) {}
    int on_request(const ctpsim::RequestView& request) override {
        ctpsim::Delivery d;
        d.callback = ctpsim::find_callback("OnRspOrderInsert");
        d.has_data = true;
        d.data.assign(static_cast<const char*>(request.record), request.size);
        d.request_id = request.request_id;
        front_->send(request.connection, std::move(d));
        return 0;
    }

private:
    std::shared_ptr<ctpsim::Front> front_;
};

ctpsim::Delivery order_return(int source, long number) {
    CThostFtdcOrderField o = order_record(source, number);
    ctpsim::Delivery d;
    d.callback = ctpsim::find_callback("OnRtnOrder");
    d.has_data = true;
    d.data.assign(reinterpret_cast<const char*>(&o), sizeof o);
    return d;
}

// Each round of the stand-in: threads that send order returns, and how many each sends while connected.
constexpr int SENDERS = 3;
constexpr long RETURNS_EACH = 3000;

// Order returns numbered [from, to) to `conn`, from each of SENDERS threads of their own.
std::vector<std::thread> send_returns(const std::shared_ptr<ctpsim::Front>& front,
                                      const std::shared_ptr<ctpsim::Connection>& conn, long from, long to) {
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back([&front, &conn, s, from, to] {
            for (long i = from; i < to; ++i) front->send(conn, order_return(s, i));
        });
    return senders;
}

// Everything sent while connected arrives: returns from several threads, answers to requests, a disconnection
// and the reconnection after it. Returns how many requests the API accepted.
long connected_traffic(const std::shared_ptr<ctpsim::Front>& front, CThostFtdcTraderApi* api,
                       const std::shared_ptr<ctpsim::Connection>& conn, int round) {
    long accepted = 0;
    std::vector<std::thread> senders = send_returns(front, conn, 0, RETURNS_EACH);
    std::thread requester([&] {
        for (int i = 0; i < 300; ++i) {
            CThostFtdcInputOrderField input;
            std::memset(&input, 0, sizeof input);
            input.VolumeTotalOriginal = 1;
            // Numbered by the accepted ones: a request refused while disconnected gets no answer.
            if (api->ReqOrderInsert(&input, static_cast<int>(accepted)) == 0) ++accepted;
        }
    });
    front->disconnect(conn, 0x1001);
    for (auto& t : senders) t.join();
    requester.join();
    CHECK(front->wait_connection(10) == conn, "round %d: did not reconnect", round);
    CHECK(front->flush(30), "round %d: deliveries stuck", round);
    return accepted;
}

// What the drain saw while connected: every return and every answer once and in order, two connections, one drop.
void check_connected_tally(Tally& tally, long accepted, int round) {
    CHECK(!tally.overflowed && tally.lost_signals == 0, "round %d: overflow %d, %ld lost signals", round,
          tally.overflowed, tally.lost_signals);
    for (int s = 0; s < SENDERS; ++s)
        CHECK(tally.count[s] == RETURNS_EACH && tally.broken[s] == 0,
              "round %d source %d: %ld of %ld, %ld out of order", round, s, tally.count[s], RETURNS_EACH,
              tally.broken[s]);
    CHECK(tally.count[ANSWERS] == accepted && tally.broken[ANSWERS] == 0,
          "round %d: %ld answers to %ld accepted requests, %ld out of order", round, tally.count[ANSWERS], accepted,
          tally.broken[ANSWERS]);
    CHECK(tally.count[CONNECTED] == 2 && tally.count[DISCONNECTED] == 1, "round %d: %ld connections, %ld drops",
          round, tally.count[CONNECTED], tally.count[DISCONNECTED]);
}

// Shutdown while returns keep coming: whatever arrives is in order and once; nothing after the shutdown.
void racing_shutdown(const std::shared_ptr<ctpsim::Front>& front, CThostFtdcTraderApi* api, StressSpi* spi,
                     const std::shared_ptr<ctpsim::Connection>& conn, int round) {
    Tally racing;
    for (int s = 0; s < SENDERS; ++s) racing.resume(s, RETURNS_EACH);
    std::atomic<bool> stop{false};
    std::thread drainer([&] { drain(*spi, stop, racing); });
    std::vector<std::thread> senders = send_returns(front, conn, RETURNS_EACH, 2 * RETURNS_EACH);
    ctpsim::Delivery burst = order_return(BURST, 0);
    burst.count = 20000;
    front->send(conn, burst);
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 8)));
    api->RegisterSpi(nullptr);
    api->Release();
    spi->closed = true;
    for (auto& t : senders) t.join();
    stop = true;
    drainer.join();
    CHECK(spi->late.load() == 0, "round %d: %ld callbacks after the shutdown", round, spi->late.load());
    for (int s = 0; s < SENDERS; ++s)
        CHECK(racing.broken[s] == 0 && racing.count[s] <= 2 * RETURNS_EACH,
              "round %d source %d: %ld events, %ld out of order", round, s, racing.count[s], racing.broken[s]);
}

// One API from create to shutdown, as the bridge drives it, with everything the front can do racing.
void stand_in_round(const std::shared_ptr<ctpsim::Front>& front, const std::string& flow, int round) {
    auto* spi = new StressSpi;
    CThostFtdcTraderApi* api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow.c_str(), true);
    CHECK(api != nullptr, "no API for %s", flow.c_str());
    if (!api) return;
    api->RegisterSpi(spi);
    api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
    api->SubscribePublicTopic(THOST_TERT_QUICK);
    std::string address = front->address();
    api->RegisterFront(address.data());

    std::atomic<bool> stop{false};
    Tally tally;
    std::thread drainer([&] { drain(*spi, stop, tally); });
    api->Init();
    std::shared_ptr<ctpsim::Connection> conn = front->wait_connection(10);
    CHECK(conn != nullptr, "round %d: never connected", round);
    if (!conn) std::exit(1);
    const long accepted = connected_traffic(front, api, conn, round);
    stop = true;
    drainer.join();
    check_connected_tally(tally, accepted, round);

    racing_shutdown(front, api, spi, conn, round);
    delete spi;  // a callback still running would now touch freed memory
}

void stand_in() {
    constexpr int ROUNDS = 12;
    std::shared_ptr<ctpsim::Front> front = ctpsim::Front::open("");
    front->set_retry_interval(0.001);
    front->set_hook(std::make_shared<Answer>(front));
    char flow[] = "/tmp/velkor-stress-XXXXXX";
    CHECK(::mkdtemp(flow) != nullptr, "no temporary directory");
    for (int round = 0; round < ROUNDS; ++round) stand_in_round(front, std::string(flow) + "/", round);
    front->close();  // drops the hook, and with it the hook's hold on the front
    std::remove((std::string(flow) + "/trader.flow").c_str());
    std::remove(flow);
    std::printf("stand-in: %d rounds of connect, returns from 3 threads, requests, disconnect, reconnect and a "
                "shutdown racing returns: each event once and in order, none after the shutdown\n", ROUNDS);
}

}  // namespace

int main() {
    end_after(std::chrono::minutes(10));  // a queue broken badly enough can spin for ever
    producers();
    limit();
    stand_in();
    return verdict();
}
