// Hosts that fork without exec, close descriptors they did not open, or stall
// both buses: the library must neither hang, nor leave a lock behind, nor
// touch what belongs to the host.
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A bus that accepts calls and never answers: with both the system bus and
// the session bus stalled, kor_on gives up after its one budget of about 3 s.
TEST_F(HostileHost, BothBusesStalledCostOneBudget) {
    kortest::temp_dir dir;
    kortest::child_process session({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                    "--address=unix:path=" + dir.path() + "/bus"});
    ASSERT_TRUE(kortest::eventually([&] { return access((dir.path() + "/bus").c_str(), F_OK) == 0; }, 5s));
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.path() + "/bus").c_str(), 1);
    const auto system_bus = kortest::run_command({"pgrep", "-x", "-o", "dbus-daemon"}, 5s);
    const pid_t system_pid = static_cast<pid_t>(std::atoi(system_bus.output.c_str()));
    ASSERT_GT(system_pid, 0);
    kill(system_pid, SIGSTOP);
    session.kill_now(SIGSTOP);

    const int64_t start = kortest::now_ms();
    const int on = kor_on(R"({"name":"stalled"})");
    const int64_t took = kortest::now_ms() - start;
    const std::string error = kor_last_error();
    kill(system_pid, SIGCONT);
    session.kill_now(SIGCONT);

    EXPECT_EQ(on, 0);
    EXPECT_GE(took, 2500);
    EXPECT_LT(took, 5000) << "both buses together, not one budget each";
    EXPECT_EQ(error.rfind("logind: no answer", 0), 0u) << error;
    EXPECT_NE(error.find("session bus: no answer"), std::string::npos) << error;
}

} // namespace
