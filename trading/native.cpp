// Native: the session's adapter over one handle of the bridge velkor._kestro.
#include "session.h"

namespace velkor::trading {

namespace {

struct Native {};

// The bridge, imported relative to this module's package on every construction.
nb::object import_bridge() {
    nb::object package = nb::getattr(module(), "__package__", nb::none());
    if (package.is_none() || !truthy(package)) {
        nb::str full = nb::borrow<nb::str>(module().attr("__name__"));
        package = full.attr("rpartition")(".")[0];
    }
    PyObject* fromlist = Py_BuildValue("(s)", "_kestro");
    if (!fromlist) throw nb::python_error();
    nb::object globals = nb::dict();
    globals["__package__"] = package;
    globals["__name__"] = module().attr("__name__");
    PyObject* pkg = PyImport_ImportModuleLevelObject(name("").ptr(), globals.ptr(), nullptr, fromlist, 1);
    Py_DECREF(fromlist);
    if (!pkg) throw nb::python_error();
    nb::object parent = nb::steal(pkg);
    PyObject* bridge = PyObject_GetAttr(parent.ptr(), name("_kestro").ptr());
    if (!bridge) {
        // As `from . import _kestro` reports a name the package does not have.
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            nb::str text = nb::str("cannot import name '_kestro' from '{}'").format(package);
            PyErr_SetObject(PyExc_ImportError, text.ptr());
        }
        throw nb::python_error();
    }
    return nb::steal(bridge);
}

void native_init(nb::pointer_and_handle<Native> self, nb::handle config, nb::handle directory) {
    nb::object bridge;
    try {
        bridge = import_bridge();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        nb::object cause = nb::borrow(e.value());
        PyErr_SetObject(global("VelkorError").ptr(),
                        nb::str("CTP 原生模块不可用，请安装适用于当前 64 位平台的 velkor wheel").ptr());
        // raise ... from cause
        nb::python_error raised;
        PyException_SetCause(raised.value().ptr(), cause.release().ptr());
        PyException_SetContext(raised.value().ptr(), nb::borrow(e.value()).release().ptr());
        throw raised;
    }
    set(self.h, "module", bridge);

    nb::object os = global("os");
    PyObject* dir_text = PyObject_Str(directory.ptr());
    if (!dir_text) throw nb::python_error();
    nb::object path = nb::steal(dir_text) + os.attr("sep");
    nb::object encoded = equals(os.attr("name"), nb::str("nt")) ? path.attr("encode")("mbcs")
                                                                         : os.attr("fsencode")(path);
    set(self.h, "handle", bridge.attr("create")(config.attr("front_url"), encoded));
    new (self.p) Native();
}

nb::object native_request(nb::handle self, nb::handle method, nb::handle data, nb::handle request_id) {
    return get(self, "module").attr("request")(get(self, "handle"), method, data, request_id);
}

nb::object native_poll(nb::handle self) { return get(self, "module").attr("poll")(get(self, "handle")); }

void native_close(nb::handle self) { get(self, "module").attr("close")(get(self, "handle")); }

// The bridge's readiness descriptor for this handle, which the run loop watches; None from a bridge
// without one.
nb::object native_fileno(nb::handle self) {
    nb::object fileno = nb::getattr(get(self, "module"), "fileno", nb::none());
    if (fileno.is_none()) return fileno;
    return fileno(get(self, "handle"));
}

}  // namespace

void bind_native(nb::module_& m) {
    nb::class_<Native>(m, "Native", nb::dynamic_attr(), nb::is_weak_referenceable())
        .def("__init__", &native_init, nb::arg("config").none(), nb::arg("directory").none(),
             nb::sig(doc::native_init_sig), doc::native_init)
        .def("request", &native_request, nb::arg("method").none(), nb::arg("data").none(), nb::arg("request_id").none(),
             nb::sig(doc::native_request_sig), doc::native_request)
        .def("poll", &native_poll, nb::sig(doc::native_poll_sig), doc::native_poll)
        .def("close", &native_close, nb::sig(doc::native_close_sig), doc::native_close)
        .def("fileno", &native_fileno, nb::sig(doc::native_fileno_sig), doc::native_fileno);
}

}  // namespace velkor::trading
