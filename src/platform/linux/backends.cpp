#include "backends.h"

#include <unistd.h>

namespace kor_linux {

namespace {

// One kor_on waits at most this for everything on both buses together:
// logind's answer is collected after the session's services were asked, so
// buses that both hang cost this once. A missing service fails at once.
constexpr uint64_t kBudgetUsec = 3u * 1000u * 1000u;
// Asking a service again runs inside kor_status, so it waits less.
constexpr uint64_t kRetakeBudgetUsec = 1000u * 1000u;

// Whether a change lost the hold (its owner let go of the name), and whether
// a service name gained an owner that may be asked.
struct name_news {
    bool hold_lost = false;
    bool name_taken = false;
};

name_news read_name_events(name_events &events, const session_hold &hold) {
    name_news news;
    news.hold_lost = news.name_taken = events.missed;
    for (const auto &c : events.changes) {
        if (hold.name != nullptr && c.old_owner == hold.owner) news.hold_lost = true;
        if (!c.new_owner.empty()) news.name_taken = true;
    }
    events.changes.clear();
    events.missed = false;
    return news;
}

}  // namespace

bool holding::acquire(const inhibit_request &request, std::string &names, std::string &failures) {
    release();
    names.clear();
    failures.clear();
    request_ = request;
    const deadline limit(kBudgetUsec);

    logind_inhibit logind;
    std::string logind_why;
    const bool sent = logind.send(request, limit, logind_why);

    std::string session_failures, why;
    session_ = open_session_bus(limit, why);
    if (!session_) {
        append_failure(session_failures, "session bus", why);
    } else {
        session_watch_names(session_.get(), request, name_events_);
        if (!session_acquire(session_.get(), limit, request, session_hold_, session_failures))
            session_.reset();  // holds nothing: whatever a late answer took on it ends with it
    }
    if (session_) session_fd_ = fd_identity::of(sd_bus_get_fd(session_.get()));

    if (sent) logind_fd_ = owned_fd(logind.collect(limit, logind_why));
    if (!logind_fd_.valid()) append_failure(failures, "logind", logind_why);
    if (session_hold_.name == nullptr) failures += "; " + session_failures;
    names = this->names();
    return !names.empty();
}

std::string holding::names() const {
    std::string names = logind_fd_.valid() ? "logind" : "";
    if (session_hold_.name != nullptr) names += (names.empty() ? "" : "+") + std::string(session_hold_.name);
    return names;
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
    name_events_ = name_events{};
    logind_fd_.reset();
}

bool holding::refresh(bool &changed) {
    if (logind_fd_.valid() && !logind_fd_.still_ours()) return false;
    if (session_ && !session_fd_.still_open()) return false;
    if (session_) follow_session_services(changed);
    return logind_fd_.valid() || session_hold_.name != nullptr;
}

void holding::follow_session_services(bool &changed) {
    if (drain(session_.get()) < 0) {
        // The session bus itself has gone, and every inhibitor with it.
        changed = changed || session_hold_.name != nullptr;
        session_.reset();
        session_hold_ = session_hold{};
        session_fd_ = fd_identity{};
        return;
    }
    const name_news news = read_name_events(name_events_, session_hold_);
    if (news.hold_lost) {
        session_hold_ = session_hold{};  // gone with its owner: there is nothing to release
        changed = true;
    }
    if (session_hold_.name == nullptr && news.name_taken) {
        std::string failures;
        if (session_acquire(session_.get(), deadline(kRetakeBudgetUsec), request_, session_hold_, failures))
            changed = true;
    }
}

void holding::forget_in_child() {
    logind_fd_.reset();
    session_fd_.close_if_same();
    session_.release();  // the parent's connection: sd-bus must not act on it here
    session_hold_ = session_hold{};
    session_fd_ = fd_identity{};
}

}  // namespace kor_linux
