// The C++ side of a session, beside its instance dict: the closing-lot index it derives from its
// orders (book_index.h) and the fallbacks it counts (diagnostics.h).
#include "diagnostics.h"

namespace velkor::trading {

Trading::Trading() : diagnostics(std::make_unique<Diagnostics>()) {}

Trading::~Trading() = default;

Trading* trading_state(nb::handle self) {
    static PyTypeObject* session_type = reinterpret_cast<PyTypeObject*>(nb::type<Trading>().ptr());
    if (!PyObject_TypeCheck(self.ptr(), session_type) || !nb::inst_ready(self)) return nullptr;
    return nb::inst_ptr<Trading>(self);
}

}  // namespace velkor::trading
