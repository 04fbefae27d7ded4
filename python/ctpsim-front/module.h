// The parts of ctpsim._front, each in the file named after it; module.cpp puts them together.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace ctpsim::binding {

namespace nb = nanobind;

// front_core.cpp: Connection, FrontCore (one registered front), flush and wait_connection.
void bind_front_core(nb::module_ &m);
// client.cpp: Client, a native client of the stand-in API for tests.
void bind_client(nb::module_ &m);
// encode.cpp: the bytes of `record` with the fields in the dict `data` set; fields not given are zero.
nb::bytes encode(const std::string &record, nb::handle data);

}  // namespace ctpsim::binding
