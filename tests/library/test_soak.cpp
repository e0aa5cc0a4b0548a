// Eight host threads making random calls in all four modes against the real
// logind, for KORVEL_SOAK_SECONDS (3 by default; CI's sanitizer runs soak
// longer). The sanitizer builds turn any race, leak or misuse into a failure;
// here no call may hang and nothing may be held at the end.
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

int soak_seconds() {
    const char *text = std::getenv("KORVEL_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 3;
}

TEST(Soak, EightThreadsOfRandomCalls) {
    KORTEST_NEED_LOGIND();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    kortest::temp_dir dir;
    const std::string process_name = "korvel-soak-target";
    kortest::child_process named({kortest::copy_executable("/bin/sleep", dir.path(), process_name), "600"});
    kortest::child_process watched({"sleep", "600"});
    const std::string pid = std::to_string(watched.pid());
    const std::vector<std::string> requests = {
        "",
        R"({"keep_display":true,"name":"soak"})",
        R"({"mode":"minutes","seconds":0})",
        R"({"mode":"minutes","seconds":1})",
        R"({"mode":"minutes","minutes":0.02})",
        R"({"mode":"while_pid","pid":)" + pid + "}",
        R"({"mode":"while_pid","pid":1})",
        R"({"mode":"while_process","name":")" + process_name + "\"}",
        R"({"mode":"while_pid","pid":2147483647})",
        R"({"mode":"sometimes"})",
        "not json",
    };
    // Until the named copy has exec'd, it is still called sleep.
    ASSERT_TRUE(kortest::eventually([&] { return kor_on(requests[7].c_str()) == 1; }, 10s)) << kor_last_error();

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<int64_t> longest_ms{0};
    auto host = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!stop) {
            const int64_t start = kortest::now_ms();
            const unsigned pick = random() % 16;
            if (pick < 9) {
                kor_on(requests[random() % requests.size()].c_str());
            } else if (pick < 11) {
                kor_off();
            } else if (pick < 14) {
                kor_free_string(kor_status());
            } else {
                volatile size_t length = std::string(kor_last_error()).size();
                (void)length;
            }
            const int64_t took = kortest::now_ms() - start;
            int64_t seen = longest_ms.load();
            while (took > seen && !longest_ms.compare_exchange_weak(seen, took)) {
            }
            ++calls;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 8; ++i) threads.emplace_back(host, i + 1);
    std::this_thread::sleep_for(std::chrono::seconds(soak_seconds()));
    stop = true;
    for (auto &t : threads) t.join();

    kor_off();
    RecordProperty("calls", static_cast<int>(calls.load()));
    RecordProperty("longest_ms", static_cast<int>(longest_ms.load()));
    std::printf("soak: %ld calls in %d s on 8 threads, longest %lld ms\n", calls.load(), soak_seconds(),
                static_cast<long long>(longest_ms.load()));
    // Bounds that only a hang breaks, however loaded the machine: every
    // thread made calls, and none waited past what eight callers' bus
    // budgets could add up to.
    EXPECT_GE(calls.load(), 8);
    EXPECT_LT(longest_ms.load(), 8 * 3000 + 6000);
    EXPECT_EQ(kortest::read_status().active, 0);
    EXPECT_TRUE(kortest::eventually([] { return kortest::inhibitors_of(getpid()).empty(); }, 5s));
}

}  // namespace
