"""The korvel package beside a private logind: every form of use holds
(logind lists the lock with its name) and releases, on an exception too;
refusals carry the library's text or, as on_fail says, let the block run;
the hold is read live; bad arguments never reach the library; blocks neither
nest nor overlap. The library's own tests cover its modes."""
import asyncio
import json
import os
import subprocess
import threading
import time
import unittest
import warnings

import korvel


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
    """logind drops a lock when it sees its fd close, a moment after the release."""
    return eventually(lambda: my_locks() == [])


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

    def test_holds_with_its_name_until_the_block_ends(self):
        with korvel.keep_awake(name="backup", display=True) as held:
            self.assertEqual((held.active, held.mechanism, held.error), (True, "logind", None))
            self.assertEqual((held.status()["mode"], held.status()["name"]), ("indefinite", "backup"))
            self.assertEqual(sorted((lock[0], lock[2], lock[3]) for lock in my_locks()),
                             [("idle", "backup", "block"), ("sleep", "backup", "block")])
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
            with korvel.keep_awake(pid=pid, on_fail=on_fail) as hold:
                check(hold)

        def decorated(on_fail, check):
            korvel.keep_awake(pid=pid, on_fail=on_fail)(lambda: check(None))()

        for on_fail, form, warned in [("warn", in_a_block, True), ("warn", decorated, True),
                                      ("pass", in_a_block, False), (given.append, in_a_block, False)]:
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

    def test_a_timed_hold_that_ends_inside_its_block_reads_inactive(self):
        with korvel.keep_awake(seconds=1, name="short") as hold:
            self.assertEqual((hold.active, hold.mechanism), (True, "logind"))
            self.assertTrue(eventually(lambda: not hold.active))
            self.assertTrue(no_lock_left())
            self.assertEqual((hold.status()["active"], hold.mechanism), (0, "logind"))
            # Still the block in force: another is refused until it ends.
            with self.assertRaisesRegex(korvel.KorvelError, "in force already"):
                with korvel.keep_awake():
                    self.fail("the second block ran")

    def test_bad_arguments_raise_before_the_library_is_asked(self):
        for arguments, error in [
                ({"minutes": 0}, ValueError), ({"minutes": -1}, ValueError),
                ({"minutes": float("inf")}, ValueError), ({"minutes": "5"}, TypeError),
                ({"seconds": -1}, ValueError), ({"seconds": 1.5}, TypeError),
                ({"pid": 0}, ValueError), ({"pid": True}, TypeError), ({"pid": 2**40}, ValueError),
                ({"process": ""}, ValueError), ({"process": "/usr/bin/rsync"}, ValueError),
                ({"process": "rsync", "name": "x"}, ValueError), ({"minutes": 1, "pid": 1}, ValueError),
                ({"display": "yes"}, TypeError), ({"name": 3}, TypeError), ({"name": "a\0b"}, ValueError),
                ({"on_fail": "ignore"}, ValueError), ({"on_fail": 3}, TypeError)]:
            with self.subTest(arguments):
                with self.assertRaises(error):
                    korvel.keep_awake(**arguments)
                self.assertEqual(korvel.status()["active"], 0)

    def test_releases_when_the_block_raises(self):
        with self.assertRaises(ZeroDivisionError):
            with korvel.keep_awake(minutes=30):
                self.assertEqual(len(my_locks()), 1)
                1 / 0
        self.assertTrue(no_lock_left())

    def test_refusals_carry_the_library_text(self):
        pid = ended_pid()
        for options, text in [
                ({"pid": pid}, f"pid {pid} is not alive"),
                ({"process": "no-such-korvel-process"}, "process not found: no-such-korvel-process")]:
            with self.subTest(options):
                with self.assertRaises(korvel.KorvelError) as caught:
                    with korvel.keep_awake(**options):
                        self.fail("the block ran")
                self.assertEqual(str(caught.exception), text)
                self.assertTrue(no_lock_left())
        with self.assertRaises(ValueError):
            korvel.keep_awake(minutes=1, pid=1)

    def test_blocks_neither_nest_nor_overlap(self):
        refused = []

        def other_thread():
            try:
                with korvel.keep_awake(name="other thread"):
                    pass
            except korvel.KorvelError as e:
                refused.append(str(e))

        with korvel.keep_awake(name="outer"):
            with self.assertRaisesRegex(korvel.KorvelError, "in force already"):
                with korvel.keep_awake(name="inner"):
                    self.fail("the inner block ran")
            thread = threading.Thread(target=other_thread)
            thread.start()
            thread.join()
            self.assertEqual(len(refused), 1)
            with korvel.keep_awake(name="inner", on_fail="pass") as inner:
                self.assertEqual((inner.active, type(inner.error)), (False, korvel.KorvelError))
            self.assertEqual([lock[2] for lock in my_locks()], ["outer"])
        self.assertTrue(no_lock_left())
        with korvel.keep_awake():
            self.assertEqual(len(my_locks()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
