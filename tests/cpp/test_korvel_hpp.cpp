// The C++ header over the built library: a hold is logind's lock for exactly
// the hold object's life, and a refusal throws the library's message and
// holds nothing.
#include "korvel.hpp"

#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <type_traits>

using namespace std::chrono_literals;

namespace {

static_assert(!std::is_copy_constructible_v<korvel::hold> && std::is_nothrow_move_constructible_v<korvel::hold>);

bool lock_count_is(size_t n) {
    return kortest::eventually([n] { return kortest::inhibitors_of(getpid()).size() == n; }, 5s);
}

class CppHeader : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    void TearDown() override { kor_off(); }
};

TEST_F(CppHeader, HoldsForTheObjectsLife) {
    {
        korvel::hold outer(korvel::options{}.for_minutes(30).named("c++ \"hold\"\n"));
        korvel::hold moved(std::move(outer));
        EXPECT_FALSE(outer.owns());
        EXPECT_TRUE(moved.owns());
        ASSERT_TRUE(lock_count_is(1));
        kortest::status s = kortest::read_status();
        EXPECT_EQ(s.mode, "minutes");
        EXPECT_EQ(s.name, "c++ \"hold\"\n");
        EXPECT_NE(korvel::status().find("\"active\":1"), std::string::npos);
    }
    EXPECT_TRUE(lock_count_is(0));
    EXPECT_NE(korvel::status().find("\"active\":0"), std::string::npos);
}

// The library's refusals are tested in C; here, that one reaches C++ as an
// exception with its message, and that a second hold is refused.
TEST_F(CppHeader, RefusalsThrowTheLibrarysMessageAndHoldNothing) {
    try {
        korvel::hold h(korvel::options{}.while_pid(-4));
        ADD_FAILURE() << "held";
    } catch (const korvel::error &e) {
        EXPECT_STREQ(e.what(), "while_pid requires positive pid");
    }
    EXPECT_TRUE(lock_count_is(0));
    korvel::hold first(korvel::options{}.named("first"));
    EXPECT_THROW(korvel::hold second(korvel::options{}.named("second")), korvel::error);
    EXPECT_EQ(kortest::read_status().name, "first");
    EXPECT_TRUE(lock_count_is(1));
}

}  // namespace
