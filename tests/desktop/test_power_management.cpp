// org.freedesktop.PowerManagement.Inhibit, XFCE's (and KDE's) suspend
// inhibitor. The real xfce4-power-manager takes and reports inhibitions but
// crashes on any release without DPMS, so it shows the acquiring side; the
// stand-in service of fake_desktop.py shows every release.
#include "desktop_test.h"

#include <algorithm>

namespace {

class PowerManagement : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        DESKTEST_NEED_SESSION(session_);
    }
    void TearDown() override { kor_off(); }

    desktest::session session_;
};

TEST_F(PowerManagement, Xfce4PowerManagerReportsOurInhibitor) {
    DESKTEST_NEED_PROGRAM("/usr/bin/xfce4-power-manager", "xfce4-power-manager");
    DESKTEST_START(session_.start_x());
    session_.start("xfpm", {"/usr/bin/xfce4-power-manager"});
    ASSERT_TRUE(session_.wait_for_name("org.freedesktop.PowerManagement")) << session_.log("xfpm");
    // It takes its name a moment before it serves the inhibitor object.
    ASSERT_TRUE(kortest::eventually(
        [] {
            return kortest::run_command({"gdbus", "call", "--session", "--dest", "org.freedesktop.PowerManagement",
                                         "--object-path", "/org/freedesktop/PowerManagement/Inhibit", "--method",
                                         "org.freedesktop.PowerManagement.Inhibit.HasInhibit"},
                                        5s)
                       .status == 0;
        },
        10s))
        << session_.log("xfpm");
    ASSERT_FALSE(desktest::power_has_inhibit(session_.bus()));

    ASSERT_EQ(desktest::turn_on(R"({"name":"Backup"})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind+power-management");
    EXPECT_TRUE(desktest::power_has_inhibit(session_.bus()));
    const auto apps = desktest::power_inhibitors(session_.bus());
    EXPECT_NE(std::find(apps.begin(), apps.end(), desktest::our_app_id()), apps.end());
    // Not released here: the service would crash (see above).
}

TEST_F(PowerManagement, StandInHoldsWithAppAndReason) {
    DESKTEST_START(session_.start_fake({"power-management"}));
    const struct {
        const char *options;
        const char *reason;  // null: any non-empty text
    } cases[] = {
        {R"({"name":"Render"})", "Render"},
        {R"({"name":"","keep_display":true})", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(desktest::turn_on(c.options), "");
        EXPECT_EQ(desktest::status_mechanism(), "logind+power-management");
        const auto holds = desktest::fake_holds(session_.bus());
        ASSERT_EQ(holds.size(), 1u);
        EXPECT_EQ(holds[0].app, desktest::our_app_id());
        if (c.reason) EXPECT_EQ(holds[0].reason, c.reason);
        else EXPECT_FALSE(holds[0].reason.empty());
        kor_off();
        EXPECT_TRUE(desktest::fake_holds(session_.bus()).empty()) << "released before kor_off returns";
    }
}

TEST_F(PowerManagement, StandInEveryEndingReleases) {
    DESKTEST_START(session_.start_fake({"power-management"}));
    desktest::expect_every_ending_releases([&] { return desktest::power_has_inhibit(session_.bus()); },
                                           "logind+power-management");
}

} // namespace
