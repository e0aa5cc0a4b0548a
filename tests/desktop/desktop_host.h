// Driving the library the way a host does, for the desktop tests: activations,
// the mechanism the status reports, and a host process that gets killed.
#ifndef KORVEL_DESKTOP_HOST_H
#define KORVEL_DESKTOP_HOST_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace desktest {

// The "mechanism" of kor_status.
std::string status_mechanism();

// kor_on; "" on success, otherwise kor_last_error().
std::string turn_on(const std::string &options);

// A copy of this test process that calls kor_on(options) and then waits to
// be killed; killed (SIGKILL) and reaped when destroyed.
class forked_host {
public:
    explicit forked_host(const std::string &options);
    ~forked_host();
    forked_host(const forked_host &) = delete;
    forked_host &operator=(const forked_host &) = delete;
    // "on <mechanism>" or "refused <message>".
    const std::string &outcome() const { return outcome_; }
    pid_t pid() const { return pid_; }
    void kill_now();

private:
    pid_t pid_ = -1;
    std::string outcome_;
};

// Every way an activation ends must take the service's inhibitor away: kor_off,
// the timed end, the exit of the watched process, and the host being killed.
// `held` observes the service; `mechanism` is what the status must report.
// `options_extra` is added to every options object (e.g. "\"keep_display\":true").
void expect_every_ending_releases(const std::function<bool()> &held, const std::string &mechanism,
                                  const std::string &options_extra = "");

}  // namespace desktest

#endif  // KORVEL_DESKTOP_HOST_H
