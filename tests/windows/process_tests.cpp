// Process liveness and lookup against real processes: copies of a small
// sleeping console program, started under names of different letter case.
#include "harness.h"
#include "kor_platform.h"

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
    sleeper(const std::string &file_name, unsigned ms) {
        static int serial = 0;
        char tmp[MAX_PATH];
        GetTempPathA(sizeof tmp, tmp);
        dir_ = std::string(tmp) + "korvel-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++serial);
        CreateDirectoryA(dir_.c_str(), nullptr);
        path_ = dir_ + "\\" + file_name;
        if (!CopyFileA((exe_dir() + "korvel_win_sleeper.exe").c_str(), path_.c_str(), FALSE)) return;
        std::string command = "\"" + path_ + "\" " + std::to_string(ms);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        if (CreateProcessA(path_.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_))
            CloseHandle(pi_.hThread);
        else
            pi_ = PROCESS_INFORMATION{};
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
    // Kills the process, waits for it to end and lets go of its handle.
    void kill() {
        if (pi_.hProcess == nullptr) return;
        TerminateProcess(pi_.hProcess, 1);
        WaitForSingleObject(pi_.hProcess, 10000);
        CloseHandle(pi_.hProcess);
        pi_.hProcess = nullptr;
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

} // namespace

KOR_TEST(lookup_by_name_in_any_case) {
    struct query {
        const char *name;
        bool found;
    };
    const query queries[] = {
        {"sleeper", true},     {"SLEEPER.exe", true}, {"sleeper.exe", true}, {"Sleeper.EXE", true},
        {"sLeEpEr", true},     {"sleep", false},      {"sleeper.ex", false}, {"leeper", false},
        {"sleeper.exe.exe", false},
    };
    for (const char *launched_as : {"Sleeper.EXE", "sleeper.exe"}) {
        sleeper s(launched_as, 60000);
        REQUIRE(s.started());
        REQUIRE(eventually([&] { return kor_plat_find_process("sleeper"); }, s.pid()));
        for (const query &q : queries) {
            const int got = kor_plat_find_process(q.name);
            if (got != (q.found ? s.pid() : -1))
                kor_test::fail(__FILE__, __LINE__,
                               std::string(launched_as) + " looked up as " + q.name + ": " + std::to_string(got));
        }
        s.kill();
        CHECK(eventually([] { return kor_plat_find_process("sleeper"); }, -1));
    }
}

KOR_TEST(lookup_returns_first_match) {
    sleeper a("Sleeper.EXE", 60000), b("sleeper.exe", 60000);
    REQUIRE(a.started() && b.started());
    CHECK(a.pid() != b.pid());
    // Both are listed before the comparison starts.
    REQUIRE(eventually([&] { return kor_plat_find_process("sleeper") > 0 ? 1 : 0; }, 1));
    const int first = first_in_snapshot("sleeper.exe");
    CHECK(first == a.pid() || first == b.pid());
    CHECK_EQ(kor_plat_find_process("sleeper"), first);
    CHECK_EQ(kor_plat_find_process("SLEEPER.EXE"), first);
    // With the first one gone, the other is found.
    if (first == a.pid()) a.kill(); else b.kill();
    const int other = first == a.pid() ? b.pid() : a.pid();
    CHECK(eventually([] { return kor_plat_find_process("sleeper"); }, other));
}

// What a while_process activation watches: found by name, alive, then killed;
// the watcher's liveness test turns 0 and the name is no longer found.
KOR_TEST(liveness_ends_when_killed) {
    sleeper s("sleeper.exe", 60000);
    REQUIRE(s.started());
    REQUIRE(eventually([&] { return kor_plat_find_process("sleeper"); }, s.pid()));
    const int pid = kor_plat_find_process("SLEEPER");
    CHECK_EQ(kor_plat_pid_alive(pid), 1);
    Sleep(600);  // one process-bound watcher pass
    CHECK_EQ(kor_plat_pid_alive(pid), 1);
    s.kill();
    CHECK(eventually([&] { return kor_plat_pid_alive(pid); }, 0));
    CHECK(eventually([] { return kor_plat_find_process("sleeper"); }, -1));
}

// What a while_pid activation watches: a process that ends by itself, seen
// both while its handle is still held (exit code no longer STILL_ACTIVE) and
// after it is released (the id can no longer be opened).
KOR_TEST(liveness_ends_when_process_exits) {
    std::string command = "\"" + exe_dir() + "korvel_win_sleeper.exe\" 1500";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    REQUIRE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    const int pid = static_cast<int>(pi.dwProcessId);
    CHECK_EQ(kor_plat_pid_alive(pid), 1);
    CHECK(WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0);
    CHECK_EQ(kor_plat_pid_alive(pid), 0);
    CloseHandle(pi.hProcess);
    CHECK(eventually([&] { return kor_plat_pid_alive(pid); }, 0));
}
