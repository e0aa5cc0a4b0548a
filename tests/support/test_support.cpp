#include "test_support.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kortest {

namespace {

std::vector<char *> c_argv(std::vector<std::string> &args) {
    std::vector<char *> out;
    for (auto &a : args) out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

[[noreturn]] void exec_child(std::vector<std::string> args, const std::string &shown_name, int out_fd) {
    if (out_fd >= 0) {
        dup2(out_fd, 1);
        dup2(out_fd, 2);
        // Only as 1 and 2: daemons the child starts must not keep a reader
        // waiting for the end of its output.
        if (out_fd > 2) close(out_fd);
    }
    const std::string path = args[0];
    if (!shown_name.empty()) args[0] = shown_name;
    std::vector<char *> argv = c_argv(args);
    if (path.find('/') == std::string::npos) execvp(path.c_str(), argv.data());
    else execv(path.c_str(), argv.data());
    _exit(127);
}

}  // namespace

child_process::child_process(const std::vector<std::string> &argv, const std::string &shown_name,
                             const std::string &log_path) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        const int out = log_path.empty() ? open("/dev/null", O_WRONLY)
                                         : open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        exec_child(argv, shown_name, out);
    }
    pid_ = pid;
    reaped_ = false;
}

child_process::child_process(child_process &&other) noexcept : pid_(other.pid_), reaped_(other.reaped_) {
    other.pid_ = -1;
    other.reaped_ = true;
}

child_process &child_process::operator=(child_process &&other) noexcept {
    if (this != &other) {
        reap();
        pid_ = other.pid_;
        reaped_ = other.reaped_;
        other.pid_ = -1;
        other.reaped_ = true;
    }
    return *this;
}

child_process::~child_process() { reap(); }

void child_process::kill_now(int sig) {
    if (!reaped_ && pid_ > 0) ::kill(pid_, sig);
}

int child_process::wait_exit() {
    if (reaped_ || pid_ <= 0) return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
}

void child_process::reap() {
    if (reaped_ || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait_exit();
}

bool child_process::running() {
    if (reaped_ || pid_ <= 0) return false;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

void child_process::stop_gently(std::chrono::milliseconds grace) {
    if (reaped_ || pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!eventually([this] { return !running(); }, grace)) reap();
}

run_result run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int out = dup(fds[1]);  // without O_CLOEXEC, so exec keeps it
        exec_child(argv, "", out);
    }
    close(fds[1]);
    run_result result;
    const int64_t deadline = now_ms() + timeout.count();
    char buf[4096];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        result.output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

bool eventually(const std::function<bool()> &predicate, std::chrono::milliseconds timeout) {
    const int64_t deadline = now_ms() + timeout.count();
    for (;;) {
        if (predicate()) return true;
        if (now_ms() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/korvel-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir() { run_command({"rm", "-rf", path_}, std::chrono::seconds(10)); }

namespace {

// Entries of a /proc folder, without "." and "..". Reading /proc/self/fd
// opens a descriptor of its own, which is not counted (a thread id of the
// same number in /proc/self/task is).
size_t entries_of(const char *dir, bool lists_descriptors) {
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        const int own = lists_descriptors ? dirfd(d) : -1;
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

size_t open_fd_count() { return entries_of("/proc/self/fd", true); }
size_t thread_count() { return entries_of("/proc/self/task", false); }

std::string copy_executable(const std::string &from, const std::string &dir, const std::string &name) {
    const std::string to = dir + "/" + name;
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), 0755);
    return to;
}

// --- systemd-logind -------------------------------------------------------

namespace {

struct bus_holder {
    sd_bus *bus = nullptr;
    ~bus_holder() { sd_bus_flush_close_unref(bus); }
};

std::string errno_text(int r) { return std::strerror(-r); }

}  // namespace

std::string logind_unavailable_reason() {
    // Set by tests/bus/private-logind.sh when it could not start one.
    if (const char *why = std::getenv("KORVEL_LOGIND_UNAVAILABLE")) return why;
    // The one probe the scripts use too.
    const auto probe = run_command({KORVEL_BUS_SCRIPT, "answers"}, std::chrono::seconds(10));
    return probe.status == 0 ? "" : "logind does not answer on the system bus";
}

std::vector<inhibitor> list_inhibitors() {
    bus_holder b;
    int r = sd_bus_open_system(&b.bus);
    if (r < 0) throw std::runtime_error("system bus unreachable: " + errno_text(r));
    sd_bus_set_method_call_timeout(b.bus, 3000000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    r = sd_bus_call_method(b.bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", &error, &reply, "");
    sd_bus_error_free(&error);
    if (r < 0) throw std::runtime_error("ListInhibitors failed: " + errno_text(r));
    std::vector<inhibitor> out;
    r = sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
    const char *what, *who, *why, *mode;
    uint32_t uid, pid;
    while (r >= 0 && (r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid)) > 0)
        out.push_back({what, who, why, mode, uid, pid});
    sd_bus_message_unref(reply);
    return out;
}

std::vector<inhibitor> inhibitors_of(pid_t pid) {
    std::vector<inhibitor> mine;
    for (auto &i : list_inhibitors())
        if (i.pid == static_cast<uint32_t>(pid)) mine.push_back(i);
    return mine;
}

std::string whats_of(const std::vector<inhibitor> &locks) {
    std::vector<std::string> whats;
    for (const auto &lock : locks) whats.push_back(lock.what);
    std::sort(whats.begin(), whats.end());
    std::string joined;
    for (const auto &what : whats) joined += (joined.empty() ? "" : " ") + what;
    return joined;
}

bool logind_required() {
    const char *v = std::getenv("KORVEL_REQUIRE_LOGIND");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace kortest
