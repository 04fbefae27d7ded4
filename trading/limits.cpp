// velkor.trading.Limits: a small frozen value holding the pre-trade rules of a session. Every setting
// is keyword-only and checked once, at construction; equal values compare and hash alike.
#include "limit_rules.h"

#include <string>

namespace velkor::trading::limits {

namespace {

struct LimitsValue {
    Settings settings;
};

// The int settings, in the order of the constructor, repr and state.
struct IntField {
    const char* name;
    long long Settings::*member;
    long long minimum;
    bool optional;  // None switches the rule off
};

constexpr IntField int_fields[] = {
    {"max_order_volume", &Settings::max_order_volume, 0, true},
    {"max_active_orders", &Settings::max_active_orders, 0, true},
    {"max_orders_per_second", &Settings::max_orders_per_second, 0, true},
    {"max_cancels_per_contract", &Settings::max_cancels_per_contract, 0, true},
    {"max_large_cancels_per_contract", &Settings::max_large_cancels_per_contract, 0, true},
    {"large_order_volume", &Settings::large_order_volume, 1, false},
};
constexpr size_t int_count = std::size(int_fields);

[[noreturn]] void refuse(PyObject* type, const IntField& field, const std::string& what) {
    raise(type, std::string(field.name) + " " + what);
}

std::string repr_of(nb::handle value) { return nb::borrow<nb::str>(nb::repr(value)).c_str(); }

long long parse_int(const IntField& field, nb::handle value) {
    if (value.is_none() && field.optional) return Settings::off;
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        refuse(PyExc_TypeError, field, std::string("必须是 int") + (field.optional ? " 或 None" : "") + "，不能是 " +
                                           Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) refuse(PyExc_ValueError, field, "超出范围：" + repr_of(value));
    if (overflow < 0 || number < field.minimum)
        refuse(PyExc_ValueError, field,
               (field.minimum == 0 ? std::string("不能为负数：") : "必须至少为 " + std::to_string(field.minimum) + "：") +
                   repr_of(value));
    return number;
}

bool parse_bool(const char* name, nb::handle value) {
    if (!PyBool_Check(value.ptr()))
        raise(PyExc_TypeError, std::string(name) + " 必须是 bool，不能是 " + Py_TYPE(value.ptr())->tp_name);
    return value.ptr() == Py_True;
}

// The settings from the constructor's arguments (or a state), in field order, self_trade last.
Settings parse(const nb::handle (&ints)[int_count], nb::handle self_trade) {
    Settings s;
    for (size_t i = 0; i < int_count; ++i) s.*int_fields[i].member = parse_int(int_fields[i], ints[i]);
    s.self_trade = parse_bool("self_trade", self_trade);
    return s;
}

nb::object int_value(long long number) { return number == Settings::off ? nb::none() : nb::object(nb::int_(number)); }

// Every setting as Python sees it, in field order: the state, and what equality and hash compare.
nb::tuple values(const LimitsValue& v) {
    nb::list out;
    for (const IntField& field : int_fields) out.append(int_value(v.settings.*field.member));
    out.append(nb::bool_(v.settings.self_trade));
    return nb::tuple(out);
}

Settings from_state(nb::handle state) {
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != int_count + 1)
        raise(PyExc_ValueError, "Limits 的状态应为含 7 个值的 tuple");
    nb::tuple t = nb::borrow<nb::tuple>(state);
    nb::handle ints[int_count];
    for (size_t i = 0; i < int_count; ++i) ints[i] = t[i];
    return parse(ints, t[int_count]);
}

nb::str repr(const LimitsValue& v) {
    std::string text = "Limits(";
    nb::tuple all = values(v);
    for (size_t i = 0; i <= int_count; ++i) {
        text += i ? ", " : "";
        text += i < int_count ? int_fields[i].name : "self_trade";
        text += "=" + repr_of(all[i]);
    }
    return nb::str((text + ")").c_str());
}

void init(LimitsValue* v, nb::handle max_order_volume, nb::handle max_active_orders, nb::handle max_orders_per_second,
          nb::handle max_cancels_per_contract, nb::handle max_large_cancels_per_contract,
          nb::handle large_order_volume, nb::handle self_trade) {
    const nb::handle ints[int_count] = {max_order_volume,         max_active_orders,
                                        max_orders_per_second,    max_cancels_per_contract,
                                        max_large_cancels_per_contract, large_order_volume};
    new (v) LimitsValue{parse(ints, self_trade)};
}

}  // namespace

nb::object settings_by_name(nb::handle value) {
    if (!settings_of(value)) return nb::none();
    nb::tuple all = values(*nb::inst_ptr<LimitsValue>(value));
    nb::dict out;
    for (size_t i = 0; i <= int_count; ++i) out[i < int_count ? int_fields[i].name : "self_trade"] = all[i];
    return out;
}

const Settings* settings_of(nb::handle value) {
    if (!nb::isinstance<LimitsValue>(value) || !nb::inst_ready(value)) return nullptr;
    return &nb::inst_ptr<LimitsValue>(value)->settings;
}

}  // namespace velkor::trading::limits

namespace velkor::trading {

void bind_limits(nb::module_& m) {
    using namespace limits;
    nb::class_<LimitsValue> cls(m, "Limits", doc::limits_class, nb::is_final());
    cls.def("__init__", &init, nb::kw_only(), nb::arg("max_order_volume").none() = nb::none(),
            nb::arg("max_active_orders").none() = nb::none(), nb::arg("max_orders_per_second").none() = nb::none(),
            nb::arg("max_cancels_per_contract").none() = nb::none(),
            nb::arg("max_large_cancels_per_contract").none() = nb::none(),
            nb::arg("large_order_volume").none() = nb::int_(300), nb::arg("self_trade").none() = nb::bool_(false),
            nb::sig(doc::limits_init_sig));
    for (size_t i = 0; i < int_count; ++i) {
        long long Settings::*member = int_fields[i].member;
        cls.def_prop_ro(int_fields[i].name,
                        [member](const LimitsValue& v) { return int_value(v.settings.*member); });
    }
    cls.def_prop_ro("self_trade", [](const LimitsValue& v) { return v.settings.self_trade; });
    cls.def("__eq__", [](const LimitsValue& v, nb::handle other) -> nb::object {
        if (!nb::isinstance<LimitsValue>(other)) return nb::borrow(Py_NotImplemented);
        return nb::bool_(values(v).equal(values(nb::cast<const LimitsValue&>(other))));
    }, nb::arg("other").none());
    cls.def("__hash__", [](const LimitsValue& v) { return nb::hash(values(v)); });
    cls.def("__repr__", &repr);
    // Copies and pickles go through the state, checked again on the way in.
    cls.def("__getstate__", &values);
    cls.def("__setstate__", [](LimitsValue& v, nb::handle state) { new (&v) LimitsValue{from_state(state)}; },
            nb::arg("state").none());
}

}  // namespace velkor::trading
