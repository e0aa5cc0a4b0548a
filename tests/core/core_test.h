// The fixture and helpers shared by the core's tests.
#ifndef KORVEL_CORE_TEST_H
#define KORVEL_CORE_TEST_H

#include "fake_platform.h"
#include "korvel.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <yyjson.h>

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

// Every test starts with no activation and a fresh script, and ends its
// activation so that the next test (in the same process) starts clean.
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        kor_off();
        fake::reset();
    }
    void TearDown() override { kor_off(); }
};

// kor_status as a std::string; "<null>" when it failed.
inline std::string status_text() {
    char *text = kor_status();
    if (text == nullptr) return "<null>";
    std::string out(text);
    kor_free_string(text);
    return out;
}

struct status {
    bool ok = false;  // kor_status returned a text that parsed as an object
    int64_t active = -1;
    std::string mode;
    int64_t remaining_s = -1;
    int64_t keep_display = -1;
    bool has_platform = false;
    std::string platform;
    std::string mechanism;
    int64_t pid = -1;
    std::string name;
};

inline status read_status() {
    status s;
    char *text = kor_status();
    if (text == nullptr) return s;
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    kor_free_string(text);
    if (doc == nullptr) return s;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (yyjson_is_obj(root)) {
        s.ok = true;
        auto str = [root](const char *key) {
            yyjson_val *v = yyjson_obj_get(root, key);
            return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string("<missing>");
        };
        auto num = [root](const char *key) {
            yyjson_val *v = yyjson_obj_get(root, key);
            return yyjson_is_int(v) ? yyjson_get_sint(v) : int64_t{-999};
        };
        s.active = num("active");
        s.mode = str("mode");
        s.remaining_s = num("remaining_s");
        s.keep_display = num("keep_display");
        s.has_platform = yyjson_obj_get(root, "platform") != nullptr;
        s.platform = str("platform");
        s.mechanism = str("mechanism");
        s.pid = num("pid");
        s.name = str("name");
    }
    yyjson_doc_free(doc);
    return s;
}

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
        std::fprintf(stderr, "FAILED: %s did not finish within %lld ms\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
}

} // namespace coretest

#endif // KORVEL_CORE_TEST_H
