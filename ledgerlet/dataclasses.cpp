// CtpAccount and TradingResult: frozen dataclasses made by the standard dataclasses module, so that they are
// real dataclasses (fields(), replace(), the frozen-instance error, generated repr, == and hash).
#include "ledgerlet.h"

namespace velkor::ledgerlet {

namespace {

constexpr const char* credential_names[] = {"broker_id", "user_id", "password", "front_url", "app_id", "auth_code"};

constexpr const char* ctp_account_doc =
    "CTP 直连账户配置，交易凭据不会发送至行情服务。\n"
    "\n"
    "Args:\n"
    "    broker_id: 期货公司代码。\n"
    "    user_id: 资金账号。\n"
    "    password: 交易密码。\n"
    "    front_url: 交易前置地址，格式为 tcp://地址:端口。\n"
    "    app_id: 期货公司提供的客户端标识。\n"
    "    auth_code: 期货公司提供的客户端授权码。";

bool valid_credential(PyObject* value) {
    if (!PyUnicode_Check(value)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    return n > 0 && PyUnicode_FindChar(value, 0, 0, n, 1) == -1;
}

// Validation run by the generated __init__ once every field is set.
PyObject* ctp_account_post_init(PyObject* self, PyObject*) {
    for (const char* name : credential_names) {
        PyObject* value = PyObject_GetAttrString(self, name);
        if (!value) return nullptr;
        bool ok = valid_credential(value);
        Py_DECREF(value);
        if (!ok) {
            PyErr_Format(PyExc_ValueError, "%s%s", name, " 必须是非空字符串，且不能包含 NUL 字符");
            return nullptr;
        }
    }
    PyObject* url = PyObject_GetAttrString(self, "front_url");
    if (!url) return nullptr;
    PyObject* prefix = PyUnicode_FromString("tcp://");
    Py_ssize_t match = prefix ? PyUnicode_Tailmatch(url, prefix, 0, PY_SSIZE_T_MAX, -1) : -1;
    Py_XDECREF(prefix);
    Py_DECREF(url);
    if (match < 0) return nullptr;
    if (!match) {
        PyErr_SetString(PyExc_ValueError, "front_url 必须以 tcp:// 开头");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef post_init_def = {"__post_init__", ctp_account_post_init, METH_NOARGS,
                             "__post_init__($self, /)\n--\n\n"
                             "Checks every credential and the front address; raises ValueError for the first fault."};

// type(name, (), ns) with the module's name and the given annotations, then dataclass(frozen=True).
nb::object frozen_dataclass(const char* name, const char* doc, nb::dict annotations, nb::dict ns) {
    ns["__module__"] = module_name;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    ns["__annotations__"] = annotations;
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, nb::tuple(), ns);
    nb::object dataclass = nb::module_::import_("dataclasses").attr("dataclass");
    return dataclass(type, nb::arg("frozen") = true);
}

}  // namespace

nb::object make_ctp_account() {
    nb::object field = nb::module_::import_("dataclasses").attr("field");
    nb::dict annotations, ns;
    for (const char* name : credential_names) annotations[name] = "str";
    ns["password"] = field(nb::arg("repr") = false);
    ns["auth_code"] = field(nb::arg("repr") = false);
    // Present while the dataclass is made so that its __init__ calls the hook; replaced by the C method below.
    ns["__post_init__"] = nb::none();
    nb::object type = frozen_dataclass("CtpAccount", ctp_account_doc, annotations, ns);
    set_method(type, &post_init_def);
    return type;
}

nb::object make_trading_result() {
    nb::dict annotations, ns;
    annotations["status"] = "Literal['SUBMITTED', 'REJECTED', 'UNKNOWN']";
    annotations["order_id"] = "str | None";
    annotations["message"] = "str";
    ns["message"] = "";
    return frozen_dataclass("TradingResult", "一次交易操作的即时提交结果；不是最终委托或撤单结果。", annotations, ns);
}

}  // namespace velkor::ledgerlet
