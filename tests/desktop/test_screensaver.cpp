// xssproxy, the org.freedesktop.ScreenSaver that answers only on /ScreenSaver
// and counts cookies from 0, observed through the X screen saver it keeps off.
// (xscreensaver-systemd is a row of test_services.cpp.)
#include "desktop_session.h"

using namespace std::chrono_literals;

namespace {

class Xssproxy : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        DESKTEST_NEED_SESSION(session_);
        DESKTEST_NEED_PROGRAM("/usr/bin/xssproxy", "xssproxy");
        if (kortest::run_command({"/usr/bin/python3", "-c", "import Xlib"}, 10s).status != 0)
            GTEST_SKIP() << "python3-xlib is not installed";
        DESKTEST_START(session_.start_x());
        session_.start("xssproxy", {"/usr/bin/xssproxy"});
        ASSERT_TRUE(session_.wait_for_name("org.freedesktop.ScreenSaver")) << session_.log("xssproxy");
    }
    void TearDown() override { kor_off(); }

    desktest::session session_;
};

// Only /ScreenSaver answers, and its first cookie is 0: both must still give a
// hold that the X screen saver honours, and a release that ends it.
TEST_F(Xssproxy, KeepsTheScreenSaverOffOnItsOnlyPath) {
    ASSERT_TRUE(desktest::x_saver_comes_on()) << "the saver must work before the test means anything";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first activation" : "second activation");
        ASSERT_EQ(desktest::turn_on(R"({"name":"Video","keep_display":true})"), "");
        EXPECT_EQ(desktest::status_mechanism(), "logind+screensaver");
        EXPECT_FALSE(desktest::x_saver_comes_on());
        kor_off();
        EXPECT_TRUE(desktest::x_saver_comes_on());
    }
}

TEST_F(Xssproxy, KilledHostReleases) {
    desktest::forked_host host(R"({"name":"Video","keep_display":true})");
    ASSERT_EQ(host.outcome(), "on logind+screensaver");
    EXPECT_FALSE(desktest::x_saver_comes_on());
    host.kill_now();
    EXPECT_TRUE(desktest::x_saver_comes_on());
}

TEST_F(Xssproxy, NotAskedWithoutKeepDisplay) {
    ASSERT_EQ(desktest::turn_on(R"({"name":"Backup"})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind");
    EXPECT_TRUE(desktest::x_saver_comes_on());
}

}  // namespace
