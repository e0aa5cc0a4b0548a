// The built library against the real systemd-logind: the lock is in logind's
// list exactly while an activation is in force, however the activation ends.
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using kortest::child_process;
using kortest::eventually;
using kortest::inhibitors_of;

namespace {

constexpr auto kSettle = 5s;  // generous: the machine is shared

bool holds_lock(pid_t pid = getpid()) { return inhibitors_of(pid).size() == 1; }
bool holds_no_lock(pid_t pid = getpid()) { return inhibitors_of(pid).empty(); }

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

class LibraryLogind : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");  // logind alone, whatever the desktop
    }
    void TearDown() override { kor_off(); }
};

struct lock_case {
    const char *options;
    const char *whats;  // one lock for each thing blocked
    const char *why;
    const char *mode;
    const char *who = "korvel_library_tests";  // the host program, unless "app" names another
};

TEST_F(LibraryLogind, LockCarriesWhatWhoWhyAndMode) {
    const lock_case cases[] = {
        {"", "sleep", "Keeping the system awake", "indefinite"},
        {R"({"keep_display":true,"name":"nightly backup"})", "idle sleep", "nightly backup", "indefinite"},
        {R"({"mode":"minutes","minutes":5,"name":"render ✓"})", "sleep", "render ✓", "minutes"},
        {R"({"app":"Photo Export \u001b[2J","name":"album"})", "sleep", "album", "indefinite", "Photo Export ?[2J"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(kor_on(c.options), 1) << kor_last_error();
        const auto locks = inhibitors_of(getpid());
        EXPECT_EQ(kortest::whats_of(locks), c.whats);
        for (const auto &lock : locks) {
            EXPECT_EQ(lock.who, c.who);
            EXPECT_EQ(lock.why, c.why);
            EXPECT_EQ(lock.mode, "block");
        }
        const auto s = kortest::read_status();
        EXPECT_EQ(s.active, 1);
        EXPECT_EQ(s.mode, c.mode);
        EXPECT_EQ(s.mechanism, "logind");
        EXPECT_EQ(s.platform, "linux");
        ASSERT_EQ(kor_off(), 1);
        EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
    }
}

TEST_F(LibraryLogind, ReplacementLeavesExactlyTheNewLock) {
    ASSERT_EQ(kor_on(R"({"name":"first"})"), 1);
    ASSERT_EQ(kor_on(R"({"name":"second","keep_display":1})"), 1);
    // logind drops the first lock a moment after its fd closes.
    EXPECT_TRUE(eventually(
        [] {
            const auto locks = inhibitors_of(getpid());
            return kortest::whats_of(locks) == "idle sleep" && locks[0].why == "second" && locks[1].why == "second";
        },
        kSettle));
}

TEST_F(LibraryLogind, RefusedReplacementLeavesNoLock) {
    ASSERT_EQ(kor_on(""), 1);
    ASSERT_EQ(kor_on(R"({"mode":"while_pid","pid":-3})"), 0);
    EXPECT_STREQ(kor_last_error(), "while_pid requires positive pid");
    EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
    EXPECT_EQ(kortest::read_status().active, 0);
}

TEST_F(LibraryLogind, TimedActivationEndsAtItsDeadline) {
    const int64_t start = kortest::now_ms();
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":1})"), 1);
    EXPECT_TRUE(holds_lock());
    ASSERT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
    EXPECT_GE(kortest::now_ms() - start, 900);  // not before its deadline
    const auto s = kortest::read_status();
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.mode, "none");
    EXPECT_STREQ(kor_last_error(), "");
}

TEST_F(LibraryLogind, WhilePidEndsWhenTheProcessExits) {
    child_process sleeper({"sleep", "30"});
    const std::string options = R"({"mode":"while_pid","pid":)" + std::to_string(sleeper.pid()) + "}";
    ASSERT_EQ(kor_on(options.c_str()), 1) << kor_last_error();
    EXPECT_TRUE(holds_lock());
    EXPECT_EQ(kortest::read_status().pid, sleeper.pid());
    // Still held a while later: the watcher does not end a live process's
    // activation.
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(holds_lock());
    sleeper.kill_now();  // left unreaped: a zombie has ended too
    EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
    EXPECT_TRUE(eventually([] { return kortest::read_status().active == 0; }, kSettle));
}

TEST_F(LibraryLogind, WhileProcessFindsALongExecutableNameAndEnds) {
    kortest::temp_dir dir;
    // Longer than the kernel's 15-byte command name.
    const std::string name = "korvel-sleeper-with-a-long-name";
    const std::string path = kortest::copy_executable("/bin/sleep", dir.path(), name);
    child_process sleeper({path, "30"});
    ASSERT_TRUE(eventually(
        [&] { return kor_on((R"({"mode":"while_process","name":)" + quoted(name) + "}").c_str()) == 1; }, kSettle))
        << kor_last_error();
    const auto s = kortest::read_status();
    EXPECT_EQ(s.mode, "while_process");
    EXPECT_EQ(s.pid, sleeper.pid());
    EXPECT_EQ(s.name, name);
    EXPECT_TRUE(holds_lock());
    sleeper.reap();
    EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
}

// Children the host starts do not keep the lock: neither one started with
// fork and exec (the library's fork handler closes the child's copy) nor one
// started with posix_spawn, which runs no fork handler (what system(),
// popen(), Python's subprocess and Rust's Command use): the lock's
// descriptor is close-on-exec.
TEST_F(LibraryLogind, ChildProcessesDoNotKeepTheLock) {
    for (const bool spawned : {false, true}) {
        SCOPED_TRACE(spawned ? "posix_spawn" : "fork and exec");
        ASSERT_EQ(kor_on(R"({"keep_display":true})"), 1);  // both locks
        child_process forked;
        pid_t spawned_pid = -1;
        if (spawned) {
            char *argv[] = {const_cast<char *>("sleep"), const_cast<char *>("30"), nullptr};
            ASSERT_EQ(posix_spawnp(&spawned_pid, "sleep", nullptr, nullptr, argv, environ), 0);
        } else {
            forked = child_process({"sleep", "30"});
        }
        ASSERT_EQ(kor_off(), 1);
        EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
        if (spawned_pid > 0) {
            kill(spawned_pid, SIGKILL);
            waitpid(spawned_pid, nullptr, 0);
        }
    }
}

// However an activation ends (kor_off, its deadline, its process's exit),
// nothing of it stays open: no lock, no watcher thread, no descriptor.
TEST_F(LibraryLogind, EveryEndingLeavesNothingOpen) {
    enum class ending { off, deadline, process_exit };
    kortest::temp_dir dir;
    const std::string sleeper_name = "korvel-leak-sleeper";
    const std::string sleeper_path = kortest::copy_executable("/bin/sleep", dir.path(), sleeper_name);
    const struct {
        const char *what;
        std::string options;  // "PID" stands for the sleeper's pid
        ending how;
    } cases[] = {
        {"indefinite, kor_off", "", ending::off},
        {"display, kor_off", R"({"keep_display":true})", ending::off},
        {"timed, kor_off", R"({"mode":"minutes","seconds":600})", ending::off},
        {"timed, its deadline", R"({"mode":"minutes","seconds":1})", ending::deadline},
        {"while_pid, kor_off", R"({"mode":"while_pid","pid":PID})", ending::off},
        {"while_pid, the process's exit", R"({"mode":"while_pid","pid":PID})", ending::process_exit},
        {"while_process, the process's exit", R"({"mode":"while_process","name":")" + sleeper_name + "\"}",
         ending::process_exit},
    };
    ASSERT_EQ(kor_on(""), 1);  // the kept connection is open from here on
    kor_off();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        child_process sleeper({sleeper_path, "30"});
        std::string options = c.options;
        if (const size_t at = options.find("PID"); at != std::string::npos)
            options.replace(at, 3, std::to_string(sleeper.pid()));
        const size_t threads = kortest::thread_count(), fds = kortest::open_fd_count();
        ASSERT_TRUE(eventually([&] { return kor_on(options.c_str()) == 1; }, kSettle)) << kor_last_error();
        if (c.how != ending::deadline) {
            EXPECT_FALSE(holds_no_lock());
        }
        if (c.how == ending::off) kor_off();
        if (c.how == ending::process_exit) sleeper.kill_now();
        EXPECT_TRUE(eventually([] { return kortest::read_status().active == 0; }, kSettle));
        EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
        EXPECT_TRUE(eventually([&] { return kortest::thread_count() == threads; }, kSettle))
            << kortest::thread_count() << " threads, " << threads << " before";
        EXPECT_EQ(kortest::open_fd_count(), fds);
    }
}

TEST_F(LibraryLogind, KilledHostLeavesNoLock) {
    child_process host({KORVEL_TEST_HOST_PATH, KORVEL_LIBRARY_PATH, R"({"name":"killed host"})", "hold"});
    ASSERT_TRUE(eventually([&] { return holds_lock(host.pid()); }, kSettle));
    host.kill_now(SIGKILL);
    host.wait_exit();
    EXPECT_TRUE(eventually([&] { return holds_no_lock(host.pid()); }, kSettle));
}

struct host_exit_case {
    const char *options;
    const char *action;
};

// A host that exits, or unloads the library, with an activation (and its
// watcher) still in force must neither crash, print nor hang.
TEST_F(LibraryLogind, HostExitOrUnloadWithoutOffIsQuiet) {
    const host_exit_case cases[] = {
        {"", "exit"},
        {R"({"mode":"minutes","seconds":30})", "exit"},
        {R"({"mode":"while_pid","pid":1})", "exit"},
        {R"({"mode":"minutes","seconds":1})", "unload"},
        {R"({"mode":"while_pid","pid":1})", "unload"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.action);
        const auto r = kortest::run_command({KORVEL_TEST_HOST_PATH, KORVEL_LIBRARY_PATH, c.options, c.action}, 20s);
        EXPECT_TRUE(WIFEXITED(r.status)) << "status " << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 0);
        EXPECT_EQ(r.output, "");
    }
}

TEST_F(LibraryLogind, OffDuringProcessBoundActivationReturnsPromptly) {
    child_process sleeper({"sleep", "30"});
    const std::string options = R"({"mode":"while_pid","pid":)" + std::to_string(sleeper.pid()) + "}";
    std::vector<int64_t> took;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(kor_on(options.c_str()), 1);
        std::this_thread::sleep_for(50ms);  // the watcher is now in its 500 ms wait
        const int64_t t0 = kortest::now_ms();
        kor_off();
        took.push_back(kortest::now_ms() - t0);
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[took.size() / 2], 300) << "median ms";
}

TEST_F(LibraryLogind, ConcurrentCallersNeverLeaveAStaleLock) {
    child_process sleeper({"sleep", "60"});
    const std::vector<std::string> options = {
        "",
        R"({"mode":"minutes","seconds":1})",
        R"({"mode":"while_pid","pid":)" + std::to_string(sleeper.pid()) + "}",
        R"({"mode":"bogus"})",
    };
    std::atomic<bool> bad_status{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                switch ((t + i) % 3) {
                case 0: kor_on(options[static_cast<size_t>(t + i) % options.size()].c_str()); break;
                case 1: kor_off(); break;
                default:
                    if (char *s = kor_status()) kor_free_string(s);
                    else bad_status = true;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_FALSE(bad_status);
    EXPECT_TRUE(eventually([] { return inhibitors_of(getpid()).size() <= 1; }, kSettle));
    kor_off();
    EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
    EXPECT_EQ(kortest::read_status().active, 0);
}

// The library keeps one system-bus connection; when the bus goes away under
// it, the next kor_on opens a new one.
TEST_F(LibraryLogind, BrokenBusConnectionIsReplaced) {
    ASSERT_EQ(kor_on(R"({"name":"before"})"), 1) << kor_last_error();
    kor_off();
    const auto restarted = kortest::run_command({KORVEL_BUS_SCRIPT, "restart"}, 30s);
    ASSERT_EQ(restarted.status, 0) << restarted.output;
    ASSERT_EQ(kor_on(R"({"name":"after"})"), 1) << kor_last_error();
    const auto locks = inhibitors_of(getpid());
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].why, "after");
}

// --- Refusals hold nothing ---------------------------------------------------

TEST_F(LibraryLogind, RefusalsHoldNoLockThreadOrFd) {
    const char *const bad[] = {
        "   ",
        "[1,2]",
        R"({"mode":"minutes","minutes":0})",
        R"({"mode":"while_pid","pid":0})",
        R"({"mode":"while_pid","pid":2147483647})",
        R"({"mode":"while_process"})",
        R"({"mode":"while_process","name":"no-such-program-korvel"})",
        R"({"mode":"Minutes"})",
    };
    // Warm up: the first call loads what sd-bus keeps for the process.
    ASSERT_EQ(kor_on(""), 1);
    kor_off();
    const size_t threads_before = kortest::thread_count();
    const size_t fds_before = kortest::open_fd_count();
    for (const char *options : bad) {
        SCOPED_TRACE(options);
        EXPECT_EQ(kor_on(options), 0);
        EXPECT_STRNE(kor_last_error(), "");
        EXPECT_TRUE(eventually([] { return holds_no_lock(); }, kSettle));
        EXPECT_EQ(kortest::read_status().active, 0);
    }
    EXPECT_EQ(kortest::thread_count(), threads_before);
    EXPECT_EQ(kortest::open_fd_count(), fds_before);
}

TEST(LibraryNoBus, UnreachableSystemBusIsAClearRefusal) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/korvel/system_bus_socket", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(kor_on(R"({"name":"no bus"})"), 0);
    const std::string err = kor_last_error();
    EXPECT_EQ(err.rfind("logind", 0), 0u) << err;
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    const auto s = kortest::read_status();
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.mechanism, "none");
}

}  // namespace
