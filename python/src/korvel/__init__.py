"""Keep the machine awake from Python, through the korvel library.

    import korvel

    with korvel.keep_awake(minutes=30, name="backup"):
        run_the_backup()

While a ``keep_awake`` block is in force the library holds the operating
system's own sleep inhibition (on Linux a systemd-logind lock, plus the
desktop session's inhibitor where one answers). Leaving the block, normally
or by an exception, ends the hold. Timed and process-bound holds may also end
by themselves before the block does.

The library holds one activation per process, so blocks neither nest nor
overlap: while one block is in force, entering another (inside it, or in
another thread) raises :class:`KorvelError` at once and leaves the first
block's hold as it is.
"""
from __future__ import annotations

import ctypes
import json
import threading
from types import TracebackType
from typing import Any, Dict, Optional, Tuple, Type

from ._library import KorvelError, load

KorvelError.__module__ = __name__  # tracebacks show korvel.KorvelError

__all__ = ["KeepAwake", "KorvelError", "keep_awake", "library_path", "status"]
__version__ = "0.1.0"

# One lock for every call into the library, so that the error text read
# after a refusal is the refusal's own, and the block in force is known.
_lock = threading.RLock()
_loaded: Optional[Tuple[ctypes.CDLL, str]] = None
_holder: Optional["KeepAwake"] = None  # the block whose hold is in force


def _library() -> ctypes.CDLL:
    global _loaded
    if _loaded is None:
        _loaded = load()
    return _loaded[0]


def _last_error(lib: ctypes.CDLL) -> str:
    return (lib.kor_last_error() or b"").decode("utf-8", "replace")


def _status(lib: ctypes.CDLL) -> Dict[str, Any]:
    text = lib.kor_status()
    if not text:
        raise KorvelError(_last_error(lib))
    try:
        report: Dict[str, Any] = json.loads(ctypes.string_at(text).decode("utf-8"))
        return report
    finally:
        lib.kor_free_string(text)


class KeepAwake:
    """Keeps the machine awake while its ``with`` block runs; made by
    :func:`keep_awake`. Entering it returns the status as the hold starts
    (see :func:`status`)."""

    def __init__(self, options: Dict[str, Any]) -> None:
        self._options = options

    def __enter__(self) -> Dict[str, Any]:
        global _holder
        with _lock:
            lib = _library()
            if _holder is not None:
                raise KorvelError(
                    "a keep_awake block is in force already: the library holds one "
                    "activation per process, so blocks cannot nest or overlap")
            if lib.kor_on(json.dumps(self._options).encode("utf-8")) != 1:
                raise KorvelError(_last_error(lib))
            _holder = self
            try:
                return _status(lib)
            except BaseException:
                self._release()
                raise

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._release()

    def _release(self) -> None:
        global _holder
        with _lock:
            if _holder is self:
                _library().kor_off()
                _holder = None


def keep_awake(*, minutes: Optional[float] = None, seconds: Optional[int] = None,
               pid: Optional[int] = None, process: Optional[str] = None,
               display: bool = False, name: Optional[str] = None) -> KeepAwake:
    """Returns a context manager that keeps the machine awake while its block
    runs, and at most:

    - ``minutes``: that many minutes (rounded to whole seconds, at least 1);
    - ``seconds``: that many seconds;
    - ``pid``: while the process with that id lives;
    - ``process``: while the oldest running process whose executable file is
      called that lives (the hold is then named after it, so ``name`` cannot
      be given too).

    With none of these it holds until the block ends. ``display=True`` keeps
    the display on as well. ``name`` is what ``systemd-inhibit --list`` and
    the desktop show (default: "Keeping the system awake").

    Entering the block raises :class:`KorvelError` with the library's message
    when the machine cannot be kept awake (nothing is held then), and when
    another block is in force in this process. Giving more than one of
    ``minutes``, ``seconds``, ``pid`` and ``process`` raises ValueError.
    """
    given = [key for key, value in
             (("minutes", minutes), ("seconds", seconds), ("pid", pid), ("process", process))
             if value is not None]
    if len(given) > 1:
        raise ValueError("keep_awake takes one of minutes, seconds, pid and process, not "
                         + " and ".join(given))
    if process is not None and name is not None:
        raise ValueError("keep_awake(process=...) is named after the process: name cannot be given")
    options: Dict[str, Any] = {"mode": "indefinite", "keep_display": bool(display)}
    if minutes is not None:
        options.update(mode="minutes", minutes=minutes)
    elif seconds is not None:
        options.update(mode="minutes", seconds=seconds)
    elif pid is not None:
        options.update(mode="while_pid", pid=pid)
    elif process is not None:
        options.update(mode="while_process", name=process)
    if name is not None:
        options["name"] = name
    return KeepAwake(options)


def status() -> Dict[str, Any]:
    """The library's status as a dict, e.g. ``{"active": 1, "mode":
    "minutes", "remaining_s": 1795, "keep_display": 0, "platform": "linux",
    "mechanism": "logind", "pid": 0, "name": "backup"}``; ``mechanism`` says
    what holds the inhibition ("none" when nothing is held)."""
    with _lock:
        return _status(_library())


def library_path() -> str:
    """The file of the korvel library in use, loading it if need be: the one
    shipped in the package, else the one the KORVEL_LIBRARY environment
    variable names, else the system's. Raises KorvelError when none loads."""
    with _lock:
        _library()
        assert _loaded is not None
        return _loaded[1]
