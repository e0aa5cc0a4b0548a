#include "proc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace kor_linux {

long read_small_file(int dir_fd, const char *path, char *buf, size_t capacity) {
    const int fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = read(fd, buf, capacity - 1);
    close(fd);
    if (n < 0) return -1;
    buf[n] = '\0';
    return static_cast<long>(n);
}

namespace {

// The kernel keeps this much of the name a process was started as.
constexpr size_t kCommandNameMax = 15;

// The fields of /proc/PID/stat that matter here. The command name in
// parentheses may itself hold spaces and parentheses: the fields that follow
// start after the last ')'.
struct stat_fields {
    std::string_view command_name;
    process_identity identity;
};

bool parse_stat(const char *buf, int pid, stat_fields &out) {
    const char *open = std::strchr(buf, '(');
    const char *close = std::strrchr(buf, ')');
    if (open == nullptr || close == nullptr || close < open || close[1] != ' ' || close[2] == '\0') return false;
    out.command_name = std::string_view(open + 1, static_cast<size_t>(close - open - 1));
    out.identity.pid = pid;
    // The state is field 3, the thread count field 20, the start time field 22.
    const char *field = close + 2;
    out.identity.state = *field;
    for (int k = 3; k < 22 && field != nullptr; ++k) {
        field = std::strchr(field, ' ');
        if (field != nullptr) ++field;
        if (field != nullptr && k == 19) out.identity.threads = std::strtol(field, nullptr, 10);
    }
    if (field != nullptr) out.identity.start_time = std::strtoull(field, nullptr, 10);
    return true;
}

std::string_view basename_of(std::string_view path) {
    // Wine shows a Windows path as the command line, so both separators count.
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool ends_with_exe(std::string_view name) {
    if (name.size() <= 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'x' && (tail[3] | 0x20) == 'e';
}

// Exact name, or the name followed by ".exe" in any letter case (how Windows
// programs run under Wine are named).
bool name_matches(std::string_view candidate, std::string_view wanted) {
    if (candidate.empty()) return false;
    if (candidate == wanted) return true;
    return candidate.size() == wanted.size() + 4 && ends_with_exe(candidate) &&
           candidate.substr(0, wanted.size()) == wanted;
}

// Executables of Wine's loader, which runs every Windows program under Wine.
bool is_wine_loader(std::string_view executable) {
    return executable == "wine" || executable == "wine64" || executable == "wine-preloader" ||
           executable == "wine64-preloader";
}

// The file name of the process's executable, or "" when it cannot be read
// (another user's process without privilege, a kernel thread, a process
// whose main thread has ended). An executable replaced by an upgrade shows
// as "PATH (deleted)".
std::string_view executable_name(int proc_fd, int pid, char (&buf)[4096]) {
    char path[32];
    std::snprintf(path, sizeof path, "%d/exe", pid);
    const ssize_t n = readlinkat(proc_fd, path, buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string_view target(buf, static_cast<size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (target.size() > deleted.size() && target.substr(target.size() - deleted.size()) == deleted)
        target.remove_suffix(deleted.size());
    return basename_of(target);
}

// The file name in the first word of the command line, or "".
std::string_view command_line_name(int proc_fd, int pid, char (&buf)[4096]) {
    char path[32];
    std::snprintf(path, sizeof path, "%d/cmdline", pid);
    if (read_small_file(proc_fd, path, buf, sizeof buf) < 0) return {};
    return basename_of(std::string_view(buf));
}

// A process has the name people see it by:
//  - the name the kernel gave it when it was started (ps, top and pgrep -x
//    show it): the file that was executed, a script's or a symlink's own
//    name, never argv[0], which any caller sets as it likes. The kernel keeps
//    its first 15 bytes, so a longer request is matched by the next name;
//  - its executable's own file name ("python3.11" for python3);
//  - where the executable says nothing (another user's process) or is Wine's
//    loader, which runs every Windows program, the command line's first word.
bool has_name(int proc_fd, int pid, std::string_view wanted) {
    char path[32];
    std::snprintf(path, sizeof path, "%d/comm", pid);
    char comm[64];
    const long n = read_small_file(proc_fd, path, comm, sizeof comm);
    if (n <= 0) return false;  // gone meanwhile
    const std::string_view command_name(comm, static_cast<size_t>(comm[n - 1] == '\n' ? n - 1 : n));
    const bool by_command_name = wanted.size() <= kCommandNameMax && name_matches(command_name, wanted);
    if (by_command_name && wanted.size() < kCommandNameMax) return true;
    char buf[4096];
    const std::string_view executable = executable_name(proc_fd, pid, buf);
    // A command name of 15 bytes may be the cut of the executable's longer one.
    if (by_command_name && !(executable.size() > kCommandNameMax && executable.substr(0, kCommandNameMax) == wanted))
        return true;
    if (!executable.empty() && !is_wine_loader(executable)) return name_matches(executable, wanted);
    return name_matches(command_line_name(proc_fd, pid, buf), wanted);
}

// The names are read first: they are cheap, and rarely match. A process
// that has ended (a zombie) is never found.
bool process_matches(int proc_fd, int pid, std::string_view wanted) {
    if (!has_name(proc_fd, pid, wanted)) return false;
    char path[32];
    std::snprintf(path, sizeof path, "%d/stat", pid);
    char stat[1024];
    stat_fields fields;
    return read_small_file(proc_fd, path, stat, sizeof stat) > 0 && parse_stat(stat, pid, fields) &&
           !has_ended(fields.identity);
}

// The next process id the listing of /proc gives, or -1 at its end. /proc
// lists processes in ascending id order, after its own entries.
int next_pid(DIR *dir) {
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid <= INT32_MAX) return static_cast<int>(pid);
    }
    return -1;
}

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

}  // namespace

process_identity read_process_identity(int pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    char buf[1024];
    stat_fields fields;
    if (read_small_file(AT_FDCWD, path, buf, sizeof buf) <= 0 || !parse_stat(buf, pid, fields)) {
        process_identity unknown;
        unknown.pid = pid;
        return unknown;
    }
    return fields.identity;
}

bool has_ended(const process_identity &who) {
    const bool leader_ended = who.state == 'Z' || who.state == 'X';
    return leader_ended && who.threads <= 1;
}

int process_of(int id) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/status", id);
    char buf[2048];
    if (read_small_file(AT_FDCWD, path, buf, sizeof buf) <= 0) return id;
    const char *tgid = std::strstr(buf, "\nTgid:");
    if (tgid == nullptr) return id;
    const long group = std::strtol(tgid + 6, nullptr, 10);
    return group > 0 && group <= INT32_MAX ? static_cast<int>(group) : id;
}

int find_process(const char *wanted) {
    const int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd < 0) return -1;
    std::unique_ptr<DIR, dir_closer> dir(fdopendir(proc_fd));
    if (!dir) {
        close(proc_fd);
        return -1;
    }
    const std::string_view name(wanted);
    for (int pid; (pid = next_pid(dir.get())) > 0;)
        if (process_matches(proc_fd, pid, name)) return pid;
    return -1;
}

}  // namespace kor_linux
