// Hosts that fork without exec, close descriptors they did not open, or stall
// both buses: the library must neither hang, nor leave a lock behind, nor
// touch what belongs to the host.
#include "desktop_session.h"
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kortest::inhibitors_of;

bool lock_released(pid_t pid = getpid()) {
    return kortest::eventually([pid] { return inhibitors_of(pid).empty(); }, 5s);
}

class HostileHost : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    void TearDown() override { kor_off(); }
};

// What a forked child finds: no activation, calls that return at once, and
// an activation of its own when it asks for one. Exit code 0 when so.
[[noreturn]] void child_checks() {
    int failures = 0;
    if (kortest::read_status().active != 0) failures |= 1;
    if (kor_off() != 1) failures |= 2;
    if (kor_on(R"({"name":"child"})") != 1) failures |= 4;
    if (inhibitors_of(getpid()).size() != 1) failures |= 8;
    kor_off();
    _exit(failures);
}

// Python's multiprocessing and pre-fork servers fork while the library is in
// use: with a watcher waiting and another thread inside kor_status.
TEST_F(HostileHost, ForkedChildrenInheritNoActivationAndNeverHang) {
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":600,"name":"parent"})"), 1) << kor_last_error();
    std::atomic<bool> stop{false};
    std::thread poller([&] {
#if !defined(__SANITIZE_ADDRESS__)
        // (Not under GCC 12's AddressSanitizer, whose allocator a child
        // forked while another thread allocates may find locked for ever.)
        while (!stop) kor_free_string(kor_status());
#endif
    });
    int hung = 0, failed = 0;
    for (int i = 0; i < 40; ++i) {
        const pid_t child = fork();
        if (child == 0) child_checks();
        int status = 0;
        if (!kortest::eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 10s)) {
            ++hung;
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failed;
        }
    }
    stop = true;
    poller.join();
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(kortest::read_status().active, 1) << "the parent's activation goes on";
}

// The child's copy of the lock is closed at fork: the parent's kor_off frees
// the machine whatever its children do.
TEST_F(HostileHost, ParentReleasesWhileAForkedChildLives) {
    ASSERT_EQ(kor_on(R"({"mode":"while_pid","pid":1})"), 1) << kor_last_error();
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    kor_off();
    EXPECT_TRUE(lock_released());
    EXPECT_EQ(kill(child, 0), 0) << "the child still lives";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// Daemonizing code closes every descriptor it did not open and then opens
// files of its own, which get the library's old numbers.
TEST_F(HostileHost, DescriptorsClosedBehindTheLibrarysBack) {
    kortest::temp_dir dir;
    for (const char *options : {R"({"name":"indefinite"})", R"({"mode":"minutes","seconds":600})"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(kor_on(options), 1) << kor_last_error();
        const int highest = static_cast<int>(sysconf(_SC_OPEN_MAX));
        for (int fd = 3; fd < highest && fd < 4096; ++fd) close(fd);
        std::vector<int> mine;
        for (int i = 0; i < 16; ++i)
            mine.push_back(open((dir.path() + "/file" + std::to_string(i)).c_str(), O_RDWR | O_CREAT, 0600));

        EXPECT_EQ(kortest::read_status().active, 0) << "a lock the host closed is not held";
        EXPECT_TRUE(lock_released());
        const int64_t start = kortest::now_ms();
        kor_off();
        EXPECT_LT(kortest::now_ms() - start, 3000) << "kor_off waits for no watcher it cannot wake";
        for (const int fd : mine) {
            struct stat st {};
            EXPECT_EQ(fstat(fd, &st), 0) << "the library closed the host's fd " << fd;
            EXPECT_EQ(st.st_size, 0) << "the library wrote into the host's fd " << fd;
            close(fd);
        }
        // A new activation opens what it needs anew.
        ASSERT_EQ(kor_on(R"({"name":"again"})"), 1) << kor_last_error();
        EXPECT_EQ(inhibitors_of(getpid()).size(), 1u);
        kor_off();
    }
}

// kor_on, timed, and kor_off after it, here (where the system-bus connection
// is kept from an earlier call) or in a forked child, whose connection is new
// (a child forgets the parent's).
struct timed_on {
    int on = 0;
    int64_t on_ms = 0, off_ms = 0;
    char said[512] = "";  // the mechanism, or the refusal
};

timed_on turn_on_timed(const char *options) {
    timed_on t;
    const int64_t start = kortest::now_ms();
    t.on = kor_on(options);
    t.on_ms = kortest::now_ms() - start;
    std::snprintf(t.said, sizeof t.said, "%s", t.on ? kortest::read_status().mechanism.c_str() : kor_last_error());
    const int64_t off_start = kortest::now_ms();
    kor_off();
    t.off_ms = kortest::now_ms() - off_start;
    return t;
}

timed_on turn_on_timed_in_child(const char *options) {
    timed_on t;
    int out[2];
    if (pipe(out) != 0) return t;
    const pid_t child = fork();
    if (child == 0) {
        t = turn_on_timed(options);
        _exit(write(out[1], &t, sizeof t) == sizeof t ? 0 : 1);
    }
    close(out[1]);
    if (read(out[0], &t, sizeof t) != sizeof t) t = timed_on{};
    close(out[0]);
    waitpid(child, nullptr, 0);
    return t;
}

// Whether the process has stopped (SIGSTOP takes effect on its own time).
bool is_stopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    return line.find(") T ") != std::string::npos;
}

// A side that accepts calls and never answers costs kor_on its own budget
// and never the other side's grant: logind's locks are asked for first, on
// about 2 s of their own, the session's services after them on about 1 s.
// No late answer becomes a lock or an inhibitor that nobody holds.
TEST_F(HostileHost, StalledSideCostsItsOwnBudgetOnly) {
    enum : unsigned { kSystemBus = 1, kLogind = 2, kSessionBus = 4, kDesktop = 8 };  // what is stopped
    const struct {
        unsigned stopped;
        bool in_child, keep_display;
        int on;
        int64_t at_least_ms, below_ms;
        const char *said;
    } rows[] = {
        // Two budgets, 3 s, would be 6: the bound leaves a loaded machine the
        // room between.
        {kSystemBus | kSessionBus, false, false, 0, 2500, 5900, "logind: no answer; session bus: no answer"},
        {kLogind, false, false, 0, 1500, 5900, "logind: no answer; session bus: no session bus"},
        {kSessionBus, false, false, 1, 0, 2500, "logind"},
        {kSessionBus, true, false, 1, 0, 2500, "logind"},
        // One hung owner of every desktop name.
        {kDesktop, false, true, 1, 0, 2500, "logind"},
        {kDesktop, true, true, 1, 0, 2500, "logind"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.stopped) + (r.in_child ? " in a child" : "") + " " + r.said);
        desktest::session session;  // exports its bus's address
        DESKTEST_NEED_SESSION(session);
        ASSERT_EQ(session.start_fake({"gnome", "screensaver", "power-management"}), "");
        if (r.stopped == kLogind) {  // logind alone
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            unsetenv("XDG_RUNTIME_DIR");
        }
        ASSERT_EQ(kor_on(R"({"name":"keeps the connection"})"), 1) << kor_last_error();
        kor_off();
        std::vector<pid_t> stopped;
        const std::pair<unsigned, const char *> daemons[] = {{kSystemBus, "dbus-daemon"}, {kLogind, "systemd-logind"}};
        for (const auto &[bit, daemon] : daemons) {
            if (r.stopped & bit)
                stopped.push_back(std::atoi(kortest::run_command({"pgrep", "-x", "-o", daemon}, 5s).output.c_str()));
        }
        if (r.stopped & kSessionBus) stopped.push_back(session.bus_pid());
        if (r.stopped & kDesktop) stopped.push_back(session.owner_pid("org.gnome.SessionManager"));
        for (const pid_t pid : stopped) ASSERT_GT(pid, 0);
        for (const pid_t pid : stopped) kill(pid, SIGSTOP);
        for (const pid_t pid : stopped) ASSERT_TRUE(kortest::eventually([&] { return is_stopped(pid); }, 10s)) << pid;
        const char *options = r.keep_display ? R"({"keep_display":true})" : "{}";
        const timed_on t = r.in_child ? turn_on_timed_in_child(options) : turn_on_timed(options);
        for (const pid_t pid : stopped) kill(pid, SIGCONT);

        EXPECT_EQ(t.on, r.on);
        EXPECT_STREQ(t.said, r.said);
        EXPECT_GE(t.on_ms, r.at_least_ms);
        EXPECT_LT(t.on_ms, r.below_ms);
        EXPECT_LT(t.off_ms, 450) << "kor_off waits for nobody";
        // logind answers in order: by its answer to this list, the stalled
        // call has been answered too.
        EXPECT_TRUE(lock_released()) << "a late answer holds a lock";
        EXPECT_TRUE(kortest::eventually([&] { return desktest::fake_holds(session.bus()).empty(); }, 10s));
        EXPECT_EQ(kortest::read_status().active, 0);
    }
}

// With no descriptor free, logind's answer cannot be received (sd-bus reads it
// cut short): the call is refused, holds nothing, and the connection it broke
// is not used again. Once descriptors are free, the next call works.
TEST_F(HostileHost, NoFreeDescriptorHoldsNothingAndTheNextCallWorks) {
    ASSERT_EQ(kor_on(""), 1) << kor_last_error();  // the kept connection is open
    kor_off();
    ASSERT_TRUE(lock_released());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    std::vector<std::string> errors;
    for (int i = 0; i < 5; ++i) {
        errors.push_back(kor_on("") == 0 ? kor_last_error() : "accepted");
        kor_off();
    }
    for (const int fd : fillers) close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    for (const std::string &e : errors) EXPECT_EQ(e.rfind("logind: ", 0), 0u) << e;
    EXPECT_TRUE(lock_released()) << "a refused call holds a lock";
    ASSERT_EQ(kor_on(R"({"name":"descriptors again"})"), 1) << kor_last_error();
    EXPECT_TRUE(kortest::eventually([] { return inhibitors_of(getpid()).size() == 1; }, 5s));
    kor_off();
    EXPECT_TRUE(lock_released());
}

// Allocations that fail, once at each point of kor_on in turn or all of them
// at once, in a C host that loaded the library with dlopen: every call is
// refused with a message or shows as held, nothing refused holds a lock, and
// the host goes on.
TEST_F(HostileHost, FailedAllocationsHoldNothing) {
    const char *const modes[] = {"", R"({"mode":"minutes","minutes":5})", R"({"mode":"while_pid","pid":1})",
                                 R"({"mode":"while_process","name":"systemd-logind"})"};
    for (const char *options : modes) {
        for (const char *action : {"oom-once", "oom-sustained"}) {
            SCOPED_TRACE(std::string(options) + " " + action);
            const auto r = kortest::run_command({KORVEL_TEST_HOST_PATH, KORVEL_LIBRARY_PATH, options, action}, 300s);
            if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 77)
                GTEST_SKIP() << "the sanitizer's allocator cannot fail";
            EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.output;
        }
    }
}

// True when this process holds a descriptor of one of logind's locks. Reads
// without allocating: it runs in a child forked while other threads work.
bool holds_a_lock_descriptor() {
    char path[64], target[256];
    constexpr char kInhibit[] = "/run/systemd/inhibit/";
    for (int fd = 0; fd < 1024; ++fd) {
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(path, target, sizeof target - 1);
        if (n > 0 && std::strncmp(target, kInhibit, sizeof kInhibit - 1) == 0) return true;
    }
    return false;
}

// A thread forks while another is inside kor_on: no child may be left with a
// copy of a lock the parent had not yet recorded, which would outlive the
// parent's kor_off.
TEST_F(HostileHost, ForkDuringKorOnLeavesTheChildNoLock) {
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop) {
            kor_on(R"({"name":"forking"})");
            kor_off();
            std::this_thread::yield();  // lets a fork that waits for the library in
        }
    });
    int inherited = 0, failed = 0;
    for (int i = 0; i < 200; ++i) {
        const pid_t child = fork();
        if (child == 0) _exit(holds_a_lock_descriptor() ? 1 : 0);
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) ++failed;
        else if (WEXITSTATUS(status) == 1) ++inherited;
    }
    stop = true;
    caller.join();
    EXPECT_EQ(inherited, 0);
    EXPECT_EQ(failed, 0);
}

}  // namespace
