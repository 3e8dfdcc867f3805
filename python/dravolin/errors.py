"""The exceptions of the dravolin package.

Every failure of the library or the server is a :class:`Error`. Each carries the reply
status (200, 100-105; 105 for the client's own failures), the server's status text, the
library's reason code (:data:`REASON_NONE` when the server's reply decided) and its text.
Arguments of the failed call are never part of the text, so secrets cannot leak into logs.
"""

from __future__ import annotations

from typing import Optional

REASON_NONE = 0
REASON_CONNECT_FAILED = 1
REASON_CONNECTION_LOST = 2
REASON_TIMED_OUT = 3
REASON_FRAME_REJECTED = 4
REASON_LOG_NAME_UNSAFE = 5
REASON_LOG_FILE = 6
REASON_LINE_TOO_LONG = 7
REASON_ARGUMENT_MISSING = 8
REASON_LOGIN = 9
REASON_ENDED = 10
REASON_HOST_NOT_FOUND = 11


class Error(Exception):
    """Base of every dravolin failure.

    Attributes: ``operation`` (what was tried: "connect", "login", or the command's name),
    ``status``, ``text`` (the server's status text), ``reason`` and ``reason_text`` (the
    library's), and ``reply`` (the :class:`dravolin.Reply` when the server answered, else None).
    """

    def __init__(
        self,
        operation: str,
        status: int = 105,
        text: str = "",
        reason: int = REASON_NONE,
        reason_text: str = "",
        reply: Optional[object] = None,
    ) -> None:
        super().__init__(operation, status, text, reason, reason_text)
        self.operation = operation
        self.status = status
        self.text = text
        self.reason = reason
        self.reason_text = reason_text
        self.reply = reply

    def __str__(self) -> str:
        message = "%s failed: status %d" % (self.operation, self.status)
        if self.text:
            message += " (%s)" % self.text
        if self.reason != REASON_NONE:
            message += ", reason %d" % self.reason
            if self.reason_text:
                message += ": %s" % self.reason_text
        return message

    def __repr__(self) -> str:
        return "%s(operation=%r, status=%d, text=%r, reason=%d, reason_text=%r)" % (
            type(self).__name__,
            self.operation,
            self.status,
            self.text,
            self.reason,
            self.reason_text,
        )


class ConnectError(Error):
    """The connection could not be made (or its greeting not read)."""


class HostNotFound(ConnectError):
    """The host name resolves to no usable address."""


class ConnectionRefused(ConnectError):
    """No TCP connection could be made to the service port + 1."""


class LoginError(Error):
    """The login was refused, or a CHAP check failed (a wrong secret or server proof)."""


class TimeoutError(Error):
    """A connect or reply time-out ran out (reason REASON_TIMED_OUT)."""


class ConnectTimeout(ConnectError, TimeoutError):
    """The connect time-out ran out: both a ConnectError and a TimeoutError."""


class CommandError(Error):
    """The server answered a command with a status other than 200 (see ``status``)."""


class ProtocolError(Error):
    """The conversation broke: connection lost, an encrypted frame rejected, an unsafe log
    file name, or a reply the library could not use."""


class ConnectionLost(ProtocolError):
    """The server closed the connection or the socket failed (reason REASON_CONNECTION_LOST)."""


class ClosedError(Error):
    """The connection was closed (or the library freed at exit) before or during the call."""


class LogFileError(Error):
    """getlog: the local file could not be created or written."""


_BY_REASON = {
    REASON_CONNECT_FAILED: ConnectionRefused,
    REASON_HOST_NOT_FOUND: HostNotFound,
    REASON_CONNECTION_LOST: ConnectionLost,
    REASON_FRAME_REJECTED: ProtocolError,
    REASON_LOG_NAME_UNSAFE: ProtocolError,
    REASON_LOG_FILE: LogFileError,
    REASON_LOGIN: LoginError,
    REASON_ENDED: ClosedError,
    REASON_LINE_TOO_LONG: CommandError,
    REASON_ARGUMENT_MISSING: CommandError,
}


def error_for(
    operation: str,
    status: int,
    text: str,
    reason: int,
    reason_text: str,
    reply: Optional[object] = None,
) -> Error:
    """The exception for a failed operation (pure: no I/O)."""
    cls: type
    if operation == "connect":
        if reason == REASON_TIMED_OUT:
            cls = ConnectTimeout
        elif reason in (REASON_CONNECT_FAILED, REASON_HOST_NOT_FOUND):
            cls = _BY_REASON[reason]
        elif reason == REASON_ENDED:
            cls = ClosedError
        else:
            cls = ConnectError
    elif reason == REASON_TIMED_OUT:
        cls = TimeoutError
    elif operation == "login" and reason in (REASON_NONE, REASON_LOGIN):
        cls = LoginError
    elif reason == REASON_NONE:
        cls = CommandError
    else:
        cls = _BY_REASON.get(reason, ProtocolError)
    return cls(operation, status, text, reason, reason_text, reply)
