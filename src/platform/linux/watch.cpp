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
#include "fd.h"
#include "proc.h"
#include "kor_linux_seam.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kor_linux {

namespace {

constexpr int kFallbackCheckMs = 500;

std::atomic<bool> g_refuse_pidfd{false};

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

// The pinned process still runs: the same id and start time, and not every
// thread of it has ended.
bool identity_alive(const process_identity &who) {
    const process_identity now = read_process_identity(who.pid);
    return now.state != 0 && now.start_time == who.start_time && !has_ended(now);
}

timespec ms_to_timespec(int64_t ms) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    return ts;
}

}  // namespace

void refuse_pidfd_for_tests(bool refuse) { g_refuse_pidfd = refuse; }

}  // namespace kor_linux

using kor_linux::owned_fd;
using kor_linux::process_identity;

struct kor_plat_watch {
    owned_fd stop;
    owned_fd timer;
    owned_fd pid;                // invalid when nothing is watched or pidfd is refused
    process_identity process{};  // the pinned process when checked by polling
    bool has_process = false;

    bool descriptors_still_ours() const {
        return stop.still_ours() && timer.still_ours() && (!pid.valid() || pid.still_ours());
    }
};

namespace {

// Pins the process: its pidfd, or failing that its id and start time. The id
// of a thread stands for the process the thread belongs to, which is what
// ends when the program ends.
int pin_process(kor_plat_watch &w, int id) {
    const int pid = kor_linux::process_of(id);
    w.has_process = true;
    w.pid = owned_fd(kor_linux::open_pidfd(pid));
    if (w.pid.valid()) return kor_linux::pidfd_ended(w.pid.get()) ? KOR_WATCH_PROCESS_NOT_ALIVE : KOR_WATCH_OPENED;
    // ESRCH: no such process; EINVAL, ENOENT: a thread whose process /proc
    // could not name.
    if (errno == ESRCH || errno == EINVAL || errno == ENOENT) return KOR_WATCH_PROCESS_NOT_ALIVE;
    w.process = kor_linux::read_process_identity(pid);
    if (w.process.state == 0 && access("/proc/self/stat", R_OK) != 0) {
        // Neither pidfd nor /proc: its end could never be seen.
        kor_set_error("cannot watch pid %d: the system offers neither pidfd_open nor /proc", id);
        return KOR_WATCH_FAILED;
    }
    return kor_linux::identity_alive(w.process) ? KOR_WATCH_OPENED : KOR_WATCH_PROCESS_NOT_ALIVE;
}

// Arms the timer for the deadline, or disarms it when there is none; either
// way an expiry left from an earlier wait is forgotten.
bool arm_deadline(int timer_fd, int64_t deadline_ms) {
    itimerspec spec{};
    if (deadline_ms > 0) spec.it_value = kor_linux::ms_to_timespec(deadline_ms);
    return timerfd_settime(timer_fd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

}  // namespace

int kor_plat_watch_open(int pid, kor_plat_watch **out) noexcept {
    try {
        std::unique_ptr<kor_plat_watch> w(new kor_plat_watch);
        w->stop = owned_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        w->timer = owned_fd(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK));
        if (!w->stop.valid() || !w->timer.valid()) {
            kor_set_error("cannot watch the activation: %s", std::strerror(errno));
            return KOR_WATCH_FAILED;
        }
        const int pinned = pid > 0 ? pin_process(*w, pid) : KOR_WATCH_OPENED;
        if (pinned == KOR_WATCH_OPENED) *out = w.release();
        return pinned;
    } catch (...) {
        kor_set_error("cannot watch the activation: out of memory");
        return KOR_WATCH_FAILED;
    }
}

kor_plat_watch_event kor_plat_watch_wait(kor_plat_watch *w, int64_t deadline_ms) noexcept {
    const bool timed = arm_deadline(w->timer.get(), deadline_ms) && deadline_ms > 0;
    const bool polled_process = w->has_process && !w->pid.valid();
    for (;;) {
        // A poll that is under way keeps watching the files it was given, but
        // each new one looks at numbers: they must still be ours.
        if (!w->descriptors_still_ours()) return KOR_WATCH_BROKEN;
        pollfd fds[3] = {{w->stop.get(), POLLIN, 0}, {w->timer.get(), POLLIN, 0}, {w->pid.get(), POLLIN, 0}};
        int timeout = polled_process ? kor_linux::kFallbackCheckMs : -1;
        // Should the timer refuse its deadline, the clock is read instead.
        if (deadline_ms > 0 && !timed) {
            const int64_t left = deadline_ms - kor_now_ms();
            if (left <= 0) return KOR_WATCH_DEADLINE;
            if (timeout < 0 || left < timeout) timeout = static_cast<int>(left < 1000 ? left : 1000);
        }
        const int n = poll(fds, w->pid.valid() ? 3 : 2, timeout);
        if (n < 0 && errno != EINTR) {
            // Not expected with valid descriptors; never spin.
            usleep(100 * 1000);
            continue;
        }
        if ((fds[0].revents | fds[1].revents | fds[2].revents) & POLLNVAL) continue;  // see above
        if (fds[0].revents != 0) return KOR_WATCH_STOPPED;
        if (fds[1].revents != 0) return KOR_WATCH_DEADLINE;
        if (w->pid.valid() && fds[2].revents != 0) return KOR_WATCH_PROCESS_ENDED;
        if (polled_process && !kor_linux::identity_alive(w->process)) return KOR_WATCH_PROCESS_ENDED;
    }
}

bool kor_plat_watch_stop(kor_plat_watch *w) noexcept {
    // Never written once the number is someone else's: the waiter then ends
    // only at its deadline or with its process.
    if (!w->stop.still_ours()) return false;
    // The counter only needs to be non-zero; a full counter (EAGAIN) is
    // already readable.
    const uint64_t one = 1;
    while (write(w->stop.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

void kor_plat_watch_close(kor_plat_watch *w) noexcept { delete w; }
