"""The library's process-wide state: initialised once at import, freed at exit; reading
Responses and failures; the one completion callback that hands asynchronous results over."""

from __future__ import annotations

import atexit
import ctypes
import threading
from typing import Any, Callable, Dict, Optional, Set, Tuple

from . import _native
from ._commands import Reply, decode
from .errors import REASON_ENDED, REASON_NONE, ClosedError, Error, error_for

native = _native.load()
if native.Init() != 0:
    raise _native.LibraryError("DravolinClient_Init failed (%s)" % native.path)

_state_lock = threading.Lock()
_freed = False
#: Open connection handles -> a function that closes them without waiting (used at exit).
_open: Dict[int, Callable[[], None]] = {}

_local = threading.local()


def buffers() -> Tuple[Any, Any]:
    """Two buffers of MAX_LINE + 1 bytes for this thread (name and value of a record)."""
    pair = getattr(_local, "pair", None)
    if pair is None:
        pair = (
            ctypes.create_string_buffer(_native.MAX_LINE + 1),
            ctypes.create_string_buffer(_native.MAX_LINE + 1),
        )
        _local.pair = pair
    return pair


def freed() -> bool:
    return _freed


def closed_error(operation: str) -> ClosedError:
    text = "the library was freed at exit" if _freed else "the connection is closed"
    return ClosedError(operation, 105, "", REASON_ENDED, text)


def register_open(handle: int, closer: Callable[[], None]) -> None:
    with _state_lock:
        _open[handle] = closer


def unregister_open(handle: int) -> None:
    with _state_lock:
        _open.pop(handle, None)


def read_reply(response: int) -> Reply:
    """The records, status and status text of a completed Response (it stays allocated)."""
    name, value = buffers()
    status = ctypes.c_int(0)
    native.ResponseGetStatus(response, ctypes.byref(status), value, len(value))
    reply = Reply([], status.value, decode(value.value))
    records = reply.records
    get_next = native.ResponseGetNext  # a completed Response's cursor is at its first record
    while get_next(response, name, value):
        records.append((decode(name.value), decode(value.value)))
    return reply


def reply_error(operation: str, response: int, reply: Reply) -> Error:
    reason = ctypes.c_int(0)
    text = ctypes.create_string_buffer(_native.MAX_REASON)
    native.ResponseGetReason(response, ctypes.byref(reason), text, len(text))
    return error_for(operation, reply.status, reply.text, reason.value, decode(text.value), reply)


def last_failure(operation: str, handle: int) -> Error:
    """The exception for the last failed operation (connect, login, disconnect) of a handle."""
    status = ctypes.c_int(105)
    reason = ctypes.c_int(REASON_NONE)
    text = ctypes.create_string_buffer(_native.MAX_LINE + 1)
    result = native.GetLastFailure(handle, ctypes.byref(status), ctypes.byref(reason), text, len(text))
    if result != 0:
        return closed_error(operation)
    words = decode(text.value)
    if reason.value == REASON_NONE:
        return error_for(operation, status.value, words, REASON_NONE, "")
    return error_for(operation, status.value, "", reason.value, words)


def result_error(operation: str, result: int) -> Error:
    """The exception for a result code other than 0 that was not a failed reply."""
    if result in (2, 3):
        return closed_error(operation)
    if result == 4:
        return Error(operation, 105, "", REASON_NONE, "no memory for the response")
    return Error(operation, 105, "", REASON_NONE, "refused by the library (result %d)" % result)


# ---------------------------------------------------------------- asynchronous completions


class Completion:
    """One submitted asynchronous operation. ``deliver(failed)`` runs on the library's worker
    thread and must hand over quickly and never raise; ``discard()`` releases what it holds
    when the operation will never complete (withdrawn by a cancel)."""

    handle = 0
    last = False  # the connection's last operation (its disconnect)

    def deliver(self, failed: int) -> None:  # pragma: no cover - overridden
        pass

    def discard(self) -> None:
        pass


# A ctypes callback on a thread that Python did not start makes a thread state for the call and
# deletes it after; on CPython that costs far more than the hand-over itself. The first
# callback on a library worker thread therefore keeps its thread state (one extra
# PyGILState_Ensure), and the connection's last callback, its disconnect's, gives it back.
_gil_ensure = _gil_release = None
if hasattr(ctypes, "pythonapi") and hasattr(ctypes.pythonapi, "PyGILState_Ensure"):
    _gil_ensure = ctypes.pythonapi.PyGILState_Ensure
    _gil_ensure.restype = ctypes.c_int
    _gil_ensure.argtypes = []
    _gil_release = ctypes.pythonapi.PyGILState_Release
    _gil_release.restype = None
    _gil_release.argtypes = [ctypes.c_int]
_main_thread = threading.main_thread().ident
# Thread-local, so tied to the kept thread state itself and never to a thread identifier that
# a later thread may reuse.
_kept = threading.local()


def _keep_thread_state() -> None:
    if _gil_ensure is not None and getattr(_kept, "state", None) is None:
        if threading.get_ident() != _main_thread:
            _kept.state = _gil_ensure()


def _give_back_thread_state() -> None:
    state = getattr(_kept, "state", None)
    if state is not None and _gil_release is not None:
        _kept.state = None
        _gil_release(state)


_pending: Dict[int, Completion] = {}
_early: Dict[int, int] = {}
_pending_lock = threading.Lock()
_dropped: Set[int] = set()


def _on_complete(request_id: int, failed: int, response: Optional[int]) -> None:
    # Runs on a worker thread of the library: it must never raise into C.
    last = True
    try:
        with _pending_lock:
            completion = _pending.pop(request_id, None)
            if completion is None:
                if request_id in _dropped:
                    _dropped.discard(request_id)
                else:
                    _early[request_id] = failed
                    last = False
                return
        last = completion.last
        if not last:
            _keep_thread_state()
        completion.deliver(failed)
    except BaseException:  # noqa: B036 - nothing may cross into the library
        pass
    finally:
        if last:
            try:
                _give_back_thread_state()
            except BaseException:  # noqa: B036
                pass


#: The one callback object; it lives as long as the module (beyond the library's Free).
completion_callback = native.CompletionCallback(_on_complete)


def track(request_id: int, completion: Completion) -> None:
    """Registers an operation the library accepted; delivers at once if it already completed."""
    with _pending_lock:
        failed = _early.pop(request_id, None)
        if failed is None:
            _pending[request_id] = completion
            return
    try:
        completion.deliver(failed)
    except BaseException:  # noqa: B036 - as on the worker thread
        pass


def ignore(request_id: int) -> None:
    """An accepted operation whose completion nobody waits for (a disconnect at exit)."""
    with _pending_lock:
        if _early.pop(request_id, None) is None:
            _dropped.add(request_id)


def withdrawn(handle: int) -> None:
    """After a connection's last operation completed: the operations of that connection still
    waiting were withdrawn by a cancel and will never complete."""
    with _pending_lock:
        gone = [rid for rid, c in _pending.items() if c.handle == handle]
        completions = [_pending.pop(rid) for rid in gone]
    for completion in completions:
        try:
            completion.discard()
        except BaseException:  # noqa: B036
            pass


def _free_at_exit() -> None:
    """Closes every connection still open (without waiting for a server), then frees the
    library, which fails every operation still outstanding before it returns."""
    global _freed
    with _state_lock:
        closers = list(_open.values())
        _open.clear()
    for closer in closers:
        try:
            closer()
        except BaseException:  # noqa: B036
            pass
    with _state_lock:
        _freed = True
    native.Free()
    withdrawn_all = []
    with _pending_lock:
        withdrawn_all = list(_pending.values())
        _pending.clear()
    for completion in withdrawn_all:
        try:
            completion.discard()
        except BaseException:  # noqa: B036
            pass


atexit.register(_free_at_exit)
