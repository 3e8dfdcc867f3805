"""Loading the DravolinClient library and declaring its functions (ctypes only).

Everything that depends on the platform is chosen by :func:`choose_abi`, a pure function of
the platform name and the pointer size, so that the Windows choices can be tested anywhere.
"""

from __future__ import annotations

import ctypes
import os
import struct
import sys
from typing import Any, Callable, List, NamedTuple, Optional, Sequence

#: The version DravolinClient_GetVersion must report for this package.
LIBRARY_VERSION = 20050118
#: Major version of the shared library's file name (libDravolinClient.so.1).
LIBRARY_MAJOR = 1

MAX_LINE = 32768
MAX_REASON = 512


class LibraryError(ImportError):
    """The DravolinClient library could not be found, loaded or does not match this package."""


class Abi(NamedTuple):
    """How the library is loaded and called on one platform."""

    windows: bool
    decorated: bool  # i386 Windows: "_Name@N" standard-call names
    file_names: Sequence[str]  # tried in the package folder and through the linker's search


def choose_abi(platform: str, pointer_size: int) -> Abi:
    """The loading rules for ``sys.platform``-like *platform* and *pointer_size* in bytes."""
    if platform.startswith("win") or platform == "cygwin":
        return Abi(True, pointer_size == 4, ("DravolinClient.dll",))
    if platform == "darwin":
        return Abi(False, False, ("libDravolinClient.1.dylib", "libDravolinClient.dylib"))
    return Abi(False, False, ("libDravolinClient.so.%d" % LIBRARY_MAJOR,))


def export_name(abi: Abi, name: str, argument_count: int) -> str:
    """The name under which the library exports DravolinClient_<name> with that many arguments.

    On 32-bit Windows every argument takes 4 bytes, so ``_DravolinClient_Connect@20``.
    """
    full = "DravolinClient_" + name
    if abi.decorated:
        return "_%s@%d" % (full, 4 * argument_count)
    return full


def candidate_paths(abi: Abi, environment: Optional[str], package_dir: str) -> List[str]:
    """Where the library is looked for, in order: the DRAVOLIN_LIBRARY path, the package's
    own folder, the folder two levels up (``<libdir>`` when the package is installed by CMake
    into ``<libdir>/python3/dravolin``), then the bare file names for the linker's search."""
    paths: List[str] = []
    if environment:
        paths.append(environment)
        return paths
    for folder in (package_dir, os.path.dirname(os.path.dirname(package_dir))):
        for file_name in abi.file_names:
            paths.append(os.path.join(folder, file_name))
    paths.extend(abi.file_names)
    return paths


# name: (result type, argument types)
_u32p = ctypes.POINTER(ctypes.c_uint32)
_vp = ctypes.c_void_p


class LoginParameters(ctypes.Structure):
    _fields_ = [
        ("mode", ctypes.c_int),
        ("name", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
        ("peerName", ctypes.c_char_p),
        ("peerPassword", ctypes.c_char_p),
        ("encrypt", ctypes.c_ubyte),
    ]


def _signatures(callback_type: Any) -> dict:
    cb = callback_type
    ip = ctypes.POINTER(ctypes.c_int)
    return {
        "Init": (ctypes.c_int, []),
        "Free": (None, []),
        "GetVersion": (ctypes.c_int, []),
        "Connect": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, _u32p, _u32p, cb]),
        "Disconnect": (ctypes.c_int, [ctypes.c_uint32, _u32p, cb]),
        "Login": (ctypes.c_int, [ctypes.c_uint32, ctypes.POINTER(LoginParameters), _u32p, cb]),
        "SendRequest": (
            ctypes.c_int,
            [ctypes.c_uint32, ctypes.c_uint, ctypes.c_char_p, ctypes.POINTER(_vp), _u32p, cb],
        ),
        "CancelRequest": (ctypes.c_int, [ctypes.c_uint32]),
        "ResponseInit": (_vp, [ctypes.POINTER(_vp)]),
        "ResponseReset": (_vp, [_vp]),
        "ResponseGetNext": (ctypes.c_int, [_vp, ctypes.c_char_p, ctypes.c_char_p]),
        "ResponseFree": (None, [_vp]),
        "SetServiceLogDirectory": (ctypes.c_int, [ctypes.c_uint32, ctypes.c_char_p]),
        "ConnectWithTimeouts": (
            ctypes.c_int,
            [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, _u32p, _u32p, cb],
        ),
        "SetReplyTimeout": (ctypes.c_int, [ctypes.c_uint32, ctypes.c_int]),
        "ResponseGetStatus": (ctypes.c_int, [_vp, ip, ctypes.c_char_p, ctypes.c_uint]),
        "ResponseGetReason": (ctypes.c_int, [_vp, ip, ctypes.c_char_p, ctypes.c_uint]),
        "GetLastFailure": (ctypes.c_int, [ctypes.c_uint32, ip, ip, ctypes.c_char_p, ctypes.c_uint]),
    }


#: Functions that only read or free a Response or report the version: they take no lock and
#: never wait, so they are called without releasing the GIL (a release and re-take per call
#: would let the library's callback threads cut in between the records of one reply).
KEEPS_GIL = frozenset(
    ["GetVersion", "ResponseInit", "ResponseReset", "ResponseGetNext", "ResponseFree",
     "ResponseGetStatus", "ResponseGetReason"]
)


def _gil_keeping_loader(windows: bool) -> Callable[..., Any]:
    if not windows:
        return ctypes.PyDLL

    class WinPyDLL(ctypes.CDLL):  # standard call, GIL kept
        _func_flags_ = ctypes._FUNCFLAG_STDCALL | ctypes._FUNCFLAG_PYTHONAPI  # type: ignore[attr-defined]

    return WinPyDLL


class Native:
    """The loaded library: one attribute per export, without the DravolinClient_ prefix."""

    def __init__(self, dll: Any, abi: Abi, callback_type: Any, path: str,
                 gil_keeping: Any = None) -> None:
        self.abi = abi
        self.path = path
        self.CompletionCallback = callback_type
        for name, (restype, argtypes) in _signatures(callback_type).items():
            symbol = export_name(abi, name, len(argtypes))
            source = gil_keeping if gil_keeping is not None and name in KEEPS_GIL else dll
            try:
                function = getattr(source, symbol)
            except AttributeError:
                raise LibraryError(
                    "%s is not a usable DravolinClient library: it does not export %s"
                    % (path, symbol)
                ) from None
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        self._dlls = (dll, gil_keeping)


def load(
    platform: str = sys.platform,
    pointer_size: int = struct.calcsize("P"),
    environment: Optional[str] = None,
    package_dir: Optional[str] = None,
) -> Native:
    """Finds, loads and checks the library; raises LibraryError with every place tried."""
    abi = choose_abi(platform, pointer_size)
    if environment is None:
        environment = os.environ.get("DRAVOLIN_LIBRARY") or None
    if package_dir is None:
        package_dir = os.path.dirname(os.path.abspath(__file__))
    if abi.windows:
        loader: Callable[..., Any] = ctypes.WinDLL  # type: ignore[attr-defined]
        callback_type = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
    else:
        loader = ctypes.CDLL
        callback_type = ctypes.CFUNCTYPE
    callback = callback_type(None, ctypes.c_uint32, ctypes.c_int, ctypes.c_void_p)
    problems = []
    for path in candidate_paths(abi, environment, package_dir):
        if os.path.dirname(path) and not os.path.exists(path):
            problems.append("%s: no such file" % path)
            continue
        try:
            dll = loader(path)
        except OSError as error:
            problems.append("%s: %s" % (path, error))
            continue
        native = Native(dll, abi, callback, path, _gil_keeping_loader(abi.windows)(path))
        version = native.GetVersion()
        if version != LIBRARY_VERSION:
            raise LibraryError(
                "%s reports version %d, but this dravolin package needs version %d"
                % (path, version, LIBRARY_VERSION)
            )
        return native
    where = "DRAVOLIN_LIBRARY" if environment else "the package folder and the linker's search"
    raise LibraryError(
        "the DravolinClient library was not found (looked in %s):\n  %s"
        % (where, "\n  ".join(problems))
    )
