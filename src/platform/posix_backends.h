// The Linux layer's inhibition backends, in order of preference.
//
// systemd-logind's "block" lock stops suspend on every Linux system, but on a
// desktop the session's own power manager decides idle suspend, blanking and
// locking, and listens only to its own inhibitors. So an inhibition is the
// logind lock plus the first session service that takes ours; each holder is
// named in the mechanism text ("logind+gnome-session").
//
// Session inhibitors die with the D-Bus connection that took them: the layer
// keeps that connection open for as long as the inhibition lasts and closes it
// after the release, which also ends whatever a service that did not answer
// the release still holds.
#ifndef KOR_POSIX_BACKENDS_H
#define KOR_POSIX_BACKENDS_H

#include "posix_bus.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kor_posix {

// What every service is told. Neither text is empty: some services refuse
// empty ones.
struct inhibit_request {
    bool keep_display = false;
    std::string app_id;  // the host program's name
    std::string reason;  // the activation's name, or a default sentence
};

// What a backend needs to give back what it took.
struct held_token {
    int fd = -1;          // logind: the lock lives as long as this fd
    uint32_t cookie = 0;  // 0 is a valid cookie (xssproxy counts from 0)
    std::string path;     // the object the cookie belongs to, or the portal's request
};

enum class backend_scope {
    system_lock,  // always taken, on a bus of its own
    session,      // the first that succeeds, on the kept session connection
};

struct backend {
    const char *name;  // as it appears in the mechanism text
    backend_scope scope;
    // False when the backend has nothing to offer for this request (it is
    // then neither tried nor named in a failure message).
    bool (*applies)(const inhibit_request &request);
    // Takes the inhibition: true with `token` filled, or false with `why` set
    // to a short reason. `session` is null for system_lock backends.
    bool (*acquire)(sd_bus *session, const deadline &limit, const inhibit_request &request,
                    held_token &token, std::string &why);
    // Gives it back; failures are ignored (closing the connection ends a
    // session inhibitor anyway).
    void (*release)(sd_bus *session, held_token &token);
};

// The table, in order of preference; ends with a null name.
extern const backend kBackends[];

// The backends' functions (posix_logind.cpp, posix_session.cpp).
bool logind_acquire(sd_bus *, const deadline &, const inhibit_request &, held_token &, std::string &why);
void logind_release(sd_bus *, held_token &);
bool gnome_acquire(sd_bus *, const deadline &, const inhibit_request &, held_token &, std::string &why);
void gnome_release(sd_bus *, held_token &);
bool screensaver_acquire(sd_bus *, const deadline &, const inhibit_request &, held_token &, std::string &why);
void screensaver_release(sd_bus *, held_token &);
bool power_management_acquire(sd_bus *, const deadline &, const inhibit_request &, held_token &,
                              std::string &why);
void power_management_release(sd_bus *, held_token &);
bool portal_acquire(sd_bus *, const deadline &, const inhibit_request &, held_token &, std::string &why);
void portal_release(sd_bus *, held_token &);
bool in_flatpak_sandbox();

// Everything one inhibition holds. Destroying it releases what it holds, so a
// half-taken inhibition is never leaked.
class holding {
public:
    holding() = default;
    holding(const holding &) = delete;
    holding &operator=(const holding &) = delete;
    ~holding() { release(); }

    // Takes what the table offers for `request`. True when at least one
    // backend holds; `names` lists the holders joined by '+'. Otherwise
    // false, with `failures` naming each backend tried and why it failed.
    bool acquire(const inhibit_request &request, std::string &names, std::string &failures);
    void release();

private:
    struct taken {
        const backend *which;
        held_token token;
    };
    std::vector<taken> taken_;  // in the order taken
    bus_ptr session_;
};

// Inside a Flatpak sandbox only the portal is reachable. Tests point the
// check at a file of their own; null restores "/.flatpak-info".
void set_sandbox_marker_for_tests(const char *path);

} // namespace kor_posix

#endif // KOR_POSIX_BACKENDS_H
