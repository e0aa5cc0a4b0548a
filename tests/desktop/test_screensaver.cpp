// org.freedesktop.ScreenSaver, used only to keep the display on: the real
// xscreensaver-systemd (both object paths, logs every inhibitor) and xssproxy
// (only /ScreenSaver, cookies from 0, observed through the X screen saver).
#include "desktop_test.h"

#include <sstream>
#include <thread>

namespace {

class XScreensaverSystemd : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();  // it registers for logind's sleep signals
        DESKTEST_NEED_SESSION(session_);
        DESKTEST_NEED_PROGRAM(kBinary, "xscreensaver");
        DESKTEST_START(session_.start_x());
        session_.start("xss", {kBinary, "--verbose"});
        ASSERT_TRUE(session_.wait_for_name("org.freedesktop.ScreenSaver")) << session_.log("xss");
    }
    void TearDown() override { kor_off(); }

    // Counted from its log: inhibited by "APP" (...) with "REASON", and
    // uninhibited by "APP" or peer ... for inhibiting app "APP" has died.
    int held_count(std::string *last_reason = nullptr) {
        const std::string app = "\"" + desktest::our_app_id() + "\"";
        std::istringstream log(session_.log("xss"));
        int count = 0;
        for (std::string line; std::getline(log, line);) {
            if (line.find("uninhibited by " + app) != std::string::npos ||
                line.find("for inhibiting app " + app + " has died") != std::string::npos) {
                --count;
            } else if (line.find(" inhibited by " + app + " (") != std::string::npos) {
                ++count;
                const size_t with = line.find(" with \"");
                if (last_reason && with != std::string::npos)
                    *last_reason = line.substr(with + 7, line.find('"', with + 7) - with - 7);
            }
        }
        return count;
    }

    static constexpr const char *kBinary = "/usr/libexec/xscreensaver/xscreensaver-systemd";
    desktest::session session_;
};

TEST_F(XScreensaverSystemd, KeepsTheDisplayOnWithAppAndReason) {
    ASSERT_EQ(desktest::turn_on(R"({"name":"Slides","keep_display":true})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind+screensaver");
    std::string reason;
    EXPECT_TRUE(kortest::eventually([&] { return held_count(&reason) == 1; }, 5s)) << session_.log("xss");
    EXPECT_EQ(reason, "Slides");
    kor_off();
    EXPECT_TRUE(kortest::eventually([&] { return held_count() == 0; }, 5s)) << session_.log("xss");
}

TEST_F(XScreensaverSystemd, EveryEndingReleases) {
    desktest::expect_every_ending_releases([&] { return held_count() > 0; }, "logind+screensaver",
                                           "\"keep_display\":true");
}

// It keeps the screen on and the session unlocked, which is not asked for
// when only the system is to stay awake.
TEST_F(XScreensaverSystemd, NotAskedWithoutKeepDisplay) {
    ASSERT_EQ(desktest::turn_on(R"({"name":"Backup"})"), "");
    EXPECT_EQ(desktest::status_mechanism(), "logind");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(held_count(), 0) << session_.log("xss");
}

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

} // namespace
