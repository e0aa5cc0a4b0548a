// The millisecond clock and process liveness, against the kernel's own view.
#include "kor_platform.h"
#include "proc_helpers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int64_t boottime_ms() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TEST(PosixClock, NeverGoesBackOverManyReads) {
    int64_t previous = kor_now_ms();
    for (int i = 0; i < 1000000; ++i) {
        const int64_t now = kor_now_ms();
        ASSERT_GE(now, previous) << "read " << i;
        previous = now;
    }
}

// The watcher compares deadlines with this clock: it must count real
// milliseconds of a clock that keeps running through suspend, not seconds or
// microseconds, and not the wall clock.
TEST(PosixClock, CountsMillisecondsOfTheBootClock) {
    for (int i = 0; i < 20; ++i) {
        const int64_t before = boottime_ms();
        const int64_t value = kor_now_ms();
        const int64_t after = boottime_ms();
        ASSERT_GE(value, before - 1);
        ASSERT_LE(value, after + 1);
    }
    const int64_t start = kor_now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int64_t elapsed = kor_now_ms() - start;
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 10000);
}

TEST(PosixClock, MonotonicOnEveryThread) {
    constexpr int kThreads = 4;
    std::atomic<int> backwards{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            int64_t previous = kor_now_ms();
            for (int i = 0; i < 200000; ++i) {
                const int64_t now = kor_now_ms();
                if (now < previous) ++backwards;
                previous = now;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(backwards.load(), 0);
}

TEST(PosixPidAlive, FixedIds) {
    const struct {
        const char *what;
        int pid;
        int alive;
    } cases[] = {
        {"this process", static_cast<int>(getpid()), 1},
        {"pid 1, another process (maybe another user's)", 1, 1},
        {"zero", 0, 0},
        {"negative", -5, 0},
        {"most negative", INT_MIN, 0},
        {"beyond any pid_max", INT32_MAX, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(kor_plat_pid_alive(c.pid), c.alive) << c.what;
}

TEST(PosixPidAlive, ChildThroughItsLife) {
    kortest::child_process child({"sleep", "30"});
    const int pid = child.pid();
    EXPECT_EQ(kor_plat_pid_alive(pid), 1) << "running";

    child.kill_now(SIGSTOP);
    EXPECT_EQ(kor_plat_pid_alive(pid), 1) << "stopped is not ended";

    child.kill_now(SIGKILL);
    ASSERT_TRUE(posixtest::wait_zombie(pid));
    EXPECT_EQ(kor_plat_pid_alive(pid), 0) << "exited but not reaped";

    child.wait_exit();
    EXPECT_EQ(kor_plat_pid_alive(pid), 0) << "reaped";
}

// The watcher polls liveness without the core's lock, next to host threads.
TEST(PosixPidAlive, SafeFromSeveralThreads) {
    kortest::child_process child({"sleep", "30"});
    const int pid = child.pid();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (kor_plat_pid_alive(pid) != 1) ++wrong;
                if (kor_plat_pid_alive(0) != 0) ++wrong;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
