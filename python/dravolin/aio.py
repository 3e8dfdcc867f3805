"""The asyncio API: ``conn = await dravolin.aio.connect(...)``, every method awaitable.

It runs on the library's completion callbacks, not on a thread pool: the callback (on the
connection's worker thread) hands the outcome to the event loop with
``loop.call_soon_threadsafe``, so one loop drives any number of connections. Cancelling the
awaiting task withdraws the operation in the library when it has not started yet; one that
the server is already answering completes there, and its result is dropped.
"""

from __future__ import annotations

import asyncio
import ctypes
import os
import threading
import weakref
from typing import Any, Callable, Optional, Tuple, Union

from . import _commands as cmd
from . import _core
from ._commands import Reply, encode
from .client import Login, LogFolder, StrPath, check_target, disconnect_without_waiting, milliseconds

native = _core.native


class _Inbox:
    """Completions for one event loop: the worker threads append, the loop drains. The loop is
    woken (call_soon_threadsafe) once per batch, not once per completion."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.lock = threading.Lock()
        self.items: list = []
        self.scheduled = False

    def put(self, operation: "_Operation", failed: int) -> None:
        with self.lock:
            self.items.append((operation, failed))
            if self.scheduled:
                return
            self.scheduled = True
        try:
            self.loop.call_soon_threadsafe(self.drain)
        except RuntimeError:  # the loop is closed: nobody waits any more
            with self.lock:
                items, self.items = self.items, []
                self.scheduled = False
            for item, _ in items:
                item.discard()

    def drain(self) -> None:
        with self.lock:
            items, self.items = self.items, []
            self.scheduled = False
        for operation, failed in items:
            operation.finish(failed)


_inboxes: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _Inbox]" = weakref.WeakKeyDictionary()


def _inbox(loop: asyncio.AbstractEventLoop) -> _Inbox:
    inbox = _inboxes.get(loop)
    if inbox is None:
        inbox = _inboxes[loop] = _Inbox(loop)
    return inbox


class _Operation(_core.Completion):
    """One awaited operation: a future on its loop and, for commands, the Response."""

    __slots__ = ("inbox", "future", "response", "operation", "handle", "failure")

    def __init__(self, loop: asyncio.AbstractEventLoop, operation: str, handle: int,
                 response: Optional[ctypes.c_void_p]) -> None:
        self.inbox = _inbox(loop)
        self.future: asyncio.Future = loop.create_future()
        self.operation = operation
        self.handle = handle
        self.response = response
        self.failure: Optional[BaseException] = None

    def deliver(self, failed: int) -> None:
        # Worker thread. Connect, login and disconnect: the reason is asked for here, before a
        # later failure on the connection can replace it.
        if failed and self.response is None and self.operation != "disconnect":
            self.failure = _core.last_failure(self.operation, self.handle)
        self.inbox.put(self, failed)

    def finish(self, failed: int) -> None:
        # Event loop thread.
        try:
            if self.future.done():
                return
            if self.response is None:
                if failed and self.failure is not None:
                    self.future.set_exception(self.failure)
                else:
                    self.future.set_result(failed)
                return
            reply = _core.read_reply(self.response.value)  # type: ignore[arg-type]
            if failed:
                self.future.set_exception(
                    _core.reply_error(self.operation, self.response.value, reply)  # type: ignore[arg-type]
                )
            else:
                self.future.set_result(reply)
        except BaseException as error:  # noqa: B036
            if not self.future.done():
                self.future.set_exception(error)
        finally:
            self.discard()

    def discard(self) -> None:
        response, self.response = self.response, None
        if response is not None and response.value:
            native.ResponseFree(response)


async def _submit(operation: _Operation, start: Callable[[Any], int]) -> Any:
    """Starts an operation with the shared completion callback and awaits its outcome."""
    request_id = ctypes.c_uint32(0)
    result = start(ctypes.byref(request_id))
    if result != 0:
        failure: BaseException = _core.result_error(operation.operation, result)
        if result == 1 and operation.response is not None and operation.response.value:
            reply = _core.read_reply(operation.response.value)
            failure = _core.reply_error(operation.operation, operation.response.value, reply)
        operation.discard()
        raise failure
    _core.track(request_id.value, operation)
    try:
        return await operation.future
    except asyncio.CancelledError:
        # Withdraws it if the worker has not started on it; otherwise it completes in the
        # library and finish drops the result (and frees the Response).
        native.CancelRequest(request_id.value)
        raise


class Connection:
    """An asyncio connection (see :func:`connect`); the methods mirror
    :class:`dravolin.Connection` and are coroutines. ``async with`` closes it."""

    def __init__(self, handle: int, host: str, port: int) -> None:
        self._handle: Optional[int] = handle
        self._log_lock = asyncio.Lock()
        self.host = host
        self.port = port
        _core.register_open(handle, self._close_at_exit)

    @property
    def closed(self) -> bool:
        return self._handle is None

    async def __aenter__(self) -> "Connection":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return "<dravolin.aio.Connection %s:%d %s>" % (self.host, self.port, state)

    def _take_handle(self) -> Optional[int]:
        handle, self._handle = self._handle, None
        if handle is not None:
            _core.unregister_open(handle)
        return handle

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

    async def close(self) -> None:
        """Half-closes the connection after the commands already queued; idempotent."""
        handle = self._take_handle()
        if handle is None or _core.freed():
            return
        operation = _Operation(asyncio.get_running_loop(), "disconnect", handle, None)
        operation.last = True
        await _submit(
            operation,
            lambda rid: native.Disconnect(handle, rid, _core.completion_callback),
        )
        # The disconnect completed last: whatever is still tracked for this connection was
        # withdrawn by a cancel and will never complete. (Not when the close itself was
        # cancelled: operations before it may still be filling their Responses.)
        _core.withdrawn(handle)

    def set_reply_timeout(self, seconds: Optional[float]) -> None:
        """Changes the idle reply limit for the commands started after the call."""
        result = native.SetReplyTimeout(self._live("set_reply_timeout"),
                                        milliseconds("reply_timeout", seconds))
        if result != 0:
            raise _core.result_error("set_reply_timeout", result)

    async def login(self, name: str, secret: str, *, chap: bool = False,
                    peer: Optional[Tuple[str, str]] = None, encrypt: bool = False) -> None:
        """As :meth:`dravolin.Connection.login`."""
        parameters = Login(name, secret, chap, peer, encrypt)
        handle = self._live("login")
        operation = _Operation(asyncio.get_running_loop(), "login", handle, None)
        failed = await _submit(
            operation,
            lambda rid: native.Login(handle, ctypes.byref(parameters.parameters), rid,
                                     _core.completion_callback),
        )
        if failed:
            raise _core.last_failure("login", handle)

    async def _send(self, request: cmd.Request) -> Reply:
        code, name, argument = request
        handle = self._live(name)
        response = ctypes.c_void_p()
        operation = _Operation(asyncio.get_running_loop(), name, handle, response)
        return await _submit(  # type: ignore[no-any-return]
            operation,
            lambda rid: native.SendRequest(handle, code, argument, ctypes.byref(response), rid,
                                           _core.completion_callback),
        )

    async def logoff(self) -> Reply:
        return await self._send(cmd.logoff())

    async def add(self, device: str, *, type: Optional[str] = None,
                  size: Optional[Union[int, str]] = None) -> Reply:
        return await self._send(cmd.add(device, type, size))

    async def remove(self, device: str) -> Reply:
        return await self._send(cmd.remove(device))

    async def allow(self, user: str, device: str, *, access: Optional[str] = None) -> Reply:
        return await self._send(cmd.allow(user, device, access))

    async def list_devices(self, device: Optional[str] = None, *, level: int = 1) -> Reply:
        return await self._send(cmd.list_devices(device, level))

    async def list_permissions(self, *, user: Optional[str] = None,
                               device: Optional[str] = None) -> Reply:
        return await self._send(cmd.list_permissions(user, device))

    async def set(self, name: str, value: str) -> Reply:
        return await self._send(cmd.set(name, value))

    async def get(self, name: str) -> Reply:
        return await self._send(cmd.get(name))

    async def statistics(self, device: Optional[str] = None) -> Reply:
        return await self._send(cmd.statistics(device))

    async def control(self, action: str) -> Reply:
        return await self._send(cmd.control(action))

    async def shutdown(self) -> Reply:
        return await self._send(cmd.shutdown())

    async def getlog(self, path: StrPath) -> Reply:
        """As :meth:`dravolin.Connection.getlog`."""
        target = os.fspath(path)
        if not isinstance(target, str):
            raise TypeError("path must be a str path")
        folder = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(folder):
            raise ValueError("the folder of path does not exist: %s" % folder)
        async with self._log_lock:
            with LogFolder(folder) as staging:
                result = native.SetServiceLogDirectory(self._live("getlog"), encode(staging.path))
                if result != 0:
                    raise _core.result_error("getlog", result)
                reply = await self._send(cmd.getlog())
                staging.move_to(target)
                return reply


async def connect(host: str, port: int = 3260, *, timeout: Optional[float] = None,
                  reply_timeout: Optional[float] = None) -> Connection:
    """As :func:`dravolin.connect`, without blocking the event loop."""
    data, port = check_target(host, port)
    connect_ms = milliseconds("timeout", timeout)
    reply_ms = milliseconds("reply_timeout", reply_timeout)
    handle = ctypes.c_uint32(0)
    loop = asyncio.get_running_loop()

    def start(rid: Any) -> int:
        return native.ConnectWithTimeouts(data, port, connect_ms, reply_ms, ctypes.byref(handle),
                                          rid, _core.completion_callback)

    # The handle is written before the call returns; the operation learns it through this.
    operation = _Operation(loop, "connect", 0, None)
    request_id = ctypes.c_uint32(0)
    result = start(ctypes.byref(request_id))
    if result != 0:
        raise _core.result_error("connect", result)
    operation.handle = handle.value
    connection = Connection(handle.value, host, port)
    _core.track(request_id.value, operation)
    try:
        failed = await operation.future
    except asyncio.CancelledError:
        native.CancelRequest(request_id.value)
        connection._close_at_exit()
        raise
    if failed:
        error = operation.failure or _core.last_failure("connect", handle.value)
        connection._close_at_exit()
        raise error
    return connection
