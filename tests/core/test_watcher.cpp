// The watcher thread: timed and process-bound activations that end by
// themselves, stop requests, and many host threads at once.
#include "core_test.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <vector>

using coretest::CoreTest;
using coretest::read_status;
using namespace std::chrono_literals;

namespace {

bool ends_within(std::chrono::milliseconds limit) {
    return kortest::eventually([] { return read_status().active == 0; }, limit);
}

void expect_ended_quietly() {
    coretest::expect_inactive(read_status());
    EXPECT_STREQ(kor_last_error(), "");
    const fake::snapshot seen = fake::observe();
    EXPECT_FALSE(seen.held);
    EXPECT_FALSE(seen.double_hold);
    EXPECT_EQ(seen.granted, seen.released);
    EXPECT_EQ(seen.watches_opened, seen.watches_closed) << "kor_status joins a watcher that has finished";
}

TEST_F(CoreTest, TimedActivationEndsAtItsDeadline) {
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":5})"), 1);
    fake::advance(4999);
    std::this_thread::sleep_for(300ms);  // three passes of the watcher
    EXPECT_EQ(read_status().active, 1);
    EXPECT_EQ(read_status().remaining_s, 1);

    fake::advance(1);
    EXPECT_TRUE(ends_within(3s));
    expect_ended_quietly();
    EXPECT_EQ(fake::observe().released, 1);
}

TEST_F(CoreTest, ProcessBoundActivationsEndWithTheirProcess) {
    fake::set_alive(1234, true);
    fake::add_process("backupd", 1234);
    for (const char *options : {R"({"mode":"while_pid","pid":1234})", R"({"mode":"while_process","name":"backupd"})"}) {
        SCOPED_TRACE(options);
        fake::set_alive(1234, true);
        ASSERT_EQ(kor_on(options), 1);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(read_status().active, 1);
        fake::set_alive(1234, false);
        EXPECT_TRUE(ends_within(5s));
        expect_ended_quietly();
    }
}

TEST_F(CoreTest, OnDuringProcessBoundReplacesItCleanly) {
    fake::set_alive(1234, true);
    fake::set_alive(5678, true);
    ASSERT_EQ(kor_on(R"({"mode":"while_pid","pid":1234})"), 1);
    ASSERT_EQ(kor_on(R"({"mode":"while_pid","pid":5678})"), 1);
    EXPECT_EQ(fake::observe().events, (std::vector<std::string>{"on", "off", "on"}));

    // The old watcher is gone: its process ending must not end the new one.
    fake::set_alive(1234, false);
    std::this_thread::sleep_for(1200ms);
    coretest::status s = read_status();
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.pid, 5678);

    ASSERT_EQ(kor_on(R"({"name":"after"})"), 1);
    fake::set_alive(5678, false);
    std::this_thread::sleep_for(700ms);
    s = read_status();
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.mode, "indefinite");
    EXPECT_FALSE(fake::observe().double_hold);
}

TEST_F(CoreTest, OnDuringTimedReplacesItCleanly) {
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":1})"), 1);
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":60})"), 1);
    fake::advance(5000);
    std::this_thread::sleep_for(300ms);
    const coretest::status s = read_status();
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.remaining_s, 55);
    EXPECT_EQ(fake::observe().released, 1);
}

// The process-bound watcher sleeps 500 ms between passes; a stop request must
// cut that sleep short rather than wait it out.
TEST_F(CoreTest, OffWakesTheWatcherAtOnce) {
    fake::set_alive(1234, true);
    std::vector<int64_t> took;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(kor_on(R"({"mode":"while_pid","pid":1234})"), 1);
        std::this_thread::sleep_for(30ms);  // the watcher is asleep now
        const int64_t start = coretest::real_ms();
        EXPECT_EQ(kor_off(), 1);
        took.push_back(coretest::real_ms() - start);
        EXPECT_FALSE(fake::observe().held);
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[took.size() / 2], 300) << "median kor_off time in ms";
}

TEST_F(CoreTest, OffDuringTimedEndsItOnce) {
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":30})"), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(kor_off(), 1);
    fake::advance(60000);
    std::this_thread::sleep_for(250ms);
    expect_ended_quietly();
    EXPECT_EQ(fake::observe().released, 1);
}

// A watcher that cannot be woken (the host closed what the wake-up travels
// through) is left to end by itself: kor_off does not wait for it, and it is
// detached and frees its watch at its deadline (the fixture checks both).
TEST_F(CoreTest, UnwakableWatcherIsLeftToEndByItself) {
    fake::refuse_stop(true);
    ASSERT_EQ(kor_on(R"({"mode":"minutes","seconds":5})"), 1);
    coretest::finish_within(5s, "kor_off beside a watcher it cannot wake", [] { kor_off(); });
    EXPECT_FALSE(fake::observe().held);
    fake::advance(5000);
}

// Each watcher has its own stop request: a kor_on starting the next watcher
// while another caller joins the old one must not undo that caller's request.
// Were it undone, the old watcher would poll on and the joining caller would
// wait for it for ever. Every round ends with a watcher running, so such a
// lost request is never rescued by a later stop.
TEST_F(CoreTest, RacingOnAndOffNeverHang) {
    fake::set_alive(1234, true);
    coretest::finish_within(20s, "200 racing kor_on/kor_off rounds", [] {
        auto worker = [](const char *options) {
            for (int i = 0; i < 200; ++i) {
                kor_off();
                kor_on(options);
            }
        };
        std::thread a(worker, R"({"mode":"while_pid","pid":1234})");
        std::thread b(worker, R"({"mode":"minutes","seconds":60})");
        std::thread c(worker, R"({"mode":"while_pid","pid":1234})");
        a.join();
        b.join();
        c.join();
    });
    EXPECT_EQ(read_status().active, 1);
    kor_off();
    expect_ended_quietly();
}

// Host threads, a moving clock and processes that come and go, all at once.
// Every status must describe one consistent state, and the inhibition must
// never be taken twice.
TEST_F(CoreTest, ConcurrentCallsKeepOneConsistentState) {
    fake::set_alive(1234, true);
    fake::add_process("backupd", 1234);
    std::atomic<bool> stop{false};
    std::atomic<int> inconsistent{0};
    std::atomic<int> calls{0};

    coretest::finish_within(30s, "the concurrent calls", [&] {
        auto host = [&](unsigned seed) {
            static const char *const kRequests[] = {
                nullptr,
                R"({"keep_display":true,"name":"a"})",
                R"({"mode":"minutes","seconds":0})",
                R"({"mode":"minutes","seconds":1})",
                R"({"mode":"while_pid","pid":1234})",
                R"({"mode":"while_process","name":"backupd"})",
                R"({"mode":"while_pid","pid":99})",
                "not json",
            };
            std::mt19937 rng(seed);
            while (!stop.load()) {
                const auto pick = static_cast<unsigned>(rng() % 12);
                if (pick < 8) {
                    kor_on(kRequests[pick]);
                } else if (pick < 10) {
                    kor_off();
                } else {
                    const coretest::status s = read_status();
                    const bool ok = s.ok && (s.active == 1 ? s.mode != "none" && s.mechanism == "fake-inhibitor"
                                                           : s.mode == "none" && s.mechanism == "none" && s.pid == 0 &&
                                                                 s.remaining_s == 0);
                    if (!ok) ++inconsistent;
                }
                ++calls;
            }
        };
        std::thread world([&] {
            bool alive = true;
            while (!stop.load()) {
                fake::advance(400);
                alive = !alive;
                fake::set_alive(1234, alive);
                std::this_thread::sleep_for(20ms);
            }
        });
        std::vector<std::thread> hosts;
        for (unsigned i = 0; i < 4; ++i) hosts.emplace_back(host, i + 1);
        std::this_thread::sleep_for(1500ms);
        stop = true;
        for (auto &t : hosts) t.join();
        world.join();
    });

    EXPECT_GT(calls.load(), 100);
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_FALSE(fake::observe().double_hold);
    kor_off();
    coretest::expect_inactive(read_status());
    const fake::snapshot seen = fake::observe();
    EXPECT_FALSE(seen.held);
    EXPECT_EQ(seen.granted, seen.released);
    for (size_t i = 0; i < seen.events.size(); ++i)
        ASSERT_EQ(seen.events[i], i % 2 == 0 ? "on" : "off") << "at event " << i;
}

}  // namespace
