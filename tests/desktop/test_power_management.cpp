// org.freedesktop.PowerManagement.Inhibit, XFCE's (and KDE's) suspend
// inhibitor. The real xfce4-power-manager takes and reports inhibitions but
// crashes on any release without DPMS, so it shows the acquiring side; the
// stand-in of fake_desktop.py, a row of test_services.cpp, every release.
#include "desktop_session.h"

#include <algorithm>

using namespace std::chrono_literals;

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
    // It owns the name a moment before it serves the object.
    ASSERT_TRUE(kortest::eventually([&] { return desktest::power_has_inhibit(session_.bus()).has_value(); }, 10s));
    ASSERT_EQ(desktest::power_has_inhibit(session_.bus()), false);

    ASSERT_EQ(desktest::turn_on(R"({"name":"Backup"})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind+power-management");
    EXPECT_EQ(desktest::power_has_inhibit(session_.bus()), true);
    const auto apps = desktest::power_inhibitors(session_.bus());
    EXPECT_NE(std::find(apps.begin(), apps.end(), desktest::our_app_id()), apps.end());
    // Not released here: the service would crash (see above).
}

}  // namespace
