// What the korvel command needs from the operating system: its arguments as
// UTF-8, stop requests (Ctrl-C, SIGTERM, SIGHUP) routed to one waiting loop,
// and a command that runs while the hold lasts. os_linux.cpp and os_win.cpp
// implement it; CMake compiles the one that fits.
#ifndef KORVEL_CLI_OS_H
#define KORVEL_CLI_OS_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korcli::os {

// The program's arguments (argv[0] included) as UTF-8.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Routes stop requests to stop_request_within() and command::wait(). Called
// first thing in main, before the library starts a thread, so that every
// thread of the process inherits the routing. Stop requests the process was
// started to ignore (nohup) stay ignored.
void route_stop_requests();

// How a command or a hold ended: the status korvel exits with, or the
// signal it dies of, and words for it.
struct command_end {
    int exit_status = 0;  // 128+N when signal N ended it
    int signal = 0;       // N when signal N ended it
    std::string how;      // "exited with status 3", "was ended by SIGTERM"
};

// Waits up to `timeout` for a stop request: the end it makes ("stopped by
// SIGINT", with its signal), or nothing when none came.
std::optional<command_end> stop_request_within(std::chrono::milliseconds timeout);

// The end of korvel, once the hold is released: it dies of `end`'s signal
// with that signal's default action (and no core file), as the command did
// or as a stop request would have ended it, so that a calling shell sees an
// interrupted job and stops its loop or script. Returns the exit status when
// there is no such signal.
int finish(const command_end &end);

// A command run as a child process. It ends the moment the child itself
// ends: processes the child started and left behind are not waited for.
class command {
public:
    command() = default;
    command(const command &) = delete;
    command &operator=(const command &) = delete;
    ~command();

    // Starts argv[0] (searched in PATH when it has no directory part) with
    // the standard streams of korvel. On failure returns false and fills
    // `end` with 127 (not found) or 126 (found, cannot run) and the reason.
    bool start(const std::vector<std::string> &argv, command_end &end);

    // Waits until the command ends. On POSIX systems SIGINT, SIGTERM and
    // SIGHUP sent to korvel are passed on to it, except those the terminal
    // sent to the whole foreground process group, which the command got
    // already. On Windows the command shares the console and receives
    // Ctrl-C itself.
    command_end wait();

private:
    intptr_t handle_ = -1;  // a pid, or a process HANDLE
};

}  // namespace korcli::os

#endif  // KORVEL_CLI_OS_H
