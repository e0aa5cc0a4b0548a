// The desktop portal, the one inhibitor a Flatpak sandbox can reach. Built
// with the library's own objects, so the test can say where the sandbox's
// marker file is; the portal is the stand-in of fake_desktop.py (the real one
// serves only callers that a sandbox gives an app id).
#include "desktop_test.h"
#include "kor_platform.h"
#include "backends.h"

#include <cstdlib>
#include <fstream>

namespace {

class Portal : public ::testing::Test {
protected:
    void SetUp() override {
        DESKTEST_NEED_SESSION(session_);
        marker_ = session_.dir() + "/flatpak-info";
        std::ofstream(marker_) << "[Application]\nname=org.example.Host\n";
        kor_linux::set_sandbox_marker_for_tests(marker_.c_str());
    }
    void TearDown() override {
        kor_off();
        kor_linux::set_sandbox_marker_for_tests(nullptr);
    }

    std::vector<desktest::inhibition> portal_holds() {
        std::vector<desktest::inhibition> out;
        for (auto &h : desktest::fake_holds(session_.bus()))
            if (h.role == "portal") out.push_back(h);
        return out;
    }

    desktest::session session_;
    std::string marker_;
};

TEST_F(Portal, HoldsInsideTheSandboxWithFlagsAndReason) {
    KORTEST_NEED_LOGIND();
    DESKTEST_START(session_.start_fake({"portal"}));
    const struct {
        const char *options;
        uint32_t flags;
        const char *reason;  // null: any non-empty text
    } cases[] = {
        {R"({"name":"Download"})", 4, "Download"},
        {R"({"name":"Film","keep_display":true})", 12, "Film"},
        {R"({"keep_display":true})", 12, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(desktest::turn_on(c.options), "");
        EXPECT_EQ(desktest::status_mechanism(), "logind+portal");
        const auto holds = portal_holds();
        ASSERT_EQ(holds.size(), 1u);
        EXPECT_EQ(holds[0].flags, c.flags);
        if (c.reason) EXPECT_EQ(holds[0].reason, c.reason);
        else EXPECT_FALSE(holds[0].reason.empty());
        kor_off();
        EXPECT_TRUE(portal_holds().empty()) << "the request is closed before kor_off returns";
    }
}

TEST_F(Portal, EveryEndingReleases) {
    KORTEST_NEED_LOGIND();
    DESKTEST_START(session_.start_fake({"portal"}));
    desktest::expect_every_ending_releases([&] { return !portal_holds().empty(); }, "logind+portal");
}

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

// The platform layer writes every holder, cut at the caller's buffer.
TEST_F(Portal, MechanismTextIsCutAtTheBuffer) {
    KORTEST_NEED_LOGIND();
    DESKTEST_START(session_.start_fake({"power-management"}));
    const struct {
        size_t capacity;
        const char *text;
    } cases[] = {{64, "logind+power-management"}, {10, "logind+po"}, {1, ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.capacity);
        char buffer[64];
        std::fill(std::begin(buffer), std::end(buffer), 'x');
        ASSERT_EQ(kor_plat_inhibit_on(0, "Cut", buffer, c.capacity), 0);
        EXPECT_STREQ(buffer, c.text);
        kor_plat_inhibit_off();
    }
}

} // namespace
