"""The options of a hold, checked before the library is asked, and the
options text they become. The sentences are every korvel package's own
(docs/front-ends.md); a value of the wrong type raises TypeError, a value out
of range or options that do not go together ValueError."""
from __future__ import annotations

import json
import math
import numbers
from typing import Any, Dict, Optional

# The library counts seconds in 32 bits.
MAX_WHOLE = 2**31 - 1
MAX_MINUTES = MAX_WHOLE // 60

MINUTES = f"minutes must be a number greater than 0 and at most {MAX_MINUTES}"
SECONDS = f"seconds must be a whole number from 0 to {MAX_WHOLE}"
PID = f"pid must be a whole number from 1 to {MAX_WHOLE}"
PROCESS = "process must be an executable's file name: a non-empty text without '/' or NUL"
DISPLAY = "display must be true or false"
NAME = "name must be a text without NUL"
APP = "app must be a text without NUL"
TWO_ENDS = "only one of minutes, seconds, pid and process can be given"
PROCESS_NAMED = "name cannot be given with process: the hold is named after the process"


def _number(sentence: str, value: Any, whole: bool, lowest: float, above: bool, highest: float) -> Any:
    kind = numbers.Integral if whole else numbers.Real
    if isinstance(value, bool) or not isinstance(value, kind):
        raise TypeError(f"{sentence}, not {value!r}")
    number = int(value) if isinstance(value, numbers.Integral) else float(value)
    too_low = number <= lowest if above else number < lowest
    if too_low or not math.isfinite(number) or number > highest:
        raise ValueError(f"{sentence}, not {value!r}")
    return number


def _text(sentence: str, value: Any, may_be_empty: bool = True, no_slash: bool = False) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{sentence}, not {value!r}")
    try:
        value.encode("utf-8")  # a lone surrogate is no text the library can read
        readable = True
    except UnicodeEncodeError:
        readable = False
    if not readable or "\0" in value or (not value and not may_be_empty) or (no_slash and "/" in value):
        raise ValueError(f"{sentence}, not {value!r}")
    return value


def request(*, minutes: Optional[float] = None, seconds: Optional[int] = None, pid: Optional[int] = None,
            process: Optional[str] = None, display: bool = False, name: Optional[str] = None,
            app: Optional[str] = None) -> Dict[str, Any]:
    """The options text of one hold, as a dict in the order it is written."""
    if minutes is not None:
        minutes = _number(MINUTES, minutes, False, 0, True, MAX_MINUTES)
    if seconds is not None:
        seconds = _number(SECONDS, seconds, True, 0, False, MAX_WHOLE)
    if pid is not None:
        pid = _number(PID, pid, True, 1, False, MAX_WHOLE)
    if process is not None:
        process = _text(PROCESS, process, may_be_empty=False, no_slash=True)
    if not isinstance(display, bool):
        raise TypeError(f"{DISPLAY}, not {display!r}")
    if name is not None:
        name = _text(NAME, name)
    if app is not None:
        app = _text(APP, app)
    if sum(end is not None for end in (minutes, seconds, pid, process)) > 1:
        raise ValueError(TWO_ENDS)
    if process is not None and name:
        raise ValueError(PROCESS_NAMED)

    options: Dict[str, Any] = {"mode": "indefinite"}
    if minutes is not None:
        options.update(mode="minutes", minutes=minutes)
    elif seconds is not None:
        options.update(mode="minutes", seconds=seconds)
    elif pid is not None:
        options.update(mode="while_pid", pid=pid)
    elif process is not None:
        options.update(mode="while_process", name=process)
    options["keep_display"] = display
    if name:
        options["name"] = name
    if app:
        options["app"] = app
    return options


def text(options: Dict[str, Any]) -> str:
    return json.dumps(options, ensure_ascii=False)
