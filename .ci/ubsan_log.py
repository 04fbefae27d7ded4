"""Sends UndefinedBehaviorSanitizer's reports to a file per process, as AddressSanitizer's already go.

Loaded at start-up by every interpreter of the sanitizer environment (./run sanitize installs it there with a
.pth file). With both runtimes loaded, libubsan's own call that sets its report file binds to libasan's copy of
that function, so its reports would go to standard error, where a test's captured output or a child
interpreter's pipe swallows them. Calling libubsan's copy through its own handle fixes that.
"""

import ctypes
import os


def _route() -> None:
    options = dict(item.split("=", 1) for item in os.environ.get("UBSAN_OPTIONS", "").split(":") if "=" in item)
    path = options.get("log_path")
    if not path or path in ("stderr", "stdout"):
        return
    for library in os.environ.get("LD_PRELOAD", "").split():
        if os.path.basename(library).startswith("libubsan"):
            ctypes.CDLL(library).__sanitizer_set_report_path(path.encode())


_route()
