// Taking and releasing the inhibition: replacement, release, and a platform
// that refuses.
#include "core_test.h"

using coretest::CoreTest;
using coretest::read_status;

namespace {

using events = std::vector<std::string>;

TEST_F(CoreTest, ReplacementReleasesTheOldInhibitionFirst) {
    ASSERT_EQ(kor_on(R"({"name":"one"})"), 1);
    ASSERT_EQ(kor_on(R"({"keep_display":true,"name":"two"})"), 1);
    fake::snapshot seen = fake::observe();
    EXPECT_EQ(seen.events, (events{"on", "off", "on"}));
    EXPECT_FALSE(seen.double_hold);
    EXPECT_TRUE(seen.held);
    EXPECT_EQ(seen.last_keep_display, 1);
    EXPECT_EQ(seen.last_reason, "two");
    EXPECT_EQ(read_status().name, "two");

    EXPECT_EQ(kor_off(), 1);
    seen = fake::observe();
    EXPECT_EQ(seen.events, (events{"on", "off", "on", "off"}));
    EXPECT_FALSE(seen.held);
    coretest::expect_inactive(read_status());
}

TEST_F(CoreTest, PlatformRefusalLeavesNothingInForce) {
    fake::set_alive(1234, true);
    const char *const requests[] = {
        nullptr,
        R"({"keep_display":true})",
        R"({"mode":"minutes","seconds":5})",
        R"({"mode":"while_pid","pid":1234})",
    };
    for (const char *options : requests) {
        SCOPED_TRACE(options ? options : "(null)");
        fake::grant_inhibition();
        ASSERT_EQ(kor_on(nullptr), 1);
        fake::refuse_inhibition("fake says no");
        EXPECT_EQ(kor_on(options), 0);
        EXPECT_STREQ(kor_last_error(), "fake says no");
        EXPECT_FALSE(fake::observe().held);
        coretest::expect_inactive(read_status());
    }
    // No watcher was left behind by the refused timed request: once granted
    // again, an indefinite activation outlives the old deadline.
    fake::grant_inhibition();
    ASSERT_EQ(kor_on(nullptr), 1);
    fake::advance(10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(read_status().active, 1);
    EXPECT_FALSE(fake::observe().double_hold);
}

}  // namespace
