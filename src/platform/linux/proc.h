// What the Linux layer reads of processes in /proc: small files read without
// allocating (the watcher reads them), a process's identity, the process a
// thread belongs to, and the lookup of a process by the name people see.
#ifndef KOR_LINUX_PROC_H
#define KOR_LINUX_PROC_H

#include <cstddef>
#include <cstdint>

namespace kor_linux {

// Reads at most capacity - 1 bytes of a small file, NUL-terminated; the
// count read, or -1. `dir_fd` is a directory the path is relative to, or
// AT_FDCWD. Allocates nothing.
long read_small_file(int dir_fd, const char *path, char *buf, size_t capacity);

struct process_identity {
    int pid = 0;
    char state = 0;           // 'R', 'S', 'Z'...; 0 when unreadable
    long threads = 0;         // threads of its group, an exited main thread included
    uint64_t start_time = 0;  // clock ticks after boot; with the id, names one process
};

process_identity read_process_identity(int pid);

// True once every thread of the process has ended (a zombie included). A
// process whose main thread has ended but whose other threads run shows as
// a zombie leader, and is alive.
bool has_ended(const process_identity &who);

// The process that `id` belongs to: the id of its thread group, which is `id`
// itself for a process, or `id` when /proc cannot tell.
int process_of(int id);

// The first running process, in ascending id order, whose name matches
// `wanted` (rules in proc.cpp); -1 when none does or /proc cannot be read.
int find_process(const char *wanted);

}  // namespace kor_linux

#endif  // KOR_LINUX_PROC_H
