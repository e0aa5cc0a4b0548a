// The sleep inhibition against systemd-logind on the tests' private system
// bus, and against buses that are missing or never answer.
#include "error_capture.h"
#include "kor_platform.h"
#include "proc_helpers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool starts_with(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Sets an environment variable for one test and puts the old value back.
class scoped_env {
public:
    scoped_env(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old, had_ = true;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~scoped_env() {
        if (had_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

class LinuxInhibit : public ::testing::Test {
protected:
    // Only the system bus is under test: a session bus would add desktop
    // services to what is held.
    scoped_env no_session_bus_{"DBUS_SESSION_BUS_ADDRESS", nullptr};
    scoped_env no_runtime_dir_{"XDG_RUNTIME_DIR", nullptr};

    void SetUp() override { kortest::clear_error(); }
    void TearDown() override { kor_plat_inhibit_off(); }

    static bool lock_gone() { return kortest::inhibitors_of(getpid()).empty(); }

    // Ends the inhibition `times` times with a fresh pipe open: a stale lock
    // fd must never be closed again once its number has been reused.
    static void expect_off_closes_nothing(int times) {
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        for (int i = 0; i < times; ++i) kor_plat_inhibit_off();
        EXPECT_NE(fcntl(pipe_fds[0], F_GETFD), -1);
        EXPECT_NE(fcntl(pipe_fds[1], F_GETFD), -1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
};

// --- Without a usable system bus ---------------------------------------------

TEST_F(LinuxInhibit, MissingBusFailsAndHoldsNothing) {
    kortest::temp_dir dir;
    const std::string address = "unix:path=" + dir.path() + "/no_such_socket";
    scoped_env bus("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());
    const size_t fds_before = kortest::open_fd_count();

    char mechanism[64] = "untouched";
    EXPECT_EQ(kor_plat_inhibit_on({0, "Backup"}, mechanism, sizeof mechanism), -1);
    const std::string message = kortest::last_error();
    EXPECT_NE(message.find("logind"), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
    EXPECT_EQ(kortest::open_fd_count(), fds_before) << "a failed attempt leaks no descriptor";

    // Nothing is held, so ending the inhibition must not close anything.
    expect_off_closes_nothing(1);
}

// kor_plat_inhibit_on runs under the core's lock: a bus that accepts the
// connection but never answers must give up in seconds, not hold every other
// caller for sd-bus's default 25 s or more.
TEST_F(LinuxInhibit, SilentBusGivesUp) {
    kortest::temp_dir dir;
    const std::string path = dir.path() + "/silent_socket";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    const std::string address = "unix:path=" + path;
    scoped_env bus("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());

    const int64_t start = kortest::now_ms();
    EXPECT_EQ(kor_plat_inhibit_on({1, "Backup"}, nullptr, 0), -1);
    const int64_t took = kortest::now_ms() - start;
    close(listener);
    EXPECT_LT(took, 15000) << "ms spent on a bus that never answers";
    EXPECT_NE(kortest::last_error().find("logind"), std::string::npos) << kortest::last_error();
}

// --- Against systemd-logind ------------------------------------------------------

// What a person sees in the list of inhibitors while the lock is held: one
// lock for each thing blocked, never one that names two (logind asks polkit
// about those under the lid switch's action, which grants far more).
TEST_F(LinuxInhibit, LockAsLogindListsIt) {
    KORTEST_NEED_LOGIND();
    const struct {
        const char *what_case;
        int keep_display;
        const char *reason;
        const char *whats;
        const char *why;  // null: any non-empty default
    } cases[] = {
        {"sleep only", 0, "Nightly backup", "sleep", "Nightly backup"},
        {"display too", 1, "Presentation", "idle sleep", "Presentation"},
        {"any non-zero keeps the display", 7, "Video", "idle sleep", "Video"},
        {"empty name", 0, "", "sleep", nullptr},
        {"no name", 1, nullptr, "idle sleep", nullptr},
        {"non-ASCII name", 0, "Sauvegarde \xC3\xA9t\xC3\xA9 \xE2\x98\x95", "sleep",
         "Sauvegarde \xC3\xA9t\xC3\xA9 \xE2\x98\x95"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what_case);
        char mechanism[64] = "";
        ASSERT_EQ(kor_plat_inhibit_on({c.keep_display, c.reason}, mechanism, sizeof mechanism), 0)
            << kortest::last_error();
        EXPECT_STREQ(mechanism, "logind");

        const auto held = kortest::inhibitors_of(getpid());
        EXPECT_EQ(kortest::whats_of(held), c.whats);
        for (const auto &lock : held) {
            EXPECT_EQ(lock.mode, "block");
            EXPECT_EQ(lock.who, program_invocation_short_name);
            EXPECT_EQ(lock.uid, getuid());
            if (c.why) EXPECT_EQ(lock.why, c.why);
            else EXPECT_FALSE(lock.why.empty());
        }

        kor_plat_inhibit_off();
        EXPECT_TRUE(kortest::eventually(lock_gone, 5s));
    }
}

// Without polkit logind refuses an ordinary user: the common case on a
// desktop-less machine. Runs in a child that drops root.
TEST_F(LinuxInhibit, RefusedCallerFailsAndHoldsNothing) {
    KORTEST_NEED_LOGIND();
    if (getuid() != 0) GTEST_SKIP() << "needs root to become another user";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(out[0]);
        std::string report;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            report = "cannot drop root";
        } else {
            const int r = kor_plat_inhibit_on({0, "Refused"}, nullptr, 0);
            size_t held = 99;
            try {
                held = kortest::inhibitors_of(getpid()).size();
            } catch (...) {
            }
            report = std::to_string(r) + "|" + std::to_string(held) + "|" + kortest::last_error();
        }
        const ssize_t n = write(out[1], report.data(), report.size());
        _exit(n == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string report;
    char buf[1024];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    if (report == "cannot drop root") GTEST_SKIP() << report;

    EXPECT_TRUE(starts_with(report, "-1|0|")) << report;
    EXPECT_NE(report.find("logind"), std::string::npos) << report;
    EXPECT_NE(report.find("denied"), std::string::npos) << report;
}

// logind refuses text that is not UTF-8, and `systemd-inhibit --list` prints
// what it holds to an administrator's terminal: a host's stray bytes must not
// cost it the inhibition, nor its control characters reach that terminal.
TEST_F(LinuxInhibit, NamesAreListedSafely) {
    KORTEST_NEED_LOGIND();
    const std::pair<const char *, const char *> cases[] = {
        {"bad \xFF\xFE bytes", "bad ?? bytes"},
        {"\xED\xA0\x80 surrogate", "??? surrogate"},
        {"red\x1b[31m\r\a", "red?[31m??"},
        {"evil\xE2\x80\xAEtxt.exe", "evil?txt.exe"},
    };
    for (const auto &[name, listed] : cases) {
        SCOPED_TRACE(listed);
        ASSERT_EQ(kor_plat_inhibit_on({0, name}, nullptr, 0), 0) << kortest::last_error();
        const auto held = kortest::inhibitors_of(getpid());
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(held[0].why, listed);
        kor_plat_inhibit_off();
        EXPECT_TRUE(kortest::eventually(lock_gone, 5s));
    }
}

TEST_F(LinuxInhibit, OffWithoutOnDoesNothing) {
    KORTEST_NEED_LOGIND();
    expect_off_closes_nothing(2);
    EXPECT_TRUE(lock_gone());

    // A second off after a real one must not close a descriptor that has
    // since been reused for something else.
    ASSERT_EQ(kor_plat_inhibit_on({0, "Build"}, nullptr, 0), 0) << kortest::last_error();
    kor_plat_inhibit_off();
    expect_off_closes_nothing(1);
}

// A second on without an off replaces the lock; the first must not linger.
TEST_F(LinuxInhibit, SecondOnReplacesTheLock) {
    KORTEST_NEED_LOGIND();
    ASSERT_EQ(kor_plat_inhibit_on({0, "First"}, nullptr, 0), 0) << kortest::last_error();
    ASSERT_EQ(kor_plat_inhibit_on({1, "Second"}, nullptr, 0), 0) << kortest::last_error();
    EXPECT_TRUE(kortest::eventually(
        [] {
            const auto held = kortest::inhibitors_of(getpid());
            return kortest::whats_of(held) == "idle sleep" && held[0].why == "Second" && held[1].why == "Second";
        },
        5s));
    kor_plat_inhibit_off();
    EXPECT_TRUE(kortest::eventually(lock_gone, 5s));
}

TEST_F(LinuxInhibit, RepeatedCyclesLeakNoDescriptor) {
    KORTEST_NEED_LOGIND();
    // The first round may open descriptors that stay for the process's life.
    ASSERT_EQ(kor_plat_inhibit_on({0, "Warm-up"}, nullptr, 0), 0) << kortest::last_error();
    kor_plat_inhibit_off();
    const size_t fds_before = kortest::open_fd_count();
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(kor_plat_inhibit_on({i % 2, "Cycle"}, nullptr, 0), 0) << kortest::last_error();
        kor_plat_inhibit_off();
    }
    EXPECT_EQ(kortest::open_fd_count(), fds_before);
    EXPECT_TRUE(kortest::eventually(lock_gone, 5s));
}

// A child the host starts while the lock is held must not inherit it, or the
// system would stay awake as long as that child runs.
TEST_F(LinuxInhibit, ChildDoesNotInheritTheLock) {
    KORTEST_NEED_LOGIND();
    ASSERT_EQ(kor_plat_inhibit_on({0, "Build"}, nullptr, 0), 0) << kortest::last_error();
    kortest::child_process child({"sleep", "5"});
    ASSERT_TRUE(linuxtest::wait_until_exec(child.pid(), "sleep"));
    kor_plat_inhibit_off();
    EXPECT_TRUE(kortest::eventually(lock_gone, 3s));
    EXPECT_EQ(kill(child.pid(), 0), 0) << "the child still runs";
}

}  // namespace
