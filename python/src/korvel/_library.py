"""Finding and loading the korvel library, with its five C functions declared
for ctypes; and the stand-in that KORVEL_FAKE_SUCCESS asks for."""
from __future__ import annotations

import ctypes
import ctypes.util
import json
import math
import os
import sys
import time
from typing import Any, Dict, Iterator, Optional, Tuple

LIBRARY_NAME = "brenvic-korvel-sleep-blocker"
_FILE_NAME = LIBRARY_NAME + (".dll" if sys.platform == "win32" else ".so")
# The status when no activation is in force, its members in the library's order.
NOTHING_HELD: Dict[str, Any] = {
    "active": 0, "mode": "none", "remaining_s": 0, "keep_display": 0,
    "platform": "windows" if sys.platform == "win32" else "linux", "mechanism": "none", "pid": 0, "name": ""}


class KorvelError(RuntimeError):
    """The machine could not be kept awake, or the library could not be used.

    For a refusal, ``str(error)`` (and ``error.message``) is the library's own
    one-line message, which names every mechanism tried and why it failed,
    e.g. ``logind: access denied: blocking sleep takes root, or polkit's
    consent to ...; session bus: no session bus``.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    lib.kor_on.argtypes = [ctypes.c_char_p]
    lib.kor_on.restype = ctypes.c_int
    lib.kor_off.argtypes = []
    lib.kor_off.restype = ctypes.c_int
    # A void pointer, not c_char_p: ctypes would turn a c_char_p result into
    # bytes and lose the pointer that kor_free_string must get back.
    lib.kor_status.argtypes = []
    lib.kor_status.restype = ctypes.c_void_p
    lib.kor_last_error.argtypes = []
    lib.kor_last_error.restype = ctypes.c_char_p  # the library owns this one
    lib.kor_free_string.argtypes = [ctypes.c_void_p]
    lib.kor_free_string.restype = None
    return lib


def _candidates() -> Iterator[Tuple[str, Optional[str]]]:
    """Where the library is looked for, in order: (what, path or name). Lazily:
    the system's search runs programs (ldconfig), needed only when the others fail."""
    if os.environ.get("KORVEL_LIBRARY"):
        yield "KORVEL_LIBRARY", os.environ["KORVEL_LIBRARY"]
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), _FILE_NAME)
    yield "in the package", bundled if os.path.exists(bundled) else None
    yield "on the system", ctypes.util.find_library(LIBRARY_NAME)


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _file_of(lib: ctypes.CDLL, fallback: str) -> str:
    """The file the loader mapped: a name found by the system's search says
    nothing of where it came from."""
    try:
        if sys.platform == "win32":
            buffer = ctypes.create_unicode_buffer(32768)
            kernel32 = ctypes.WinDLL("kernel32")
            if kernel32.GetModuleFileNameW(ctypes.c_void_p(lib._handle), buffer, len(buffer)):
                return buffer.value
            return fallback
        dladdr = ctypes.CDLL(None).dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
        dladdr.restype = ctypes.c_int
        info = _DlInfo()
        if dladdr(ctypes.cast(lib.kor_on, ctypes.c_void_p), ctypes.byref(info)) and info.dli_fname:
            return os.fsdecode(info.dli_fname)
    except (OSError, AttributeError):
        pass
    return fallback


def load() -> Tuple[ctypes.CDLL, str]:
    """Loads the first library found: the one KORVEL_LIBRARY names, the one
    shipped in the package, then the system's. Returns it with its file."""
    failures = []
    for where, target in _candidates():
        if target is None:
            failures.append(f"{where}: not found")
            continue
        try:
            lib = ctypes.CDLL(target)
        except OSError as e:
            failures.append(f"{where}: {e}")
            continue
        return _declare(lib), _file_of(lib, target)
    raise KorvelError("cannot load the korvel library: " + "; ".join(failures))


class Library:
    """The activation of this process, as the library keeps it."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self._lib = lib

    def on(self, options: str) -> Optional[str]:
        """Asks for an activation: None when granted, else the refusal."""
        if self._lib.kor_on(options.encode("utf-8")) == 1:
            return None
        return self._last_error()

    def off(self) -> None:
        self._lib.kor_off()

    def status(self) -> Dict[str, Any]:
        text = self._lib.kor_status()
        if not text:
            raise KorvelError(self._last_error())
        try:
            report: Dict[str, Any] = json.loads(ctypes.string_at(text).decode("utf-8"))
            return report
        finally:
            self._lib.kor_free_string(text)

    def _last_error(self) -> str:
        return (self._lib.kor_last_error() or b"").decode("utf-8", "replace")


FAKE_MECHANISM = "fake (KORVEL_FAKE_SUCCESS)"


def fake_requested() -> bool:
    """Whether KORVEL_FAKE_SUCCESS asks for holds that are granted without
    the library or the system, for tests and CI."""
    return os.environ.get("KORVEL_FAKE_SUCCESS", "").strip().lower() not in ("", "0", "false", "no")


class FakeLibrary(Library):
    """Grants every activation and reports it as the library would, holding
    nothing. A timed activation ends at its time; a process-bound one never
    ends by itself."""

    def __init__(self) -> None:
        self._options: Optional[Dict[str, Any]] = None
        self._ends: Optional[float] = None

    def on(self, options: str) -> Optional[str]:
        request: Dict[str, Any] = json.loads(options)
        seconds = request.get("seconds")
        if request["mode"] == "minutes" and seconds is None:
            seconds = max(1, math.floor(request["minutes"] * 60 + 0.5))
        self._options, self._ends = request, None if seconds is None else time.monotonic() + seconds
        return None

    def off(self) -> None:
        self._options = None

    def status(self) -> Dict[str, Any]:
        now = time.monotonic()
        if self._options is not None and self._ends is not None and self._ends <= now:
            self._options = None
        request = self._options
        if request is None:
            return dict(NOTHING_HELD)
        return dict(NOTHING_HELD, active=1, mode=request["mode"], mechanism=FAKE_MECHANISM,
                    remaining_s=0 if self._ends is None else math.ceil(self._ends - now),
                    keep_display=int(request["keep_display"]), pid=request.get("pid", 0),
                    name=request.get("name", ""))
