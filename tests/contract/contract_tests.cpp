// The cases of the platform contract, the same for every layer.
#include "contract.h"

#include <climits>
#include <string>
#include <thread>

namespace contract {

using namespace std::chrono_literals;

// --- The harness --------------------------------------------------------------

std::string unique_name(const std::string &what) { return "kt" + std::to_string(self_pid()) + what; }

bool eventually(const std::function<bool()> &probe, std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!probe()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int open_watch(int pid, watch_ptr &out) {
    kor_plat_watch *w = nullptr;
    const int result = kor_plat_watch_open(pid, &w);
    out.reset(w);
    EXPECT_EQ(w != nullptr, result == KOR_WATCH_OPENED) << "a watch is handed out exactly when one opens";
    return result;
}

wait_thread::wait_thread(kor_plat_watch *w, int64_t deadline_ms)
    : w_(w), thread_([this, deadline_ms] { event_ = kor_plat_watch_wait(w_, deadline_ms); }) {}

kor_plat_watch_event wait_thread::outcome(std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (event_ < 0) {
        if (std::chrono::steady_clock::now() > give_up) {
            ADD_FAILURE() << "the wait did not end within " << limit.count() << " ms";
            kor_plat_watch_stop(w_);  // so that its thread ends
            break;
        }
        let_time_pass(10);
    }
    thread_.join();
    return static_cast<kor_plat_watch_event>(event_.load());
}

kor_plat_watch_event wait_for(kor_plat_watch *w, int64_t deadline_ms) { return wait_thread(w, deadline_ms).outcome(); }

void Test::SetUp() {
    set_up(watch_path());
    // What stays for the process's life is taken before counting: the
    // layer's (a bus connection, a thread of its own) and GoogleTest's (on
    // Windows, a thread once a trace is scoped).
    if (why_no_inhibition().empty() && kor_plat_inhibit_on({}, nullptr, 0) == 0) kor_plat_inhibit_off();
    { SCOPED_TRACE("warming up"); }
    ASSERT_TRUE(eventually([] { return locks_held() == 0; })) << "held before the test";
    before_ = count_open();
}

void Test::TearDown() {
    EXPECT_TRUE(eventually([] { return locks_held() == 0; })) << "an inhibition is still held";
    open_things now;
    EXPECT_TRUE(eventually([&] {
        now = count_open();
        return now.handles == before_.handles && now.threads == before_.threads;
    })) << "left open: "
        << now.handles << " handles and " << now.threads << " threads, from " << before_.handles << " and "
        << before_.threads;
}

namespace {

using Contract = Test;
using ContractWatch = WatchTest;

INSTANTIATE_TEST_SUITE_P(Paths, ContractWatch, ::testing::ValuesIn(watch_paths()),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });

class ContractInhibit : public Test {
protected:
    void SetUp() override {
        Test::SetUp();
        const std::string why = why_no_inhibition();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

const kor_plat_request kAsk{0, "contract tests", "korvel-contract"};

bool held() { return locks_held() >= 1; }
bool released() { return locks_held() == 0; }

// --- The name and the clock ---------------------------------------------------------

TEST_F(Contract, NameIsTheLayers) { EXPECT_STREQ(kor_plat_name(), kLayerName); }

// A clock that stops, goes back, runs at another pace or misses the time
// the machine spends suspended fails one of these three.
TEST_F(Contract, ClockNeverGoesBack) {
    int64_t previous = kor_now_ms();
    for (int i = 0; i < 200000; ++i) {
        const int64_t now = kor_now_ms();
        ASSERT_GE(now, previous) << "read " << i;
        previous = now;
    }
}

TEST_F(Contract, ClockAdvancesWithTime) {
    const int64_t before = kor_now_ms();
    let_time_pass(200);
    const int64_t elapsed = kor_now_ms() - before;
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 30000);
}

TEST_F(Contract, ClockCountsTimeSuspended) {
    const int64_t before = reference_clock_ms();
    const int64_t now = kor_now_ms();
    const int64_t after = reference_clock_ms();
    EXPECT_GE(now, before - 1000);
    EXPECT_LE(now, after + 1000);
}

// --- The inhibition ---------------------------------------------------------------

// Off without on does nothing; on holds until off, whatever keep_display
// asks, and refresh says so; a second off finds nothing held.
TEST_F(ContractInhibit, HeldFromOnUntilOff) {
    kor_plat_inhibit_off();
    EXPECT_EQ(kor_plat_inhibit_refresh(nullptr, 0), 0);
    for (const int keep_display : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "keep_display " << keep_display);
        char mechanism[256] = "";
        ASSERT_EQ(kor_plat_inhibit_on({keep_display, "contract tests", ""}, mechanism, sizeof mechanism), 0);
        EXPECT_STRNE(mechanism, "");
        EXPECT_TRUE(eventually(held));
        char refreshed[256] = "untouched";
        EXPECT_EQ(kor_plat_inhibit_refresh(refreshed, sizeof refreshed), 1);
        EXPECT_STREQ(refreshed, "untouched") << "written although nothing changed";
        kor_plat_inhibit_off();
        kor_plat_inhibit_off();
        EXPECT_TRUE(eventually(released));
        EXPECT_EQ(kor_plat_inhibit_refresh(refreshed, sizeof refreshed), 0);
    }
}

TEST_F(ContractInhibit, MechanismIsCutToCapacity) {
    char full[256] = "";
    ASSERT_EQ(kor_plat_inhibit_on(kAsk, full, sizeof full), 0);
    kor_plat_inhibit_off();
    const std::string name = full;
    ASSERT_GT(name.size(), 4u);
    // Roomy, exactly fitting, one byte short, small, only the NUL, nothing.
    for (const size_t capacity : {sizeof full, name.size() + 1, name.size(), size_t{5}, size_t{1}, size_t{0}}) {
        char buffer[sizeof full] = "untouched";
        ASSERT_EQ(kor_plat_inhibit_on(kAsk, buffer, capacity), 0);
        EXPECT_EQ(buffer, capacity == 0 ? "untouched" : name.substr(0, capacity - 1)) << "capacity " << capacity;
        kor_plat_inhibit_off();
    }
    ASSERT_EQ(kor_plat_inhibit_on(kAsk, nullptr, sizeof full), 0) << "no buffer";
    EXPECT_TRUE(eventually(held));
    kor_plat_inhibit_off();
    EXPECT_TRUE(eventually(released));
}

TEST_F(ContractInhibit, SecondOnReplacesTheFirst) {
    ASSERT_EQ(kor_plat_inhibit_on(kAsk, nullptr, 0), 0);
    ASSERT_TRUE(eventually(held));
    const int one = locks_held();
    ASSERT_EQ(kor_plat_inhibit_on(kAsk, nullptr, 0), 0);
    EXPECT_TRUE(eventually([one] { return locks_held() == one; })) << "the first is held beside the second";
    EXPECT_EQ(kor_plat_inhibit_refresh(nullptr, 0), 1);
    kor_plat_inhibit_off();
    EXPECT_TRUE(eventually(released)) << "one release ends both";
}

// The inhibition is the library's, not a thread's: a host thread takes it
// and ends, another releases it.
TEST_F(ContractInhibit, HeldWhicheverThreadTookIt) {
    int result = -1;
    thread([&result] { result = kor_plat_inhibit_on(kAsk, nullptr, 0); }).join();
    ASSERT_EQ(result, 0);
    EXPECT_TRUE(eventually(held)) << "gone with the thread that took it";
    thread([] { kor_plat_inhibit_off(); }).join();
    EXPECT_TRUE(eventually(released));
}

// --- Finding a process ----------------------------------------------------------------

TEST_F(Contract, FindsAProcessByName) {
    EXPECT_EQ(kor_plat_find_process(nullptr), -1);
    EXPECT_EQ(kor_plat_find_process(""), -1);
    EXPECT_EQ(kor_plat_find_process(unique_name("-nothing-runs-under-this-name").c_str()), -1);
    const std::string name = unique_name("sleeper");
    process p(name + ".exe");
    ASSERT_TRUE(eventually([&] { return kor_plat_find_process(name.c_str()) == p.pid(); }));
    const struct {
        std::string wanted;
        bool found;
    } rows[] = {
        {name, true},        {name + ".exe", true}, {name.substr(0, name.size() - 1), false},
        {name + "s", false}, {name + ".ex", false}, {name + ".exe.exe", false},
    };
    for (const auto &r : rows) EXPECT_EQ(kor_plat_find_process(r.wanted.c_str()), r.found ? p.pid() : -1) << r.wanted;
    p.kill();
    p.release();
    EXPECT_TRUE(eventually([&] { return kor_plat_find_process(name.c_str()) == -1; }));
}

// --- Watching ------------------------------------------------------------------------

TEST_P(ContractWatch, OpensOnlyOnALiveProcess) {
    process running(unique_name("running.exe")), ended(unique_name("ended.exe")), gone(unique_name("gone.exe"));
    ended.kill();
    gone.kill();
    gone.release();
    const struct {
        const char *what;
        int pid;
        int expected;
    } rows[] = {
        {"this process", self_pid(), KOR_WATCH_OPENED},
        {"no process: a deadline only", 0, KOR_WATCH_OPENED},
        {"a running process", running.pid(), KOR_WATCH_OPENED},
        {"an ended process, not yet released (a zombie)", ended.pid(), KOR_WATCH_PROCESS_NOT_ALIVE},
        {"an ended and released process", gone.pid(), KOR_WATCH_PROCESS_NOT_ALIVE},
        {"beyond any pid", INT32_MAX, KOR_WATCH_PROCESS_NOT_ALIVE},
        {"no such process", 0x7FFFFFF0, KOR_WATCH_PROCESS_NOT_ALIVE},
    };
    for (const auto &r : rows) {
        watch_ptr w;
        EXPECT_EQ(open_watch(r.pid, w), r.expected) << r.what;
    }
}

TEST_P(ContractWatch, EachEventEndsTheWait) {
    process child(unique_name("watched.exe"));
    watch_ptr w;
    ASSERT_EQ(open_watch(child.pid(), w), KOR_WATCH_OPENED);

    // A paused process has not ended; a deadline already past ends at once.
    child.pause();
    EXPECT_EQ(wait_for(w.get(), kor_now_ms() - 5), KOR_WATCH_DEADLINE);
    const int64_t deadline = kor_now_ms() + 300;
    EXPECT_EQ(wait_for(w.get(), deadline), KOR_WATCH_DEADLINE);
    EXPECT_GE(kor_now_ms(), deadline) << "never before the deadline";

    // The end of the process, noticed while waiting.
    wait_thread waiting(w.get(), 0);
    let_time_pass(100);
    child.kill();
    EXPECT_EQ(waiting.outcome(), KOR_WATCH_PROCESS_ENDED);

    // A stop request ends the wait, and every later one.
    watch_ptr idle;
    ASSERT_EQ(open_watch(0, idle), KOR_WATCH_OPENED);
    wait_thread stopped(idle.get(), 0);
    let_time_pass(50);
    EXPECT_TRUE(kor_plat_watch_stop(idle.get()));
    EXPECT_EQ(stopped.outcome(), KOR_WATCH_STOPPED);
    EXPECT_EQ(wait_for(idle.get(), kor_now_ms() + 60000), KOR_WATCH_STOPPED);
}

// What the watcher of a while_process activation sees: a process found by
// name, pinned by a watch, which then ends: killed, by itself, or with exit
// code 259 (STILL_ACTIVE on Windows, which must not pass for running).
TEST_P(ContractWatch, EndsWithTheProcessFoundByName) {
    const struct {
        const char *how;
        int lifetime_ms;
        bool killed;
        int exit_code;
    } rows[] = {
        {"killed", 60000, true, 0},
        {"exits by itself", 3000, false, 0},
        {"exits with code 259", 3000, false, 259},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.how);
        const std::string name = unique_name("sleeper");
        process p(name + ".exe", r.lifetime_ms, r.exit_code);
        ASSERT_TRUE(eventually([&] { return kor_plat_find_process(name.c_str()) == p.pid(); }));
        watch_ptr w;
        ASSERT_EQ(open_watch(p.pid(), w), KOR_WATCH_OPENED);
        EXPECT_EQ(wait_for(w.get(), kor_now_ms() + 300), KOR_WATCH_DEADLINE) << "alive while it runs";
        if (r.killed) p.kill();
        wait_thread waiting(w.get(), 0);
        EXPECT_EQ(waiting.outcome(std::chrono::milliseconds(r.killed ? 0 : r.lifetime_ms) + 10s),
                  KOR_WATCH_PROCESS_ENDED);
        p.wait_exit();
        p.release();
        EXPECT_TRUE(eventually([&] { return kor_plat_find_process(name.c_str()) == -1; }));
    }
}

}  // namespace
}  // namespace contract
