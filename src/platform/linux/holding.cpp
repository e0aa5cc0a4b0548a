#include "holding.h"

#include "text.h"

namespace kor_linux {

namespace {

// logind answers in a millisecond; one that takes seconds is hung.
constexpr uint64_t kLogindBudgetUsec = 2u * 1000u * 1000u;
// The session side's own budget, for its bus and every service together:
// logind's and this one make the most one kor_on waits, about 3 s.
constexpr uint64_t kSessionBudgetUsec = 1000u * 1000u;

}  // namespace

bool holding::acquire(const inhibit_request &request, std::string &names, std::string &failures) {
    release();
    names.clear();
    failures.clear();

    std::string why;
    if (!logind_acquire(request, deadline(kLogindBudgetUsec), logind_, why)) append_failure(failures, "logind", why);

    std::string session_failures;
    session_ = std::make_unique<session_side>();
    desktop_ = session_->acquire(request, deadline(kSessionBudgetUsec), session_failures);
    if (desktop_ == nullptr) failures += "; " + session_failures;
    if (!session_->connected()) session_.reset();

    names = this->names();
    if (names.empty()) return false;
    if (session_) session_->start_following();
    return true;
}

std::string holding::names() const {
    std::string names = logind_.held() ? "logind" : "";
    if (desktop_ != nullptr) names += (names.empty() ? "" : "+") + std::string(desktop_);
    return names;
}

void holding::release() {
    session_.reset();  // releases what the session side holds, without waiting for it
    desktop_ = nullptr;
    logind_.reset();
}

// One fstat a descriptor, every call: a status that claimed a lock the host
// has just closed would claim what is not held.
bool holding::descriptors_still_ours() {
    if (!logind_.still_ours()) return false;
    if (session_) session_->socket_still_ours();  // a closed socket ends the session's hold, not logind's
    return true;
}

bool holding::refresh(bool &changed) {
    if (!descriptors_still_ours()) return false;
    const char *desktop = session_ ? session_->holder() : nullptr;
    if (desktop != desktop_) {
        desktop_ = desktop;
        changed = true;
    }
    return logind_.held() || desktop_ != nullptr;
}

void holding::forget_in_child() {
    logind_.reset();
    if (session_) session_->forget_in_child();
}

}  // namespace kor_linux
