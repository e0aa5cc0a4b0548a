"""Keep the machine awake from Python, through the korvel library.

    import korvel, time

    with korvel.keep_awake(minutes=30, name="backup") as hold:
        time.sleep(1)                   # the long work

    @korvel.keep_awake
    async def render() -> None: ...

``keep_awake(...)`` is a context manager, an async context manager and a
decorator of plain and async functions; ``enter()`` and ``exit()`` (or the
hold's ``release()``) do the same outside a block. While a block runs the
library holds the operating system's own sleep inhibition (on Linux a
systemd-logind lock, plus the desktop session's inhibitor where one answers).
Leaving the block, normally or by an exception, ends its hold. Timed and
process-bound holds may end by themselves before the block does: ``hold.active``
says so.

Any number of holds may be in force at once (nested blocks, threads, asyncio
tasks): the machine is kept awake while any is, the display while any asks
for it, and each ends on its own.
"""
from __future__ import annotations

import contextvars
import functools
import inspect
import warnings
from types import TracebackType
from typing import Any, Callable, Dict, List, Optional, Tuple, Type, TypeVar, Union, cast, overload

from . import _options
from ._holds import Hold, loaded, registry
from ._library import KorvelError

# Tracebacks and help() show them as korvel's own.
KorvelError.__module__ = Hold.__module__ = __name__

__all__ = ["Hold", "KeepAwake", "KorvelError", "keep_awake", "library_path", "status"]
__version__ = "0.1.0"

OnFail = Union[str, Callable[[KorvelError], Any]]
F = TypeVar("F", bound=Callable[..., Any])

_ON_FAIL_WORDS = ("error", "warn", "pass")
# The blocks entered and not yet left, innermost last: each thread and each
# asyncio task sees its own, so one KeepAwake used by several at once leaves
# each of them the hold it entered with.
_entered: contextvars.ContextVar[Tuple[Tuple["KeepAwake", Hold], ...]] = contextvars.ContextVar(
    "korvel_entered", default=())


def _request(**options: Any) -> str:
    """The options text that keep_awake(**options) asks the library for;
    TypeError or ValueError, as keep_awake raises them, for bad options."""
    return _options.text(_options.request(**options))


class KeepAwake:
    """Keeps the machine awake while its block or the function it decorates
    runs; made by :func:`keep_awake`. Entering it (``with``, ``async with``,
    ``enter()``) gives a :class:`Hold`; leaving it (the block's end,
    ``exit()``) ends that hold, on whichever thread it ends."""

    def __init__(self, options: Dict[str, Any], on_fail: OnFail = "warn", _wrapper_frames: int = 0) -> None:
        self._options = options
        self._on_fail = on_fail
        # A warning names the line that entered the block: the decorated
        # function's caller when entered from a decorator's wrapper.
        self._wrapper_frames = _wrapper_frames
        self._open: List[Hold] = []  # entered and not yet left, in any thread or task

    def enter(self) -> Hold:
        """Takes a hold, as entering a ``with`` block does, for code that
        starts and stops outside one (callbacks): :meth:`exit` ends it."""
        return self._enter()

    def exit(self) -> None:
        """Ends the hold that :meth:`enter` took (the latest one still in
        force, when it was entered several times); nothing when none is."""
        with registry().lock:
            mine = [hold for owner, hold in _entered.get() if owner is self and hold in self._open]
            hold = mine[-1] if mine else (self._open[-1] if self._open else None)
            if hold is None:
                return
            self._open.remove(hold)
            _entered.set(tuple((owner, h) for owner, h in _entered.get() if h is not hold and h in owner._open))
        hold.release()

    def __enter__(self) -> Hold:
        return self._enter()

    def _enter(self) -> Hold:
        hold = Hold(_request=self._options)
        try:
            registry().take(hold)
        except KorvelError as error:
            # Above warn(): _carry_on, _enter, one of enter, __enter__ and __aenter__, the caller.
            self._carry_on(error, stacklevel=4 + self._wrapper_frames)
            hold.error = error
        with registry().lock:
            self._open.append(hold)
            _entered.set(_entered.get() + ((self, hold),))
        return hold

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.exit()

    # Taking the lock costs about a millisecond (at most about 3 s when a bus
    # hangs), too little to hand to a thread and back.
    async def __aenter__(self) -> Hold:
        return self._enter()

    async def __aexit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        self.exit()

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

    def _carry_on(self, error: KorvelError, stacklevel: int) -> None:
        if self._on_fail == "error":
            raise error
        if self._on_fail == "warn":
            warnings.warn(str(error), RuntimeWarning, stacklevel=stacklevel)
        elif callable(self._on_fail):
            self._on_fail(error)


def _check_on_fail(on_fail: Any) -> None:
    if isinstance(on_fail, str) and on_fail not in _ON_FAIL_WORDS:
        raise ValueError(f"on_fail must be 'error', 'warn', 'pass' or a callable, not {on_fail!r}")
    if not isinstance(on_fail, str) and not callable(on_fail):
        raise TypeError(f"on_fail must be 'error', 'warn', 'pass' or a callable, not {on_fail!r}")


@overload
def keep_awake(func: F, /) -> F: ...


@overload
def keep_awake(*, minutes: Optional[float] = None, seconds: Optional[int] = None,
               pid: Optional[int] = None, process: Optional[str] = None,
               display: bool = False, name: Optional[str] = None, app: Optional[str] = None,
               on_fail: OnFail = "warn") -> KeepAwake: ...


def keep_awake(func: Optional[Callable[..., Any]] = None, /, *, minutes: Optional[float] = None,
               seconds: Optional[int] = None, pid: Optional[int] = None, process: Optional[str] = None,
               display: bool = False, name: Optional[str] = None, app: Optional[str] = None,
               on_fail: OnFail = "warn") -> Any:
    """Keeps the machine awake while a block runs (``with``, ``async with``),
    between ``enter()`` and ``exit()``, or while a decorated function, plain or
    async, runs (``@keep_awake`` or ``@keep_awake(...)``); and at most:

    - ``minutes``: that many minutes (fractions allowed, rounded to whole
      seconds, at least 1), above 0 and at most 35791394;
    - ``seconds``: that many whole seconds, 0 to 2147483647;
    - ``pid``: while the process with that id lives;
    - ``process``: while the running process with the lowest id whose
      executable file is called that lives (the hold is then named after it,
      so ``name`` cannot be given too).

    With none of these it holds until the block ends. ``display=True`` keeps
    the display on as well. ``name`` is what ``korvel --list``,
    ``systemd-inhibit --list`` and the desktop show (default: "Keeping the
    system awake"); ``app`` is who asks, as they show it (default: the
    program's name).

    Holds compose: while several are in force, the machine is kept awake
    until the last ends, the display while any asks for it, and the system
    shows the oldest one's name and app.

    When the machine cannot be kept awake (the library refuses or cannot be
    loaded, or another copy of korvel in this process holds the library's
    activation), nothing is held and ``on_fail`` decides: ``"warn"`` (the
    default) issues a RuntimeWarning with the library's message and runs the
    block; ``"error"`` raises :class:`KorvelError` with it; ``"pass"`` runs the
    block; a callable is called with the KorvelError, then the block runs
    (unless it raises). The :class:`Hold` then has ``active`` False and the
    error in ``error``.

    Arguments of the wrong type raise TypeError, bad values ValueError, here,
    before the library is asked.
    """
    if func is not None:
        if not callable(func):
            raise TypeError(f"keep_awake takes its options by name, or decorates a function, not {func!r}")
        return KeepAwake(_options.request())(func)
    request = _options.request(minutes=minutes, seconds=seconds, pid=pid, process=process,
                               display=display, name=name, app=app)
    _check_on_fail(on_fail)
    return KeepAwake(request, on_fail)


def status() -> Dict[str, Any]:
    """The library's status as a dict, e.g. ``{"active": 1, "mode":
    "minutes", "remaining_s": 1795, "keep_display": 0, "platform": "linux",
    "mechanism": "logind", "pid": 0, "name": "backup"}``; ``mechanism`` says
    what holds the inhibition ("none" when nothing is held)."""
    return registry().status()


def library_path() -> str:
    """The file of the korvel library in use, loading it if need be: the one
    the KORVEL_LIBRARY environment variable names, else the one shipped in the
    package, else the system's. Raises KorvelError when none loads."""
    with registry().lock:
        return loaded()[1]
