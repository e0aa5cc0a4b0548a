#include "backends.h"

#include <unistd.h>

namespace kor_linux {

namespace {

// One kor_on waits at most this for everything on both buses together:
// logind's answer is collected after the session's services were asked, so
// buses that both hang cost this once. A missing service fails at once.
constexpr uint64_t kBudgetUsec = 3u * 1000u * 1000u;

} // namespace

bool holding::acquire(const inhibit_request &request, std::string &names, std::string &failures) {
    release();
    names.clear();
    failures.clear();
    const deadline limit(kBudgetUsec);

    logind_inhibit logind;
    std::string logind_why;
    const bool sent = logind.send(request, limit, logind_why);

    std::string session_failures, why;
    session_ = open_session_bus(limit, why);
    if (!session_) append_failure(session_failures, "session bus", why);
    else if (!session_acquire(session_.get(), limit, request, session_hold_, session_failures))
        session_.reset();  // holds nothing: whatever a late answer took on it ends with it

    if (sent) logind_fd_ = logind.collect(limit, logind_why);
    if (logind_fd_ >= 0) names = "logind";
    else append_failure(failures, "logind", logind_why);
    if (session_hold_.name != nullptr) names += (names.empty() ? "" : "+") + std::string(session_hold_.name);
    else failures += "; " + session_failures;
    return !names.empty();
}

void holding::release() {
    // The session connection closes after its inhibitor is released, which
    // also ends anything left on it.
    if (session_) session_release(session_.get(), session_hold_);
    session_.reset();
    session_hold_ = session_hold{};
    if (logind_fd_ >= 0) close(logind_fd_);
    logind_fd_ = -1;
}

} // namespace kor_linux
