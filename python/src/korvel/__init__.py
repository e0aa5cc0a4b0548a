"""Keep the machine awake from Python, through the korvel library.

    import korvel

    with korvel.keep_awake(minutes=30, name="backup") as hold:
        run_the_backup()

    @korvel.keep_awake(on_fail="warn")
    async def render() -> None: ...

``keep_awake(...)`` is a context manager, an async context manager and a
decorator of plain and async functions. While its block runs the library holds
the operating system's own sleep inhibition (on Linux a systemd-logind lock,
plus the desktop session's inhibitor where one answers). Leaving the block,
normally or by an exception, ends the hold. Timed and process-bound holds may
end by themselves before the block does: ``hold.active`` says so.

The library holds one activation per process, so blocks neither nest nor
overlap: while one block is in force, entering another (inside it, in another
thread or another task) fails at once, as ``on_fail`` says, and leaves the
first block's hold as it is.
"""
from __future__ import annotations

import contextvars
import ctypes
import functools
import inspect
import json
import math
import sys
import threading
import warnings
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Tuple, Type, TypeVar, Union, cast

from ._library import KorvelError, load

KorvelError.__module__ = __name__  # tracebacks show korvel.KorvelError

__all__ = ["Hold", "KeepAwake", "KorvelError", "keep_awake", "library_path", "status"]
__version__ = "0.1.0"

OnFail = Union[str, Callable[[KorvelError], Any]]
F = TypeVar("F", bound=Callable[..., Any])

_ON_FAIL_WORDS = ("error", "warn", "pass")
# The library counts seconds in 32 bits and would clamp anything longer.
_MAX_SECONDS = 2**31 - 1
# The status keys that describe an activation, as the library reports no activation.
_NOTHING_HELD: Dict[str, Any] = {"active": 0, "mode": "none", "remaining_s": 0, "keep_display": 0,
                                 "mechanism": "none", "pid": 0, "name": ""}
_PLATFORM = "windows" if sys.platform == "win32" else "linux"

# One lock for every call into the library, so that the error text read
# after a refusal is the refusal's own, and the hold in force is known.
_lock = threading.RLock()
_loaded: Optional[Tuple[ctypes.CDLL, str]] = None
_holder: Optional["Hold"] = None  # the hold in force
# The blocks entered and not yet left, innermost last: each thread and each
# asyncio task sees its own, so one KeepAwake used by several at once leaves
# each of them the hold it entered with.
_entered: contextvars.ContextVar[Tuple[Tuple["KeepAwake", "Hold"], ...]] = contextvars.ContextVar(
    "korvel_entered", default=())


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


class Hold:
    """What entering a :func:`keep_awake` block gives: the hold it took, read
    when asked. ``error`` is the :class:`KorvelError` that kept it from being
    taken when ``on_fail`` let the block run without it, else None."""

    def __init__(self, error: Optional[KorvelError] = None) -> None:
        self.error = error
        self._started: Dict[str, Any] = dict(_NOTHING_HELD, platform=_PLATFORM)

    @property
    def active(self) -> bool:
        """Whether the machine is kept awake now: False once the block has
        ended, once a timed or process-bound hold has ended by itself, and when
        nothing could be held."""
        return bool(self.status()["active"])

    @property
    def mechanism(self) -> str:
        """What took the hold, e.g. "logind" or "logind+gnome-session"; "none"
        when nothing could be held."""
        return str(self._started["mechanism"])

    def status(self) -> Dict[str, Any]:
        """The library's status now (see :func:`status`) while this hold's
        block runs; once it has ended, or when nothing was held, the status
        of no activation."""
        with _lock:
            if _holder is not self:
                return dict(self._started, **_NOTHING_HELD)
            return _status(_library())

    def __repr__(self) -> str:
        return f"<korvel.Hold active={self.active} mechanism={self.mechanism!r}>"


def _take(options: Dict[str, Any]) -> Hold:
    global _holder
    with _lock:
        lib = _library()
        if _holder is not None:
            raise KorvelError(
                "a keep_awake block is in force already: the library holds one "
                "activation per process, so blocks cannot nest or overlap")
        if lib.kor_on(json.dumps(options).encode("utf-8")) != 1:
            raise KorvelError(_last_error(lib))
        hold = _holder = Hold()
        try:
            hold._started = _status(lib)
        except BaseException:
            _release(hold)
            raise
        return hold


def _release(hold: Hold) -> None:
    global _holder
    with _lock:
        if _holder is hold:
            _library().kor_off()
            _holder = None


class KeepAwake:
    """Keeps the machine awake while its block or the function it decorates
    runs; made by :func:`keep_awake`. Entering it (``with``, ``async with``)
    gives a :class:`Hold`."""

    def __init__(self, options: Dict[str, Any], on_fail: OnFail = "error", _wrapper_frames: int = 0) -> None:
        self._options = options
        self._on_fail = on_fail
        # A warning names the line that entered the block: the decorated
        # function's caller when entered from a decorator's wrapper.
        self._wrapper_frames = _wrapper_frames

    def __enter__(self) -> Hold:
        return self._enter()

    def _enter(self) -> Hold:
        try:
            hold = _take(self._options)
        except KorvelError as error:
            # Above warn(): _carry_on, _enter, __enter__ or __aenter__, the caller.
            hold = self._carry_on(error, stacklevel=4 + self._wrapper_frames)
        _entered.set(_entered.get() + ((self, hold),))
        return hold

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        blocks = _entered.get()
        innermost = max(i for i, (owner, _) in enumerate(blocks) if owner is self)
        _entered.set(blocks[:innermost] + blocks[innermost + 1:])
        _release(blocks[innermost][1])

    # Taking the lock costs about a millisecond (at most about 3 s when a bus
    # hangs), too little to hand to a thread and back.
    async def __aenter__(self) -> Hold:
        return self._enter()

    async def __aexit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        self.__exit__(exc_type, exc, traceback)

    def __call__(self, func: F) -> F:
        """Decorates a function, or an async function, so that every call of it
        runs in a block of its own."""
        if inspect.iscoroutinefunction(func):
            @functools.wraps(func)
            async def awaited(*args: Any, **kwargs: Any) -> Any:
                async with self._again():
                    return await func(*args, **kwargs)
            return cast(F, awaited)

        @functools.wraps(func)
        def called(*args: Any, **kwargs: Any) -> Any:
            with self._again():
                return func(*args, **kwargs)
        return cast(F, called)

    def _again(self) -> "KeepAwake":
        return KeepAwake(self._options, self._on_fail, _wrapper_frames=1)

    def _carry_on(self, error: KorvelError, stacklevel: int) -> Hold:
        if self._on_fail == "error":
            raise error
        if self._on_fail == "warn":
            warnings.warn(str(error), RuntimeWarning, stacklevel=stacklevel)
        elif callable(self._on_fail):
            self._on_fail(error)
        return Hold(error)


def _check_number(name: str, value: Any, whole: bool, lowest: float, above: bool, highest: float) -> None:
    kinds = (int,) if whole else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        wanted = "an int" if whole else "a number"
        if name == "seconds" and isinstance(value, float):
            wanted += " (minutes=... takes fractions)"
        raise TypeError(f"keep_awake({name}=...) takes {wanted}, not {type(value).__name__}")
    too_low = value <= lowest if above else value < lowest
    if too_low or not math.isfinite(value) or value > highest:
        bound = f"greater than {lowest:g}" if above else f"at least {lowest:g}"
        raise ValueError(f"keep_awake({name}=...) must be {bound} and at most {int(highest)}, not {value!r}")


def _check_text(name: str, value: Any, may_be_empty: bool) -> None:
    if not isinstance(value, str):
        raise TypeError(f"keep_awake({name}=...) takes a str, not {type(value).__name__}")
    if "\0" in value or (not value and not may_be_empty):
        raise ValueError(f"keep_awake({name}=...) must be a non-empty text without NUL, not {value!r}")


def _check_arguments(minutes: Any, seconds: Any, pid: Any, process: Any, display: Any, name: Any,
                     on_fail: Any) -> None:
    given = [key for key, value in
             (("minutes", minutes), ("seconds", seconds), ("pid", pid), ("process", process))
             if value is not None]
    if len(given) > 1:
        raise ValueError("keep_awake takes one of minutes, seconds, pid and process, not "
                         + " and ".join(given))
    if minutes is not None:
        _check_number("minutes", minutes, False, 0, True, _MAX_SECONDS / 60)
    if seconds is not None:
        _check_number("seconds", seconds, True, 0, False, _MAX_SECONDS)
    if pid is not None:
        _check_number("pid", pid, True, 1, False, _MAX_SECONDS)
    if process is not None:
        _check_text("process", process, False)
        if "/" in process:
            raise ValueError(f"keep_awake(process=...) takes an executable's file name without its folder, "
                             f"not {process!r}")
        if name is not None:
            raise ValueError("keep_awake(process=...) is named after the process: name cannot be given")
    if not isinstance(display, bool):
        raise TypeError(f"keep_awake(display=...) takes True or False, not {display!r}")
    if name is not None:
        _check_text("name", name, True)
    if isinstance(on_fail, str) and on_fail not in _ON_FAIL_WORDS:
        raise ValueError(f"keep_awake(on_fail=...) takes 'error', 'warn', 'pass' or a callable, not {on_fail!r}")
    if not isinstance(on_fail, str) and not callable(on_fail):
        raise TypeError(f"keep_awake(on_fail=...) takes 'error', 'warn', 'pass' or a callable, "
                        f"not {type(on_fail).__name__}")


def keep_awake(*, minutes: Optional[float] = None, seconds: Optional[int] = None,
               pid: Optional[int] = None, process: Optional[str] = None,
               display: bool = False, name: Optional[str] = None,
               on_fail: OnFail = "error") -> KeepAwake:
    """Keeps the machine awake while a block runs (``with``, ``async with``) or
    while a decorated function, plain or async, runs; and at most:

    - ``minutes``: that many minutes (fractions allowed, rounded to whole
      seconds, at least 1);
    - ``seconds``: that many whole seconds;
    - ``pid``: while the process with that id lives;
    - ``process``: while the oldest running process whose executable file is
      called that lives (the hold is then named after it, so ``name`` cannot
      be given too).

    With none of these it holds until the block ends. ``display=True`` keeps
    the display on as well. ``name`` is what ``korvel --list``,
    ``systemd-inhibit --list`` and the desktop show (default: "Keeping the
    system awake").

    When the machine cannot be kept awake (the library refuses or cannot be
    loaded, or another block is in force in this process), nothing is held
    and ``on_fail`` decides: ``"error"`` (the default) raises
    :class:`KorvelError` with the library's message; ``"warn"`` issues a
    RuntimeWarning with it and runs the block; ``"pass"`` runs the block;
    a callable is called with the KorvelError, then the block runs (unless it
    raises). The :class:`Hold` then has ``active`` False and the error in
    ``error``.

    Arguments of the wrong type raise TypeError, bad values ValueError, here,
    before the library is asked.
    """
    _check_arguments(minutes, seconds, pid, process, display, name, on_fail)
    options: Dict[str, Any] = {"mode": "indefinite", "keep_display": display}
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
    return KeepAwake(options, on_fail)


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
