"""The commands: request codes and argument texts, checked before anything is sent (pure)."""

from __future__ import annotations

from typing import Iterator, List, Optional, Sequence, Tuple, Union, overload

LOGOFF, ADD, REMOVE, ALLOW, LIST_DEVICES, LIST_PERMISSIONS = 0, 1, 2, 3, 4, 5
SET, GET, GET_LOG, SHUTDOWN, STATISTICS, CONTROL = 6, 7, 8, 9, 10, 11

#: Longest formatted line of set, get, statistics and control (command, argument, newline).
MAX_COMMAND_LINE = 4096

Request = Tuple[int, str, Optional[bytes]]  # code, command name, argument


def encode(value: str) -> bytes:
    return value.encode("utf-8", "surrogateescape")


def decode(value: bytes) -> str:
    return value.decode("utf-8", "surrogateescape")


def text(parameter: str, value: object, *, blank: bool = True, empty: bool = False) -> str:
    """Checks one caller text: a str without NUL, CR or LF; without blanks unless *blank*;
    not empty unless *empty*."""
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (parameter, type(value).__name__))
    if not value and not empty:
        raise ValueError("%s must not be empty" % parameter)
    if "\0" in value or "\r" in value or "\n" in value:
        raise ValueError("%s must not hold NUL, CR or LF" % parameter)
    if not blank and (" " in value or "\t" in value):
        raise ValueError("%s must not hold blanks" % parameter)
    return value


def option(name: str, value: object, empty: bool = False) -> str:
    """' -name:"value"', the service's option form."""
    checked = text(name, value, empty=empty)
    if '"' in checked:
        raise ValueError('%s must not hold a double quote' % name)
    return ' -%s:"%s"' % (name, checked)


def _formatted(code: int, name: str, argument: str, extra: int) -> Request:
    data = encode(argument)
    if len(name) + 1 + len(data) + extra > MAX_COMMAND_LINE:
        raise ValueError("the %s line would exceed %d characters" % (name, MAX_COMMAND_LINE))
    return code, name, data


def logoff() -> Request:
    return LOGOFF, "logoff", None


def add(device: str, type: Optional[str] = None, size: Optional[Union[int, str]] = None) -> Request:
    argument = option("device", device)
    if type is not None:
        argument += option("type", type)
    if size is not None:
        if isinstance(size, bool) or not isinstance(size, (int, str)):
            raise TypeError("size must be an int or a str")
        argument += option("size", str(size))
    return ADD, "add", encode(argument.lstrip())


def remove(device: str) -> Request:
    return REMOVE, "remove", encode(option("device", device).lstrip())


def allow(user: str, device: str, access: Optional[str] = None) -> Request:
    argument = option("user", user) + option("device", device)
    if access is not None:
        argument += option("access", access)
    return ALLOW, "allow", encode(argument.lstrip())


def list_devices(device: Optional[str] = None, level: int = 1) -> Request:
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError("level must be an int")
    if level < 0:
        raise ValueError("level must not be negative")
    argument = str(level)
    if device is not None:
        argument += option("device", device)
    return LIST_DEVICES, "list_devices", encode(argument)


def list_permissions(user: Optional[str] = None, device: Optional[str] = None) -> Request:
    argument = ""
    if user is not None:
        argument += option("user", user)
    if device is not None:
        argument += option("device", device)
    return LIST_PERMISSIONS, "list_permissions", encode(argument)


def set(name: str, value: str) -> Request:
    argument = option("name", name).lstrip() + option("value", value, empty=True)
    return _formatted(SET, "set", argument, 1)


def get(name: str) -> Request:
    return _formatted(GET, "get", text("name", name, blank=False), 1)


def getlog() -> Request:
    return GET_LOG, "getlog", None


def shutdown() -> Request:
    return SHUTDOWN, "shutdown", None


def statistics(device: Optional[str] = None) -> Request:
    argument = "all" if device is None else text("device", device, blank=False)
    return _formatted(STATISTICS, "statistics", argument, 1)


def control(action: str) -> Request:
    return _formatted(CONTROL, "control", text("action", action), 2)


class Reply(Sequence[Tuple[str, str]]):
    """A server's reply: its ``(name, value)`` records in server order, lookup by name
    (``reply["Device"]`` is the first value of that name, :meth:`getall` every one), the
    ``status`` (200 for a reply that came back as success) and the status line's ``text``."""

    __slots__ = ("records", "status", "text")

    def __init__(self, records: List[Tuple[str, str]], status: int = 200, text: str = "") -> None:
        self.records = records
        self.status = status
        self.text = text

    @overload
    def __getitem__(self, key: int) -> Tuple[str, str]: ...
    @overload
    def __getitem__(self, key: slice) -> List[Tuple[str, str]]: ...
    @overload
    def __getitem__(self, key: str) -> str: ...

    def __getitem__(self, key):  # type: ignore[no-untyped-def]
        if isinstance(key, str):
            for name, value in self.records:
                if name == key:
                    return value
            raise KeyError(key)
        return self.records[key]

    def __len__(self) -> int:
        return len(self.records)

    def __iter__(self) -> Iterator[Tuple[str, str]]:
        return iter(self.records)

    def __contains__(self, item: object) -> bool:
        if isinstance(item, str):
            return any(name == item for name, _ in self.records)
        return item in self.records

    def get(self, name: str, default: Optional[str] = None) -> Optional[str]:
        """The first value named *name*, or *default*."""
        for record_name, value in self.records:
            if record_name == name:
                return value
        return default

    def getall(self, name: str) -> List[str]:
        """Every value named *name*, in server order."""
        return [value for record_name, value in self.records if record_name == name]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Reply):
            return (self.records, self.status, self.text) == (other.records, other.status, other.text)
        return NotImplemented

    def __repr__(self) -> str:
        return "Reply(status=%d, text=%r, records=%r)" % (self.status, self.text, self.records)
