// Small /proc helpers shared by the platform tests.
#ifndef KORVEL_LINUX_PROC_HELPERS_H
#define KORVEL_LINUX_PROC_HELPERS_H

#include "test_support.h"

#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>

namespace linuxtest {

// The first word of /proc/PID/cmdline, "" when unreadable or empty.
inline std::string first_cmdline_word(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.substr(0, text.find('\0'));
}

// Between fork and exec a child still carries the test program's name, so a
// lookup must wait until the child shows the argv[0] it was given.
inline bool wait_until_exec(pid_t pid, const std::string &argv0) {
    return kortest::eventually([&] { return first_cmdline_word(pid) == argv0; }, std::chrono::seconds(10));
}

// The kernel's name for the process (/proc/PID/comm), "" when unreadable.
inline std::string command_name(pid_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return name;
}

// Waits until the child has exec'd the program the kernel names `comm`.
inline bool wait_until_comm(pid_t pid, const std::string &comm) {
    return kortest::eventually([&] { return command_name(pid) == comm; }, std::chrono::seconds(10));
}

// Waits for the child to exit but leaves it unreaped (a zombie).
inline bool wait_zombie(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
}

}  // namespace linuxtest

#endif  // KORVEL_LINUX_PROC_HELPERS_H
