// The Windows layer under the contract, under Wine: its processes are copies
// of the sleeper, and the inhibition is seen through the layer's seam,
// because Wine never refuses SetThreadExecutionState and keeps one state per
// process rather than per thread.
//
// Beside it, the cases only Windows has: the execution-state flags and their
// fallbacks, the request thread, and the lookup's rules of letter case and
// snapshot order.
#include "contract.h"
#include "error_capture.h"
#include "kor_win_seam.h"

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace contract {

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
    int threads_requiring_system() {
        std::lock_guard<std::mutex> lock(mu);
        int n = 0;
        for (const auto &[thread, flags] : state) {
            HANDLE h = flags & ES_SYSTEM_REQUIRED ? OpenThread(SYNCHRONIZE, FALSE, thread) : nullptr;
            if (h == nullptr) continue;
            n += WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
            CloseHandle(h);
        }
        return n;
    }
    static uint32_t hook(uint32_t flags);
} g_fake;

uint32_t exec_state_fake::hook(uint32_t flags) {
    std::lock_guard<std::mutex> lock(g_fake.mu);
    const DWORD self = GetCurrentThreadId();
    g_fake.calls.push_back({self, flags});
    for (uint32_t r : g_fake.refused)
        if (r == flags) return 0;
    return std::exchange(g_fake.state[self], flags == kClear ? 0 : flags) | kClear;
}

std::string exe_dir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// This process's handles, from the system's list of every handle (Wine
// answers GetProcessHandleCount with 0).
size_t handle_count() {
    struct list {
        ULONG count;
        struct {
            ULONG pid;
            UCHAR type, flags;
            USHORT handle;
            void *object;
            ACCESS_MASK access;
        } entries[1];
    };
    using query_fn = LONG(WINAPI *)(ULONG, void *, ULONG, ULONG *);
    const auto query = reinterpret_cast<query_fn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kTooSmall = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 20);
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) ==
           kTooSmall)
        buffer.resize(buffer.size() * 2);
    EXPECT_EQ(status, 0) << "the system's handle list";
    const auto *all = reinterpret_cast<const list *>(buffer.data());
    size_t n = 0;
    for (ULONG i = 0; i < all->count; ++i) n += all->entries[i].pid == GetCurrentProcessId();
    return n;
}

}  // namespace

const char *const kLayerName = "windows";

std::string why_no_inhibition() { return ""; }

std::vector<std::string> watch_paths() { return {"Handles"}; }

void set_up(const std::string &) {
    g_fake.install();
    kortest::clear_error();
}

int locks_held() { return g_fake.threads_requiring_system(); }

open_things count_open() {
    size_t threads = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
        threads += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return {handle_count(), threads};
}

int64_t reference_clock_ms() { return static_cast<int64_t>(GetTickCount64()); }

void let_time_pass(int64_t ms) { Sleep(static_cast<DWORD>(ms)); }

int self_pid() { return static_cast<int>(GetCurrentProcessId()); }

struct process::impl {
    std::string dir, path;
    PROCESS_INFORMATION pi{};
};

process::process(const std::string &name, int lifetime_ms, int exit_code) : impl_(new impl) {
    static int serial = 0;
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    impl_->dir = std::string(tmp) + "korvel-" + std::to_string(self_pid()) + "-" + std::to_string(++serial);
    CreateDirectoryA(impl_->dir.c_str(), nullptr);
    impl_->path = impl_->dir + "\\" + name;
    std::string command = "\"" + impl_->path + "\" " + std::to_string(lifetime_ms) + " " + std::to_string(exit_code);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    EXPECT_TRUE(
        CopyFileA((exe_dir() + "korvel_contract_sleeper.exe").c_str(), impl_->path.c_str(), FALSE) &&
        CreateProcessA(impl_->path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &impl_->pi))
        << name << " never ran";
}

process::~process() {
    kill();
    release();
    if (impl_->pi.hThread != nullptr) CloseHandle(impl_->pi.hThread);
    DeleteFileA(impl_->path.c_str());
    RemoveDirectoryA(impl_->dir.c_str());
}

int process::pid() const { return static_cast<int>(impl_->pi.dwProcessId); }
void process::pause() { SuspendThread(impl_->pi.hThread); }
void process::kill() {
    if (impl_->pi.hProcess != nullptr) TerminateProcess(impl_->pi.hProcess, 1);
    wait_exit();
}
void process::wait_exit() {
    if (impl_->pi.hProcess == nullptr) return;
    EXPECT_EQ(WaitForSingleObject(impl_->pi.hProcess, 30000), WAIT_OBJECT_0);
}
void process::release() {
    if (impl_->pi.hProcess != nullptr) CloseHandle(impl_->pi.hProcess);
    impl_->pi.hProcess = nullptr;
}

struct thread::impl {
    std::function<void()> work;
    HANDLE handle = nullptr;
};

thread::thread(std::function<void()> work) : impl_(new impl{std::move(work)}) {
    const auto run = [](void *p) -> DWORD {
        static_cast<impl *>(p)->work();
        return 0;
    };
    impl_->handle = CreateThread(nullptr, 0, run, impl_.get(), 0, nullptr);
    EXPECT_NE(impl_->handle, nullptr);
}

thread::~thread() { join(); }

void thread::join() {
    if (impl_->handle == nullptr) return;
    WaitForSingleObject(impl_->handle, INFINITE);
    CloseHandle(impl_->handle);
    impl_->handle = nullptr;
}

namespace {

using WindowsLayer = Test;

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

TEST_F(WindowsLayer, FlagsAndFallbacks) {
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
        g_fake.install(r.refuse);
        kortest::clear_error();
        char mechanism[64] = "untouched";
        EXPECT_EQ(kor_plat_inhibit_on({r.keep_display, "reason"}, mechanism, sizeof mechanism), r.result);
        const auto calls = g_fake.take_calls();
        EXPECT_EQ(flags_of(calls), r.expected_calls);
        EXPECT_TRUE(all_on_request_thread(calls));
        if (r.result == 0) {
            EXPECT_STREQ(mechanism, "SetThreadExecutionState");
            EXPECT_EQ(kortest::last_error(), "");
            EXPECT_EQ(locks_held(), 1);
            kor_plat_inhibit_off();
            EXPECT_EQ(flags_of(g_fake.take_calls()), std::vector<uint32_t>{kClear});
        } else {
            EXPECT_STREQ(mechanism, "untouched");
            EXPECT_EQ(kortest::last_error(), "SetThreadExecutionState failed");
            kor_plat_inhibit_off();  // nothing is held, so nothing to clear
            EXPECT_TRUE(g_fake.take_calls().empty());
        }
        EXPECT_EQ(locks_held(), 0);
    }
}

// A release without a request makes no call; a second request without a
// release in between simply asks again; one release clears it, and a
// second finds nothing held. Every call is made on the layer's request
// thread, whichever thread asks, and cleared where it was made.
TEST_F(WindowsLayer, EveryCallOnTheRequestThread) {
    g_fake.take_calls();
    kor_plat_inhibit_off();
    EXPECT_TRUE(g_fake.take_calls().empty());
    for (const int keep_display : {0, 1})
        thread([keep_display] { kor_plat_inhibit_on({keep_display, ""}, nullptr, 0); }).join();
    thread([] { kor_plat_inhibit_off(); }).join();
    kor_plat_inhibit_off();
    const auto calls = g_fake.take_calls();
    EXPECT_EQ(flags_of(calls), (std::vector<uint32_t>{0x80000041u, 0x80000043u, kClear}));
    EXPECT_TRUE(all_on_request_thread(calls));

    // Many short-lived threads later, the same thread still serves.
    const DWORD request_thread = kor_win_request_thread_id();
    for (int i = 0; i < 8; ++i) {
        thread([i] {
            if (i % 2 == 0) kor_plat_inhibit_on({0, ""}, nullptr, 0);
            else kor_plat_inhibit_off();
        }).join();
    }
    for (const auto &c : g_fake.take_calls()) EXPECT_EQ(c.thread, request_thread);
}

// Without the seam: the real call, as Wine answers it.
TEST_F(WindowsLayer, RealExecutionStateCall) {
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

// The suffix rule applies once; a name without it matches only whole; letter
// case counts for ASCII only ("\304" and "\344" are Latin-1's A and a with
// diaeresis).
TEST_F(WindowsLayer, NameMatchingRules) {
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
        {"x.exe.exe", "x.exe", true},
        {"x.exe", "x.exe.exe", false},
        {".exe", ".EXE", true},
        {".exe", "", false},
        {".exe", "x", false},
        {"tool", "TOOL", true},
        {"tool", "tool.exe", false},
        {"tool.com", "tool", false},
        {"\304BC.exe", "\344bc", false},
    };
    for (const auto &r : rows) EXPECT_EQ(kor_win_name_matches(r.exe, r.name), r.match) << r.exe << " vs " << r.name;
}

// Running processes, started under names of different letter case.
TEST_F(WindowsLayer, FindsAnyLetterCase) {
    const std::string tok = unique_name("");
    const struct {
        const char *name;
        bool found;
    } queries[] = {
        {"sleeper", true}, {"SLEEPER.exe", true}, {"sleeper.exe", true}, {"Sleeper.EXE", true},      {"sLeEpEr", true},
        {"sleep", false},  {"sleeper.ex", false}, {"leeper", false},     {"sleeper.exe.exe", false},
    };
    for (const char *launched_as : {"Sleeper.EXE", "sleeper.exe"}) {
        SCOPED_TRACE(testing::Message() << "launched as " << launched_as);
        process p(tok + launched_as);
        ASSERT_TRUE(eventually([&] { return kor_plat_find_process((tok + "sleeper").c_str()) == p.pid(); }));
        for (const auto &q : queries)
            EXPECT_EQ(kor_plat_find_process((tok + q.name).c_str()), q.found ? p.pid() : -1)
                << "looked up as " << q.name;
        p.kill();
        p.release();
        EXPECT_TRUE(eventually([&] { return kor_plat_find_process((tok + "sleeper").c_str()) == -1; }));
    }
}

// The first process of a fresh snapshot whose name equals `exe` ignoring case.
int first_in_snapshot(const std::string &exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    int pid = -1;
    for (BOOL more = Process32First(snap, &e); more && pid < 0; more = Process32Next(snap, &e))
        if (_stricmp(e.szExeFile, exe.c_str()) == 0) pid = static_cast<int>(e.th32ProcessID);
    CloseHandle(snap);
    return pid;
}

TEST_F(WindowsLayer, FirstMatchOfTheSnapshot) {
    const std::string name = unique_name("sleeper");
    process a(unique_name("Sleeper.EXE")), b(name + ".exe");
    EXPECT_NE(a.pid(), b.pid());
    // Both are listed before the comparison starts.
    ASSERT_TRUE(
        eventually([&] { return first_in_snapshot(name + ".exe") > 0 && kor_plat_find_process(name.c_str()) > 0; }));
    const int first = first_in_snapshot(name + ".exe");
    EXPECT_TRUE(first == a.pid() || first == b.pid()) << first;
    EXPECT_EQ(kor_plat_find_process(name.c_str()), first);
    EXPECT_EQ(kor_plat_find_process(unique_name("SLEEPER.EXE").c_str()), first);
    // With the first one gone, the other is found.
    process &gone = first == a.pid() ? a : b;
    const int other = first == a.pid() ? b.pid() : a.pid();
    gone.kill();
    gone.release();
    EXPECT_TRUE(eventually([&] { return kor_plat_find_process(name.c_str()) == other; }));
}

}  // namespace
}  // namespace contract
