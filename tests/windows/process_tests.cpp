// Process liveness and lookup against real processes: copies of a small
// sleeping console program, started under names of different letter case.
#include "kor_platform.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace {

std::string exe_dir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// A copy of the sleeper under `file_name` in a directory of its own, running
// for `ms` milliseconds; killed and removed when the object goes.
class sleeper {
public:
    sleeper(const std::string &file_name, unsigned ms, unsigned exit_code = 0) {
        static int serial = 0;
        char tmp[MAX_PATH];
        GetTempPathA(sizeof tmp, tmp);
        dir_ = std::string(tmp) + "korvel-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        CreateDirectoryA(dir_.c_str(), nullptr);
        path_ = dir_ + "\\" + file_name;
        if (!CopyFileA((exe_dir() + "korvel_win_sleeper.exe").c_str(), path_.c_str(), FALSE)) return;
        std::string command = "\"" + path_ + "\" " + std::to_string(ms) + " " + std::to_string(exit_code);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (CreateProcessA(path_.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_))
            CloseHandle(pi_.hThread);
        else pi_ = PROCESS_INFORMATION{};
    }
    sleeper(const sleeper &) = delete;
    sleeper &operator=(const sleeper &) = delete;
    ~sleeper() {
        kill();
        DeleteFileA(path_.c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    int pid() const { return static_cast<int>(pi_.dwProcessId); }
    bool started() const { return pi_.hProcess != nullptr; }
    // Waits for the process to end by itself; the handle is kept.
    bool wait_exit(DWORD ms) { return WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0; }
    // Kills the process and waits for it to end; the handle is kept.
    bool terminate() { return TerminateProcess(pi_.hProcess, 1) && wait_exit(10000); }
    // Lets go of the handle, after which the id can no longer be opened.
    void release() {
        if (pi_.hProcess != nullptr) CloseHandle(pi_.hProcess);
        pi_.hProcess = nullptr;
    }
    void kill() {
        if (pi_.hProcess == nullptr) return;
        terminate();
        release();
    }

private:
    std::string dir_, path_;
    PROCESS_INFORMATION pi_{};
};

// Polls `probe` until it returns `want`, for at most `ms` milliseconds.
template <typename F>
bool eventually(F probe, int want, DWORD ms = 10000) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (probe() == want) return true;
        if (GetTickCount64() > end) return false;
        Sleep(20);
    }
}

// The first process of a fresh snapshot whose name equals `exe` ignoring case.
int first_in_snapshot(const char *exe) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    int pid = -1;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e)) {
        if (_stricmp(e.szExeFile, exe) == 0) {
            pid = static_cast<int>(e.th32ProcessID);
            break;
        }
    }
    CloseHandle(snap);
    return pid;
}

}  // namespace

TEST(FindProcess, AnyLetterCase) {
    const struct {
        const char *name;
        bool found;
    } queries[] = {
        {"sleeper", true}, {"SLEEPER.exe", true}, {"sleeper.exe", true}, {"Sleeper.EXE", true},      {"sLeEpEr", true},
        {"sleep", false},  {"sleeper.ex", false}, {"leeper", false},     {"sleeper.exe.exe", false},
    };
    for (const char *launched_as : {"Sleeper.EXE", "sleeper.exe"}) {
        SCOPED_TRACE(testing::Message() << "launched as " << launched_as);
        sleeper s(launched_as, 60000);
        ASSERT_TRUE(s.started());
        ASSERT_TRUE(eventually([&] { return kor_plat_find_process("sleeper"); }, s.pid()));
        for (const auto &q : queries)
            EXPECT_EQ(kor_plat_find_process(q.name), q.found ? s.pid() : -1) << "looked up as " << q.name;
        s.kill();
        EXPECT_TRUE(eventually([] { return kor_plat_find_process("sleeper"); }, -1));
    }
}

TEST(FindProcess, FirstMatchOfTheSnapshot) {
    sleeper a("Sleeper.EXE", 60000), b("sleeper.exe", 60000);
    ASSERT_TRUE(a.started() && b.started());
    EXPECT_NE(a.pid(), b.pid());
    // Both are listed before the comparison starts.
    ASSERT_TRUE(eventually([&] { return kor_plat_find_process("sleeper") > 0 ? 1 : 0; }, 1));
    const int first = first_in_snapshot("sleeper.exe");
    EXPECT_TRUE(first == a.pid() || first == b.pid()) << first;
    EXPECT_EQ(kor_plat_find_process("sleeper"), first);
    EXPECT_EQ(kor_plat_find_process("SLEEPER.EXE"), first);
    // With the first one gone, the other is found.
    if (first == a.pid()) a.kill();
    else b.kill();
    const int other = first == a.pid() ? b.pid() : a.pid();
    EXPECT_TRUE(eventually([] { return kor_plat_find_process("sleeper"); }, other));
}

// What the watcher of a while_process or while_pid activation sees: a process
// found by name, pinned by a watch, which then ends (killed, by itself, or
// with exit code 259, STILL_ACTIVE, which must not pass for running). The
// watch notices while the test still holds its own handle to the process,
// and the name is no longer found once that is released.
struct process_end {
    const char *name;
    unsigned lifetime_ms;
    bool killed;
    unsigned exit_code;
};

void PrintTo(const process_end &end, std::ostream *os) { *os << end.name; }

class Liveness : public ::testing::TestWithParam<process_end> {};

TEST_P(Liveness, WatchEndsWithTheProcess) {
    const process_end &end = GetParam();
    sleeper s("sleeper.exe", end.lifetime_ms, end.exit_code);
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(eventually([&] { return kor_plat_find_process("sleeper"); }, s.pid()));
    EXPECT_EQ(kor_plat_find_process("SLEEPER"), s.pid());
    kor_plat_watch *w = nullptr;
    ASSERT_EQ(kor_plat_watch_open(s.pid(), &w), KOR_WATCH_OPENED);
    EXPECT_EQ(kor_plat_watch_wait(w, kor_now_ms() + 300), KOR_WATCH_DEADLINE) << "alive while it runs";

    if (end.killed) ASSERT_TRUE(s.terminate());
    const int64_t start = kor_now_ms();
    EXPECT_EQ(kor_plat_watch_wait(w, kor_now_ms() + 30000), KOR_WATCH_PROCESS_ENDED);
    EXPECT_LT(kor_now_ms() - start, static_cast<int64_t>(end.lifetime_ms) + 5000);
    kor_plat_watch_close(w);
    EXPECT_TRUE(s.wait_exit(10000));
    s.release();
    EXPECT_TRUE(eventually([] { return kor_plat_find_process("sleeper"); }, -1));
}

INSTANTIATE_TEST_SUITE_P(, Liveness,
                         ::testing::Values(process_end{"Killed", 60000, true, 0},
                                           process_end{"ExitsByItself", 1500, false, 0},
                                           process_end{"ExitsWithStillActive", 1500, false, 259}),
                         [](const ::testing::TestParamInfo<process_end> &p) { return p.param.name; });
