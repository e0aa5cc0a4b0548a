"""Finding and loading the korvel library, with its five C functions declared
for ctypes."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import List, Optional, Tuple

LIBRARY_NAME = "brenvic-korvel-sleep-blocker"
_FILE_NAME = LIBRARY_NAME + (".dll" if sys.platform == "win32" else ".so")


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


def _candidates() -> List[Tuple[str, Optional[str]]]:
    """Where the library is looked for, in order: (what, path or name)."""
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), _FILE_NAME)
    found: List[Tuple[str, Optional[str]]] = [
        ("in the package", bundled if os.path.exists(bundled) else None)]
    if os.environ.get("KORVEL_LIBRARY"):
        found.append(("KORVEL_LIBRARY", os.environ["KORVEL_LIBRARY"]))
    found.append(("on the system", ctypes.util.find_library(LIBRARY_NAME)))
    return found


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
    """Loads the first library found: the one shipped in the package, the one
    KORVEL_LIBRARY names, then the system's. Returns it with its file."""
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
