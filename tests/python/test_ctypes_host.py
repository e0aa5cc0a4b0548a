"""A Python host loading the library with ctypes: every mode starts, reports
its status, ends as it should, and logind lists the lock only while the
activation is in force.

usage: test_ctypes_host.py PATH_TO_LIBRARY
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

LIB_PATH = None


def load_library(path):
    lib = ctypes.CDLL(path)
    lib.kor_on.argtypes = [ctypes.c_char_p]
    lib.kor_on.restype = ctypes.c_int
    lib.kor_off.argtypes = []
    lib.kor_off.restype = ctypes.c_int
    # A void pointer, not c_char_p: the text must be handed back to
    # kor_free_string, which ctypes' automatic conversion would lose.
    lib.kor_status.argtypes = []
    lib.kor_status.restype = ctypes.c_void_p
    lib.kor_last_error.argtypes = []
    lib.kor_last_error.restype = ctypes.c_char_p
    lib.kor_free_string.argtypes = [ctypes.c_void_p]
    lib.kor_free_string.restype = None
    return lib


def my_locks():
    """The logind inhibitors held by this process."""
    out = subprocess.run(
        ["busctl", "--system", "--json=short", "call", "org.freedesktop.login1",
         "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors"],
        check=True, capture_output=True, text=True, timeout=10).stdout
    rows = json.loads(out)["data"][0]
    return [r for r in rows if r[5] == os.getpid()]


def eventually(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def logind_missing():
    if os.environ.get("KORVEL_LOGIND_UNAVAILABLE"):
        return os.environ["KORVEL_LOGIND_UNAVAILABLE"]
    try:
        subprocess.run(["busctl", "--system", "get-property", "org.freedesktop.login1",
                        "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                        "BlockInhibited"], check=True, capture_output=True, timeout=10)
        return None
    except (subprocess.SubprocessError, OSError) as e:
        return str(e)


class CtypesHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = logind_missing()
        if why:
            if os.environ.get("KORVEL_REQUIRE_LOGIND") == "1":
                raise AssertionError("logind required: " + why)
            raise unittest.SkipTest("no systemd-logind: " + why)
        cls.lib = load_library(LIB_PATH)

    def tearDown(self):
        self.lib.kor_off()

    def status(self):
        ptr = self.lib.kor_status()
        self.assertTrue(ptr, self.lib.kor_last_error())
        try:
            return json.loads(ctypes.string_at(ptr).decode("utf-8"))
        finally:
            self.lib.kor_free_string(ptr)

    def on(self, options):
        ok = self.lib.kor_on(json.dumps(options).encode("utf-8"))
        self.assertEqual(ok, 1, self.lib.kor_last_error())

    def assert_locked(self, what="sleep"):
        locks = my_locks()
        self.assertEqual(len(locks), 1, locks)
        self.assertEqual(locks[0][0], what)
        self.assertEqual(locks[0][3], "block")

    def assert_ends(self):
        self.assertTrue(eventually(lambda: not my_locks()), "lock still held")
        self.assertTrue(eventually(lambda: self.status()["active"] == 0))
        s = self.status()
        self.assertEqual((s["mode"], s["mechanism"]), ("none", "none"))

    def test_status_members_in_order(self):
        self.lib.kor_off()
        ptr = self.lib.kor_status()
        text = ctypes.string_at(ptr).decode()
        self.lib.kor_free_string(ptr)
        self.assertEqual(
            text,
            '{"active":0,"mode":"none","remaining_s":0,"keep_display":0,"platform":"linux",'
            '"mechanism":"none","pid":0,"name":""}')

    def test_indefinite_until_off(self):
        self.on({"keep_display": True, "name": "python host"})
        s = self.status()
        self.assertEqual((s["active"], s["mode"], s["keep_display"], s["mechanism"], s["name"]),
                         (1, "indefinite", 1, "logind", "python host"))
        self.assert_locked("sleep:idle")
        self.assertEqual(my_locks()[0][2], "python host")
        self.assertEqual(self.lib.kor_off(), 1)
        self.assert_ends()

    def test_minutes_counts_down_and_ends(self):
        self.on({"mode": "minutes", "seconds": 2})
        s = self.status()
        self.assertEqual(s["mode"], "minutes")
        self.assertIn(s["remaining_s"], (1, 2))
        self.assert_locked()
        self.assert_ends()
        self.assertEqual(self.lib.kor_last_error(), b"")

    def test_while_pid_ends_with_the_process(self):
        child = subprocess.Popen(["sleep", "30"])
        try:
            self.on({"mode": "while_pid", "pid": child.pid})
            self.assertEqual(self.status()["pid"], child.pid)
            self.assert_locked()
        finally:
            child.kill()
            child.wait()
        self.assert_ends()

    def test_while_process_ends_with_the_process(self):
        tmp = tempfile.mkdtemp()
        exe = os.path.join(tmp, "korvel-py-sleeper")
        shutil.copy("/bin/sleep", exe)
        child = subprocess.Popen([exe, "30"])
        try:
            self.assertTrue(eventually(
                lambda: self.lib.kor_on(b'{"mode":"while_process","name":"korvel-py-sleeper"}') == 1))
            s = self.status()
            self.assertEqual((s["mode"], s["pid"]), ("while_process", child.pid))
            self.assert_locked()
        finally:
            child.kill()
            child.wait()
            shutil.rmtree(tmp)
        self.assert_ends()

    def test_refusal_message(self):
        self.assertEqual(self.lib.kor_on(b'{"mode":"sometimes"}'), 0)
        self.assertEqual(self.lib.kor_last_error(), b"unknown mode: sometimes")
        self.assertEqual(my_locks(), [])


if __name__ == "__main__":
    LIB_PATH = sys.argv.pop(1)
    unittest.main(verbosity=2)
