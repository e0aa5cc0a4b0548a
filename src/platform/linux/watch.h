// What the Linux layer reads of processes in /proc, shared by the watch (a
// pinned process, when pidfd is refused) and the process lookup.
#ifndef KOR_LINUX_WATCH_H
#define KOR_LINUX_WATCH_H

#include <cstddef>
#include <cstdint>

namespace kor_linux {

struct process_identity {
    int pid = 0;
    char state = 0;               // 'R', 'S', 'Z'...; 0 when unreadable
    uint64_t start_time = 0;      // clock ticks after boot; with the id, names one process
};

// Reads at most capacity - 1 bytes of a small file (/proc's), NUL-terminated;
// the count read, or -1. Allocates nothing: the watcher calls it.
long read_small_file(const char *path, char *buf, size_t capacity);

process_identity read_process_identity(int pid);

// Tests take the path of kernels and sandboxes that refuse pidfd_open.
void refuse_pidfd_for_tests(bool refuse);

} // namespace kor_linux

#endif // KOR_LINUX_WATCH_H
