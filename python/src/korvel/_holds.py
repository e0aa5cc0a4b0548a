"""The holds in force in this process, and the one activation they make.

The library keeps one activation per process, so every hold of this package
is kept in one registry, and the library is asked for the union of the holds
whenever the registry changes: none, no activation; one, exactly that hold's
request; several, an indefinite activation that keeps the display on when any
of them asks for it, named after the oldest. Timed and process-bound holds in
a composition are ended here, by a watcher thread.

Another copy of korvel in the process (a second package, a plugin, a direct
kor_on call) keeps its own registry. So the activation is only ever taken
when nothing holds it, and is changed or ended only while the status still
shows what was asked for: otherwise it is another copy's, and this copy's
holds have ended.
"""
from __future__ import annotations

import ctypes
import math
import os
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from . import _options
from ._library import NOTHING_HELD, FakeLibrary, KorvelError, Library, fake_requested, load

ANOTHER_COPY = ("the library's activation belongs to another copy of korvel in this process (a worker thread, "
                "a plugin, a second copy of the package, or a direct kor_on call): holds of different copies "
                "cannot be combined")
# How often the watcher looks at the processes of process-bound holds in a
# composition, so that each ends within 500 ms of its process.
_PROCESS_POLL_S = 0.25

_loaded: Optional[Tuple[ctypes.CDLL, str]] = None


def loaded() -> Tuple[ctypes.CDLL, str]:
    """The library and its file, loaded on first use (under the registry's lock)."""
    global _loaded
    if _loaded is None:
        _loaded = load()
    return _loaded


# What the status shows of an activation: a change means it is no longer the one asked for.
_Fingerprint = Tuple[Any, Any, Any, Any]


def _fingerprint(status: Dict[str, Any]) -> Optional[_Fingerprint]:
    if not status["active"]:
        return None
    return status["mode"], status["name"], status["keep_display"], status["pid"]


def _process_start(pid: int) -> Optional[str]:
    """What tells the process with this id from a later one: its start time;
    None once it has ended. A leader that ended while its threads run lives on."""
    if sys.platform == "win32":
        return _windows_process_start(pid)
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return None
    # The fields after the command name, which may hold ')': state, ...,
    # the thread count (field 20), ..., the start time (field 22).
    fields = stat[stat.rfind(b")") + 2:].split()
    if len(fields) < 20 or (fields[0] in (b"Z", b"X") and int(fields[17]) <= 1):
        return None
    return fields[19].decode()


def _windows_process_start(pid: int) -> Optional[str]:
    if sys.platform != "win32":
        return None
    kernel32 = ctypes.WinDLL("kernel32")
    handle = kernel32.OpenProcess(0x1000, False, pid)  # PROCESS_QUERY_LIMITED_INFORMATION
    if not handle:
        return None
    try:
        code = ctypes.c_ulong()
        created, ended, kernel, user = (ctypes.c_ulonglong() for _ in range(4))
        if not kernel32.GetExitCodeProcess(handle, ctypes.byref(code)) or code.value != 259:  # STILL_ACTIVE
            return None
        if not kernel32.GetProcessTimes(handle, ctypes.byref(created), ctypes.byref(ended),
                                        ctypes.byref(kernel), ctypes.byref(user)):
            return None
        return str(created.value)
    finally:
        kernel32.CloseHandle(handle)


class Hold:
    """One hold: what :meth:`KeepAwake.enter` and entering a
    :func:`keep_awake` block give. ``error`` is the :class:`KorvelError` that
    kept it from being taken when ``on_fail`` let the block run without it,
    else None."""

    def __init__(self, error: Optional[KorvelError] = None, _request: Optional[Dict[str, Any]] = None) -> None:
        self.error = error
        self._request: Dict[str, Any] = _request or {"mode": "indefinite", "keep_display": False}
        self._started: Dict[str, Any] = dict(NOTHING_HELD)
        self._deadline: Optional[float] = None  # time.monotonic() when a timed hold ends
        self._process: Optional[Tuple[int, Optional[str]]] = None  # (pid, start time) of a process-bound hold

    @property
    def active(self) -> bool:
        """Whether this hold is in force now: False once it has been released
        or its block has ended, once its time or its process has ended, and
        when nothing could be held."""
        return _registry.in_force(self)

    @property
    def mechanism(self) -> str:
        """What took the hold, e.g. "logind" or "logind+gnome-session";
        "none" when nothing could be held."""
        return str(self._started["mechanism"])

    def status(self) -> Dict[str, Any]:
        """The library's status now (see :func:`korvel.status`) while this
        hold is in force; once it has ended, or when nothing was held, the
        status of no activation."""
        return _registry.status_for(self)

    def release(self) -> None:
        """Ends this hold, and only this one; releasing it again does nothing."""
        _registry.release(self)

    def __repr__(self) -> str:
        return f"<korvel.Hold active={self.active} mechanism={self.mechanism!r}>"

    # --- what the registry needs to know of a hold ---

    def _ends_with_process(self) -> bool:
        return self._request["mode"] in ("while_pid", "while_process")

    def _start_clock(self) -> None:
        """Notes when a timed hold ends: the library's whole seconds from now."""
        if self._request["mode"] == "minutes":
            seconds = self._request.get("seconds")
            if seconds is None:
                seconds = max(1, math.floor(self._request["minutes"] * 60 + 0.5))
            self._deadline = time.monotonic() + seconds

    def _note_process(self, status: Dict[str, Any]) -> None:
        """Notes the process a process-bound hold ends with, as the library
        found it when granting the hold alone."""
        if self._ends_with_process():  # no pid: its process ended at once, and so has the hold
            self._process = (status["pid"], _process_start(status["pid"]) if status["pid"] else None)

    def _over(self, now: float) -> bool:
        if self._deadline is not None and self._deadline <= now:
            return True
        if self._process is None:
            return False
        pid, started = self._process
        return started is None or _process_start(pid) != started

    def _lone_request(self, now: float) -> Dict[str, Any]:
        """Its request when it is the one hold left: what remains of it."""
        kept = {key: self._request[key] for key in ("keep_display", "name", "app") if key in self._request}
        if self._deadline is not None:
            return dict({"mode": "minutes", "seconds": max(0, math.ceil(self._deadline - now))}, **kept)
        if self._process is not None:
            return dict({"mode": "while_pid", "pid": self._process[0]}, **kept)
        return self._request


class _Registry:
    """The holds in force, oldest first, and what the library was asked."""

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self.changed = threading.Condition(self.lock)
        self.holds: List[Hold] = []
        self.library: Optional[Library] = None
        self.fake = FakeLibrary()
        self.asked: Optional[str] = None  # the options text of the activation in force
        self.alone: Optional[Hold] = None  # the hold it is the request of, when it is one hold's
        self.shown: Optional[_Fingerprint] = None  # what the status showed of it
        self.watcher: Optional[threading.Thread] = None

    # --- what holds and the package call ---

    def take(self, hold: Hold) -> None:
        with self.lock:
            self._catch_up()
            if not self.holds:
                self.library = self.fake if fake_requested() else Library(loaded()[0])
                if self.library.status()["active"]:
                    raise KorvelError(ANOTHER_COPY)
            try:
                # A process-bound hold is asked for alone first, so that a
                # refusal ("pid 4242 is not alive") is the library's own.
                if not self.holds or hold._ends_with_process():
                    status = self._ask(_options.text(hold._request), hold)
                    if self.library is not self.fake:  # whose holds never end with a process
                        hold._note_process(status)
                hold._start_clock()
                self.holds.append(hold)
                self._settle()
                hold._started = self._library().status()
            except KorvelError:
                if hold in self.holds:
                    self.holds.remove(hold)
                self._restore()
                raise
            self._watch()

    def release(self, hold: Hold) -> None:
        with self.lock:
            if hold not in self.holds:
                return
            self._catch_up()
            if hold in self.holds:
                self.holds.remove(hold)
                self._restore()
            self.changed.notify_all()

    def in_force(self, hold: Hold) -> bool:
        with self.lock:
            if hold in self.holds:
                self._catch_up()
            return hold in self.holds

    def status_for(self, hold: Hold) -> Dict[str, Any]:
        with self.lock:
            if self.in_force(hold):
                return self._library().status()
            return dict(NOTHING_HELD)

    def status(self) -> Dict[str, Any]:
        with self.lock:
            self._catch_up()
            if self.holds:
                return self._library().status()
            library = self.fake if fake_requested() else Library(loaded()[0])
            return library.status()

    # --- keeping the activation the union of the holds ---

    def _library(self) -> Library:
        assert self.library is not None, "a hold is in force, so a library was chosen"
        return self.library

    def _ask(self, options: str, alone: Optional[Hold]) -> Dict[str, Any]:
        """Asks the library for this activation in place of the one in force;
        a refusal leaves nothing held, and is raised."""
        library = self._library()
        self.asked = self.alone = self.shown = None
        error = library.on(options)
        if error is not None:
            raise KorvelError(error)
        try:
            status = library.status()
        except KorvelError:
            library.off()
            raise
        self.asked, self.alone, self.shown = options, alone, _fingerprint(status)
        return status

    def _settle(self) -> None:
        """Asks the library for the union of the holds in force, when it changed."""
        if not self.holds:
            if self.asked is not None:
                self._library().off()
            self.asked = self.alone = self.shown = None
            return
        if len(self.holds) == 1:
            alone: Optional[Hold] = self.holds[0]
            if self.alone is alone:
                return
            wanted = self.holds[0]._lone_request(time.monotonic())
        else:
            alone, oldest = None, self.holds[0]._request
            wanted = _options.request(display=any(h._request["keep_display"] for h in self.holds),
                                      name=oldest.get("name"), app=oldest.get("app"))
        options = _options.text(wanted)
        if options == self.asked:
            self.alone = alone
        else:
            self._ask(options, alone)

    def _restore(self) -> None:
        """Settles after a hold left or was refused: if the library refuses
        what the others need, they have ended."""
        try:
            self._settle()
        except KorvelError:
            self._forget()

    def _forget(self) -> None:
        self.holds.clear()
        self.asked = self.alone = self.shown = None

    def _catch_up(self) -> None:
        """Ends the holds that are over: every one when the activation is no
        longer the one asked for (it ran out, or another copy replaced or
        ended it), else those whose time or process has ended."""
        if not self.holds:
            return
        try:
            status: Optional[Dict[str, Any]] = self._library().status()
        except KorvelError:
            status = None  # cannot tell (memory ran out): the holds stand
        if status is not None and (self.shown is None or _fingerprint(status) != self.shown):
            self._forget()
            return
        now = time.monotonic()
        over = [hold for hold in self.holds if hold._over(now)]
        if over:
            self.holds = [hold for hold in self.holds if hold not in over]
            self._restore()

    # --- the watcher of timed and process-bound holds ---

    def _watch(self) -> None:
        if self.watcher is None and self._next_look() is not None:
            self.watcher = threading.Thread(target=self._run_watcher, name="korvel holds", daemon=True)
            self.watcher.start()
        self.changed.notify_all()

    def _next_look(self) -> Optional[float]:
        """Seconds until a hold may be over; None when none can end by itself,
        or when the one hold left is asked for alone: the library ends it."""
        if len(self.holds) == 1 and self.alone is self.holds[0]:
            return None
        now, waits = time.monotonic(), []
        for hold in self.holds:
            if hold._deadline is not None:
                waits.append(hold._deadline - now)
            if hold._process is not None:
                waits.append(_PROCESS_POLL_S)
        return max(0.0, min(waits)) if waits else None

    def _run_watcher(self) -> None:
        with self.lock:
            try:
                while True:
                    wait = self._next_look()
                    if wait is None:
                        return
                    self.changed.wait(wait)  # woken early by every change
                    now = time.monotonic()
                    if any(hold._over(now) for hold in self.holds):
                        self._catch_up()
            finally:
                self.watcher = None


_registry = _Registry()


def registry() -> _Registry:
    return _registry


def _start_afresh_in_child() -> None:
    """A forked child holds nothing: the library's activation stays with the
    parent, and the lock may have been taken by a thread the child lacks."""
    global _registry
    _registry = _Registry()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_start_afresh_in_child)
