// The Windows platform layer against its contract: clock, liveness, the
// matching rule of the process lookup and the execution-state request.
// SetThreadExecutionState is observed through the layer's seam, because Wine
// never refuses it and keeps one state per process rather than per thread.
#include "error_capture.h"
#include "kor_platform.h"
#include "kor_win_seam.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kClear = 0x80000000u;

// A stand-in for SetThreadExecutionState that behaves as Windows does (one
// request per thread, gone with the thread) and can refuse chosen flags.
struct exec_state_fake {
    struct call {
        DWORD thread;
        uint32_t flags;
    };
    std::mutex mu;
    std::vector<call> calls;
    std::vector<uint32_t> refused;
    std::map<DWORD, uint32_t> state;  // per thread

    static exec_state_fake &get() {
        static exec_state_fake f;
        return f;
    }
    static uint32_t hook(uint32_t flags) {
        exec_state_fake &f = get();
        std::lock_guard<std::mutex> lock(f.mu);
        const DWORD self = GetCurrentThreadId();
        f.calls.push_back({self, flags});
        for (uint32_t r : f.refused)
            if (r == flags) return 0;
        const uint32_t previous = f.state[self];
        f.state[self] = flags == kClear ? 0 : flags;
        return previous | kClear;
    }
    void install(std::vector<uint32_t> refuse = {}) {
        std::lock_guard<std::mutex> lock(mu);
        calls.clear();
        refused = std::move(refuse);
        kor_win_set_exec_state_fn(&hook);
    }
    std::vector<call> take_calls() {
        std::lock_guard<std::mutex> lock(mu);
        return std::exchange(calls, {});
    }
    // Windows keeps a request only while the thread that made it runs.
    bool system_required_in_force() {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto &[thread, flags] : state) {
            if (!(flags & ES_SYSTEM_REQUIRED)) continue;
            HANDLE h = OpenThread(SYNCHRONIZE, FALSE, thread);
            if (h == nullptr) continue;
            const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
            CloseHandle(h);
            if (running) return true;
        }
        return false;
    }
};

std::vector<uint32_t> flags_of(const std::vector<exec_state_fake::call> &calls) {
    std::vector<uint32_t> out;
    for (const auto &c : calls) out.push_back(c.flags);
    return out;
}

bool all_on_request_thread(const std::vector<exec_state_fake::call> &calls) {
    for (const auto &c : calls)
        if (c.thread != kor_win_request_thread_id() || c.thread == GetCurrentThreadId()) return false;
    return true;
}

// Every request goes to the fake, which refuses nothing unless told.
class Inhibit : public ::testing::Test {
protected:
    void SetUp() override {
        fake.install();
        kortest::clear_error();
    }
    exec_state_fake &fake = exec_state_fake::get();
};

}  // namespace

TEST(Platform, NameAndMonotonicClock) {
    EXPECT_STREQ(kor_plat_name(), "windows");
    int64_t last = kor_now_ms();
    for (int i = 0; i < 10000; ++i) {
        const int64_t now = kor_now_ms();
        ASSERT_GE(now, last);
        last = now;
    }
    const int64_t before = kor_now_ms();
    Sleep(200);
    const int64_t elapsed = kor_now_ms() - before;
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 30000);
}

using watch_ptr = std::unique_ptr<kor_plat_watch, kor_plat_watch_closer>;

TEST(Watch, OpensOnlyOnALiveProcess) {
    const struct {
        int pid;
        int result;
    } rows[] = {
        {0, KOR_WATCH_OPENED},  // a deadline only
        {static_cast<int>(GetCurrentProcessId()), KOR_WATCH_OPENED},
        {0x7FFFFFF0, KOR_WATCH_PROCESS_NOT_ALIVE},  // no such process
    };
    for (const auto &r : rows) {
        kor_plat_watch *w = nullptr;
        EXPECT_EQ(kor_plat_watch_open(r.pid, &w), r.result) << "pid " << r.pid;
        kor_plat_watch_close(w);
    }
}

TEST(Watch, DeadlineAndStop) {
    kor_plat_watch *raw = nullptr;
    ASSERT_EQ(kor_plat_watch_open(0, &raw), KOR_WATCH_OPENED);
    watch_ptr w(raw);
    EXPECT_EQ(kor_plat_watch_wait(w.get(), kor_now_ms() - 1), KOR_WATCH_DEADLINE);
    const int64_t deadline = kor_now_ms() + 300;
    EXPECT_EQ(kor_plat_watch_wait(w.get(), deadline), KOR_WATCH_DEADLINE);
    EXPECT_GE(kor_now_ms(), deadline) << "never before the deadline";

    std::thread stopper([&] {
        Sleep(100);
        kor_plat_watch_stop(w.get());
    });
    EXPECT_EQ(kor_plat_watch_wait(w.get(), 0), KOR_WATCH_STOPPED);
    stopper.join();
    EXPECT_EQ(kor_plat_watch_wait(w.get(), kor_now_ms() + 60000), KOR_WATCH_STOPPED) << "a stop is for good";
}

TEST(FindProcess, NoNameOrNoMatch) {
    for (const char *name : {static_cast<const char *>(nullptr), "", "no-such-korvel-process"})
        EXPECT_EQ(kor_plat_find_process(name), -1) << (name ? name : "(null)");
}

TEST(FindProcess, NameMatchingRules) {
    const struct {
        const char *exe;
        const char *name;
        bool match;
    } rows[] = {
        {"notepad.exe", "notepad", true},
        {"notepad.exe", "NOTEPAD.EXE", true},
        {"notepad.exe", "note", false},
        {"A.EXE", "a.exe", true},
        {"a.exe", "a", true},
        {"a.exe", "A", true},
        {"Sleeper.EXE", "sLEEPER", true},
        {"sleeper.exe", "sleep", false},
        {"sleeper.exe", "sleeper.ex", false},
        {"sleeper.exe", "leeper.exe", false},
        {"x.exe.exe", "x.exe", true},  // the suffix rule applies once
        {"x.exe", "x.exe.exe", false},
        {".exe", ".EXE", true},
        {".exe", "", false},
        {".exe", "x", false},
        {"tool", "TOOL", true},  // no suffix: only the whole name
        {"tool", "tool.exe", false},
        {"tool.com", "tool", false},
        {"\xC4"
         "BC.exe",
         "\xE4"
         "bc",
         false},  // letter case of ASCII only
    };
    for (const auto &r : rows) EXPECT_EQ(kor_win_name_matches(r.exe, r.name), r.match) << r.exe << " vs " << r.name;
}

TEST_F(Inhibit, FlagsAndFallbacks) {
    const struct {
        int keep_display;
        std::vector<uint32_t> refuse;
        std::vector<uint32_t> expected_calls;
        int result;
    } rows[] = {
        {1, {}, {0x80000043u}, 0},
        {1, {0x80000043u}, {0x80000043u, 0x80000003u}, 0},
        {1, {0x80000043u, 0x80000003u}, {0x80000043u, 0x80000003u}, -1},
        {0, {}, {0x80000041u}, 0},
        {0, {0x80000041u}, {0x80000041u, 0x80000001u}, 0},
        {0, {0x80000041u, 0x80000001u}, {0x80000041u, 0x80000001u}, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "keep_display " << r.keep_display << ", " << r.refuse.size()
                                        << " flag sets refused");
        fake.install(r.refuse);
        kortest::clear_error();
        char mechanism[64] = "untouched";
        EXPECT_EQ(kor_plat_inhibit_on({r.keep_display, "reason"}, mechanism, sizeof mechanism), r.result);
        const auto calls = fake.take_calls();
        EXPECT_EQ(flags_of(calls), r.expected_calls);
        EXPECT_TRUE(all_on_request_thread(calls));
        if (r.result == 0) {
            EXPECT_STREQ(mechanism, "SetThreadExecutionState");
            EXPECT_EQ(kortest::last_error(), "");
            EXPECT_TRUE(fake.system_required_in_force());
            kor_plat_inhibit_off();
            EXPECT_EQ(flags_of(fake.take_calls()), std::vector<uint32_t>{kClear});
        } else {
            EXPECT_STREQ(mechanism, "untouched");
            EXPECT_EQ(kortest::last_error(), "SetThreadExecutionState failed");
            kor_plat_inhibit_off();  // nothing is held, so nothing to clear
            EXPECT_TRUE(fake.take_calls().empty());
        }
        EXPECT_FALSE(fake.system_required_in_force());
    }
}

TEST_F(Inhibit, MechanismBuffer) {
    const struct {
        bool give_buffer;
        size_t capacity;
        const char *expected;
    } rows[] = {
        {true, 64, "SetThreadExecutionState"},
        {true, 24, "SetThreadExecutionState"},  // exactly fits
        {true, 23, "SetThreadExecutionStat"},
        {true, 5, "SetT"},
        {true, 1, ""},
        {true, 0, "untouched"},
        {false, 64, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "capacity " << r.capacity << (r.give_buffer ? "" : ", no buffer"));
        char buffer[64] = "untouched";
        EXPECT_EQ(kor_plat_inhibit_on({0, ""}, r.give_buffer ? buffer : nullptr, r.capacity), 0);
        if (r.give_buffer) {
            EXPECT_STREQ(buffer, r.expected);
        }
        kor_plat_inhibit_off();
    }
}

TEST_F(Inhibit, OffOnlyAfterOn) {
    kor_plat_inhibit_off();
    EXPECT_TRUE(fake.take_calls().empty());

    // A second request without a release in between simply asks again; one
    // release clears it, and a second release finds nothing held.
    EXPECT_EQ(kor_plat_inhibit_on({0, ""}, nullptr, 0), 0);
    EXPECT_EQ(kor_plat_inhibit_on({1, ""}, nullptr, 0), 0);
    EXPECT_EQ(flags_of(fake.take_calls()), (std::vector<uint32_t>{0x80000041u, 0x80000043u}));
    kor_plat_inhibit_off();
    kor_plat_inhibit_off();
    EXPECT_EQ(flags_of(fake.take_calls()), std::vector<uint32_t>{kClear});
    EXPECT_FALSE(fake.system_required_in_force());
}

// The host takes the inhibition on one thread, that thread ends, and another
// thread releases it: the request must hold in between and be gone after.
TEST_F(Inhibit, OutlivesTheRequestingThread) {
    DWORD requester = 0;
    int result = -1;
    std::thread a([&] {
        requester = GetCurrentThreadId();
        result = kor_plat_inhibit_on({1, ""}, nullptr, 0);
    });
    a.join();
    ASSERT_EQ(result, 0);
    const auto on_calls = fake.take_calls();
    ASSERT_EQ(on_calls.size(), 1u);
    EXPECT_NE(on_calls[0].thread, requester);
    EXPECT_EQ(on_calls[0].thread, kor_win_request_thread_id());
    Sleep(50);
    EXPECT_TRUE(fake.system_required_in_force());

    std::thread b([] { kor_plat_inhibit_off(); });
    b.join();
    const auto off_calls = fake.take_calls();
    ASSERT_EQ(off_calls.size(), 1u);
    EXPECT_EQ(off_calls[0].flags, kClear);
    EXPECT_EQ(off_calls[0].thread, on_calls[0].thread);  // cleared where it was made
    EXPECT_FALSE(fake.system_required_in_force());

    // Many short-lived threads later, the same thread still serves.
    for (int i = 0; i < 8; ++i) {
        std::thread t([i] {
            if (i % 2 == 0) kor_plat_inhibit_on({0, ""}, nullptr, 0);
            else kor_plat_inhibit_off();
        });
        t.join();
    }
    for (const auto &c : fake.take_calls()) EXPECT_EQ(c.thread, on_calls[0].thread);
    EXPECT_FALSE(fake.system_required_in_force());
}

// Without the seam: the real call, as Wine answers it.
TEST_F(Inhibit, RealExecutionStateCall) {
    kor_win_set_exec_state_fn(nullptr);
    char mechanism[64] = "";
    ASSERT_EQ(kor_plat_inhibit_on({1, ""}, mechanism, sizeof mechanism), 0);
    EXPECT_STREQ(mechanism, "SetThreadExecutionState");
    EXPECT_NE(kor_win_request_thread_id(), 0u);
    kor_plat_inhibit_off();
    EXPECT_EQ(kor_plat_inhibit_on({0, ""}, mechanism, sizeof mechanism), 0);
    kor_plat_inhibit_off();
    EXPECT_EQ(kortest::last_error(), "");
}
