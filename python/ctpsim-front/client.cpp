// Client: a native client of the stand-in API for tests, which records its callbacks as plain bytes.
#include <nanobind/stl/string.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "module.h"

namespace ctpsim::binding {

using namespace nb::literals;

namespace {

struct Event {
    std::string name;
    bool has_data = false;
    std::string data;
    bool has_error = false;
    std::string error;
    int request_id = 0;
    bool last = false;
    int reason = 0;
};

// Records every callback as plain bytes, without touching Python; optionally lingers in each callback, and
// optionally shuts its API down from inside the callback named `release_in`.
class RecordingSpi final : public CThostFtdcTraderSpi {
public:
    double linger = 0;
    std::string release_in;
    std::atomic<CThostFtdcTraderApi *> *api = nullptr;
    std::mutex mu;
    std::vector<Event> events;
    std::atomic<bool> released{false};
    std::atomic<int> late{0};     // callbacks that started after release returned
    std::atomic<int> running{0};  // callbacks running now

    void record(const char *name, const void *data, std::size_t size, const CThostFtdcRspInfoField *info, int id,
                bool last, int reason = 0) {
        ++running;
        if (released) ++late;
        Event e;
        e.name = name;
        if (data) e.has_data = true, e.data.assign(static_cast<const char *>(data), size);
        if (info) e.has_error = true, e.error.assign(reinterpret_cast<const char *>(info), sizeof *info);
        e.request_id = id;
        e.last = last;
        e.reason = reason;
        {
            std::lock_guard lk(mu);
            events.push_back(std::move(e));
        }
        if (linger > 0) std::this_thread::sleep_for(std::chrono::duration<double>(linger));
        if (!release_in.empty() && release_in == name) {
            if (CThostFtdcTraderApi *a = api->exchange(nullptr)) {
                a->RegisterSpi(nullptr);
                a->Release();
                released = true;
            }
        }
        --running;
    }

#define RSP(cb, T) \
    void cb(T *p, CThostFtdcRspInfoField *e, int id, bool last) override { record(#cb, p, sizeof(T), e, id, last); }
    void OnFrontConnected() override { record("OnFrontConnected", nullptr, 0, nullptr, 0, false); }
    void OnFrontDisconnected(int reason) override {
        record("OnFrontDisconnected", nullptr, 0, nullptr, 0, false, reason);
    }
    void OnHeartBeatWarning(int lapse) override { record("OnHeartBeatWarning", nullptr, 0, nullptr, 0, false, lapse); }
    RSP(OnRspAuthenticate, CThostFtdcRspAuthenticateField)
    RSP(OnRspUserLogin, CThostFtdcRspUserLoginField)
    RSP(OnRspOrderInsert, CThostFtdcInputOrderField)
    RSP(OnRspOrderAction, CThostFtdcInputOrderActionField)
    RSP(OnRspSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField)
    RSP(OnRspQryOrder, CThostFtdcOrderField)
    RSP(OnRspQryTrade, CThostFtdcTradeField)
    RSP(OnRspQryInvestorPosition, CThostFtdcInvestorPositionField)
    RSP(OnRspQryTradingAccount, CThostFtdcTradingAccountField)
    RSP(OnRspQryInstrument, CThostFtdcInstrumentField)
#undef RSP
    void OnRspError(CThostFtdcRspInfoField *e, int id, bool last) override {
        record("OnRspError", nullptr, 0, e, id, last);
    }
    void OnRtnOrder(CThostFtdcOrderField *p) override { record("OnRtnOrder", p, sizeof *p, nullptr, 0, true); }
    void OnRtnTrade(CThostFtdcTradeField *p) override { record("OnRtnTrade", p, sizeof *p, nullptr, 0, true); }
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *p, CThostFtdcRspInfoField *e) override {
        record("OnErrRtnOrderInsert", p, sizeof *p, e, 0, true);
    }
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *p, CThostFtdcRspInfoField *e) override {
        record("OnErrRtnOrderAction", p, sizeof *p, e, 0, true);
    }
};

template <class T>
int call(CThostFtdcTraderApi *api, int (CThostFtdcTraderApi::*op)(T *, int), const std::string &record, int id) {
    if (record.size() != sizeof(T)) throw std::invalid_argument("record has the wrong size");
    T copy;
    std::memcpy(&copy, record.data(), sizeof copy);
    return (api->*op)(&copy, id);
}

class Client {
public:
    Client(nb::bytes flow_path, const std::string &front, double linger, const std::string &release_in) {
        spi_.linger = linger;
        spi_.release_in = release_in;
        spi_.api = &api_;
        CThostFtdcTraderApi *a = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_path.c_str(), true);
        if (!a) throw std::runtime_error("CreateFtdcTraderApi returned null");
        api_ = a;
        a->RegisterSpi(&spi_);
        a->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
        a->SubscribePublicTopic(THOST_TERT_QUICK);
        std::string address = front;
        a->RegisterFront(address.data());
        a->Init();
    }

    ~Client() {
        release();
        // A callback that released the API from inside may still be returning on the API's thread.
        while (spi_.running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    CThostFtdcTraderApi *api() {
        CThostFtdcTraderApi *a = api_;
        if (!a) throw std::runtime_error("released");
        return a;
    }

    // Throws std::invalid_argument for an unknown method or a record of the wrong size.
    int request(const std::string &method, const std::string &r, int id) {
        CThostFtdcTraderApi *a = api();
        using A = CThostFtdcTraderApi;
        if (method == "Authenticate") return call(a, &A::ReqAuthenticate, r, id);
        if (method == "UserLogin") return call(a, &A::ReqUserLogin, r, id);
        if (method == "SettlementInfoConfirm") return call(a, &A::ReqSettlementInfoConfirm, r, id);
        if (method == "QryOrder") return call(a, &A::ReqQryOrder, r, id);
        if (method == "QryTrade") return call(a, &A::ReqQryTrade, r, id);
        if (method == "QryInvestorPosition") return call(a, &A::ReqQryInvestorPosition, r, id);
        if (method == "QryTradingAccount") return call(a, &A::ReqQryTradingAccount, r, id);
        if (method == "QryInstrument") return call(a, &A::ReqQryInstrument, r, id);
        if (method == "OrderInsert") return call(a, &A::ReqOrderInsert, r, id);
        if (method == "OrderAction") return call(a, &A::ReqOrderAction, r, id);
        throw std::invalid_argument("unknown request");
    }

    nb::list events() {
        std::vector<Event> taken;
        {
            std::lock_guard lk(spi_.mu);
            taken.swap(spi_.events);
        }
        nb::list out;
        for (const Event &e : taken) {
            nb::object data = e.has_data ? nb::object(nb::bytes(e.data.data(), e.data.size())) : nb::none();
            nb::object error = e.has_error ? nb::object(nb::bytes(e.error.data(), e.error.size())) : nb::none();
            out.append(nb::make_tuple(e.name, data, error, e.request_id, e.last, e.reason));
        }
        return out;
    }

    void register_spi(bool attached) {
        api()->RegisterSpi(attached ? &spi_ : nullptr);
    }

    // RegisterSpi(nullptr) and Release(), as a client shuts the API down.
    void release() {
        CThostFtdcTraderApi *a = api_.exchange(nullptr);
        if (!a) return;
        a->RegisterSpi(nullptr);
        a->Release();
        spi_.released = true;
    }

    std::string trading_day() { return api()->GetTradingDay(); }

    RecordingSpi spi_;
    std::atomic<CThostFtdcTraderApi *> api_{nullptr};
};

// Client.request(method, record, request_id) as a plain CPython method, like the waits: the front's handler runs
// inside the request, and a daemon thread may be ended there at interpreter exit.
PyObject *client_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Client *client = nullptr;
    std::string method, record;
    int id = 0;
    try {
        if (nargs != 3) throw std::invalid_argument("");
        client = &nb::cast<Client &>(nb::handle(self));
        method = nb::cast<std::string>(nb::handle(args[0]));
        nb::bytes raw = nb::cast<nb::bytes>(nb::handle(args[1]));
        record.assign(raw.c_str(), raw.size());
        id = nb::cast<int>(nb::handle(args[2]));
    } catch (const std::exception &) {
        PyErr_SetString(PyExc_TypeError, "request(method: str, record: bytes, request_id: int)");
        return nullptr;
    }
    int result;
    try {
        result = client->request(method, record, id);
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::runtime_error &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return PyLong_FromLong(result);
}

PyMethodDef kClientRequest = {
    "request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_request)), METH_FASTCALL,
    "request(method, record, request_id): the request call's result"};

}  // namespace

void bind_client(nb::module_ &m) {
    nb::class_<Client>(m, "Client")
        .def(nb::init<nb::bytes, const std::string &, double, const std::string &>(), "flow_path"_a, "front"_a,
             "linger"_a = 0.0, "release_in"_a = "")
        .def_prop_ro("released", [](const Client &c) { return c.api_.load() == nullptr; })
        .def("events", &Client::events)
        .def("register_spi", &Client::register_spi, "attached"_a)
        .def("release", &Client::release)
        .def("trading_day", &Client::trading_day)
        .def_prop_ro("late_callbacks", [](const Client &c) { return c.spi_.late.load(); })
        .def_prop_ro("running_callbacks", [](const Client &c) { return c.spi_.running.load(); });

    nb::handle client = nb::type<Client>();
    nb::object request = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(client.ptr()), &kClientRequest));
    if (!request.is_valid()) throw nb::python_error();
    nb::setattr(client, "request", request);
}

}  // namespace ctpsim::binding
