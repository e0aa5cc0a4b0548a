#include "posix_backends.h"

namespace kor_posix {

namespace {

// Everything on the session bus together, connection included, costs at most
// this when its services hang; a missing service fails at once.
constexpr uint64_t kSessionBudgetUsec = 3u * 1000u * 1000u;

bool always(const inhibit_request &) { return true; }
// The ScreenSaver inhibitor keeps the screen on and the session unlocked; it
// says nothing about suspend, which the rest of the table covers.
bool display_wanted(const inhibit_request &request) { return request.keep_display; }
// Outside a sandbox the portal hands back a request even when nothing honours
// it, so it would claim a hold that does not exist.
bool sandboxed(const inhibit_request &) { return in_flatpak_sandbox(); }

void append_failure(std::string &failures, const std::string &name, const std::string &why) {
    if (!failures.empty()) failures += "; ";
    failures += name + ": " + why;
}

} // namespace

const backend kBackends[] = {
    {"logind", backend_scope::system_lock, always, logind_acquire, logind_release},
    {"gnome-session", backend_scope::session, always, gnome_acquire, gnome_release},
    {"screensaver", backend_scope::session, display_wanted, screensaver_acquire, screensaver_release},
    {"power-management", backend_scope::session, always, power_management_acquire, power_management_release},
    {"portal", backend_scope::session, sandboxed, portal_acquire, portal_release},
    {nullptr, backend_scope::session, nullptr, nullptr, nullptr},
};

bool holding::acquire(const inhibit_request &request, std::string &names, std::string &failures) {
    release();
    // Room for every backend now, so that recording a hold cannot fail
    // after the hold was taken.
    taken_.reserve(sizeof kBackends / sizeof kBackends[0]);
    names.clear();
    failures.clear();
    deadline limit(kSessionBudgetUsec);
    bool session_held = false;
    bool session_tried = false;
    for (const backend *b = kBackends; b->name != nullptr; ++b) {
        if (!b->applies(request)) continue;
        held_token token;
        std::string why;
        if (b->scope == backend_scope::system_lock) {
            if (!b->acquire(nullptr, limit, request, token, why)) {
                append_failure(failures, b->name, why);
                continue;
            }
        } else {
            if (session_held) continue;
            if (!session_tried) {
                session_tried = true;
                // The session's budget starts now, whatever logind took.
                limit = deadline(kSessionBudgetUsec);
                session_ = open_session_bus(limit, why);
                if (!session_) {
                    append_failure(failures, "session bus", why);
                    continue;
                }
            }
            if (!session_) continue;
            if (!b->acquire(session_.get(), limit, request, token, why)) {
                append_failure(failures, b->name, why);
                continue;
            }
            session_held = true;
        }
        taken_.push_back(taken{b, std::move(token)});
        if (!names.empty()) names += '+';
        names += b->name;
    }
    // A connection that holds nothing is closed now: whatever a service that
    // answered too late took on it ends with it.
    if (!session_held) session_.reset();
    return !taken_.empty();
}

void holding::release() {
    // Last taken, first given back; the session connection closes after its
    // inhibitor is released, which also ends anything left on it.
    for (auto it = taken_.rbegin(); it != taken_.rend(); ++it) it->which->release(session_.get(), it->token);
    taken_.clear();
    session_.reset();
}

} // namespace kor_posix
