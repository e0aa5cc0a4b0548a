// The desktop portal, the one inhibitor a Flatpak sandbox can reach, and the
// platform layer's mechanism text. The portal is the stand-in of
// fake_desktop.py (the real one serves only callers that a sandbox gives an
// app id); what it receives and its release are a row of test_services.cpp.
#include "desktop_session.h"
#include "kor_platform.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

using namespace std::chrono_literals;

namespace {

class Portal : public ::testing::Test {
protected:
    void SetUp() override {
        DESKTEST_NEED_SESSION(session_);
        sandbox_.emplace(session_.dir());
    }
    void TearDown() override { kor_off(); }

    std::vector<desktest::inhibition> portal_holds() { return desktest::fake_holds(session_.bus(), "portal"); }

    desktest::session session_;
    std::optional<desktest::pretend_sandbox> sandbox_;
};

// Inside a sandbox there is usually no system bus either.
TEST_F(Portal, AloneIsEnoughInsideTheSandbox) {
    DESKTEST_START(session_.start_fake({"portal"}));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + session_.dir() + "/no_system_bus").c_str(), 1);
    ASSERT_EQ(desktest::turn_on("{}"), "");
    EXPECT_EQ(desktest::status_mechanism(), "portal");
    EXPECT_EQ(portal_holds().size(), 1u);
}

// The desktop's own services, when a sandbox lets them through, come first.
TEST_F(Portal, ComesLast) {
    KORTEST_NEED_LOGIND();
    DESKTEST_START(session_.start_fake({"portal", "power-management"}));
    ASSERT_EQ(desktest::turn_on("{}"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind+power-management");
    EXPECT_TRUE(portal_holds().empty());
}

// The platform layer writes every holder, cut at the caller's buffer; past
// its capacity the buffer is left alone.
TEST_F(Portal, MechanismTextIsCutAtTheBuffer) {
    KORTEST_NEED_LOGIND();
    DESKTEST_START(session_.start_fake({"power-management"}));
    const struct {
        size_t capacity;
        const char *text;  // null: nothing written
    } cases[] = {{64, "logind+power-management"}, {10, "logind+po"}, {1, ""}, {0, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.capacity);
        char buffer[80];
        std::fill(std::begin(buffer), std::end(buffer), 'x');
        buffer[79] = '\0';
        ASSERT_EQ(kor_plat_inhibit_on({0, "Cut"}, buffer, c.capacity), 0);
        if (c.text) {
            EXPECT_STREQ(buffer, c.text);
        }
        EXPECT_EQ(std::string(buffer + c.capacity), std::string(79 - c.capacity, 'x'));
        kor_plat_inhibit_off();
    }
    ASSERT_EQ(kor_plat_inhibit_on({0, "Cut"}, nullptr, 0), 0);
    kor_plat_inhibit_off();
}

}  // namespace
