// GNOME's session manager, the real one, started bare on a private session
// bus: it must list our inhibitor with our app id, reason and flags while an
// activation holds, and drop it whichever way the activation ends.
#include "desktop_test.h"

namespace {

class GnomeSession : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();  // gnome-session dies at start without logind
        DESKTEST_NEED_SESSION(session_);
        DESKTEST_START(session_.start_gnome_session());
    }
    void TearDown() override { kor_off(); }

    std::vector<desktest::inhibition> ours() {
        std::vector<desktest::inhibition> out;
        for (auto &i : desktest::gnome_inhibitors(session_.bus()))
            if (i.app == desktest::our_app_id()) out.push_back(i);
        return out;
    }

    desktest::session session_;
};

TEST_F(GnomeSession, InhibitorCarriesAppIdReasonAndFlags) {
    const struct {
        const char *what_case;
        const char *options;
        const char *reason;  // null: any non-empty text
        uint32_t flags;
    } cases[] = {
        {"suspend only", R"({"name":"Nightly backup"})", "Nightly backup", 4},
        {"display too", R"({"name":"Slides","keep_display":true})", "Slides", 12},
        {"no name", R"({"keep_display":1})", nullptr, 12},
        {"non-ASCII name", "{\"name\":\"Sauvegarde \xC3\xA9t\xC3\xA9\"}", "Sauvegarde \xC3\xA9t\xC3\xA9", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what_case);
        ASSERT_EQ(desktest::turn_on(c.options), "");
        EXPECT_EQ(desktest::status_mechanism(), "logind+gnome-session");
        const auto held = ours();
        ASSERT_EQ(held.size(), 1u);
        if (c.reason) EXPECT_EQ(held[0].reason, c.reason);
        else EXPECT_FALSE(held[0].reason.empty());
        EXPECT_EQ(held[0].flags, c.flags);
        EXPECT_TRUE(desktest::gnome_is_inhibited(session_.bus(), 4));
        EXPECT_EQ(desktest::gnome_is_inhibited(session_.bus(), 8), (c.flags & 8) != 0);

        // The release waits for the service's answer: gone when kor_off returns.
        kor_off();
        EXPECT_TRUE(ours().empty());
        EXPECT_FALSE(desktest::gnome_is_inhibited(session_.bus(), 4));
    }
}

TEST_F(GnomeSession, EveryEndingReleases) {
    desktest::expect_every_ending_releases(
        [&] { return !ours().empty() && desktest::gnome_is_inhibited(session_.bus(), 8); }, "logind+gnome-session",
        "\"keep_display\":true");
}

// A new activation replaces the old one's inhibitor instead of adding one.
TEST_F(GnomeSession, ReplacingKeepsOneInhibitor) {
    ASSERT_EQ(desktest::turn_on(R"({"name":"First"})"), "");
    ASSERT_EQ(desktest::turn_on(R"({"name":"Second","keep_display":true})"), "");
    const auto held = ours();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].reason, "Second");
    EXPECT_EQ(held[0].flags, 12u);
}

} // namespace
