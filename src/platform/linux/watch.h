// What the Linux layer knows of a process from /proc/PID/stat, shared by the
// watch (a pinned process, when pidfd is refused) and the process lookup.
#ifndef KOR_LINUX_WATCH_H
#define KOR_LINUX_WATCH_H

#include <cstdint>

namespace kor_linux {

struct process_identity {
    int pid = 0;
    char state = 0;               // 'R', 'S', 'Z'...; 0 when unreadable
    uint64_t start_time = 0;      // clock ticks after boot; with the id, names one process
};

process_identity read_process_identity(int pid);

// Tests take the path of kernels and sandboxes that refuse pidfd_open.
void refuse_pidfd_for_tests(bool refuse);

} // namespace kor_linux

#endif // KOR_LINUX_WATCH_H
