"""Loading rules (pure logic, so the Windows choices are checked here too) and the import
with a missing or mismatched library."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

from conftest import run_python
from dravolin import _native

ORIGINAL = {
    "Init": 0, "Free": 0, "GetVersion": 0, "Connect": 20, "Disconnect": 12, "Login": 16,
    "SendRequest": 24, "CancelRequest": 4, "ResponseInit": 4, "ResponseReset": 4,
    "ResponseGetNext": 12, "ResponseFree": 4, "SetServiceLogDirectory": 8,
    "ConnectWithTimeouts": 28, "SetReplyTimeout": 8, "ResponseGetStatus": 16,
    "ResponseGetReason": 16, "GetLastFailure": 20,
}


@pytest.mark.parametrize(
    "platform, pointer, windows, decorated, file_name",
    [
        ("win32", 4, True, True, "DravolinClient.dll"),
        ("win32", 8, True, False, "DravolinClient.dll"),
        ("cygwin", 4, True, True, "DravolinClient.dll"),
        ("linux", 8, False, False, "libDravolinClient.so.1"),
        ("linux", 4, False, False, "libDravolinClient.so.1"),
    ],
)
def test_abi_by_platform_and_pointer_size(platform, pointer, windows, decorated, file_name):
    abi = _native.choose_abi(platform, pointer)
    assert (abi.windows, abi.decorated) == (windows, decorated)
    assert abi.file_names[0] == file_name


def test_export_names_match_the_def_file():
    i386 = _native.choose_abi("win32", 4)
    x64 = _native.choose_abi("win32", 8)
    signatures = _native._signatures(object)
    assert set(signatures) == set(ORIGINAL)
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "client", "api", "DravolinClient.def")) as f:
        exported = {line.split("=")[0].strip() for line in f if "@" in line and "=" in line}
    for name, (_, argtypes) in signatures.items():
        assert _native.export_name(i386, name, len(argtypes)) == "_DravolinClient_%s@%d" % (
            name, ORIGINAL[name])
        assert _native.export_name(i386, name, len(argtypes)) in exported
        assert _native.export_name(x64, name, len(argtypes)) == "DravolinClient_" + name


def test_search_order():
    abi = _native.choose_abi("linux", 8)
    assert _native.candidate_paths(abi, "/x/lib.so", "/p/dravolin") == ["/x/lib.so"]
    assert _native.candidate_paths(abi, None, "/p/lib/python3/dravolin") == [
        "/p/lib/python3/dravolin/libDravolinClient.so.1",
        "/p/lib/libDravolinClient.so.1",
        "libDravolinClient.so.1",
    ]


def test_import_with_a_missing_library(tmp_path):
    missing = str(tmp_path / "libDravolinClient.so.1")
    result = run_python(
        "import dravolin", env={"DRAVOLIN_LIBRARY": missing})
    assert result.returncode != 0
    assert "LibraryError" in result.stderr
    assert "not found" in result.stderr and missing in result.stderr


def test_import_with_a_library_that_is_not_dravolin_client():
    libc = subprocess.run(["sh", "-c", "ldconfig -p | sed -n 's/.*libm.so.6.*=> //p' | head -1"],
                          capture_output=True, text=True).stdout.strip()
    assert libc, "libm.so.6 not found by ldconfig"
    result = run_python("import dravolin", env={"DRAVOLIN_LIBRARY": libc})
    assert result.returncode != 0
    assert "does not export DravolinClient_" in result.stderr


def test_import_with_a_mismatched_library_version(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler, "a C compiler is needed to make the mismatched library"
    source = tmp_path / "fake.c"
    source.write_text("int DravolinClient_GetVersion(void) { return 20990101; }\n"
                      + "".join("void DravolinClient_%s(void) {}\n" % name
                                for name in ORIGINAL if name != "GetVersion"))
    library = tmp_path / "libDravolinClient.so.1"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    result = run_python("import dravolin", env={"DRAVOLIN_LIBRARY": str(library)})
    assert result.returncode != 0
    assert "LibraryError" in result.stderr
    assert "reports version 20990101" in result.stderr and "needs version 20050118" in result.stderr


def test_library_found_in_the_package_folder(tmp_path):
    package = tmp_path / "dravolin"
    shutil.copytree(os.path.join(os.path.dirname(__file__), "..", "dravolin"), package)
    shutil.copy(os.environ["DRAVOLIN_LIBRARY"], package / "libDravolinClient.so.1")
    code = "import dravolin; print(dravolin.library_path)"
    environment = dict(os.environ, PYTHONPATH=str(tmp_path))
    del environment["DRAVOLIN_LIBRARY"]
    result = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                            text=True, cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(package / "libDravolinClient.so.1")


def test_installs_offline_with_pip(tmp_path):
    """pip install --no-build-isolation ./python, without any package index."""
    # From a copy: setuptools writes build/ and *.egg-info beside the sources.
    here = str(tmp_path / "source")
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    shutil.copytree(source, here, ignore=shutil.ignore_patterns("tests", "__pycache__", "build",
                                                                "*.egg-info", "CMakeLists.txt"))
    target = tmp_path / "site"
    build = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-deps", "--no-cache-dir", "--disable-pip-version-check", "--target", str(target),
         here],
        capture_output=True, text=True, cwd=str(tmp_path),
        env=dict(os.environ, PIP_NO_INPUT="1"))
    assert build.returncode == 0, build.stdout + build.stderr
    assert (target / "dravolin" / "py.typed").exists()
    assert (target / "dravolin" / "aio.py").exists()
    result = subprocess.run(
        [sys.executable, "-c", "import dravolin; print(dravolin.__file__, dravolin.__version__)"],
        env=dict(os.environ, PYTHONPATH=str(target)), capture_output=True, text=True,
        cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(str(target)) and result.stdout.split()[1] == "1.0.0"


def test_response_readers_keep_the_gil_and_waiting_calls_release_it():
    import ctypes

    from dravolin import _core
    assert _native._gil_keeping_loader(False) is ctypes.PyDLL
    assert {"ResponseGetNext", "ResponseFree", "ResponseGetStatus"} <= _native.KEEPS_GIL
    for waits in ("Connect", "ConnectWithTimeouts", "Login", "SendRequest", "Disconnect", "Free",
                  "CancelRequest", "GetLastFailure", "SetServiceLogDirectory"):
        assert waits not in _native.KEEPS_GIL
    # The two kinds come from two handles of the same file.
    assert _core.native._dlls[1]._name == _core.native._dlls[0]._name
