// The Linux layer under the contract: its processes are copies of the
// sleeper started as children, an inhibition is what logind lists for this
// process, and the clock to follow is the boot clock. The suite runs in a
// time namespace whose boot clock stands 1,000,000 s ahead of the monotonic
// one (tests/CMakeLists.txt), so that a layer reading another clock shows.
//
// Beside it, the cases only Linux has: threads that are not processes, and
// a pid handed to a new process.
#include "contract.h"
#include "error_capture.h"
#include "proc_helpers.h"
#include "test_support.h"
#include "proc.h"
#include "kor_linux_seam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace contract {

const char *const kLayerName = "linux";

std::string why_no_inhibition() {
    const std::string why = kortest::logind_unavailable_reason();
    if (!why.empty() && kortest::logind_required()) ADD_FAILURE() << "logind required: " << why;
    return why;
}

// The second is the path of kernels and sandboxes that refuse pidfd_open.
std::vector<std::string> watch_paths() { return {"Pidfd", "ProcPolling"}; }

void set_up(const std::string &watch_path) {
    kor_linux::refuse_pidfd_for_tests(watch_path == "ProcPolling");
    // Only the system bus is under test: a session bus would add desktop
    // services to what is held.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("XDG_RUNTIME_DIR");
    kortest::clear_error();
}

int locks_held() { return static_cast<int>(kortest::inhibitors_of(getpid()).size()); }

open_things count_open() { return {kortest::open_fd_count(), kortest::thread_count()}; }

namespace {

int64_t clock_ms(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int64_t reference_clock_ms() {
    if (clock_ms(CLOCK_BOOTTIME) - clock_ms(CLOCK_MONOTONIC) < 500000LL * 1000)
        ADD_FAILURE() << "the boot clock is not ahead of the monotonic one: run under "
                         "`unshare --time --boottime 1000000`, as ctest does";
    return clock_ms(CLOCK_BOOTTIME);
}

void let_time_pass(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int self_pid() { return getpid(); }

struct process::impl {
    kortest::temp_dir dir;
    kortest::child_process child;
};

process::process(const std::string &name, int lifetime_ms, int exit_code) : impl_(new impl) {
    const std::string path = kortest::copy_executable(KORVEL_CONTRACT_SLEEPER, impl_->dir.path(), name);
    impl_->child = kortest::child_process({path, std::to_string(lifetime_ms), std::to_string(exit_code)});
    EXPECT_TRUE(linuxtest::wait_until_exec(pid(), path)) << name << " never ran";
}

process::~process() = default;
int process::pid() const { return impl_->child.pid(); }
void process::pause() { impl_->child.kill_now(SIGSTOP); }
void process::kill() {
    impl_->child.kill_now(SIGKILL);
    wait_exit();
}
void process::wait_exit() { EXPECT_TRUE(linuxtest::wait_zombie(pid())); }
void process::release() { impl_->child.wait_exit(); }

namespace {

class LinuxWatch : public WatchTest {};

INSTANTIATE_TEST_SUITE_P(Paths, LinuxWatch, ::testing::ValuesIn(watch_paths()),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });

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
// its process; pid 1 is a process like any other.
TEST_P(LinuxWatch, FollowsTheProcessNotTheThread) {
    watch_ptr init;
    EXPECT_EQ(open_watch(1, init), KOR_WATCH_OPENED) << "pid 1, another process";
    int quit[2];
    ASSERT_EQ(pipe(quit), 0);
    const pid_t without_main = start_two_threads(true, quit);
    const pid_t with_thread = start_two_threads(false, quit);
    close(quit[0]);
    pid_t thread = 0;
    ASSERT_TRUE(eventually([&] {
        const auto ids = threads_of(with_thread);
        thread = ids.size() == 2 ? std::max(ids[0], ids[1]) : 0;
        return thread != 0 && kor_linux::read_process_identity(without_main).state == 'Z';
    }));
    watch_ptr by_pid, by_thread;
    ASSERT_EQ(open_watch(without_main, by_pid), KOR_WATCH_OPENED) << "its main thread has ended, the process has not";
    ASSERT_EQ(open_watch(thread, by_thread), KOR_WATCH_OPENED);
    close(quit[1]);  // the watched thread ends; its process runs on
    ASSERT_TRUE(eventually([&] { return threads_of(with_thread).size() == 1; }));
    const int64_t look_ms = GetParam() == "ProcPolling" ? 1200 : 200;  // the /proc check looks every 500 ms
    EXPECT_EQ(wait_for(by_pid.get(), kor_now_ms() + look_ms), KOR_WATCH_DEADLINE);
    EXPECT_EQ(wait_for(by_thread.get(), kor_now_ms() + look_ms), KOR_WATCH_DEADLINE);

    for (const pid_t pid : {without_main, with_thread}) kill(pid, SIGKILL);
    for (watch_ptr *w : {&by_pid, &by_thread}) EXPECT_EQ(wait_for(w->get(), 0), KOR_WATCH_PROCESS_ENDED);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        first.reap();
        std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
        kortest::child_process newcomer({"sleep", "30"});
        if (newcomer.pid() != pid) continue;  // another process took it first
        ASSERT_TRUE(linuxtest::wait_until_exec(newcomer.pid(), "sleep"));
        EXPECT_EQ(wait_for(w.get(), 0), KOR_WATCH_PROCESS_ENDED) << "the newcomer extended it";
        return;
    }
    FAIL() << "could not hand an ended child's pid to a new one";
}

}  // namespace
}  // namespace contract
