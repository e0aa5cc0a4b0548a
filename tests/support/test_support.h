// Helpers shared by the tests: child processes, polling with a deadline, and
// a view of systemd-logind's inhibitors on the (private) system bus.
#ifndef KORVEL_TEST_SUPPORT_H
#define KORVEL_TEST_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kortest {

// A child process started with fork+exec; killed and reaped when destroyed.
class child_process {
public:
    child_process() = default;
    // argv[0] is the program path (searched in PATH when it has no slash);
    // `shown_name`, when given, replaces argv[0] as the child sees it. Its
    // output goes to `log_path` (appended), or nowhere when that is empty.
    explicit child_process(const std::vector<std::string> &argv, const std::string &shown_name = "",
                           const std::string &log_path = "");
    child_process(child_process &&other) noexcept;
    child_process &operator=(child_process &&other) noexcept;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    ~child_process();

    pid_t pid() const { return pid_; }
    void kill_now(int sig = 9);  // sends the signal, does not reap
    int wait_exit();             // reaps; returns the wait status
    void reap();                 // kills (if running) and reaps
    bool running();              // false once it has ended (it is then reaped)
    // Asks it to end (SIGTERM), so it can clean up; kills it after `grace`.
    void stop_gently(std::chrono::milliseconds grace);

private:
    pid_t pid_ = -1;
    bool reaped_ = true;
};

// Runs a command, returns its exit status and standard output + error.
struct run_result {
    int status = -1;
    std::string output;
};
run_result run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout);

// Polls `predicate` every 10 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()> &predicate, std::chrono::milliseconds timeout);

// Milliseconds on a monotonic clock, for measuring in tests.
int64_t now_ms();

// A temporary directory removed (with its files) when destroyed.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// This process's open descriptors and threads, for tests that nothing leaks.
size_t open_fd_count();
size_t thread_count();

// Copies an executable to `dir/name` (so a process can carry any name).
std::string copy_executable(const std::string &from, const std::string &dir, const std::string &name);

// --- systemd-logind -------------------------------------------------------
struct inhibitor {
    std::string what, who, why, mode;
    uint32_t uid = 0;
    uint32_t pid = 0;
};

// Empty when logind answers on the system bus; otherwise why it does not.
std::string logind_unavailable_reason();

// The inhibitors logind lists (all of them, or those held by `pid`).
std::vector<inhibitor> list_inhibitors();
std::vector<inhibitor> inhibitors_of(pid_t pid);
// What `locks` block, a word a lock, sorted: "sleep", "idle sleep".
std::string whats_of(const std::vector<inhibitor> &locks);

// True when KORVEL_REQUIRE_LOGIND=1: a missing logind fails instead of skips.
bool logind_required();

}  // namespace kortest

// Skips the test (or fails it, when logind is required) without logind.
#define KORTEST_NEED_LOGIND()                                                        \
    do {                                                                             \
        const std::string why_ = ::kortest::logind_unavailable_reason();             \
        if (!why_.empty()) {                                                         \
            if (::kortest::logind_required()) FAIL() << "logind required: " << why_; \
            GTEST_SKIP() << "no systemd-logind: " << why_;                           \
        }                                                                            \
    } while (0)

#endif  // KORVEL_TEST_SUPPORT_H
