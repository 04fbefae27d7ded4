"""Building against a vendor CTP SDK: the setup calls each release's declarations take, vendor-shaped SDKs made from
our stand-in (built, installed, their folders deleted, then imported), the version guard, relocatable installs."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CXX = os.environ.get("CXX", "c++")
SDK_VERSION = "v6.7.13_20260225 14:16:30.12079"
STANDIN_VERSION = "velkor CTP stand-in 1.0"

# An API class in one release's shape whose two release-dependent calls print the arguments they receive.
SHAPE = """\
#pragma once
#include <cstdio>
enum THOST_TE_RESUME_TYPE {{ THOST_TERT_RESTART, THOST_TERT_RESUME, THOST_TERT_QUICK }};
inline void put(const char* s) {{ std::printf(" %s", s); }}
inline void put(long v) {{ std::printf(" %ld", v); }}
struct CThostFtdcTraderApi {{
    static CThostFtdcTraderApi* CreateFtdcTraderApi({0}) {{ static CThostFtdcTraderApi a; std::printf("create"); {1}; return &a; }}
    virtual void SubscribePrivateTopic({2}) {{ std::printf(" private"); {3}; }}
}};
"""


def shape(create, subscribe):
    def puts(params):  # "T a = x, U b" -> "put(a), put(b)"
        return ", ".join("put(%s)" % re.search(r"(\w+)\s*(=.*)?$", p).group(1) for p in params.split(","))
    return SHAPE.format(create, puts(create), subscribe, puts(subscribe))


OURS = [re.search(rf"{name}\(([^)]*)\)", (ROOT / "ctp" / "ThostFtdcTraderApi.h").read_text()).group(1)
        for name in ("CreateFtdcTraderApi", "SubscribePrivateTopic")]


@pytest.mark.parametrize("create, subscribe, expected", [
    pytest.param('const char* pszFlowPath = "", bool bIsProductionMode = true',
                 "THOST_TE_RESUME_TYPE nResumeType, int nSeqNo = 1", "create flow/ 1 private 2 1", id="6.7.13"),
    pytest.param("const char* pszFlowPath, bool bIsProductionMode", "THOST_TE_RESUME_TYPE nResumeType",
                 "create flow/ 1 private 2", id="6.7.11"),
    pytest.param('const char* pszFlowPath = ""', "THOST_TE_RESUME_TYPE nResumeType", "create flow/ private 2",
                 id="6.7.10"),
    pytest.param(*OURS, "create flow/ 1 private 2 1", id="stand-in"),
])
def test_setup_calls_follow_the_declarations(tmp_path, create, subscribe, expected):
    (tmp_path / "ThostFtdcTraderApi.h").write_text(shape(create, subscribe))
    (tmp_path / "main.cpp").write_text('#include "api_setup.h"\n'
                                       'int main() { kestro::subscribe_private_quick(kestro::create_trader_api("flow/")); }\n')
    run(CXX, "-std=c++20", "-Wall", "-Wextra", "-Werror", f"-I{tmp_path}", f"-I{ROOT / 'bridge'}",
        tmp_path / "main.cpp", "-o", tmp_path / "setup")
    assert run(tmp_path / "setup").stdout == expected


def run(*args, check=True, env=os.environ, **kwargs):
    # A sanitizer runtime preloaded for this process has no business in the toolchain or in the plain builds here.
    env = {key: value for key, value in env.items() if key != "LD_PRELOAD"}
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env, **kwargs)
    assert done.returncode == 0 or not check, f"{args[0]} failed:\n{done.stdout}\n{done.stderr}"
    return done


def dynamic(path, tag):
    return re.findall(rf"\({tag}\)[^\[]*\[([^\]]*)\]", run("readelf", "-d", path).stdout)


def stand_in_library(path, version=None, soname=None):
    """Our stand-in, its registry of simulated fronts included, built as the vendor ships its library: one shared
    object, without SONAME unless asked."""
    extra = ([f'-DVELKOR_CTP_API_VERSION="{version}"'] if version is not None else []) + (
        [f"-Wl,-soname,{soname}"] if soname else [])
    front = ROOT / "python" / "ctpsim-front"
    run(CXX, "-std=c++20", "-O1", "-fPIC", "-shared", "-fvisibility=hidden", "-pthread", "-DTHOST_TRADER_API_BUILD",
        *extra, f"-I{ROOT / 'ctp'}", f"-I{front}", ROOT / "ctp" / "TraderApi.cpp", front / "calls.cpp",
        front / "registry.cpp", "-o", path)


def vendor_sdk(folder, library, **how):
    """Our headers, with GB18030 comments as the vendor's carry, and the library."""
    folder.mkdir()
    for header in ("ThostFtdcTraderApi.h", "ThostFtdcUserApiStruct.h", "ThostFtdcUserApiDataType.h"):
        (folder / header).write_bytes("// 交易接口\n".encode("gb18030") + (ROOT / "ctp" / header).read_bytes())
    stand_in_library(folder / library, **how)
    return folder


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """One build folder configured three times: an SDK with the vendor's library name and no SONAME, one with a
    repackaged name and a SONAME, then none. The SDK builds are installed, then the SDK and build folders deleted."""
    tmp = tmp_path_factory.mktemp("sdk")
    build, installs = tmp / "build", {}
    configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    sdks = {"plain": vendor_sdk(tmp / "sdk-plain", "thosttraderapi_se.so"),
            "repackaged": vendor_sdk(tmp / "sdk-repackaged", "libthosttraderapi_se.so", version=SDK_VERSION,
                                     soname="libthosttraderapi_se.so.6")}
    for name, sdk in sdks.items():
        run(*configure, f"-DVELKOR_CTP_SDK={sdk}")
        run("cmake", "--build", build, "--target", "_kestro")
        run("cmake", "--install", build, "--component", "bridge", "--prefix", tmp / name)
        shutil.copy(ROOT / "python" / "velkor" / "__init__.py", tmp / name / "velkor")
        shutil.copytree(ROOT / "python" / "ctpsim", tmp / name / "ctpsim")
        installs[name] = tmp / name
    run(*configure)
    installs["targets"] = run("cmake", "--build", build, "--target", "help").stdout
    for folder in (*sdks.values(), build):
        shutil.rmtree(folder)
    return installs


PROBE = """\
import json, sys
from velkor import _kestro
handle = _kestro.create("tcp://127.0.0.1:1", sys.argv[1].encode() + b"/")
seen = {"file": _kestro.__file__, "version": _kestro.version(), "events": _kestro.poll(handle)}
_kestro.close(handle)
try:
    import ctpsim
except ImportError as error:
    seen["ctpsim"] = [type(error).__name__, error.name, str(error)]
print(json.dumps(seen))
"""


def import_bridge(prefix, tmp_path):
    """PROBE with `prefix` first on the path, a copy of ctpsim's Python files in it, as an SDK build installs."""
    return run(sys.executable, "-c", PROBE, tmp_path, check=False, env={**os.environ, "PYTHONPATH": str(prefix)},
               cwd=tmp_path, timeout=60)


@pytest.mark.parametrize("install, library, version", [
    ("plain", "thosttraderapi_se.so", STANDIN_VERSION),
    ("repackaged", "libthosttraderapi_se.so.6", SDK_VERSION),
])
def test_sdk_build_works_after_its_folders_are_deleted(builds, tmp_path, install, library, version):
    [kestro] = (builds[install] / "velkor").glob("_kestro*.so")
    assert sorted(p.name for p in kestro.parent.glob("*.so*")) == sorted([kestro.name, library])
    assert dynamic(kestro, "NEEDED")[0] == library and dynamic(kestro, "RUNPATH") == ["$ORIGIN"]
    assert str(builds[install].parent).encode() not in kestro.read_bytes()

    done = import_bridge(builds[install], tmp_path)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert (Path(seen["file"]), seen["version"], seen["events"]) == (kestro, version, [])
    kind, name, message = seen["ctpsim"]
    assert (kind, name) == ("ModuleNotFoundError", "ctpsim._front") and "cannot share a process" in message


def test_configure_without_sdk_goes_back_to_the_stand_in(builds):
    for target in ("thosttraderapi_se", "_front"):
        assert re.search(rf"(^|\s){target}\b", builds["targets"], re.M), target


@pytest.mark.parametrize("install, built, loaded", [
    ("plain", STANDIN_VERSION, "v6.7.11_20250617 10:31:05.8741"),
    ("repackaged", SDK_VERSION, SDK_VERSION[:-1]),
    ("repackaged", SDK_VERSION, ""),
])
def test_library_of_another_release_is_refused_at_import(builds, tmp_path, install, built, loaded):
    prefix = tmp_path / "install"
    shutil.copytree(builds[install], prefix)
    [library] = (prefix / "velkor").glob("*thosttraderapi_se.so*")
    stand_in_library(library, version=loaded)

    done = import_bridge(prefix, tmp_path)
    last = done.stderr.strip().splitlines()[-1]
    assert done.returncode != 0 and last.startswith("ImportError: CTP 交易接口库版本不一致")
    assert f"编译时链接的库版本为 {built!r}，当前加载的库版本为 {loaded!r}" in last
    assert "头文件与库必须来自同一个 CTP 发布版本" in last


def test_installed_shared_objects_point_nowhere_outside_the_package():
    """This environment's install: every shared object finds its libraries by bare name, beside itself or in the
    system's folders, never in a build folder."""
    import velkor

    package = Path(velkor.__file__).parent
    objects = [*package.glob("*.so*"), *package.parent.glob("ctpsim/*.so*")]
    assert any(p.name.startswith("_kestro") for p in objects)
    for path in objects:
        runpath = [entry for value in dynamic(path, "RUNPATH") for entry in value.split(":")]
        assert dynamic(path, "RPATH") == [] and all(entry.startswith("$ORIGIN") for entry in runpath), path
        assert all("/" not in needed for needed in dynamic(path, "NEEDED")), path
