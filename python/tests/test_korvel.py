"""The korvel package beside a private logind: the block holds (logind lists
the lock with its name) and releases, on an exception too; refusals carry the
library's text; blocks neither nest nor overlap. The library's own tests cover
its modes; this is the ctypes layer's smoke test."""
import json
import os
import subprocess
import threading
import unittest

import korvel


def my_locks():
    """The logind inhibitors this process holds: (what, who, why, mode, uid, pid)."""
    out = subprocess.run(
        ["busctl", "--system", "--json=short", "call", "org.freedesktop.login1",
         "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors"],
        check=True, capture_output=True, text=True, timeout=10).stdout
    return [row for row in json.loads(out)["data"][0] if row[5] == os.getpid()]


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
            self.assertEqual((held["active"], held["mode"], held["mechanism"], held["name"]),
                             (1, "indefinite", "logind", "backup"))
            [lock] = my_locks()
            self.assertEqual((lock[0], lock[2], lock[3]), ("sleep:idle", "backup", "block"))
        self.assertEqual(my_locks(), [])
        self.assertEqual(korvel.status()["active"], 0)

    def test_releases_when_the_block_raises(self):
        with self.assertRaises(ZeroDivisionError):
            with korvel.keep_awake(minutes=30):
                self.assertEqual(len(my_locks()), 1)
                1 / 0
        self.assertEqual(my_locks(), [])

    def test_refusals_carry_the_library_text(self):
        ended = subprocess.Popen(["true"])
        ended.wait()
        for options, text in [
                ({"pid": ended.pid}, f"pid {ended.pid} is not alive"),
                ({"process": "no-such-korvel-process"}, "process not found: no-such-korvel-process"),
                ({"minutes": 0}, "minutes mode requires minutes>0 or seconds>=0")]:
            with self.subTest(options):
                with self.assertRaises(korvel.KorvelError) as caught:
                    with korvel.keep_awake(**options):
                        self.fail("the block ran")
                self.assertEqual(str(caught.exception), text)
                self.assertEqual(my_locks(), [])
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
            self.assertEqual([lock[2] for lock in my_locks()], ["outer"])
        self.assertEqual(my_locks(), [])
        with korvel.keep_awake():
            self.assertEqual(len(my_locks()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
