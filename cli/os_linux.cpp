// The korvel command on Linux (sigtimedwait, SI_KERNEL). The stop signals are
// blocked in every thread and taken with sigwaitinfo/sigtimedwait, so there
// is no signal handler to race with, and the waiting loop sees each signal
// with its sender.
#include "os.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace korcli::os {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t g_original_mask;  // restored in the command
sigset_t g_stop_set;       // the stop signals korvel takes

bool ignored_at_start(int sig) {
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

std::string stop_signal_name(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(sig);
    }
}

// The terminal sends Ctrl-C (and a hangup) to the whole foreground process
// group, the command included; passing it on again would deliver it twice,
// and many programs take a second Ctrl-C as "stop now, skip the clean-up".
bool sent_by_terminal(const siginfo_t &info) { return info.si_code == SI_KERNEL; }

command_end describe(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        const int sig = WTERMSIG(wait_status);
        return {128 + sig, sig, "was ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")"};
    }
    const int code = WEXITSTATUS(wait_status);
    return {code, 0, "exited with status " + std::to_string(code)};
}

struct spawn_attributes {
    posix_spawnattr_t attr;
    spawn_attributes() { posix_spawnattr_init(&attr); }
    ~spawn_attributes() { posix_spawnattr_destroy(&attr); }
    spawn_attributes(const spawn_attributes &) = delete;
    spawn_attributes &operator=(const spawn_attributes &) = delete;
};

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char **argv) { return std::vector<std::string>(argv, argv + argc); }

void route_stop_requests() {
    // An inherited SIG_IGN for SIGCHLD would have the kernel reap the command
    // before korvel could read how it ended.
    signal(SIGCHLD, SIG_DFL);
    sigemptyset(&g_stop_set);
    for (int sig : kStopSignals)
        if (!ignored_at_start(sig)) sigaddset(&g_stop_set, sig);
    sigset_t blocked = g_stop_set;
    sigaddset(&blocked, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &blocked, &g_original_mask);
}

std::optional<command_end> stop_request_within(std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    const timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    siginfo_t info;
    const int sig = sigtimedwait(&g_stop_set, &info, &ts);
    if (sig <= 0) return std::nullopt;
    return command_end{128 + sig, sig, "stopped by " + stop_signal_name(sig)};
}

int finish(const command_end &end) {
    if (end.signal == 0) return end.exit_status;
    // The command wrote its own core file if it was to; one of korvel's would mislead.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    std::fflush(nullptr);
    signal(end.signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, end.signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(end.signal);
    return end.exit_status;  // a signal whose default action is not to end a process
}

command::~command() = default;

bool command::start(const std::vector<std::string> &argv, command_end &end) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    // The command starts with the signal mask korvel was started with.
    spawn_attributes spawn;
    posix_spawnattr_setsigmask(&spawn.attr, &g_original_mask);
    posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, args[0], nullptr, &spawn.attr, args.data(), environ);
    if (err != 0) {
        end = {err == ENOENT ? 127 : 126, 0, "cannot run " + argv[0] + ": " + std::strerror(err)};
        return false;
    }
    handle_ = pid;
    return true;
}

command_end command::wait() {
    const pid_t pid = static_cast<pid_t>(handle_);
    sigset_t wake = g_stop_set;
    sigaddset(&wake, SIGCHLD);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            handle_ = -1;
            return describe(status);
        }
        if (r < 0 && errno != EINTR) {
            handle_ = -1;
            return {1, 0, std::string("could not be waited for: ") + std::strerror(errno)};
        }
        // A SIGCHLD sent after the waitpid above stays pending until here.
        siginfo_t info;
        const int sig = sigwaitinfo(&wake, &info);
        if (sig > 0 && sig != SIGCHLD && !sent_by_terminal(info)) kill(pid, sig);
    }
}

}  // namespace korcli::os
