// The hold korvel asks the library for: what the command line requests, the
// options text kor_on reads, and the status while the hold lasts.
#ifndef KORVEL_CLI_HOLD_H
#define KORVEL_CLI_HOLD_H

#include <cstdint>
#include <string>

namespace korcli {

enum class hold_kind { until_stopped, timed, while_pid, while_process, while_command };

struct request {
    hold_kind kind = hold_kind::until_stopped;
    double minutes = 0;    // timed, when `seconds` is negative
    int64_t seconds = -1;  // timed
    int64_t pid = 0;       // while_pid
    std::string process;   // while_process: the executable's file name
    std::string name;      // what systemd-inhibit --list and the desktop show
    bool display = false;  // keep the display on as well
};

// What kor_status reports, as far as korvel uses it.
struct status {
    bool readable = false;  // false when kor_status failed
    bool active = false;
    int64_t remaining_s = 0;
    int64_t pid = 0;
    std::string mechanism;
};

// The kor_on options for a request. A command is held with an indefinite
// activation that korvel ends the moment the command ends: the library
// watches processes only every 500 ms.
std::string options_json(const request &req);

// `text` with every byte that is not part of a well-formed UTF-8 character
// replaced by U+FFFD: the library reads strict JSON, and a file name in a
// legacy encoding would otherwise make it refuse the whole request.
std::string valid_utf8(const std::string &text);

// The library's activation for this process, ended when destroyed.
class hold {
public:
    hold() = default;
    ~hold() { release(); }
    hold(const hold &) = delete;
    hold &operator=(const hold &) = delete;

    // Takes it. On refusal returns false, with the library's one-line message
    // (every mechanism tried and why it failed) in refusal().
    bool start(const request &req);
    const std::string &refusal() const { return refusal_; }
    status current() const;
    void release();

private:
    bool held_ = false;
    std::string refusal_;
};

}  // namespace korcli

#endif  // KORVEL_CLI_HOLD_H
