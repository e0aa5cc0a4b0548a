// The clock and the watcher's wait, against real processes: through a pidfd,
// and through the /proc check used where pidfd_open is refused.
#include "kor_platform.h"
#include "proc_helpers.h"
#include "test_support.h"
#include "proc.h"
#include "kor_linux_seam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <csignal>
#include <fstream>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(LinuxClock, NeverGoesBack) {
    int64_t previous = kor_now_ms();
    for (int i = 0; i < 1000000; ++i) {
        const int64_t now = kor_now_ms();
        ASSERT_GE(now, previous) << "read " << i;
        previous = now;
    }
}

using watch_ptr = std::unique_ptr<kor_plat_watch, kor_plat_watch_closer>;

int open_watch(int pid, watch_ptr &out) {
    kor_plat_watch *w = nullptr;
    const int r = kor_plat_watch_open(pid, &w);
    out.reset(w);
    return r;
}

// Every case runs twice: with pidfd, and as on kernels that refuse it.
class LinuxWatch : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { kor_linux::refuse_pidfd_for_tests(GetParam()); }
    void TearDown() override { kor_linux::refuse_pidfd_for_tests(false); }
    // Generous: the fallback checks every 500 ms, the machine is shared.
    std::chrono::milliseconds notice_bound() const { return GetParam() ? 3000ms : 1000ms; }
};

INSTANTIATE_TEST_SUITE_P(Paths, LinuxWatch, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "ProcPolling" : "Pidfd"; });

TEST_P(LinuxWatch, OpensOnlyOnALiveProcess) {
    kortest::child_process zombie({"sleep", "30"});
    zombie.kill_now(SIGKILL);
    ASSERT_TRUE(linuxtest::wait_zombie(zombie.pid()));
    kortest::child_process reaped({"true"});
    const pid_t reaped_pid = reaped.pid();
    reaped.wait_exit();
    const struct {
        const char *what;
        int pid;
        int expected;
    } cases[] = {
        {"this process", static_cast<int>(getpid()), KOR_WATCH_OPENED},
        {"pid 1, another process", 1, KOR_WATCH_OPENED},
        {"no process: a deadline only", 0, KOR_WATCH_OPENED},
        {"a zombie", zombie.pid(), KOR_WATCH_PROCESS_NOT_ALIVE},
        {"a reaped child", reaped_pid, KOR_WATCH_PROCESS_NOT_ALIVE},
        {"beyond any pid_max", INT32_MAX, KOR_WATCH_PROCESS_NOT_ALIVE},
    };
    for (const auto &c : cases) {
        watch_ptr w;
        EXPECT_EQ(open_watch(c.pid, w), c.expected) << c.what;
        EXPECT_EQ(w != nullptr, c.expected == KOR_WATCH_OPENED) << c.what;
    }
}

TEST_P(LinuxWatch, EachEventEndsTheWait) {
    kortest::child_process child({"sleep", "30"});
    watch_ptr w;
    ASSERT_EQ(open_watch(child.pid(), w), KOR_WATCH_OPENED);

    // A stopped process has not ended; a deadline already past ends at once.
    child.kill_now(SIGSTOP);
    EXPECT_EQ(kor_plat_watch_wait(w.get(), kor_now_ms() - 5), KOR_WATCH_DEADLINE);
    const int64_t deadline = kor_now_ms() + 300;
    EXPECT_EQ(kor_plat_watch_wait(w.get(), deadline), KOR_WATCH_DEADLINE);
    EXPECT_GE(kor_now_ms(), deadline) << "never before the deadline";

    // The end of the process, noticed while waiting.
    auto waiting = std::async(std::launch::async, [&] { return kor_plat_watch_wait(w.get(), 0); });
    std::this_thread::sleep_for(100ms);
    const int64_t killed_at = kortest::now_ms();
    child.kill_now(SIGKILL);
    ASSERT_EQ(waiting.wait_for(notice_bound()), std::future_status::ready) << "the end was not noticed";
    EXPECT_EQ(waiting.get(), KOR_WATCH_PROCESS_ENDED);
    RecordProperty("notice_ms", static_cast<int>(kortest::now_ms() - killed_at));

    // A stop request wins over everything, now and later.
    watch_ptr idle;
    ASSERT_EQ(open_watch(0, idle), KOR_WATCH_OPENED);
    auto stopped = std::async(std::launch::async, [&] { return kor_plat_watch_wait(idle.get(), 0); });
    std::this_thread::sleep_for(50ms);
    kor_plat_watch_stop(idle.get());
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(stopped.get(), KOR_WATCH_STOPPED);
    EXPECT_EQ(kor_plat_watch_wait(idle.get(), kor_now_ms() + 60000), KOR_WATCH_STOPPED);
}

// A forked child with two threads. With `main_exits`, its main thread ends
// and the other runs on (the process lives; its main thread's entry shows as
// a zombie); otherwise the other thread ends once `quit` is closed.
pid_t start_two_threads(bool main_exits, const int (&quit)[2]) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    close(quit[1]);
    static int quit_fd;
    quit_fd = main_exits ? -1 : quit[0];
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void *) -> void * {
            char c;
            while (quit_fd < 0 || read(quit_fd, &c, 1) != 0) pause();
            return nullptr;
        },
        nullptr);
    if (main_exits) syscall(SYS_exit, 0);  // this thread alone, without unwinding into the test
    for (;;) pause();
}

// The ids of the threads of `pid`.
std::vector<pid_t> threads_of(pid_t pid) {
    std::vector<pid_t> ids;
    if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent *e = readdir(dir))
            if (std::atoi(e->d_name) > 0) ids.push_back(std::atoi(e->d_name));
        closedir(dir);
    }
    return ids;
}

// A pid is the process's, whatever its threads do; a thread's id stands for
// its process.
TEST_P(LinuxWatch, FollowsTheProcessNotTheThread) {
    int quit[2];
    ASSERT_EQ(pipe(quit), 0);
    const pid_t without_main = start_two_threads(true, quit);
    const pid_t with_thread = start_two_threads(false, quit);
    close(quit[0]);
    pid_t thread = 0;
    ASSERT_TRUE(kortest::eventually(
        [&] {
            const auto ids = threads_of(with_thread);
            thread = ids.size() == 2 ? std::max(ids[0], ids[1]) : 0;
            return thread != 0 && kor_linux::read_process_identity(without_main).state == 'Z';
        },
        5s));
    watch_ptr by_pid, by_thread;
    ASSERT_EQ(open_watch(without_main, by_pid), KOR_WATCH_OPENED) << "its main thread has ended, the process has not";
    ASSERT_EQ(open_watch(thread, by_thread), KOR_WATCH_OPENED);
    close(quit[1]);  // the watched thread ends; its process runs on
    ASSERT_TRUE(kortest::eventually([&] { return threads_of(with_thread).size() == 1; }, 5s));
    const int64_t look_ms = GetParam() ? 1200 : 200;  // the /proc check looks every 500 ms
    EXPECT_EQ(kor_plat_watch_wait(by_pid.get(), kor_now_ms() + look_ms), KOR_WATCH_DEADLINE);
    EXPECT_EQ(kor_plat_watch_wait(by_thread.get(), kor_now_ms() + look_ms), KOR_WATCH_DEADLINE);

    for (const pid_t pid : {without_main, with_thread}) kill(pid, SIGKILL);
    for (watch_ptr *w : {&by_pid, &by_thread}) {
        auto waiting = std::async(std::launch::async, [&] { return kor_plat_watch_wait(w->get(), 0); });
        ASSERT_EQ(waiting.wait_for(notice_bound()), std::future_status::ready) << "the end was not noticed";
        EXPECT_EQ(waiting.get(), KOR_WATCH_PROCESS_ENDED);
    }
    for (const pid_t pid : {without_main, with_thread}) waitpid(pid, nullptr, 0);
}

// The kernel hands pids out in order; inside a private pid namespace (the
// tests run in one) ns_last_pid makes the next child get the pid of one that
// just ended. The watch follows the process it pinned, never the newcomer.
TEST_P(LinuxWatch, ReusedPidIsNotTheWatchedProcess) {
    std::ofstream probe("/proc/sys/kernel/ns_last_pid");
    if (!probe) GTEST_SKIP() << "ns_last_pid is not writable outside a private pid namespace";
    probe.close();
    for (int attempt = 0; attempt < 20; ++attempt) {
        kortest::child_process first({"sleep", "30"});
        const pid_t pid = first.pid();
        watch_ptr w;
        ASSERT_EQ(open_watch(pid, w), KOR_WATCH_OPENED);
        // Without pidfd a process is known by its pid and start time, which
        // counts in 10 ms ticks: a newcomer within the same tick would pass.
        std::this_thread::sleep_for(30ms);
        first.reap();
        std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
        kortest::child_process newcomer({"sleep", "30"});
        if (newcomer.pid() != pid) continue;  // another process took it first
        ASSERT_TRUE(linuxtest::wait_until_exec(newcomer.pid(), "sleep"));
        auto waiting = std::async(std::launch::async, [&] { return kor_plat_watch_wait(w.get(), 0); });
        ASSERT_EQ(waiting.wait_for(notice_bound()), std::future_status::ready) << "the newcomer extended it";
        EXPECT_EQ(waiting.get(), KOR_WATCH_PROCESS_ENDED);
        return;
    }
    FAIL() << "could not hand an ended child's pid to a new one";
}

}  // namespace
