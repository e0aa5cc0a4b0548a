// Taking and releasing the inhibition: replacement, release, and a platform
// that refuses.
#include "core_test.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::atomic<pid_t> g_forked{0};

void fork_and_end_the_child(int) {
    const int saved = errno;
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    g_forked = pid;
    errno = saved;
}

// A signal handler forks on a thread that is inside kor_on, kor_off or
// kor_status, holding the library's lock (a crash reporter, a supervisor
// restarting a worker): the fork goes ahead, the child is a process of its
// own, and the interrupted call completes.
TEST_F(CoreTest, ForkFromASignalHandlerInsideACallGoesAhead) {
    const struct {
        const char *parks_in;
        bool active_first;
        int (*call)();
    } cases[] = {
        {"kor_plat_inhibit_on", false, [] { return kor_on(nullptr); }},
        {"kor_plat_inhibit_off", true, [] { return kor_off(); }},
        {"kor_plat_inhibit_refresh", true, [] { return read_status().active == 1 ? 1 : 0; }},
    };
    struct sigaction handler {};
    struct sigaction saved {};
    handler.sa_handler = fork_and_end_the_child;
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.parks_in);
        if (c.active_first) {
            ASSERT_EQ(kor_on(nullptr), 1);
        }
        fake::park_next(c.parks_in);
        int result = -1;
        std::thread caller([&] { result = c.call(); });
        ASSERT_TRUE(kortest::eventually(fake::parked, std::chrono::seconds(5)));
        g_forked = 0;
        pthread_kill(caller.native_handle(), SIGUSR1);
        coretest::finish_within(std::chrono::seconds(10), "a fork from a signal handler", [] {
            while (g_forked == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        int status = -1;
        EXPECT_EQ(waitpid(g_forked, &status, 0), g_forked.load());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        fake::unpark();
        caller.join();
        EXPECT_EQ(result, 1);
        coretest::finish_within(std::chrono::seconds(5), "the next call", [] { kor_off(); });
    }
    sigaction(SIGUSR1, &saved, nullptr);
}

}  // namespace
