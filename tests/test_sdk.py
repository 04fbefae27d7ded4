"""Building against a vendor CTP SDK: the setup calls of each release's declarations, a vendor-shaped SDK built
from our stand-in (installed, its folders deleted, then imported), the version guard, and relocatable installs."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CXX = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
READELF = shutil.which("readelf")
needs_toolchain = pytest.mark.skipif(not (CXX and READELF and shutil.which("cmake")),
                                     reason="needs a C++ compiler, readelf and cmake")

SDK_VERSION = "v6.7.13_20260225 14:16:30.12079"
STANDIN_VERSION = "velkor CTP stand-in 1.0"

# A stand-in API class whose two release-dependent calls record their arguments.
SHAPE_HEADER = """\
#pragma once
#include <string>
enum THOST_TE_RESUME_TYPE {{ THOST_TERT_RESTART, THOST_TERT_RESUME, THOST_TERT_QUICK, THOST_TERT_NONE }};
inline std::string calls;
inline std::string text(const char* s) {{ return s; }}
template <class T> std::string text(T v) {{ return std::to_string(static_cast<long>(v)); }}
template <class... A> void note(const char* what, A... args) {{
    calls += std::string(calls.empty() ? "" : " ") + what + "(";
    int n = 0;
    ((calls += (n++ ? "," : "") + text(args)), ...);
    calls += ")";
}}
class CThostFtdcTraderApi {{
public:
    static CThostFtdcTraderApi* CreateFtdcTraderApi({create}) {{
        note("create"{create_args});
        static CThostFtdcTraderApi api;
        return &api;
    }}
    virtual void SubscribePrivateTopic({subscribe}) {{ note("private"{subscribe_args}); }}
    virtual ~CThostFtdcTraderApi() = default;
}};
"""
SHAPE_MAIN = """\
#include <cstdio>
#include "api_setup.h"
int main() {
    CThostFtdcTraderApi* api = kestro::create_trader_api("flow/");
    kestro::subscribe_private_quick(api);
    std::fputs(calls.c_str(), stdout);
}
"""


def our_declarations():
    header = (ROOT / "ctp" / "ThostFtdcTraderApi.h").read_text()
    return tuple(re.search(rf"{name}\(([^)]*)\)", header).group(1)
                 for name in ("CreateFtdcTraderApi", "SubscribePrivateTopic"))


def call_args(params):
    """`, a, b` for the parameter list `T a = x, U b`."""
    names = [re.search(r"(\w+)\s*(=.*)?$", p.strip()).group(1) for p in params.split(",")]
    return "".join(", " + n for n in names)


@needs_toolchain
@pytest.mark.parametrize("create, subscribe, expected", [
    pytest.param('const char* pszFlowPath = "", bool bIsProductionMode = true',
                 "THOST_TE_RESUME_TYPE nResumeType, int nSeqNo = 1", "create(flow/,1) private(2,1)", id="6.7.13"),
    pytest.param("const char* pszFlowPath, bool bIsProductionMode", "THOST_TE_RESUME_TYPE nResumeType",
                 "create(flow/,1) private(2)", id="6.7.11"),
    pytest.param('const char* pszFlowPath = ""', "THOST_TE_RESUME_TYPE nResumeType", "create(flow/) private(2)",
                 id="6.7.10"),
    pytest.param(*our_declarations(), "create(flow/,1) private(2,1)", id="stand-in"),
])
def test_setup_calls_follow_the_declarations(tmp_path, create, subscribe, expected):
    (tmp_path / "ThostFtdcTraderApi.h").write_text(SHAPE_HEADER.format(
        create=create, create_args=call_args(create), subscribe=subscribe, subscribe_args=call_args(subscribe)))
    (tmp_path / "main.cpp").write_text(SHAPE_MAIN)
    exe = tmp_path / "setup"
    run([CXX, "-std=c++20", "-Wall", "-Wextra", "-Werror", f"-I{tmp_path}", f"-I{ROOT / 'bridge'}",
         str(tmp_path / "main.cpp"), "-o", str(exe)])
    assert run([str(exe)]).stdout == expected


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{args[0]} failed:\n{done.stdout}\n{done.stderr}"
    return done


def dynamic(path):
    """The NEEDED, RUNPATH, RPATH and SONAME entries of a shared object."""
    entries = {"NEEDED": [], "RUNPATH": [], "RPATH": [], "SONAME": []}
    for tag, value in re.findall(r"\((NEEDED|RUNPATH|RPATH|SONAME)\)[^\[]*\[([^\]]*)\]", run([READELF, "-d", path]).stdout):
        entries[tag].append(value)
    return entries


def stand_in_library(path, version=None, soname=None):
    """Our stand-in built the way the vendor ships its library: one shared object, no SONAME unless asked."""
    args = [CXX, "-std=c++20", "-O1", "-fPIC", "-shared", "-fvisibility=hidden", "-pthread",
            "-DTHOST_TRADER_API_BUILD", f"-I{ROOT / 'ctp'}", str(ROOT / "ctp" / "TraderApi.cpp"), "-o", str(path)]
    if version is not None:
        args.insert(1, f'-DVELKOR_CTP_API_VERSION="{version}"')
    if soname is not None:
        args.insert(1, f"-Wl,-soname,{soname}")
    run(args)
    return path


def vendor_sdk(folder, library_name, **library):
    """A vendor-shaped SDK folder: our headers with GB18030 comments, as the vendor's carry, and the library."""
    folder.mkdir()
    for header in ("ThostFtdcTraderApi.h", "ThostFtdcUserApiStruct.h", "ThostFtdcUserApiDataType.h"):
        (folder / header).write_bytes("// 综合交易平台 交易接口\n".encode("gb18030") + (ROOT / "ctp" / header).read_bytes())
    stand_in_library(folder / library_name, **library)
    return folder


def configure(build, sdk=None):
    args = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    if sdk is not None:
        args.append(f"-DVELKOR_CTP_SDK={sdk}")
    return run(args).stdout


def build_and_install(build, prefix):
    run(["cmake", "--build", str(build), "--target", "_kestro"])
    run(["cmake", "--install", str(build), "--component", "bridge", "--prefix", str(prefix)])
    shutil.copy(ROOT / "python" / "velkor" / "__init__.py", prefix / "velkor" / "__init__.py")
    return prefix


@pytest.fixture(scope="module")
def sdk_builds(tmp_path_factory):
    """One build folder configured three times: the vendor's library name without SONAME, a repackaged name with
    one, then no SDK. Both SDK builds are installed; afterwards the SDK and build folders are deleted."""
    if not (CXX and READELF and shutil.which("cmake")):
        pytest.skip("needs a C++ compiler, readelf and cmake")
    tmp = tmp_path_factory.mktemp("sdk")
    build = tmp / "build"
    plain = vendor_sdk(tmp / "sdk-plain", "thosttraderapi_se.so")
    repackaged = vendor_sdk(tmp / "sdk-repackaged", "libthosttraderapi_se.so", version=SDK_VERSION,
                            soname="libthosttraderapi_se.so.6")
    configure(build, plain)
    plain_install = build_and_install(build, tmp / "install-plain")
    configure(build, repackaged)
    repackaged_install = build_and_install(build, tmp / "install-repackaged")
    configure(build)
    targets = run(["cmake", "--build", str(build), "--target", "help"]).stdout
    for folder in (plain, repackaged, build):
        shutil.rmtree(folder)
    return {"tmp": tmp, "plain": plain_install, "repackaged": repackaged_install, "targets": targets}


# Imports the bridge from the given install, opens and closes a handle, and tries ctpsim; prints what it saw.
PROBE = """\
import json, sys
from velkor import _kestro
flow = sys.argv[1]
handle = _kestro.create("tcp://127.0.0.1:1", flow.encode() + b"/")
events = _kestro.poll(handle)
_kestro.close(handle)
_kestro.close(handle)
try:
    import ctpsim
    simulator = None
except ImportError as error:
    simulator = [type(error).__name__, error.name, str(error)]
print(json.dumps({"file": _kestro.__file__, "version": _kestro.version(), "events": events, "ctpsim": simulator}))
"""


def import_bridge(prefix, tmp_path):
    """Runs PROBE with `prefix` first on the path and a copy of ctpsim's Python files, as an SDK build installs."""
    if not (prefix / "ctpsim").exists():
        shutil.copytree(ROOT / "python" / "ctpsim", prefix / "ctpsim")
    flow = tmp_path / "flow"
    flow.mkdir(exist_ok=True)
    env = {**os.environ, "PYTHONPATH": str(prefix)}
    return subprocess.run([sys.executable, "-c", PROBE, str(flow)], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=60)


@pytest.mark.parametrize("install, library, version", [
    ("plain", "thosttraderapi_se.so", STANDIN_VERSION),
    ("repackaged", "libthosttraderapi_se.so.6", SDK_VERSION),
])
def test_sdk_build_works_after_its_folders_are_deleted(sdk_builds, tmp_path, install, library, version):
    prefix = sdk_builds[install]
    [kestro] = (prefix / "velkor").glob("_kestro*.so")
    assert sorted(p.name for p in (prefix / "velkor").glob("*.so*")) == sorted([kestro.name, library])
    assert dynamic(kestro)["NEEDED"][0] == library
    assert dynamic(kestro)["RUNPATH"] == ["$ORIGIN"]
    assert str(sdk_builds["tmp"]).encode() not in kestro.read_bytes()

    done = import_bridge(prefix, tmp_path)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert Path(seen["file"]).parent == prefix / "velkor"
    assert seen["version"] == version
    assert seen["events"] == []
    kind, name, message = seen["ctpsim"]
    assert (kind, name) == ("ModuleNotFoundError", "ctpsim._front")
    assert "VELKOR_CTP_SDK" in message and "cannot share a process" in message


def test_rebuild_without_sdk_goes_back_to_the_stand_in(sdk_builds):
    """The third configure of the build folder named no SDK: the stand-in and the simulated front are back."""
    for target in ("thosttraderapi_se", "_front"):
        assert re.search(rf"(^|\s){target}\b", sdk_builds["targets"], re.M), target


@pytest.mark.parametrize("install, built, loaded", [
    ("plain", STANDIN_VERSION, "v6.7.11_20250617 10:31:05.8741"),
    ("repackaged", SDK_VERSION, SDK_VERSION[:-1]),
    ("repackaged", SDK_VERSION, ""),
])
def test_library_of_another_release_is_refused_at_import(sdk_builds, tmp_path, install, built, loaded):
    prefix = tmp_path / "install"
    shutil.copytree(sdk_builds[install], prefix)
    [library] = (prefix / "velkor").glob("*thosttraderapi_se.so*")
    stand_in_library(library, version=loaded)

    done = import_bridge(prefix, tmp_path)
    assert done.returncode != 0
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: CTP 交易接口库版本不一致")
    assert f"编译时链接的库版本为 {built!r}，当前加载的库版本为 {loaded!r}" in last
    assert "头文件与库必须来自同一个 CTP 发布版本" in last


@needs_toolchain
def test_installed_shared_objects_point_nowhere_outside_the_package():
    """The project as installed into this environment: every shared object finds its libraries by name, next to
    itself or in the system's folders, never in a build folder."""
    import velkor

    package = Path(velkor.__file__).parent
    objects = [p for folder in (package, package.parent / "ctpsim") if folder.exists()
               for p in folder.iterdir() if p.suffix == ".so" or ".so." in p.name]
    assert any(p.name.startswith("_kestro") for p in objects)
    for path in objects:
        entries = dynamic(path)
        assert entries["RPATH"] == [], path
        assert all(entry.startswith("$ORIGIN") for runpath in entries["RUNPATH"] for entry in runpath.split(":")), path
        assert all("/" not in needed for needed in entries["NEEDED"]), path
