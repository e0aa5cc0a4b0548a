// The Linux platform layer: the inhibition is systemd-logind's lock plus the
// desktop session's own inhibitor (backends.h); processes are read from
// /proc; the watcher waits in watch.cpp.
#include "kor_platform.h"
#include "backends.h"
#include "text.h"
#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

int g_active = 0;  // 1 while the layer holds an inhibition
// What it holds. A pointer rather than a static object, so that no destructor
// at exit races a watcher thread that is releasing it.
kor_linux::holding *g_held = nullptr;

// ---------------------------------------------------------------------------
// Fork
//
// Like a record lock, an activation is not inherited by a forked child: the
// child closes its copies of the lock and of the connections (so the parent's
// release, end or exit frees the machine whatever its children do) and starts
// with no activation. Only closes and plain stores here: the child may have
// been forked while any other thread was anywhere in the library. What is
// forgotten (a few small objects) is left allocated.
void forget_after_fork() {
    if (g_held != nullptr) g_held->forget_in_child();
    g_held = nullptr;
    g_active = 0;
    kor_linux::forget_system_bus_in_child();
    kor_forget_after_fork();
}

// Registered once, when the library is loaded (it is never unloaded).
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_after_fork);

// ---------------------------------------------------------------------------
// The inhibition's description, as `systemd-inhibit --list` and the desktops
// show it

// The host's program name, which is what holds the lock as far as a person
// is concerned.
std::string host_program_name() {
    const char *name = program_invocation_short_name;
    std::string text = kor_linux::printable_text(name ? name : "");
    return text.empty() ? "unknown program" : text;
}

std::string inhibit_reason(const char *activation_name) {
    std::string reason = kor_linux::printable_text(activation_name ? activation_name : "");
    return reason.empty() ? "Keeping the system awake" : reason;
}

// ---------------------------------------------------------------------------
// /proc

std::string_view basename_of(std::string_view path) {
    // Wine shows a Windows path as the command line, so both separators count.
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The file name of the process's executable, or "" when it cannot be read
// (another user's process without privilege, a kernel thread, a zombie).
std::string executable_name(const std::string &proc_dir) {
    char target[4096];
    const ssize_t n = readlink((proc_dir + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) return "";
    std::string_view path(target, static_cast<size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.substr(path.size() - deleted.size()) == deleted)
        path.remove_suffix(deleted.size());
    return std::string(basename_of(path));
}

// The file name in the first word of the command line, or "".
std::string command_name(const std::string &proc_dir) {
    char cmdline[4096];
    if (kor_linux::read_small_file((proc_dir + "/cmdline").c_str(), cmdline, sizeof cmdline) < 0) return "";
    const std::string_view first(cmdline);
    return std::string(basename_of(first));
}

bool ends_with_exe(std::string_view name) {
    if (name.size() <= 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'x' && (tail[3] | 0x20) == 'e';
}

// Exact name, or the name followed by ".exe" in any letter case (how Windows
// programs run under Wine are named).
bool process_name_matches(std::string_view candidate, std::string_view wanted) {
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

// The name a process is found by: its executable's file name. The command
// line's first word, which any program may set to anything, counts only
// where the executable says nothing: it cannot be read (another user's
// process), or it is Wine's loader and only the command line carries the
// Windows program's name.
std::string name_of_process(const std::string &proc_dir) {
    std::string executable = executable_name(proc_dir);
    if (!executable.empty() && !is_wine_loader(executable)) return executable;
    return command_name(proc_dir);
}

std::vector<int> running_pids() {
    std::vector<int> pids;
    DIR *dir = opendir("/proc");
    if (dir == nullptr) return pids;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid <= INT32_MAX) pids.push_back(static_cast<int>(pid));
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

} // namespace

// ---------------------------------------------------------------------------
// The contract

const char *kor_plat_name() noexcept { return "linux"; }

int64_t kor_now_ms() noexcept {
    // CLOCK_BOOTTIME keeps counting while the machine is suspended, so a
    // 30-minute activation lasts 30 minutes of real time.
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int kor_plat_inhibit_on(int keep_display, const char *reason, char *mechanism, size_t capacity) noexcept {
    try {
        kor_linux::inhibit_request request;
        request.keep_display = keep_display != 0;
        request.app_id = host_program_name();
        request.reason = inhibit_reason(reason);
        auto next = std::make_unique<kor_linux::holding>();
        std::string names, failures;
        if (!next->acquire(request, names, failures)) {
            kor_set_error("%s", failures.c_str());
            return -1;
        }
        // A second call replaces what the first holds, never leaks it; the
        // new one is taken first, so there is no moment without either.
        delete g_held;
        g_held = next.release();
        g_active = 1;
        if (mechanism != nullptr && capacity > 0) std::snprintf(mechanism, capacity, "%s", names.c_str());
        return 0;
    } catch (...) {
        // The holding's destructor has given back whatever was taken.
        kor_set_error("no inhibition: out of memory");
        return -1;
    }
}

void kor_plat_inhibit_off() noexcept {
    if (!g_active) return;
    delete g_held;  // releases each holder, closes the session connection
    g_held = nullptr;
    g_active = 0;
}

int kor_plat_inhibit_held() noexcept { return g_active && g_held->still_held() ? 1 : 0; }

int kor_plat_find_process(const char *name) noexcept {
    if (name == nullptr || name[0] == '\0') return -1;
    try {
        const std::string_view wanted(name);
        for (const int pid : running_pids()) {
            const std::string dir = "/proc/" + std::to_string(pid);
            if (process_name_matches(name_of_process(dir), wanted)) return pid;
        }
    } catch (...) {
        // Out of memory while walking the list: nothing found.
    }
    return -1;
}
