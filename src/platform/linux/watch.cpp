// The watcher's wait on Linux: one poll over an eventfd (stop requests), a
// timerfd on CLOCK_BOOTTIME armed with the absolute deadline (exact, and time
// spent suspended counts), and a pidfd of the watched process, which the
// kernel makes readable when the process ends. Nothing wakes the thread in
// between.
//
// Where pidfd_open is refused (kernels before 5.3, seccomp filters in
// containers) the process is checked every 500 ms instead, by its id and its
// start time, so that an id reused by a new process still counts as ended.
#include "kor_platform.h"
#include "watch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kor_linux {

namespace {

constexpr int kFallbackCheckMs = 500;

std::atomic<bool> g_refuse_pidfd{false};

void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int open_pidfd(int pid) {
    if (g_refuse_pidfd.load()) {
        errno = ENOSYS;
        return -1;
    }
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// The pidfd turns readable once the process has ended, zombie or reaped.
bool pidfd_ended(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool identity_alive(const process_identity &who) {
    const process_identity now = read_process_identity(who.pid);
    if (now.state == 0) {
        // No /proc entry we can read: only the id can be asked about, with
        // EPERM meaning another user's process.
        return who.start_time == 0 && (kill(who.pid, 0) == 0 || errno == EPERM);
    }
    return now.state != 'Z' && now.state != 'X' && now.start_time == who.start_time;
}

timespec ms_to_timespec(int64_t ms) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    return ts;
}

} // namespace

void refuse_pidfd_for_tests(bool refuse) { g_refuse_pidfd = refuse; }

process_identity read_process_identity(int pid) {
    process_identity who;
    who.pid = pid;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return who;
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return who;
    buf[n] = '\0';
    // The command name in parentheses may itself hold spaces and parentheses:
    // the fields that follow start after the last ')'.
    const char *p = std::strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ' || p[2] == '\0') return who;
    // The state is field 3, the start time field 22.
    const char *field = p + 2;
    who.state = *field;
    for (int k = 3; k < 22 && field != nullptr; ++k) {
        field = std::strchr(field, ' ');
        if (field != nullptr) ++field;
    }
    if (field != nullptr) who.start_time = std::strtoull(field, nullptr, 10);
    return who;
}

} // namespace kor_linux

using kor_linux::process_identity;

struct kor_plat_watch {
    int stop_fd = -1;
    int timer_fd = -1;
    int pid_fd = -1;              // -1 when nothing is watched or pidfd is refused
    process_identity process{};   // the pinned process when checked by polling
    bool has_process = false;

    ~kor_plat_watch() {
        kor_linux::close_fd(stop_fd);
        kor_linux::close_fd(timer_fd);
        kor_linux::close_fd(pid_fd);
    }
};

namespace {

// Pins the process: its pidfd, or failing that its id and start time.
int pin_process(kor_plat_watch &w, int pid) {
    w.has_process = true;
    w.pid_fd = kor_linux::open_pidfd(pid);
    if (w.pid_fd >= 0) return kor_linux::pidfd_ended(w.pid_fd) ? KOR_WATCH_PROCESS_NOT_ALIVE : KOR_WATCH_OPENED;
    // ESRCH: no such process; EINVAL: the id of a thread, not of a process.
    if (errno == ESRCH || errno == EINVAL) return KOR_WATCH_PROCESS_NOT_ALIVE;
    w.process = kor_linux::read_process_identity(pid);
    return kor_linux::identity_alive(w.process) ? KOR_WATCH_OPENED : KOR_WATCH_PROCESS_NOT_ALIVE;
}

// Arms the timer for the deadline, or disarms it when there is none; either
// way an expiry left from an earlier wait is forgotten.
bool arm_deadline(int timer_fd, int64_t deadline_ms) {
    itimerspec spec{};
    if (deadline_ms > 0) spec.it_value = kor_linux::ms_to_timespec(deadline_ms);
    return timerfd_settime(timer_fd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

} // namespace

int kor_plat_watch_open(int pid, kor_plat_watch **out) noexcept {
    try {
        auto *w = new kor_plat_watch;
        w->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        w->timer_fd = timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK);
        if (w->stop_fd < 0 || w->timer_fd < 0) {
            kor_set_error("cannot watch the activation: %s", std::strerror(errno));
            delete w;
            return KOR_WATCH_FAILED;
        }
        const int pinned = pid > 0 ? pin_process(*w, pid) : KOR_WATCH_OPENED;
        if (pinned != KOR_WATCH_OPENED) {
            delete w;
            return pinned;
        }
        *out = w;
        return KOR_WATCH_OPENED;
    } catch (...) {
        kor_set_error("cannot watch the activation: out of memory");
        return KOR_WATCH_FAILED;
    }
}

kor_plat_watch_event kor_plat_watch_wait(kor_plat_watch *w, int64_t deadline_ms) noexcept {
    const bool timed = arm_deadline(w->timer_fd, deadline_ms) && deadline_ms > 0;
    const bool polled_process = w->has_process && w->pid_fd < 0;
    for (;;) {
        pollfd fds[3] = {{w->stop_fd, POLLIN, 0}, {w->timer_fd, POLLIN, 0}, {w->pid_fd, POLLIN, 0}};
        int timeout = polled_process ? kor_linux::kFallbackCheckMs : -1;
        // Should the timer refuse its deadline, the clock is read instead.
        if (deadline_ms > 0 && !timed) {
            const int64_t left = deadline_ms - kor_now_ms();
            if (left <= 0) return KOR_WATCH_DEADLINE;
            if (timeout < 0 || left < timeout) timeout = static_cast<int>(left < 1000 ? left : 1000);
        }
        const int n = poll(fds, w->pid_fd >= 0 ? 3 : 2, timeout);
        if (n < 0 && errno != EINTR) {
            // Not expected with valid descriptors; never spin.
            usleep(100 * 1000);
            continue;
        }
        if (fds[0].revents != 0) return KOR_WATCH_STOPPED;
        if (fds[1].revents != 0) return KOR_WATCH_DEADLINE;
        if (w->pid_fd >= 0 && fds[2].revents != 0) return KOR_WATCH_PROCESS_ENDED;
        if (polled_process && !kor_linux::identity_alive(w->process)) return KOR_WATCH_PROCESS_ENDED;
    }
}

void kor_plat_watch_stop(kor_plat_watch *w) noexcept {
    // The counter only needs to be non-zero; a full counter (EAGAIN) is
    // already readable.
    const uint64_t one = 1;
    while (write(w->stop_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void kor_plat_watch_close(kor_plat_watch *w) noexcept { delete w; }
