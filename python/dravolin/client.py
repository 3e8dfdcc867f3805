"""The synchronous API: :func:`connect` and :class:`Connection`."""

from __future__ import annotations

import ctypes
import os
import shutil
import tempfile
import threading
from typing import Any, Optional, Tuple, Union

from . import _commands as cmd
from . import _core
from ._commands import Reply, encode
from ._native import LoginParameters
from .errors import Error

native = _core.native

StrPath = Union[str, "os.PathLike[str]"]


def milliseconds(parameter: str, seconds: Optional[float]) -> int:
    """A time-out in seconds (None or 0: no limit) as the library's milliseconds."""
    if seconds is None:
        return 0
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("%s must be a number of seconds or None" % parameter)
    if not seconds >= 0:
        raise ValueError("%s must not be negative" % parameter)
    ms = int(round(seconds * 1000))
    if seconds > 0 and ms == 0:
        ms = 1
    if ms > 2**31 - 1:
        raise ValueError("%s is too long" % parameter)
    return ms


def check_target(host: object, port: object) -> Tuple[bytes, int]:
    cmd.text("host", host, blank=False)
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError("port must be an int")
    if not 0 <= port <= 65534:
        raise ValueError("port must be between 0 and 65534 (the library connects to port + 1)")
    return encode(host), port  # type: ignore[arg-type]


class Login:
    """The LoginParameters of a call, checked; secrets stay out of every repr."""

    __slots__ = ("parameters", "_keep")

    def __init__(
        self,
        name: str,
        secret: str,
        chap: bool,
        peer: Optional[Tuple[str, str]],
        encrypt: bool,
    ) -> None:
        cmd.text("name", name, empty=not chap)
        cmd.text("secret", secret, empty=not chap)
        if not chap and (peer is not None or encrypt):
            raise ValueError("peer and encrypt need chap=True")
        peer_name = peer_secret = None
        if peer is not None:
            if not isinstance(peer, tuple) or len(peer) != 2:
                raise TypeError("peer must be a (name, secret) tuple")
            peer_name = encode(cmd.text("peer name", peer[0]))
            peer_secret = encode(cmd.text("peer secret", peer[1]))
        self._keep = (encode(name), encode(secret), peer_name, peer_secret)
        self.parameters = LoginParameters(
            1 if chap else 0, self._keep[0], self._keep[1], peer_name, peer_secret, 1 if encrypt else 0
        )

    def __repr__(self) -> str:
        return "<dravolin login parameters>"


class Connection:
    """One connection to a server's management service (see :func:`connect`).

    Every method may be called from any thread; the library queues the commands of one
    connection and answers them in order. A method blocks its thread (not others) until the
    reply is there. ``close()`` is idempotent; leaving a ``with`` block closes.
    """

    def __init__(self, handle: int, host: str, port: int) -> None:
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self._log_lock = threading.Lock()
        self.host = host
        self.port = port
        _core.register_open(handle, self._close_at_exit)

    # -- life cycle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return "<dravolin.Connection %s:%d %s>" % (self.host, self.port, state)

    def _take_handle(self) -> Optional[int]:
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            _core.unregister_open(handle)
        return handle

    def close(self) -> None:
        """Half-closes the connection after the commands already queued; idempotent."""
        handle = self._take_handle()
        if handle is not None and not _core.freed():
            native.Disconnect(handle, None, ctypes.cast(None, native.CompletionCallback))

    def _close_at_exit(self) -> None:
        handle = self._take_handle()
        if handle is not None:
            disconnect_without_waiting(handle)

    def __del__(self) -> None:
        try:
            handle = self._take_handle()
            if handle is not None and not _core.freed():
                disconnect_without_waiting(handle)
        except BaseException:  # noqa: B036
            pass

    def _live(self, operation: str) -> int:
        handle = self._handle
        if handle is None:
            raise _core.closed_error(operation)
        return handle

    def set_reply_timeout(self, seconds: Optional[float]) -> None:
        """Changes the idle reply limit for the commands started after the call."""
        ms = milliseconds("reply_timeout", seconds)
        result = native.SetReplyTimeout(self._live("set_reply_timeout"), ms)
        if result != 0:
            raise _core.result_error("set_reply_timeout", result)

    # -- login and commands

    def login(
        self,
        name: str,
        secret: str,
        *,
        chap: bool = False,
        peer: Optional[Tuple[str, str]] = None,
        encrypt: bool = False,
    ) -> None:
        """A plain login by default; ``chap=True`` for CHAP, ``peer=(name, secret)`` makes it
        mutual, ``encrypt=True`` switches to the encrypted channel after it. Raises LoginError."""
        parameters = Login(name, secret, chap, peer, encrypt)
        handle = self._live("login")
        result = native.Login(handle, ctypes.byref(parameters.parameters), None, _NO_CALLBACK)
        if result == 1:
            raise _core.last_failure("login", handle)
        if result != 0:
            raise _core.result_error("login", result)

    def _send(self, request: cmd.Request) -> Reply:
        code, operation, argument = request
        response = ctypes.c_void_p()
        result = native.SendRequest(
            self._live(operation), code, argument, ctypes.byref(response), None, _NO_CALLBACK
        )
        try:
            if result == 0:
                return _core.read_reply(response.value)  # type: ignore[arg-type]
            if result == 1:
                reply = _core.read_reply(response.value)  # type: ignore[arg-type]
                raise _core.reply_error(operation, response.value, reply)  # type: ignore[arg-type]
            raise _core.result_error(operation, result)
        finally:
            native.ResponseFree(response)

    def logoff(self) -> Reply:
        """"logoff": the connection stays open, logged out."""
        return self._send(cmd.logoff())

    def add(self, device: str, *, type: Optional[str] = None, size: Optional[Union[int, str]] = None) -> Reply:
        """Adds a device."""
        return self._send(cmd.add(device, type, size))

    def remove(self, device: str) -> Reply:
        """Removes a device (and its permissions)."""
        return self._send(cmd.remove(device))

    def allow(self, user: str, device: str, *, access: Optional[str] = None) -> Reply:
        """Gives *user* access to *device* (r, w, rw, none)."""
        return self._send(cmd.allow(user, device, access))

    def list_devices(self, device: Optional[str] = None, *, level: int = 1) -> Reply:
        """The devices (one device with *device*); level 0 gives only their names."""
        return self._send(cmd.list_devices(device, level))

    def list_permissions(self, *, user: Optional[str] = None, device: Optional[str] = None) -> Reply:
        """The permissions, optionally of one user and/or one device."""
        return self._send(cmd.list_permissions(user, device))

    def set(self, name: str, value: str) -> Reply:
        """Sets a parameter."""
        return self._send(cmd.set(name, value))

    def get(self, name: str) -> Reply:
        """Reads a parameter (records Parameter and Value)."""
        return self._send(cmd.get(name))

    def statistics(self, device: Optional[str] = None) -> Reply:
        """The service's counters, or one device's."""
        return self._send(cmd.statistics(device))

    def control(self, action: str) -> Reply:
        """A control action (ping, rescan, flush, reload)."""
        return self._send(cmd.control(action))

    def shutdown(self) -> Reply:
        """Shuts the service down; the server then closes the connection."""
        return self._send(cmd.shutdown())

    def getlog(self, path: StrPath) -> Reply:
        """Copies the service log into the file *path* (replaced when it exists); the reply
        carries LogFilename and LogSize."""
        target = os.fspath(path)
        if not isinstance(target, str):
            raise TypeError("path must be a str path")
        folder = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(folder):
            raise ValueError("the folder of path does not exist: %s" % folder)
        with self._log_lock, LogFolder(folder) as staging:
            handle = self._live("getlog")
            result = native.SetServiceLogDirectory(handle, encode(staging.path))
            if result != 0:
                raise _core.result_error("getlog", result)
            reply = self._send(cmd.getlog())
            staging.move_to(target)
            return reply


class LogFolder:
    """A private folder beside the target file, into which the library writes the log."""

    def __init__(self, folder: str) -> None:
        self.path = tempfile.mkdtemp(prefix=".dravolin-log-", dir=folder) + os.sep

    def __enter__(self) -> "LogFolder":
        return self

    def __exit__(self, *exc: Any) -> None:
        shutil.rmtree(self.path, ignore_errors=True)

    def move_to(self, target: str) -> None:
        names = os.listdir(self.path)
        if len(names) != 1:
            raise Error("getlog", 105, "", 6, "expected one log file, found %d" % len(names))
        os.replace(os.path.join(self.path, names[0]), target)


_NO_CALLBACK = ctypes.cast(None, native.CompletionCallback)


def disconnect_without_waiting(handle: int) -> None:
    request_id = ctypes.c_uint32(0)
    if native.Disconnect(handle, ctypes.byref(request_id), _core.completion_callback) == 0:
        _core.ignore(request_id.value)


def connect(
    host: str,
    port: int = 3260,
    *,
    timeout: Optional[float] = None,
    reply_timeout: Optional[float] = None,
) -> Connection:
    """Connects to the service on *port* + 1 of *host* and reads its greeting.

    *timeout* (seconds) bounds the TCP connect and the greeting together; *reply_timeout* is
    the idle limit of every later reply (None: no limit). Raises ConnectError (HostNotFound,
    ConnectionRefused, ConnectTimeout).
    """
    data, port = check_target(host, port)
    connect_ms = milliseconds("timeout", timeout)
    reply_ms = milliseconds("reply_timeout", reply_timeout)
    handle = ctypes.c_uint32(0)
    result = native.ConnectWithTimeouts(
        data, port, connect_ms, reply_ms, ctypes.byref(handle), None, _NO_CALLBACK
    )
    if result == 0:
        return Connection(handle.value, host, port)
    if result == 1 and handle.value:
        error = _core.last_failure("connect", handle.value)
        native.Disconnect(handle.value, None, _NO_CALLBACK)
        raise error
    raise _core.result_error("connect", result)
