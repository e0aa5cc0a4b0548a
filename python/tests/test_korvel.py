"""The korvel package beside a private logind: the front-ends' table of
cases (tests/policy/cases.json), every form of use, holds on threads, tasks
and forked children, another copy's activation, the fake switch, and the
samples of the READMEs and docs/ as they are written. The library's own tests
cover its modes."""
import asyncio
import builtins
import ctypes
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings
from unittest import mock

import korvel

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(ROOT, "tests", "policy", "cases.json"), encoding="utf-8") as cases:
    CASES = json.load(cases)


def my_locks():
    """The logind inhibitors this process holds: (what, who, why, mode, uid, pid)."""
    out = subprocess.run(
        ["busctl", "--system", "--json=short", "call", "org.freedesktop.login1",
         "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors"],
        check=True, capture_output=True, text=True, timeout=10).stdout
    return [row for row in json.loads(out)["data"][0] if row[5] == os.getpid()]


def eventually(predicate, timeout=10.0):
    """Polls until predicate() holds; what logind or the library's watcher do
    happens a moment later, never at once."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def no_lock_left():
    """logind drops a lock when it sees its fd close, a moment after the
    release; the watcher of timed holds ends when none is left."""
    return eventually(lambda: my_locks() == [] and "korvel holds" not in [t.name for t in threading.enumerate()])


def ended_pid():
    ended = subprocess.Popen(["true"])
    ended.wait()
    return ended.pid


def logind_missing():
    if os.environ.get("KORVEL_LOGIND_UNAVAILABLE"):
        return os.environ["KORVEL_LOGIND_UNAVAILABLE"]
    try:
        my_locks()
        return None
    except (subprocess.SubprocessError, OSError) as e:
        return str(e)


class Options(unittest.TestCase):
    def test_the_option_rows(self):
        rows = CASES["options"]
        for row in rows:
            with self.subTest(row["given"]):
                if "request" in row:
                    self.assertEqual(json.loads(korvel._request(**row["given"])), row["request"])
                    continue
                for build in (korvel._request, korvel.keep_awake):
                    with self.assertRaises(getattr(builtins, row["error"]["python"])) as caught:
                        build(**row["given"])
                    self.assertIn(row["refused"], str(caught.exception))
        print(f"\nran {len(rows)} option rows of tests/policy/cases.json", file=sys.stderr)
        for given, error in [({"minutes": float("inf")}, ValueError), ({"minutes": float("nan")}, ValueError),
                             ({"on_fail": "ignore"}, ValueError), ({"on_fail": 3}, TypeError)]:
            with self.subTest(given), self.assertRaises(error):
                korvel.keep_awake(**given)


class KeepAwake(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = logind_missing()
        if why and os.environ.get("KORVEL_REQUIRE_LOGIND") == "1":
            raise AssertionError("logind required: " + why)
        if why:
            raise unittest.SkipTest("no systemd-logind: " + why)

    def test_status_when_nothing_is_held(self):
        self.assertEqual(list(korvel.status().items()), [
            ("active", 0), ("mode", "none"), ("remaining_s", 0), ("keep_display", 0),
            ("platform", "linux"), ("mechanism", "none"), ("pid", 0), ("name", "")])

    def test_the_library_in_use_is_the_packaged_one(self):
        if not os.environ.get("KORVEL_EXPECT_PACKAGED"):
            self.skipTest("not run from the installed wheel")
        package = os.path.dirname(os.path.abspath(korvel.__file__))
        self.assertEqual(os.path.dirname(korvel.library_path()), package)

    def test_holds_with_its_name_and_app_until_the_block_ends(self):
        with korvel.keep_awake(name="backup", display=True, app="Photo Export") as held:
            self.assertEqual((held.active, held.mechanism, held.error), (True, "logind", None))
            self.assertEqual((held.status()["mode"], held.status()["name"]), ("indefinite", "backup"))
            self.assertEqual(sorted(tuple(lock[:4]) for lock in my_locks()),
                             [("idle", "Photo Export", "backup", "block"), ("sleep", "Photo Export", "backup", "block")])
        self.assertTrue(no_lock_left())
        self.assertEqual(korvel.status()["active"], 0)
        self.assertEqual((held.active, held.status()["mode"]), (False, "none"))

    def test_every_form_of_use_holds_while_it_runs(self):
        seen = []

        def inside():
            seen.append([lock[2] for lock in my_locks()])
            return "result"

        @korvel.keep_awake(name="decorated")
        def decorated(x):
            return inside() + x

        @korvel.keep_awake(name="decorated async")
        async def decorated_async(x):
            await asyncio.sleep(0)
            return inside() + x

        @korvel.keep_awake
        def bare(x):
            return inside() + x

        def entered():
            block = korvel.keep_awake(name="entered")
            block.enter()
            try:
                return inside()
            finally:
                block.exit()

        def with_block():
            with korvel.keep_awake(name="with"):
                return inside()

        async def async_with_block():
            async with korvel.keep_awake(name="async with") as hold:
                self.assertTrue(hold.active)
                return inside()

        for form, run, name, result in [
                ("with", with_block, "with", "result"),
                ("async with", lambda: asyncio.run(async_with_block()), "async with", "result"),
                ("decorator", lambda: decorated("!"), "decorated", "result!"),
                ("decorator, twice", lambda: decorated("?"), "decorated", "result?"),
                ("bare decorator", lambda: bare("."), "Keeping the system awake", "result."),
                ("enter and exit", entered, "entered", "result"),
                ("async decorator", lambda: asyncio.run(decorated_async("!")), "decorated async", "result!")]:
            with self.subTest(form):
                seen.clear()
                self.assertEqual(run(), result)
                self.assertEqual(seen, [[name]])
                self.assertTrue(no_lock_left())
        self.assertEqual(decorated.__name__, "decorated")
        self.assertTrue(asyncio.iscoroutinefunction(decorated_async))

    def test_on_fail_decides_whether_the_block_runs(self):
        pid = ended_pid()
        text = f"pid {pid} is not alive"
        given = []

        def in_a_block(on_fail, check):
            with korvel.keep_awake(pid=pid, **on_fail) as hold:
                check(hold)

        def decorated(on_fail, check):
            korvel.keep_awake(pid=pid, **on_fail)(lambda: check(None))()

        for on_fail, form, warned in [({}, in_a_block, True), ({"on_fail": "warn"}, decorated, True),
                                      ({"on_fail": "pass"}, in_a_block, False),
                                      ({"on_fail": given.append}, in_a_block, False)]:
            with self.subTest(on_fail=on_fail, form=form.__name__):
                ran = []

                def check(hold):
                    ran.append(True)
                    if hold is not None:
                        self.assertEqual((hold.active, hold.mechanism, str(hold.error)), (False, "none", text))
                        self.assertEqual(hold.status()["active"], 0)

                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    form(on_fail, check)
                self.assertEqual(ran, [True])
                # The warning names the line that entered the block.
                self.assertEqual([(w.category, str(w.message), w.filename) for w in caught],
                                 [(RuntimeWarning, text, __file__)] if warned else [])
        self.assertEqual([str(e) for e in given], [text])
        with self.assertRaisesRegex(korvel.KorvelError, text):
            with korvel.keep_awake(pid=pid, on_fail="error"):
                self.fail("the block ran")

    def test_releases_when_the_block_raises(self):
        with self.assertRaises(ZeroDivisionError):
            with korvel.keep_awake(minutes=30):
                self.assertEqual(len(my_locks()), 1)
                1 / 0
        self.assertTrue(no_lock_left())

    def test_the_hold_rows(self):
        def given(options, spawned):
            return {key: spawned[value[1:]].pid if str(value).startswith("$") else value
                    for key, value in options.items()}

        for row in CASES["holds"]:
            with self.subTest(row["name"]):
                holds, spawned = {}, {}
                try:
                    for step, *args in row["steps"]:
                        if step == "take":
                            holds[args[0]] = korvel.keep_awake(on_fail="error", **given(args[1], spawned)).enter()
                        elif step == "refuse":
                            with self.assertRaisesRegex(korvel.KorvelError, re.escape(args[1])):
                                korvel.keep_awake(on_fail="error", **given(args[0], spawned)).enter()
                        elif step == "release":
                            holds[args[0]].release()
                        elif step == "await_end":
                            self.assertTrue(eventually(lambda: not holds[args[0]].active))
                        elif step == "spawn":
                            spawned[args[0]] = subprocess.Popen(["sleep", "60"])
                        elif step == "kill":
                            spawned[args[0]].kill()
                            spawned[args[0]].wait()
                        else:
                            want, now = args[0], korvel.status()
                            self.assertEqual([holds[h].active for h in want.get("held", []) + want.get("ended", [])],
                                             [True] * len(want.get("held", [])) + [False] * len(want.get("ended", [])))
                            self.assertEqual({k: now[k] for k in want if k in now}, {k: want[k] for k in want if k in now})
                finally:
                    for hold in holds.values():
                        hold.release()
                    for process in spawned.values():
                        process.kill()
                        process.wait()
                self.assertTrue(no_lock_left())
        print(f"\nran {len(CASES['holds'])} hold rows of tests/policy/cases.json", file=sys.stderr)

    def test_threads_and_tasks_hold_at_once(self):
        inside, together = [], threading.Barrier(3)

        def in_a_thread(i):
            with korvel.keep_awake(name=f"thread {i}", on_fail="error") as hold:
                together.wait(timeout=10)
                inside.append((hold.active, [lock[2] for lock in my_locks()]))
                together.wait(timeout=10)

        threads = [threading.Thread(target=in_a_thread, args=(i,)) for i in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(inside), 3)
        self.assertTrue(all(active and len(names) == 1 for active, names in inside), inside)

        # A block may end on another thread than the one that entered it.
        block = korvel.keep_awake(name="handed over", on_fail="error")
        hold = block.__enter__()
        thread = threading.Thread(target=block.__exit__, args=(None, None, None))
        thread.start()
        thread.join()
        self.assertFalse(hold.active)
        self.assertTrue(no_lock_left())

        async def task(name, entered, leave):
            async with korvel.keep_awake(name=name, on_fail="error") as hold:
                entered.set()
                await leave.wait()
                return hold.active

        async def overlapping():
            entered, leave = [asyncio.Event(), asyncio.Event()], asyncio.Event()
            first = asyncio.create_task(task("first task", entered[0], leave))
            await entered[0].wait()
            second = asyncio.create_task(task("second task", entered[1], leave))
            await entered[1].wait()
            names = [lock[2] for lock in my_locks()]
            leave.set()
            return names, await first, await second

        self.assertEqual(asyncio.run(overlapping()), (["first task"], True, True))
        self.assertTrue(no_lock_left())

    def test_forked_children_hold_on_their_own(self):
        stop = threading.Event()

        def take_and_drop():
            while not stop.is_set():
                with korvel.keep_awake(name="parent", on_fail="error"):
                    pass

        churn = threading.Thread(target=take_and_drop)
        churn.start()
        children = []
        try:
            for _ in range(20):
                forked_at, pid = time.monotonic(), os.fork()
                if pid == 0:
                    code = 1
                    try:
                        with korvel.keep_awake(name="child", on_fail="error") as hold:
                            code = 0 if hold.active and korvel.status()["name"] == "child" else 2
                    finally:
                        os._exit(code)
                children.append((pid, forked_at))
        finally:
            stop.set()
            churn.join()
        for pid, forked_at in children:
            done = eventually(lambda: os.waitpid(pid, os.WNOHANG)[0] == pid, timeout=forked_at + 5 - time.monotonic())
            if not done:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            self.assertTrue(done, "a child did not finish within 5 s")
        self.assertTrue(no_lock_left())

    def test_another_copys_activation_is_never_taken_over(self):
        lib = ctypes.CDLL(korvel.library_path())
        lib.kor_on.argtypes = [ctypes.c_char_p]
        try:
            with korvel.keep_awake(name="ours", on_fail="error") as ours:
                lib.kor_on(b'{"mode":"indefinite","name":"theirs"}')
                self.assertFalse(ours.active)
            self.assertEqual(korvel.status()["name"], "theirs")
            with self.assertRaisesRegex(korvel.KorvelError, "belongs to another copy of korvel"):
                korvel.keep_awake(on_fail="error").enter()
        finally:
            lib.kor_off()
        self.assertTrue(no_lock_left())

    def test_the_fake_switch(self):
        unheld = 2**31 - 1  # no such process: only a fake hold is granted
        for value, fake in [("1", True), ("yes", True), ("0", False), ("false", False), ("No", False), ("", False)]:
            with self.subTest(value), mock.patch.dict(os.environ, KORVEL_FAKE_SUCCESS=value):
                with korvel.keep_awake(pid=unheld, on_fail="pass") as hold:
                    self.assertEqual((hold.active, korvel.status()["mechanism"], my_locks()),
                                     (True, "fake (KORVEL_FAKE_SUCCESS)", []) if fake else (False, "none", []))
                self.assertEqual(korvel.status()["active"], 0)

    def test_the_samples_run_as_written(self):
        with tempfile.TemporaryDirectory() as out:
            written = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "samples", "extract.py"),
                                      "python", out], check=True, capture_output=True, text=True).stdout
            for line in written.splitlines():
                sample, source = line.split("\t")
                with self.subTest(source):
                    run = subprocess.run([sys.executable, sample], capture_output=True, text=True, timeout=60,
                                         cwd=out, env=dict(os.environ, KORVEL_LIBRARY=korvel.library_path()))
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertNotIn("Warning", run.stderr)
        self.assertGreater(len(written.splitlines()), 0)
        self.assertTrue(no_lock_left())

if __name__ == "__main__":
    unittest.main(verbosity=2)
