// The session services that take an activation's inhibitor, as rows of one
// table: what each received (app id, reason, flags) and that every way an
// activation ends takes it away again. GNOME's session manager and
// xscreensaver-systemd are the real ones; PowerManagement's release side and
// the portal are the stand-ins of fake_desktop.py (see there why).
#include "desktop_session.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

using desktest::inhibition;
using desktest::session;

// When the library asks it (docs/linux.md, "Desktop sessions").
enum class asked { always, with_keep_display, inside_sandbox };
// What of ours it is handed beside the reason: the portal learns the app
// from the sandbox, and only GNOME and the portal take flags (4, or 12 with
// keep_display).
enum : unsigned { kAppId = 1, kFlags = 2 };

struct service {
    const char *name;
    const char *mechanism;
    const char *bus_name;
    asked when;
    unsigned receives;
    // How long after kor_on returns its holds may take to show: zero where
    // the reply to the call already means they changed. (kor_off waits for
    // no service: its end is awaited.)
    std::chrono::milliseconds shows_within;
    std::string (*start)(session &);  // "" once it answers, or why not
    // Everything it holds: only this test's process uses the private bus.
    std::vector<inhibition> (*holds)(session &);
    // Where the service also answers the desktop's own question, whether it
    // reports exactly `flags` (0: nothing) as inhibited; null elsewhere.
    bool (*reports)(session &, uint32_t flags);
};

void PrintTo(const service &s, std::ostream *out) { *out << s.name; }

bool gnome_reports(session &s, uint32_t flags) {
    const uint32_t inhibited = (desktest::gnome_is_inhibited(s.bus(), 4) ? 4u : 0u) |
                               (desktest::gnome_is_inhibited(s.bus(), 8) ? 8u : 0u);
    return inhibited == flags;
}

std::string start_xscreensaver_systemd(session &s) {
    const std::string binary = "/usr/libexec/xscreensaver/xscreensaver-systemd";
    if (!desktest::installed(binary)) return binary + " is not installed (package xscreensaver)";
    const std::string no_x = s.start_x();
    if (!no_x.empty()) return no_x;
    s.start("xss", {binary, "--verbose"});
    if (!s.wait_for_name("org.freedesktop.ScreenSaver")) return "xscreensaver-systemd did not start: " + s.log("xss");
    return "";
}

// The text between `opening` (which ends in a quote) and the next quote.
bool quoted_after(const std::string &line, const std::string &opening, std::string &text) {
    const size_t from = line.find(opening);
    if (from == std::string::npos) return false;
    const size_t begin = from + opening.size();
    text = line.substr(begin, line.find('"', begin) - begin);
    return true;
}

// From its log: `inhibited by "APP" (...) with "REASON"` for a hold (other
// lines say "inhibited by" too), and `uninhibited by "APP"` or `... for
// inhibiting app "APP" has died` for its end.
std::vector<inhibition> xscreensaver_holds(session &s) {
    std::vector<inhibition> held;
    std::istringstream log(s.log("xss"));
    for (std::string line, app, reason; std::getline(log, line);) {
        if (quoted_after(line, "uninhibited by \"", app) || quoted_after(line, "for inhibiting app \"", app)) {
            const auto last = std::find_if(held.rbegin(), held.rend(),
                                           [&](const inhibition &h) { return h.app == app; });
            if (last != held.rend()) held.erase(std::next(last).base());
        } else if (quoted_after(line, " inhibited by \"", app) && quoted_after(line, " with \"", reason)) {
            held.push_back({"screensaver", app, reason, 0});
        }
    }
    return held;
}

// Also the fixture of GNOME's own quirk, below.
const service kGnomeSession = {"GnomeSession",
                               "logind+gnome-session",
                               "org.gnome.SessionManager",
                               asked::always,
                               kAppId | kFlags,
                               0ms,
                               [](session &s) { return s.start_gnome_session(); },
                               [](session &s) { return desktest::gnome_inhibitors(s.bus()); },
                               gnome_reports};

const service kServices[] = {
    kGnomeSession,
    {"XScreensaverSystemd", "logind+screensaver", "org.freedesktop.ScreenSaver", asked::with_keep_display, kAppId, 5s,
     start_xscreensaver_systemd, xscreensaver_holds, nullptr},
    {"PowerManagementStandIn", "logind+power-management", "org.freedesktop.PowerManagement", asked::always, kAppId, 0ms,
     [](session &s) { return s.start_fake({"power-management"}); },
     [](session &s) { return desktest::fake_holds(s.bus(), "power-management"); },
     [](session &s, uint32_t flags) { return desktest::power_has_inhibit(s.bus()) == (flags != 0); }},
    {"PortalStandIn", "logind+portal", "org.freedesktop.portal.Desktop", asked::inside_sandbox, kFlags, 0ms,
     [](session &s) { return s.start_fake({"portal"}); },
     [](session &s) { return desktest::fake_holds(s.bus(), "portal"); }, nullptr},
};

// One service started on the test's private session bus, beside logind.
class ServiceTest : public ::testing::Test {
protected:
    explicit ServiceTest(const service &s) : service_(s) {}
    void SetUp() override {
        KORTEST_NEED_LOGIND();  // gnome-session and xscreensaver-systemd die without it
        DESKTEST_NEED_SESSION(session_);
        if (service_.when == asked::inside_sandbox) sandbox_.emplace(session_.dir());
        DESKTEST_START(service_.start(session_));
    }
    void TearDown() override { kor_off(); }

    std::vector<inhibition> holds() { return service_.holds(session_); }
    bool reports(uint32_t flags) { return service_.reports == nullptr || service_.reports(session_, flags); }
    // Polls for `holds().size() == count` within the service's delay.
    bool holds_settle_at(size_t count) {
        return kortest::eventually([&] { return holds().size() == count; }, service_.shows_within);
    }
    bool holds_end() {
        return kortest::eventually([&] { return holds().empty(); }, 10s);
    }

    const service &service_;
    session session_;
    std::optional<desktest::pretend_sandbox> sandbox_;
};

class SessionService : public ServiceTest, public ::testing::WithParamInterface<service> {
protected:
    SessionService() : ServiceTest(GetParam()) {}
};

TEST_P(SessionService, CarriesAppIdReasonAndFlags) {
    const struct {
        const char *what_case;
        const char *options;
        const char *reason;  // null: any non-empty text
        bool keep_display;
    } cases[] = {
        {"suspend only", R"({"name":"Nightly backup"})", "Nightly backup", false},
        {"display too", R"({"name":"Slides","keep_display":true})", "Slides", true},
        {"no name", R"({"keep_display":1})", nullptr, true},
        {"empty name", R"({"name":"","keep_display":true})", nullptr, true},
        {"non-ASCII name", "{\"name\":\"Sauvegarde \xC3\xA9t\xC3\xA9\"}", "Sauvegarde \xC3\xA9t\xC3\xA9", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what_case);
        ASSERT_EQ(desktest::turn_on(c.options), "");
        if (service_.when == asked::with_keep_display && !c.keep_display) {
            EXPECT_EQ(desktest::status_mechanism(), "logind");
            EXPECT_FALSE(kortest::eventually([&] { return !holds().empty(); }, 300ms)) << "asked all the same";
            kor_off();
            continue;
        }
        EXPECT_EQ(desktest::status_mechanism(), service_.mechanism);
        ASSERT_TRUE(holds_settle_at(1)) << holds().size() << " holds";
        const inhibition held = holds()[0];
        if (service_.receives & kAppId) {
            EXPECT_EQ(held.app, desktest::our_app_id());
        }
        if (c.reason) EXPECT_EQ(held.reason, c.reason);
        else EXPECT_FALSE(held.reason.empty());
        const uint32_t flags = c.keep_display ? 12 : 4;
        if (service_.receives & kFlags) {
            EXPECT_EQ(held.flags, flags);
        }
        EXPECT_TRUE(reports(flags));

        kor_off();
        EXPECT_TRUE(holds_end()) << "still held after kor_off";
        EXPECT_TRUE(kortest::eventually([&] { return reports(0); }, 10s));
    }
}

TEST_P(SessionService, EveryEndingReleases) {
    desktest::expect_every_ending_releases([&] { return holds().size() == 1 && reports(12); }, service_.mechanism,
                                           "\"keep_display\":true");
}

// kor_off waits for no service: one that has stopped answering costs it
// nothing, and lets go once it goes on (closing the connection ends ours).
TEST_P(SessionService, KorOffWaitsForNoService) {
    const pid_t owner = session_.owner_pid(service_.bus_name);  // opens the test's own connection
    ASSERT_GT(owner, 0);
    ASSERT_EQ(desktest::turn_on(R"({"name":"Opens the system bus for good"})"), "");
    kor_off();
    const size_t fds = kortest::open_fd_count(), threads = kortest::thread_count();
    ASSERT_EQ(desktest::turn_on(R"({"name":"Stopped","keep_display":true})"), "");
    ASSERT_EQ(desktest::status_mechanism(), service_.mechanism);
    ASSERT_TRUE(kortest::eventually([&] { return !holds().empty(); }, 10s));
    kill(owner, SIGSTOP);
    const int64_t start = kortest::now_ms();
    kor_off();
    const int64_t took = kortest::now_ms() - start;
    kill(owner, SIGCONT);
    EXPECT_LT(took, 450);
    EXPECT_TRUE(holds_end()) << "still held after kor_off";
    // The session connection and the thread that followed its services are
    // gone with the activation.
    EXPECT_EQ(kortest::open_fd_count(), fds);
    EXPECT_EQ(kortest::thread_count(), threads);
}

// A service that comes after kor_on, and one that exits and comes back, is
// asked at once, whether anyone asks for the status or not; one that exits
// takes our inhibitor with it and is named no more.
TEST_P(SessionService, ServicesThatComeAndGoAreFollowed) {
    const pid_t first = session_.owner_pid(service_.bus_name);
    ASSERT_GT(first, 0);
    kill(first, SIGKILL);
    ASSERT_TRUE(kortest::eventually([&] { return session_.owner_pid(service_.bus_name) == 0; }, 10s));
    ASSERT_EQ(desktest::turn_on(R"({"name":"Follow me","keep_display":true})"), "");
    ASSERT_EQ(desktest::status_mechanism(), "logind");
    for (const char *when : {"comes after kor_on", "comes back"}) {
        SCOPED_TRACE(when);
        const size_t before = holds().size();  // a killed xscreensaver's log still lists ours
        DESKTEST_START(service_.start(session_));
        EXPECT_TRUE(kortest::eventually([&] { return holds().size() > before; }, 10s)) << "not asked";
        EXPECT_EQ(desktest::status_mechanism(), service_.mechanism);
        const pid_t owner = session_.owner_pid(service_.bus_name);
        ASSERT_GT(owner, 0);
        kill(owner, SIGKILL);
        EXPECT_TRUE(kortest::eventually([] { return desktest::status_mechanism() == "logind"; }, 10s))
            << desktest::status_mechanism();
    }
}

INSTANTIATE_TEST_SUITE_P(Desktop, SessionService, ::testing::ValuesIn(kServices),
                         [](const ::testing::TestParamInfo<service> &row) { return std::string(row.param.name); });

// A new activation replaces the old one's inhibitor instead of adding one.
class GnomeSession : public ServiceTest {
protected:
    GnomeSession() : ServiceTest(kGnomeSession) {}
};

TEST_F(GnomeSession, ReplacingKeepsOneInhibitor) {
    ASSERT_EQ(desktest::turn_on(R"({"name":"First"})"), "");
    ASSERT_EQ(desktest::turn_on(R"({"name":"Second","keep_display":true})"), "");
    const auto held = holds();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].reason, "Second");
    EXPECT_EQ(held[0].flags, 12u);
}

// A host whose threads take signals, with handlers that do not restart what
// they interrupt: no wait of the library on either bus is cut short, with
// logind and without.
TEST_F(GnomeSession, SignalsCutNoCallShort) {
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &saved), 0);
    const pthread_t caller = pthread_self();
    std::atomic<bool> stop{false};
    std::thread signaller([&] {
        while (!stop) {
            pthread_kill(caller, SIGUSR1);
            std::this_thread::sleep_for(1ms);
        }
    });
    // Without logind first: the library keeps the system bus it found.
    const struct {
        const char *system_bus;  // null: logind's
        const char *mechanism;
    } cases[] = {{"unix:path=/nonexistent/korvel", "gnome-session"}, {nullptr, "logind+gnome-session"}};
    const std::string logind_bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS") ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : "";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mechanism);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", c.system_bus ? c.system_bus : logind_bus.c_str(), 1);
        std::map<std::string, int> outcomes;
        for (int i = 0; i < 40; ++i) {
            ++outcomes[kor_on(R"({"keep_display":true})") ? desktest::status_mechanism() : kor_last_error()];
        }
        EXPECT_EQ(outcomes, (std::map<std::string, int>{{c.mechanism, 40}}));
    }
    stop = true;
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", logind_bus.c_str(), 1);
}

}  // namespace
