// The field tables of every record the simulated front sends or reads: each field's name, offset, size and kind.
#pragma once

#include <cstddef>
#include <vector>

namespace ctpsim::binding {

struct Field {
    const char *name;
    std::size_t offset;
    std::size_t size;
    char kind;  // 's' string char[N], 'c' char, 'i' int, 'd' double
};

struct Record {
    const char *name;
    std::size_t size;
    std::vector<Field> fields;
};

// Every record, in a fixed order.
std::vector<Record> make_records();

}  // namespace ctpsim::binding
