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
    if (session_) session_fd_ = fd_identity::of(sd_bus_get_fd(session_.get()));

    if (sent) logind_fd_ = owned_fd(logind.collect(limit, logind_why));
    if (logind_fd_.valid()) names = "logind";
    else append_failure(failures, "logind", logind_why);
    if (session_hold_.name != nullptr) names += (names.empty() ? "" : "+") + std::string(session_hold_.name);
    else failures += "; " + session_failures;
    return !names.empty();
}

void holding::release() {
    if (session_ && !session_fd_.still_open()) {
        // The host closed the connection's socket and may own its number by
        // now: sd-bus must not close it again. The service has already
        // dropped the inhibitor with the connection.
        abandon_connection(session_.release());
    }
    // The session connection closes after its inhibitor is released, which
    // also ends anything left on it.
    if (session_) session_release(session_.get(), session_hold_);
    session_.reset();
    session_hold_ = session_hold{};
    session_fd_ = fd_identity{};
    logind_fd_.reset();
}

bool holding::still_held() const {
    if (logind_fd_.valid() && !logind_fd_.still_ours()) return false;
    return !session_ || session_fd_.still_open();
}

void holding::forget_in_child() {
    logind_fd_.reset();
    session_fd_.close_if_same();
    session_.release();  // the parent's connection: sd-bus must not act on it here
    session_hold_ = session_hold{};
    session_fd_ = fd_identity{};
}

} // namespace kor_linux
