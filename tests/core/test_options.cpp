// The options text of kor_on: what is refused and with which message, and how
// each member's value is taken.
#include "core_test.h"

#include <climits>
#include <iterator>
#include <string>
#include <vector>

using coretest::CoreTest;
using coretest::read_status;

namespace {

struct refusal_case {
    const char *options;
    const char *message;
};

// Each request is made while an indefinite activation holds the inhibition:
// a refusal must still end it.
const refusal_case kRefusals[] = {
    {"   ", "invalid options_json"},
    {"{", "invalid options_json"},
    {"{} x", "invalid options_json"},
    {"{\"a\":1,}", "invalid options_json"},
    {"/*c*/{}", "invalid options_json"},
    {"\xEF\xBB\xBF{}", "invalid options_json"},
    {"{\"mode\":\"minutes\",\"seconds\":NaN}", "invalid options_json"},
    {"{\"mode\":\"minutes\",\"seconds\":Infinity}", "invalid options_json"},
    {"[]", "options_json must be object"},
    {"1", "options_json must be object"},
    {"\"x\"", "options_json must be object"},
    {"true", "options_json must be object"},
    {"null", "options_json must be object"},
    {"{\"mode\":\"minutes\"}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"minutes\":0}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"minutes\":-2}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"seconds\":-1}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"seconds\":\"10\"}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"seconds\":-1e300}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"minutes\",\"minutes\":-1e300}", "minutes mode requires minutes>0 or seconds>=0"},
    {"{\"mode\":\"while_pid\"}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_pid\",\"pid\":0}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_pid\",\"pid\":-3}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_pid\",\"pid\":0.9}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_pid\",\"pid\":\"12\"}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_pid\",\"pid\":-1e300}", "while_pid requires positive pid"},
    {"{\"mode\":\"while_process\"}", "while_process requires name"},
    {"{\"mode\":\"while_process\",\"name\":\"\"}", "while_process requires name"},
    {"{\"mode\":\"while_process\",\"name\":5}", "while_process requires name"},
    {"{\"mode\":\"while_process\",\"name\":\"\\u0000abc\"}", "while_process requires name"},
    {"{\"mode\":\"Minutes\",\"minutes\":5}", "unknown mode: Minutes"},
    {"{\"mode\":\"\"}", "unknown mode: "},
    {"{\"mode\":\"bogus\"}", "unknown mode: bogus"},
    // Echoed texts reach terminals: what a terminal would act on is shown as '?'.
    {"{\"mode\":\"a\\u001b[31mb\\u0007\\u202e\"}", "unknown mode: a?[31mb??"},
    {"{\"mode\":\"while_process\",\"name\":\"x\\u001by\\u009b\"}", "process not found: x?y?"},
    {"{\"mode\":\"while_process\",\"name\":\"ghost\"}", "process not found: ghost"},
    {"{\"mode\":\"while_process\",\"name\":\"zombie\"}", "pid 555 is not alive"},
    {"{\"mode\":\"while_pid\",\"pid\":4242}", "pid 4242 is not alive"},
    // Out of the 32-bit range: clamped, never wrapped (4294967297 would wrap to
    // the live pid 1, 4294967296 to 0).
    {"{\"mode\":\"while_pid\",\"pid\":4294967296}", "pid 2147483647 is not alive"},
    {"{\"mode\":\"while_pid\",\"pid\":4294967297}", "pid 2147483647 is not alive"},
    {"{\"mode\":\"while_pid\",\"pid\":1e300}", "pid 2147483647 is not alive"},
};

TEST_F(CoreTest, RefusalsGiveTheirMessageAndLeaveNothingInForce) {
    fake::set_alive(1, true);
    fake::add_process("zombie", 555);
    for (const refusal_case &c : kRefusals) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(kor_on(nullptr), 1);
        const int granted_before = fake::observe().granted;

        EXPECT_EQ(kor_on(c.options), 0);
        EXPECT_STREQ(kor_last_error(), c.message);
        const fake::snapshot seen = fake::observe();
        EXPECT_FALSE(seen.held);
        EXPECT_EQ(seen.granted, granted_before) << "no inhibition may be taken for a refused request";
        EXPECT_FALSE(seen.double_hold);
        coretest::expect_inactive(read_status());
        EXPECT_STREQ(kor_last_error(), c.message) << "kor_status must keep the message";
    }
}

TEST_F(CoreTest, LongModeTextIsCutInTheMessageOnACharacterBoundary) {
    const std::string e_acute = "\xC3\xA9";
    std::string accents;
    for (int i = 0; i < 300; ++i) accents += e_acute;
    const struct {
        std::string mode;
        size_t kept;  // bytes of the mode text the message keeps
    } cases[] = {{std::string(600, 'x'), 511 - 14}, {accents, 496}};
    for (const auto &c : cases) {
        EXPECT_EQ(kor_on(("{\"mode\":\"" + c.mode + "\"}").c_str()), 0);
        EXPECT_EQ(std::string(kor_last_error()), "unknown mode: " + c.mode.substr(0, c.kept));
    }
}

struct accepted_case {
    const char *options;
    const char *mode;
    int64_t remaining_s;
    int64_t pid;
    const char *name;
    const char *app = "";  // who asks, as the platform is told; never in the status
};

// The clock is frozen, so a timed activation reports its whole duration.
const accepted_case kAccepted[] = {
    {nullptr, "indefinite", 0, 0, ""},
    {"", "indefinite", 0, 0, ""},
    {"{}", "indefinite", 0, 0, ""},
    {" {\"other\":[1,2]} ", "indefinite", 0, 0, ""},
    {"{\"mode\":5,\"name\":\"n\"}", "indefinite", 0, 0, "n"},
    {"{\"mode\":\"indefinite\",\"seconds\":5,\"pid\":9}", "indefinite", 0, 0, ""},
    {"{\"mode\":\"while_pid\",\"pid\":1234.9}", "while_pid", 0, 1234, ""},
    {"{\"mode\":\"while_pid\",\"pid\":1234,\"name\":\"job\"}", "while_pid", 0, 1234, "job"},
    {"{\"mode\":\"while_process\",\"name\":\"backupd\",\"pid\":1234}", "while_process", 0, 777, "backupd"},
    {"{\"app\":\"Photo Export\",\"name\":\"n\"}", "indefinite", 0, 0, "n", "Photo Export"},
    {"{\"app\":7}", "indefinite", 0, 0, "", ""},
    {"{\"app\":\"ab\\u0000cd\",\"app\":\"x\"}", "indefinite", 0, 0, "", "ab"},
};

// "minutes" mode: the members beside the mode, and the seconds it holds for.
const struct {
    const char *members;
    int64_t remaining_s;
} kTimed[] = {
    {"\"minutes\":0.5,\"seconds\":-1", 30},
    {"\"minutes\":0.001", 1},
    {"\"minutes\":0.025", 2},  // 1.5 s, halves up
    {"\"minutes\":1.5", 90},
    {"\"minutes\":30", 1800},
    {"\"minutes\":30,\"seconds\":-0.5", 1800},
    {"\"minutes\":5,\"seconds\":10", 10},
    {"\"seconds\":12.9", 12},
    {"\"seconds\":5,\"seconds\":7", 5},
    {"\"seconds\":1e300", INT32_MAX},
    {"\"seconds\":4294967296", INT32_MAX},
    {"\"minutes\":1e300", INT32_MAX},
    {"\"minutes\":35791395", INT32_MAX},
};

// kAccepted, then kTimed's rows as whole options texts.
std::vector<accepted_case> accepted_cases() {
    static const std::vector<std::string> timed = [] {
        std::vector<std::string> texts;
        for (const auto &t : kTimed) texts.push_back(std::string("{\"mode\":\"minutes\",") + t.members + "}");
        return texts;
    }();
    std::vector<accepted_case> all(std::begin(kAccepted), std::end(kAccepted));
    for (size_t i = 0; i < timed.size(); ++i)
        all.push_back({timed[i].c_str(), "minutes", kTimed[i].remaining_s, 0, ""});
    return all;
}

TEST_F(CoreTest, AcceptedOptionsRecordTheirMode) {
    fake::set_alive(1234, true);
    fake::set_alive(777, true);
    fake::add_process("backupd", 777);
    for (const accepted_case &c : accepted_cases()) {
        SCOPED_TRACE(c.options ? c.options : "(null)");
        ASSERT_EQ(kor_on(c.options), 1) << kor_last_error();
        EXPECT_STREQ(kor_last_error(), "");
        const coretest::status s = read_status();
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.active, 1);
        EXPECT_EQ(s.mode, c.mode);
        EXPECT_EQ(s.remaining_s, c.remaining_s);
        EXPECT_EQ(s.pid, c.pid);
        EXPECT_EQ(s.name, c.name);
        EXPECT_EQ(s.keep_display, 0);
        EXPECT_EQ(fake::observe().last_reason, c.name);
        EXPECT_EQ(fake::observe().last_app, c.app);
        EXPECT_EQ(coretest::status_text().find("\"app\""), std::string::npos);
    }
    EXPECT_EQ(fake::observe().last_find_name, "backupd");
    EXPECT_FALSE(fake::observe().double_hold);
}

TEST_F(CoreTest, ZeroSecondsStartsAndEndsAtOnceWithoutMessage) {
    ASSERT_EQ(kor_on("{\"mode\":\"minutes\",\"seconds\":0}"), 1);
    EXPECT_TRUE(kortest::eventually([] { return read_status().active == 0; }, std::chrono::seconds(3)));
    EXPECT_STREQ(kor_last_error(), "");
    EXPECT_FALSE(fake::observe().held);
}

TEST_F(CoreTest, KeepDisplayValues) {
    const struct {
        const char *value;
        int expected;
    } cases[] = {
        {"true", 1}, {"1", 1},       {"-7", 1},   {"4294967297", 1}, {"false", 0}, {"0", 0},
        {"1.0", 0},  {"\"yes\"", 0}, {"null", 0}, {"4294967296", 0}, {"[1]", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        const std::string options = std::string("{\"keep_display\":") + c.value + "}";
        ASSERT_EQ(kor_on(options.c_str()), 1);
        EXPECT_EQ(fake::observe().last_keep_display, c.expected);
        EXPECT_EQ(read_status().keep_display, c.expected);
    }
}

TEST_F(CoreTest, LongNamesAreCutOnCharacterBoundaries) {
    const std::string e_acute = "\xC3\xA9";       // 2 bytes
    const std::string euro = "\xE2\x82\xAC";      // 3 bytes
    const std::string grin = "\xF0\x9F\x98\x80";  // 4 bytes
    const struct {
        std::string name;
        std::string recorded;
    } cases[] = {
        {std::string(300, 'a'), std::string(255, 'a')},
        {std::string(254, 'a') + e_acute, std::string(254, 'a')},
        {std::string(253, 'a') + e_acute, std::string(253, 'a') + e_acute},
        {std::string(255, 'a') + e_acute, std::string(255, 'a')},
        {std::string(253, 'a') + euro, std::string(253, 'a')},
        {std::string(252, 'a') + grin, std::string(252, 'a')},
        {std::string(254, 'a') + grin, std::string(254, 'a')},
        {std::string(127, 'a') + std::string(64, '\x01'), std::string(127, 'a') + std::string(64, '\x01')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.size());
        // \u0001 in JSON becomes byte 0x01 in the name.
        std::string json_name;
        for (char ch : c.name) json_name += ch == '\x01' ? std::string("\\u0001") : std::string(1, ch);
        ASSERT_EQ(kor_on(("{\"name\":\"" + json_name + "\"}").c_str()), 1);
        const coretest::status s = read_status();
        ASSERT_TRUE(s.ok) << "kor_status failed: " << kor_last_error();
        EXPECT_EQ(s.name, c.recorded);
        EXPECT_EQ(fake::observe().last_reason, c.recorded);
    }
}

TEST_F(CoreTest, NameEndsAtEmbeddedNul) {
    ASSERT_EQ(kor_on("{\"name\":\"ab\\u0000cd\"}"), 1);
    EXPECT_EQ(read_status().name, "ab");
}

TEST_F(CoreTest, WhileProcessLooksUpTheCutName) {
    const std::string name(300, 'p');
    EXPECT_EQ(kor_on(("{\"mode\":\"while_process\",\"name\":\"" + name + "\"}").c_str()), 0);
    EXPECT_EQ(fake::observe().last_find_name, std::string(255, 'p'));
    EXPECT_EQ(std::string(kor_last_error()), "process not found: " + std::string(255, 'p'));
}

}  // namespace
