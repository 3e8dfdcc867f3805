"""dravolin: the storage server's management service from Python, sync and asyncio.

A pure-Python package over the DravolinClient C library (ctypes only)::

    import dravolin

    with dravolin.connect("server", 3260, timeout=5.0, reply_timeout=30.0) as conn:
        conn.login("admin", secret, chap=True, peer=("server", peer_secret), encrypt=True)
        for name, value in conn.list_devices():
            print(name, value)

The library is looked for in DRAVOLIN_LIBRARY, then in the package's folder (and two
folders up, where ``cmake --install`` puts it), then through the linker's search. It is
initialised at import and freed at exit, after the connections still open are closed.
"""

from __future__ import annotations

from . import aio
from ._commands import Reply
from ._core import native as _native_library
from ._native import LIBRARY_VERSION, LibraryError
from .client import Connection, connect
from .errors import (
    REASON_ARGUMENT_MISSING,
    REASON_CONNECT_FAILED,
    REASON_CONNECTION_LOST,
    REASON_ENDED,
    REASON_FRAME_REJECTED,
    REASON_HOST_NOT_FOUND,
    REASON_LINE_TOO_LONG,
    REASON_LOG_FILE,
    REASON_LOG_NAME_UNSAFE,
    REASON_LOGIN,
    REASON_NONE,
    REASON_TIMED_OUT,
    ClosedError,
    CommandError,
    ConnectError,
    ConnectionLost,
    ConnectionRefused,
    ConnectTimeout,
    Error,
    HostNotFound,
    LogFileError,
    LoginError,
    ProtocolError,
    TimeoutError,
)

__version__ = "1.0.0"

#: The path of the loaded DravolinClient library.
library_path: str = _native_library.path

__all__ = [
    "aio", "connect", "Connection", "Reply", "LibraryError", "LIBRARY_VERSION",
    "library_path", "__version__",
    "Error", "ConnectError", "HostNotFound", "ConnectionRefused", "ConnectTimeout",
    "LoginError", "TimeoutError", "CommandError", "ProtocolError", "ConnectionLost",
    "ClosedError", "LogFileError",
    "REASON_NONE", "REASON_CONNECT_FAILED", "REASON_CONNECTION_LOST", "REASON_TIMED_OUT",
    "REASON_FRAME_REJECTED", "REASON_LOG_NAME_UNSAFE", "REASON_LOG_FILE",
    "REASON_LINE_TOO_LONG", "REASON_ARGUMENT_MISSING", "REASON_LOGIN", "REASON_ENDED",
    "REASON_HOST_NOT_FOUND",
]
