// Which session service holds when several, one or none are there, and what
// the host is told when nothing holds. Stand-in services (fake_desktop.py)
// make every combination cheap and deterministic.
#include "desktop_session.h"

#include <cstdlib>

using namespace std::chrono_literals;

namespace {

// Points this process at a system bus that does not exist, so that logind
// fails and the session services alone decide.
void without_logind(const desktest::session &s) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + s.dir() + "/no_system_bus").c_str(), 1);
}

TEST(Fallback, FirstServiceThatIsThereHolds) {
    KORTEST_NEED_LOGIND();
    const struct {
        std::vector<std::string> roles;
        bool keep_display;
        const char *mechanism;
        const char *holder;  // the one fake role that must hold, or null
    } cases[] = {
        {{"gnome", "screensaver", "power-management"}, false, "logind+gnome-session", "gnome"},
        {{"gnome", "screensaver", "power-management"}, true, "logind+gnome-session", "gnome"},
        {{"screensaver", "power-management"}, true, "logind+screensaver", "screensaver"},
        {{"screensaver", "power-management"}, false, "logind+power-management", "power-management"},
        {{"screensaver"}, false, "logind", nullptr},
        // Outside a sandbox the portal answers without anything honouring it.
        {{"portal"}, true, "logind", nullptr},
        {{"power-management", "portal"}, true, "logind+power-management", "power-management"},
    };
    for (const auto &c : cases) {
        std::string label;
        for (const auto &r : c.roles) label += r + " ";
        SCOPED_TRACE(label + (c.keep_display ? "keep_display" : "system only"));
        desktest::session s;
        DESKTEST_NEED_SESSION(s);
        DESKTEST_START(s.start_fake(c.roles));
        ASSERT_EQ(desktest::turn_on(c.keep_display ? R"({"keep_display":true})" : "{}"), "");
        EXPECT_EQ(desktest::status_mechanism(), c.mechanism);
        const auto holds = desktest::fake_holds(s.bus());
        if (c.holder == nullptr) {
            EXPECT_TRUE(holds.empty());
        } else {
            ASSERT_EQ(holds.size(), 1u) << "one session service, never more";
            EXPECT_EQ(holds[0].role, c.holder);
            if (holds[0].role == "gnome") {
                EXPECT_EQ(holds[0].flags, c.keep_display ? 12u : 4u);
            }
        }
        kor_off();
        EXPECT_TRUE(kortest::eventually([&] { return desktest::fake_holds(s.bus()).empty(); }, 10s));
    }
}

// A service that owns its name but never answers costs seconds, not the
// activation: the next one holds.
TEST(Fallback, HungServiceIsPassedOver) {
    desktest::session s;
    DESKTEST_NEED_SESSION(s);
    DESKTEST_START(s.start_fake({"gnome-hung", "power-management"}));
    without_logind(s);
    const int64_t start = kortest::now_ms();
    ASSERT_EQ(desktest::turn_on("{}"), "");
    EXPECT_LT(kortest::now_ms() - start, 15000);
    EXPECT_EQ(desktest::status_mechanism(), "power-management");
    kor_off();
}

// Holding through the session alone is success: a desktop without a
// reachable logind (a container, a sandbox) still stays awake.
TEST(Fallback, SessionServiceAloneIsEnough) {
    desktest::session s;
    DESKTEST_NEED_SESSION(s);
    DESKTEST_START(s.start_fake({"power-management"}));
    without_logind(s);
    ASSERT_EQ(desktest::turn_on(R"({"name":"Alone"})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "power-management");
    ASSERT_EQ(desktest::fake_holds(s.bus()).size(), 1u);
    kor_off();
    EXPECT_TRUE(kortest::eventually([&] { return desktest::fake_holds(s.bus()).empty(); }, 10s));
}

// A holder's connection that gives up another name it owns goes on holding:
// only the name it holds by counts. Once it gives that one up too, it is
// forgotten (and the services are asked anew, in vain here).
TEST(Fallback, HolderIsFollowedByItsOwnNameOnly) {
    KORTEST_NEED_LOGIND();
    desktest::session s;
    DESKTEST_NEED_SESSION(s);
    DESKTEST_START(s.start_fake({"screensaver", "power-management"}));
    ASSERT_EQ(desktest::turn_on(R"({"keep_display":true})"), "");
    ASSERT_EQ(desktest::status_mechanism(), "logind+screensaver");
    ASSERT_TRUE(desktest::fake_release_name(s.bus(), "org.freedesktop.PowerManagement"));
    EXPECT_EQ(desktest::status_mechanism(), "logind+screensaver");
    ASSERT_TRUE(desktest::fake_release_name(s.bus(), "org.freedesktop.ScreenSaver"));
    EXPECT_TRUE(kortest::eventually([] { return desktest::status_mechanism() == "logind"; }, 10s));
    EXPECT_EQ(desktest::fake_holds(s.bus()).size(), 1u) << "asked again while it held";
    kor_off();
}

// When nothing holds, one line names every mechanism tried and why it failed,
// logind first.
TEST(Fallback, RefusalNamesEveryMechanismTried) {
    desktest::session s;
    DESKTEST_NEED_SESSION(s);
    without_logind(s);
    const struct {
        const char *options;
        std::vector<std::string> named, not_named;
    } cases[] = {
        {"{}", {"gnome-session: not running", "power-management: not running"}, {"screensaver", "portal"}},
        {R"({"keep_display":true})",
         {"gnome-session: not running", "screensaver: not running", "power-management: not running"},
         {"portal"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        const std::string error = desktest::turn_on(c.options);
        ASSERT_EQ(error.rfind("refused: logind: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        for (const auto &n : c.named) EXPECT_NE(error.find(n), std::string::npos) << n << " in " << error;
        for (const auto &n : c.not_named) EXPECT_EQ(error.find(n), std::string::npos) << n << " in " << error;
        EXPECT_EQ(desktest::status_mechanism(), "none");
    }
    // No session bus at all: said once, not once per service.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + s.dir() + "/no_session_bus").c_str(), 1);
    const std::string error = desktest::turn_on("{}");
    ASSERT_EQ(error.rfind("refused: logind: ", 0), 0u) << error;
    EXPECT_NE(error.find("session bus: no session bus"), std::string::npos) << error;
    EXPECT_EQ(error.find("gnome-session"), std::string::npos) << error;
}

}  // namespace
