// The status text byte for byte, the seconds left of a timed activation, and
// the life of the error text.
#include "core_test.h"

#include <atomic>
#include <vector>

using coretest::CoreTest;
using coretest::read_status;
using coretest::status_text;

namespace {

const char kInactive[] =
    R"({"active":0,"mode":"none","remaining_s":0,"keep_display":0,"platform":"fakeos","mechanism":"none","pid":0,"name":""})";

// Deliberately without the fixture: run in its own process, this is the
// library before any call.
TEST(CoreFirstCall, ErrorIsEmptyAndStatusInactiveBeforeAnyCall) {
    ASSERT_NE(kor_last_error(), nullptr);
    EXPECT_STREQ(kor_last_error(), "");
    EXPECT_EQ(status_text(), kInactive);
    EXPECT_STREQ(kor_last_error(), "");
}

TEST_F(CoreTest, StatusTextByteForByte) {
    fake::set_alive(1234, true);
    const struct {
        const char *options;
        const char *platform;   // "" keeps the fake's default
        const char *mechanism;  // nullptr keeps the fake's default
        const char *expected;
    } cases[] = {
        {"{}", "", nullptr,
         R"({"active":1,"mode":"indefinite","remaining_s":0,"keep_display":0,"platform":"fakeos","mechanism":"fake-inhibitor","pid":0,"name":""})"},
        {R"({"mode":"while_pid","pid":1234,"keep_display":true,"name":"job"})", "", nullptr,
         R"({"active":1,"mode":"while_pid","remaining_s":0,"keep_display":1,"platform":"fakeos","mechanism":"fake-inhibitor","pid":1234,"name":"job"})"},
        {R"({"mode":"minutes","minutes":1.5,"name":"tea"})", "", nullptr,
         R"({"active":1,"mode":"minutes","remaining_s":90,"keep_display":0,"platform":"fakeos","mechanism":"fake-inhibitor","pid":0,"name":"tea"})"},
        // No platform name: the member is left out. No mechanism: "unknown".
        {"{}", nullptr, "",
         R"({"active":1,"mode":"indefinite","remaining_s":0,"keep_display":0,"mechanism":"unknown","pid":0,"name":""})"},
        // Quote, backslash, the short escapes, other control bytes as \u00XX
        // in upper case; solidus, DEL and non-ASCII unchanged.
        {R"({"name":"q\"b\\s\/\u0008\t\n\u000c\r\u001f\u0001\u007f\u00e9"})", "", nullptr,
         "{\"active\":1,\"mode\":\"indefinite\",\"remaining_s\":0,\"keep_display\":0,\"platform\":\"fakeos\","
         "\"mechanism\":\"fake-inhibitor\",\"pid\":0,"
         "\"name\":\"q\\\"b\\\\s/\\b\\t\\n\\f\\r\\u001F\\u0001\x7f\xc3\xa9\"}"},
        {"{}", "", "m\"ech",
         R"({"active":1,"mode":"indefinite","remaining_s":0,"keep_display":0,"platform":"fakeos","mechanism":"m\"ech","pid":0,"name":""})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        fake::set_platform_name(c.platform == nullptr || c.platform[0] ? c.platform : "fakeos");
        fake::set_mechanism(c.mechanism ? c.mechanism : "fake-inhibitor");
        ASSERT_EQ(kor_on(c.options), 1) << kor_last_error();
        EXPECT_EQ(status_text(), c.expected);
        kor_off();
    }
    fake::set_platform_name("fakeos");
    EXPECT_EQ(status_text(), kInactive);
}

TEST_F(CoreTest, LongMechanismIsCut) {
    fake::set_mechanism(std::string(100, 'm'));
    ASSERT_EQ(kor_on(nullptr), 1);
    EXPECT_EQ(read_status().mechanism, std::string(63, 'm'));
}

TEST_F(CoreTest, RemainingSecondsRoundUp) {
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":2})"), 1);
    EXPECT_EQ(read_status().remaining_s, 2);
    fake::advance(500);  // 1500 ms left
    EXPECT_EQ(read_status().remaining_s, 2);
    fake::advance(500);  // 1000 ms left
    EXPECT_EQ(read_status().remaining_s, 1);
    fake::advance(999);  // 1 ms left
    EXPECT_EQ(read_status().remaining_s, 1);

    // This thread sees the deadline pass; the watcher does not yet, so the
    // record is still active, with nothing left.
    fake::set_thread_clock_offset(5);
    coretest::status s = read_status();
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.mode, "minutes");
    EXPECT_EQ(s.remaining_s, 0);
    fake::set_thread_clock_offset(0);
    EXPECT_EQ(read_status().remaining_s, 1);
}

TEST_F(CoreTest, ErrorTextLifecycle) {
    EXPECT_EQ(kor_on(R"({"mode":"bogus"})"), 0);
    EXPECT_STREQ(kor_last_error(), "unknown mode: bogus");
    char *text = kor_status();
    ASSERT_NE(text, nullptr);
    kor_free_string(text);
    EXPECT_STREQ(kor_last_error(), "unknown mode: bogus");
    EXPECT_EQ(kor_off(), 1);
    EXPECT_STREQ(kor_last_error(), "");

    // A successful kor_on empties a message left before it.
    EXPECT_EQ(kor_on("["), 0);
    EXPECT_STREQ(kor_last_error(), "invalid options_json");
    EXPECT_EQ(kor_on(nullptr), 1);
    EXPECT_STREQ(kor_last_error(), "");

    // kor_off with nothing in force is idempotent and leaves no message.
    EXPECT_EQ(kor_off(), 1);
    EXPECT_EQ(kor_off(), 1);
    EXPECT_STREQ(kor_last_error(), "");
    EXPECT_EQ(status_text(), kInactive);
}

TEST_F(CoreTest, StatusTextsAreSeparateAndFreeAcceptsNull) {
    kor_free_string(nullptr);
    char *a = kor_status();
    char *b = kor_status();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, b);
    kor_free_string(a);
    EXPECT_STREQ(b, kInactive);
    kor_free_string(b);
}

}  // namespace

namespace {

// A thread reading the error text while others fail with long messages
// must read one whole message (or none), never a mix of two.
TEST_F(CoreTest, ErrorTextIsNeverTornUnderConcurrentFailures) {
    const std::string a = "unknown mode: " + std::string(400, 'A');
    const std::string b = "unknown mode: " + std::string(400, 'B');
    const std::string options_a = "{\"mode\":\"" + std::string(400, 'A') + "\"}";
    const std::string options_b = "{\"mode\":\"" + std::string(400, 'B') + "\"}";
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, torn{0};
    std::vector<std::thread> threads;
    for (const std::string *options : {&options_a, &options_b})
        threads.emplace_back([&, options] {
            while (!stop) kor_on(options->c_str());
        });
    threads.emplace_back([&] {
        while (!stop) {
            const std::string text = kor_last_error();
            if (!text.empty() && text != a && text != b) ++torn;
            ++reads;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_GT(reads.load(), 1000);
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
