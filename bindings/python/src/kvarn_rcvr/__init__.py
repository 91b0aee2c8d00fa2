"""kvarn_rcvr - a ctypes binding of the Kvarn_Rcvr alarm-receiver library.

Loads Kvarn_Rcvr.dll (32-bit Windows: use a 32-bit Python; stdcall, through
ctypes.WinDLL) or libKvarn_Rcvr.so (elsewhere, through ctypes.CDLL) and wraps
its five functions:

    import kvarn_rcvr
    lib = kvarn_rcvr.Library()            # or Library("/path/to/libKvarn_Rcvr.so")
    print(lib.driver_name(), lib.driver_ids())
    with lib.open(port=1, receiver=1) as channel:   # Com1, section [RecNr1] of ./Rn.ini
        for event in channel.events():    # polls; pumps window messages on Windows
            print(event)

Library() looks for the library in this order: the path given, the
environment variable KVARN_RCVR_LIBRARY, a copy next to this module, then the
system's loader path (libKvarn_Rcvr.so.1 as the runtime package installs it).

Threading rules (see kvarn_rcvr.h): poll; on Windows the thread that opened
the first channel must keep pumping window messages (events(), wait() and
take_all() do it for you); close every channel before exiting (a with-block
does); never use a closed channel (this wrapper raises ValueError).

Run as a program it is a small monitor host:
    python3 -m kvarn_rcvr [--lib PATH] [--count N] [--seconds S] PORT RECEIVER
"""

import ctypes
import os
import sys
import time
from typing import Any, Iterator, List, Optional, Sequence, Tuple, Union

__all__ = ["TlfSystemTime", "TlfMsg", "Library", "Channel", "wait", "pump_messages", "library_candidates",
           "NO_TIME"]

NO_TIME = 0xFFFF
AREA_CAP = 3
EVZONE_CAP = 8
_WINDOWS = sys.platform == "win32"


class TlfSystemTime(ctypes.Structure):
    """The receiver time, Win32 SYSTEMTIME layout. wYear 0xFFFF: no time."""

    _fields_ = [
        ("wYear", ctypes.c_uint16),
        ("wMonth", ctypes.c_uint16),
        ("wDayOfWeek", ctypes.c_uint16),
        ("wDay", ctypes.c_uint16),
        ("wHour", ctypes.c_uint16),
        ("wMinute", ctypes.c_uint16),
        ("wSecond", ctypes.c_uint16),
        ("wMilliseconds", ctypes.c_uint16),
    ]


class TlfMsg(ctypes.Structure):
    """One decoded event, 48 bytes (see kvarn_rcvr.h for every field)."""

    _fields_ = [
        ("RecNo", ctypes.c_int32),
        ("LineNo", ctypes.c_uint16),
        ("Gap6", ctypes.c_uint8 * 2),
        ("Account", ctypes.c_int32),
        ("Area", ctypes.c_uint8 * (1 + AREA_CAP)),
        ("EvZone", ctypes.c_uint8 * (1 + EVZONE_CAP)),
        ("Gap25", ctypes.c_uint8),
        ("Stamp", TlfSystemTime),
        ("Gap42", ctypes.c_uint8 * 2),
        ("Extra", ctypes.c_uint32),
    ]

    @staticmethod
    def _short(field: Any, cap: int) -> str:
        n = min(field[0], cap)
        return bytes(field[1:1 + n]).decode("latin-1")

    @property
    def area(self) -> str:
        """Area as text (up to 3 characters, placed in spaces)."""
        return self._short(self.Area, AREA_CAP)

    @property
    def evzone(self) -> str:
        """Event code and zone as text (up to 8 characters)."""
        return self._short(self.EvZone, EVZONE_CAP)

    @property
    def account(self) -> str:
        """The account as the receiver wrote it: hexadecimal digits."""
        return "%X" % (self.Account & 0xFFFFFFFF)

    @property
    def has_time(self) -> bool:
        return self.Stamp.wYear != NO_TIME

    def time_text(self) -> str:
        """hh:mm:ss dd/mm of the receiver time, or "-"."""
        if not self.has_time:
            return "-"
        s = self.Stamp
        return "%02d:%02d:%02d %02d/%02d" % (s.wHour, s.wMinute, s.wSecond, s.wDay, s.wMonth)

    def copy(self) -> "TlfMsg":
        other = TlfMsg()
        ctypes.memmove(ctypes.byref(other), ctypes.byref(self), ctypes.sizeof(TlfMsg))
        return other

    def __str__(self) -> str:
        return "rcv %d line %d acct %s area [%s] event [%s] time %s" % (
            self.RecNo, self.LineNo, self.account, self.area, self.evzone, self.time_text())


assert ctypes.sizeof(TlfMsg) == 48 and TlfMsg.Extra.offset == 44


def library_names() -> Tuple[str, ...]:
    """The file names the library has on this platform, the runtime one first."""
    return ("Kvarn_Rcvr.dll",) if _WINDOWS else ("libKvarn_Rcvr.so.1", "libKvarn_Rcvr.so")


def library_candidates(path: Optional[str] = None) -> List[str]:
    """Where Library() looks, in order: `path`, $KVARN_RCVR_LIBRARY, a copy
    next to this module, then the bare names for the system's loader."""
    if path:
        return [path]
    if os.environ.get("KVARN_RCVR_LIBRARY"):
        return [os.environ["KVARN_RCVR_LIBRARY"]]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, n) for n in library_names() if os.path.exists(os.path.join(here, n))]
    return beside + list(library_names())


class Library(object):
    """The loaded library (see library_candidates() for where it is looked
    for). Raises OSError naming every place tried when none loads."""

    def __init__(self, path: Optional[str] = None) -> None:
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
        errors: List[str] = []
        for candidate in library_candidates(path):
            try:
                self._dll = loader(candidate)
                break
            except OSError as e:
                errors.append(str(e))
        else:
            raise OSError("cannot load the Kvarn_Rcvr library: " + "; ".join(errors))
        self.path = candidate
        self._declare()

    def _declare(self) -> None:
        d = self._dll
        d.tlf_InitComm.argtypes = [ctypes.c_int, ctypes.c_int]
        d.tlf_InitComm.restype = ctypes.c_void_p
        d.tlf_CloseComm.argtypes = [ctypes.c_void_p]
        d.tlf_CloseComm.restype = ctypes.c_int
        d.tlf_GetMsg.argtypes = [ctypes.c_void_p, ctypes.POINTER(TlfMsg)]
        d.tlf_GetMsg.restype = ctypes.c_int
        d.tlf_GetSysMsg.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32),
                                    ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_int)]
        d.tlf_GetSysMsg.restype = ctypes.c_int
        p_int = ctypes.POINTER(ctypes.c_int)
        d.Tlf_GetNameN4.argtypes = [p_int, p_int, p_int]
        # A plain pointer: the text is the library's constant and must not be freed.
        d.Tlf_GetNameN4.restype = ctypes.c_void_p

    def driver_name(self) -> str:
        return ctypes.string_at(self._dll.Tlf_GetNameN4(None, None, None)).decode("latin-1")

    def driver_ids(self) -> Tuple[int, int, int]:
        ids = [ctypes.c_int() for _ in range(3)]
        self._dll.Tlf_GetNameN4(*[ctypes.byref(i) for i in ids])
        return ids[0].value, ids[1].value, ids[2].value

    def sys_msg(self, line: Union[str, bytes], bits: int = 0,
                marks: Optional[Sequence[int]] = None) -> Tuple[int, List[int], int]:
        """Interprets one status line (str or bytes). Returns the new status
        bits and line marks (a list of 14) and the info value."""
        text = line.encode("latin-1") if isinstance(line, str) else bytes(line)
        if len(text) > 255:
            raise ValueError("a status line has at most 255 characters")
        packed = bytes([len(text)]) + text
        c_bits = ctypes.c_uint32(bits)
        c_marks = (ctypes.c_uint8 * 14)(*(marks if marks is not None else [0] * 14))
        info = ctypes.c_int()
        self._dll.tlf_GetSysMsg(0, packed, ctypes.byref(c_bits), c_marks, ctypes.byref(info))
        return c_bits.value, list(c_marks), info.value

    def open(self, port: int, receiver: int) -> "Channel":
        """Opens Com<port> with section [RecNr<receiver>] of ./Rn.ini. Raises
        OSError when the port cannot be opened."""
        handle = self._dll.tlf_InitComm(int(port), int(receiver))
        if not handle:
            raise OSError("cannot open Com%d (in %s)" % (port, os.getcwd()))
        return Channel(self._dll, handle, port)


class Channel(object):
    """An open channel. Close it (or use it in a with-block) before exiting."""

    def __init__(self, dll: Any, handle: int, port: int) -> None:
        self._dll = dll
        self._handle = handle
        self.port = port

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("channel Com%d is closed" % self.port)
        return self._handle

    def take(self, into: Optional[TlfMsg] = None) -> Optional[TlfMsg]:
        """Takes one event: returns a TlfMsg, or None when nothing waits.
        Pass `into` to reuse a record: fields the library does not write
        (Extra; RecNo and Stamp for further blocks) keep their values."""
        msg = into if into is not None else TlfMsg()
        if self._dll.tlf_GetMsg(self._live(), ctypes.byref(msg)) == 1:
            return msg
        return None

    def take_all(self) -> List[TlfMsg]:
        """Takes every event waiting now, as a list of records."""
        pump_messages()
        events = []
        record = TlfMsg()
        while self.take(record) is not None:
            events.append(record.copy())
        return events

    def events(self, seconds: Optional[float] = None, count: Optional[int] = None,
               interval: float = 0.05) -> Iterator[TlfMsg]:
        """Yields the events as they arrive, each its own record, polling
        every `interval` seconds; ends after `seconds` or `count` events
        (None: no limit) or when the channel is closed."""
        end = None if seconds is None else time.monotonic() + seconds
        taken = 0
        while not self.closed and (count is None or taken < count):
            for event in self.take_all():
                yield event
                taken += 1
                if count is not None and taken >= count:
                    return
            if end is not None and time.monotonic() >= end:
                return
            wait(interval)

    def __iter__(self) -> Iterator[TlfMsg]:
        return self.events()

    def close(self) -> None:
        """Stops and releases the channel (up to 7 s while an event waits for
        pickup). Safe to call twice from this wrapper."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            self._dll.tlf_CloseComm(handle)

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def pump_messages() -> None:
    """Windows: run the messages sent to this thread (the library's event
    handoff). Does nothing elsewhere."""
    if not _WINDOWS:
        return
    from ctypes import wintypes
    user32 = ctypes.windll.user32  # type: ignore[attr-defined]
    msg = wintypes.MSG()
    while user32.PeekMessageA(ctypes.byref(msg), None, 0, 0, 1):  # PM_REMOVE
        user32.TranslateMessage(ctypes.byref(msg))
        user32.DispatchMessageA(ctypes.byref(msg))


def wait(seconds: float) -> None:
    """Sleeps while keeping window messages flowing on Windows."""
    end = time.monotonic() + seconds
    while True:
        pump_messages()
        left = end - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.02))


def main(argv: Optional[Sequence[str]] = None) -> int:
    import argparse
    parser = argparse.ArgumentParser(prog="python3 -m kvarn_rcvr",
                                     description="Print the events of one receiver channel.")
    parser.add_argument("port", type=int, help="port number: opens Com<port>")
    parser.add_argument("receiver", type=int, help="receiver number: section [RecNr<receiver>] of ./Rn.ini")
    parser.add_argument("--lib", help="path of the library")
    parser.add_argument("--count", type=int, default=0, help="stop after this many events (0: no limit)")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: until Ctrl-C)")
    args = parser.parse_args(argv)

    lib = Library(args.lib)
    ids = lib.driver_ids()
    print("driver %s %d/%d/%d" % ((lib.driver_name(),) + ids), flush=True)
    try:
        channel = lib.open(args.port, args.receiver)
    except OSError as e:
        print(e, file=sys.stderr)
        return 1
    taken = 0
    with channel:
        try:
            for event in channel.events(seconds=args.seconds or None, count=args.count or None):
                print(event, flush=True)
                taken += 1
        except KeyboardInterrupt:
            pass
    print("events %d" % taken, flush=True)
    return 0
