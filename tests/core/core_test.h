// The fixture and helpers shared by the core's tests.
#ifndef KORVEL_CORE_TEST_H
#define KORVEL_CORE_TEST_H

#include "fake_platform.h"
#include "korvel.h"
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace coretest {

// Every test starts with no activation and a fresh script, and ends with
// nothing left open: every inhibition taken released, every watch opened
// closed (so every watcher joined, or detached and finished by itself).
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        kor_off();
        fake::reset();
    }
    void TearDown() override {
        kor_off();
        const auto balanced = [] {
            const fake::snapshot seen = fake::observe();
            return seen.watches_opened == seen.watches_closed;
        };
        // A watcher left to end by itself closes its watch when it does.
        EXPECT_TRUE(kortest::eventually(balanced, std::chrono::seconds(5))) << "a watch was never closed";
        const fake::snapshot seen = fake::observe();
        EXPECT_FALSE(seen.held);
        EXPECT_EQ(seen.granted, seen.released) << "an inhibition was never released";
        EXPECT_EQ(seen.closed_by_undetached_watcher, 0) << "a watcher left to end by itself was never detached";
    }
};

using kortest::read_status;
using kortest::status;
using kortest::status_text;

// The status of a library with no activation: "active" 0, "mode" and
// "mechanism" "none", nothing else set.
inline void expect_inactive(const status &s) {
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.mode, "none");
    EXPECT_EQ(s.remaining_s, 0);
    EXPECT_EQ(s.keep_display, 0);
    EXPECT_EQ(s.mechanism, "none");
    EXPECT_EQ(s.pid, 0);
    EXPECT_EQ(s.name, "");
}

inline int64_t real_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Runs `work` on its own thread and waits at most `limit` for it. A hang
// cannot be recovered from (the stuck thread holds the library's lock), so it
// ends the process with a message instead of waiting for the test timeout.
inline void finish_within(std::chrono::milliseconds limit, const char *what, std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, work] {
        work();
        done->set_value();
    }).detach();
    if (finished.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s did not finish within %lld ms\n", what, static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
}

}  // namespace coretest

#endif  // KORVEL_CORE_TEST_H
