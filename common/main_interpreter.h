// The extension modules of velkor keep process-wide state (types, interned names, imported modules
// and caches in statics, the bridge's text codecs, the session's dict watcher): they load in the
// main interpreter only. Each module's PyInit_ checks first, before anything is set up, so that a
// sub-interpreter gets a clear ImportError instead of the first interpreter's objects.
#pragma once

#include <Python.h>

namespace velkor {

// 0 in the main interpreter; else -1 with an ImportError naming `module` (its full name).
inline int refuse_sub_interpreter(const char* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    // The format must be ASCII: the Chinese and the name go in as UTF-8 arguments.
    PyObject* message = PyUnicode_FromFormat(
        "%s%s%s%s", module, " 不能在子解释器中加载：它的状态由整个进程共享，只能在主解释器中导入。", module,
        " cannot be loaded in a sub-interpreter: its state is shared by the whole process; import it in the "
        "main interpreter only.");
    PyObject* name = message ? PyUnicode_FromString(module) : nullptr;
    if (name) PyErr_SetImportError(message, name, nullptr);
    Py_XDECREF(message);
    Py_XDECREF(name);
    return -1;
}

}  // namespace velkor
