// ctpsim._front: the Python face of the registry of simulated fronts, the field tables of every record, a record
// encoder and a small native client of the API for tests.
#include <nanobind/stl/string.h>

#include "module.h"
#include "records.h"
#include "registry.h"

#include "../../common/main_interpreter.h"

namespace ctpsim::binding {
namespace {

const char *shape_name(ctpsim::Shape s) {
    switch (s) {
    case ctpsim::Shape::Plain: return "plain";
    case ctpsim::Shape::Reason: return "reason";
    case ctpsim::Shape::Response: return "response";
    case ctpsim::Shape::Error: return "error";
    case ctpsim::Shape::Return: return "return";
    case ctpsim::Shape::ErrorReturn: return "error_return";
    }
    return "";
}

// RECORDS, CALLBACKS, REQUESTS and RSP_INFO: the records, callbacks and requests by name.
void add_tables(nb::module_ &m) {
    nb::dict records;
    for (const Record &r : make_records()) {
        nb::list fields;
        for (const Field &f : r.fields) fields.append(nb::make_tuple(f.name, f.offset, f.size, std::string(1, f.kind)));
        records[r.name] = nb::make_tuple(r.size, fields);
    }
    m.attr("RECORDS") = records;
    nb::dict callbacks;
    for (const auto &cb : ctpsim::callback_table())
        callbacks[cb.name] = nb::make_tuple(cb.record ? nb::object(nb::str(cb.record)) : nb::none(),
                                            shape_name(cb.shape));
    m.attr("CALLBACKS") = callbacks;
    nb::dict requests;
    for (const auto &rq : ctpsim::request_table()) requests[rq.method] = rq.record;
    m.attr("REQUESTS") = requests;
    m.attr("RSP_INFO") = "CThostFtdcRspInfoField";
}

}  // namespace
}  // namespace ctpsim::binding

// The bindings; PyInit__front (at the end) lets them load in the main interpreter only: the registry of
// fronts is the process's, shared with the stand-in library.
NB_MODULE(_front_bindings, m) {
    using namespace ctpsim::binding;
    using namespace nb::literals;
    // No report of objects still alive at exit (see trading/module.cpp).
    nb::set_leak_warnings(false);
    bind_front_core(m);
    bind_client(m);
    m.def("version", [] { return std::string(CThostFtdcTraderApi::GetApiVersion()); });
    m.def("encode", &encode, "record"_a, "data"_a);
    add_tables(m);
}

extern "C" NB_EXPORT PyObject* PyInit__front() {
    if (velkor::refuse_sub_interpreter("ctpsim._front") < 0) return nullptr;
    return PyInit__front_bindings();
}
