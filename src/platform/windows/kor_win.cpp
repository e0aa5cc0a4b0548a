// The Windows platform layer: the sleep inhibition is an execution-state
// request (SetThreadExecutionState) made on a thread of the layer's own;
// processes are found through a Toolhelp snapshot.

// Process names are compared as 8-bit texts, so the 8-bit Toolhelp API is
// wanted whatever character set the build defaults to.
#undef UNICODE
#undef _UNICODE
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>

#include "kor_platform.h"
#include "kor_win_seam.h"

#include <atomic>
#include <new>
#include <cstring>
#include <string.h>

#ifndef ES_AWAYMODE_REQUIRED
#define ES_AWAYMODE_REQUIRED 0x00000040
#endif

static_assert(sizeof(PROCESSENTRY32) == 304, "the 8-bit process record is 304 bytes on x64");
static_assert(sizeof(EXECUTION_STATE) == sizeof(uint32_t), "EXECUTION_STATE is a 32-bit DWORD");

namespace {

constexpr EXECUTION_STATE kSystemAway = ES_CONTINUOUS | ES_AWAYMODE_REQUIRED | ES_SYSTEM_REQUIRED;
constexpr EXECUTION_STATE kSystem = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
constexpr EXECUTION_STATE kDisplayAway = kSystemAway | ES_DISPLAY_REQUIRED;
constexpr EXECUTION_STATE kDisplay = kSystem | ES_DISPLAY_REQUIRED;
constexpr EXECUTION_STATE kClear = ES_CONTINUOUS;
static_assert(kDisplayAway == 0x80000043 && kDisplay == 0x80000003 && kSystemAway == 0x80000041 &&
                  kSystem == 0x80000001 && kClear == 0x80000000,
              "execution-state flags");

int g_active = 0;  // 1 while the layer holds an inhibition; the core's lock guards it

std::atomic<kor_win_exec_state_fn> g_exec_state_fn{nullptr};

// ---------------------------------------------------------------------------
// The request thread
//
// Windows keeps an execution-state request per thread and drops it when that
// thread ends. The host's threads and the core's watcher come and go, so the
// request and its clearing call are both made on one thread that belongs to
// the layer and lives until the process ends. Everything here is plain Win32
// data with static initialisers and no destructors: a host that exits, or
// unloads the library, while the thread waits leaves nothing to tear down (a
// std::thread object would call std::terminate at exit).

SRWLOCK g_call_lock = SRWLOCK_INIT;  // one exchange with the thread at a time
HANDLE g_thread = nullptr;           // guarded by g_call_lock
std::atomic<DWORD> g_thread_id{0};

// The mailbox between a caller and the thread.
SRWLOCK g_box_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_request_posted = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE g_answer_ready = CONDITION_VARIABLE_INIT;
uint64_t g_posted = 0;    // tickets handed out
uint64_t g_answered = 0;  // the last ticket answered (or given up on)
EXECUTION_STATE g_request = 0;
EXECUTION_STATE g_answer = 0;

EXECUTION_STATE set_execution_state(EXECUTION_STATE flags) {
    if (kor_win_exec_state_fn fn = g_exec_state_fn.load()) return fn(flags);
    return SetThreadExecutionState(flags);
}

DWORD WINAPI request_thread_main(void *) {
    AcquireSRWLockExclusive(&g_box_lock);
    for (;;) {
        while (g_answered == g_posted) SleepConditionVariableSRW(&g_request_posted, &g_box_lock, INFINITE, 0);
        const EXECUTION_STATE flags = g_request;
        const uint64_t ticket = g_posted;
        ReleaseSRWLockExclusive(&g_box_lock);
        const EXECUTION_STATE answer = set_execution_state(flags);
        AcquireSRWLockExclusive(&g_box_lock);
        g_answer = answer;
        g_answered = ticket;
        WakeAllConditionVariable(&g_answer_ready);
    }
}

// Called with g_call_lock held. Windows ends every other thread before a
// process's last DLL notifications and static destructors run, so a kor_off
// from there finds the thread gone (and its request with it).
bool thread_ended() { return g_thread == nullptr || WaitForSingleObject(g_thread, 0) == WAIT_OBJECT_0; }

// The thread's code must stay mapped while it waits, and so must the core's
// watcher: a host that unloads the library without kor_off only drops its
// reference, the module stays.
void pin_module() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_active), &self);
}

// Called with g_call_lock held. Returns 0, or the error of CreateThread.
DWORD ensure_thread() {
    if (!thread_ended()) return 0;
    if (g_thread != nullptr) {
        CloseHandle(g_thread);
        g_thread = nullptr;
        g_thread_id = 0;
    }
    pin_module();
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 64 * 1024, request_thread_main, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (h == nullptr) return GetLastError();
    g_thread = h;
    g_thread_id = id;
    return 0;
}

// Called with g_call_lock held and the thread started. Hands `flags` to the
// thread and waits for its answer; false when the thread has ended instead.
bool exchange(EXECUTION_STATE flags, EXECUTION_STATE *answer) {
    AcquireSRWLockExclusive(&g_box_lock);
    g_request = flags;
    const uint64_t ticket = ++g_posted;
    WakeConditionVariable(&g_request_posted);
    bool answered = true;
    while (g_answered != ticket) {
        // The timeout only matters if the thread is gone: it is then checked
        // instead of waiting forever.
        if (!SleepConditionVariableSRW(&g_answer_ready, &g_box_lock, 100, 0) && g_answered != ticket &&
            thread_ended()) {
            g_answered = ticket;  // a later thread must not take this request
            answered = false;
        }
    }
    *answer = answered ? g_answer : 0;
    ReleaseSRWLockExclusive(&g_box_lock);
    return answered;
}

void copy_mechanism(char *out, size_t capacity, const char *text) {
    if (out == nullptr || capacity == 0) return;
    size_t n = std::strlen(text);
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

}  // namespace

void kor_win_set_exec_state_fn(kor_win_exec_state_fn fn) { g_exec_state_fn = fn; }

uint32_t kor_win_request_thread_id() { return g_thread_id.load(); }

bool kor_win_name_matches(const char *exe_name, const char *name) {
    if (_stricmp(exe_name, name) == 0) return true;
    const size_t exe_len = std::strlen(exe_name);
    const size_t name_len = std::strlen(name);
    return exe_len > 4 && exe_len == name_len + 4 && _stricmp(exe_name + exe_len - 4, ".exe") == 0 &&
           _strnicmp(exe_name, name, name_len) == 0;
}

const char *kor_plat_name() noexcept { return "windows"; }

int64_t kor_now_ms() noexcept { return static_cast<int64_t>(GetTickCount64()); }

// Windows shows neither the reason nor who asks: only the flags count.
int kor_plat_inhibit_on(const kor_plat_request &request, char *mechanism, size_t capacity) noexcept {
    const int keep_display = request.keep_display;
    AcquireSRWLockExclusive(&g_call_lock);
    if (const DWORD e = ensure_thread()) {
        ReleaseSRWLockExclusive(&g_call_lock);
        kor_set_error("SetThreadExecutionState failed (no request thread: error %lu)", static_cast<unsigned long>(e));
        return -1;
    }
    EXECUTION_STATE previous = 0;
    // Away mode is not available everywhere; without it the system still
    // stays awake.
    if (exchange(keep_display ? kDisplayAway : kSystemAway, &previous) && previous == 0)
        exchange(keep_display ? kDisplay : kSystem, &previous);
    ReleaseSRWLockExclusive(&g_call_lock);
    if (previous == 0) {
        kor_set_error("SetThreadExecutionState failed");
        return -1;
    }
    g_active = 1;
    copy_mechanism(mechanism, capacity, "SetThreadExecutionState");
    return 0;
}

void kor_plat_inhibit_off() noexcept {
    if (g_active != 1) return;
    AcquireSRWLockExclusive(&g_call_lock);
    if (!thread_ended()) {
        EXECUTION_STATE previous = 0;
        exchange(kClear, &previous);
    }
    ReleaseSRWLockExclusive(&g_call_lock);
    g_active = 0;
}

// --- The watcher's wait ------------------------------------------------------
//
// One WaitForMultipleObjects on a stop event and the watched process's handle,
// opened when the activation starts and kept until it ends: the handle names
// that process, whatever becomes of its id, and it is signalled when the
// process ends, whatever its exit code (a process may well exit with 259,
// STILL_ACTIVE).

struct kor_plat_watch {
    HANDLE stop = nullptr;
    HANDLE process = nullptr;
};

namespace {

// Wait timeouts do not count time the machine spends asleep, GetTickCount64
// does: the deadline is re-read after every wake, and no single wait is
// longer than this, so a deadline passed during sleep is seen soon after.
constexpr DWORD kLongestWaitMs = 60 * 1000;

void close_watch(kor_plat_watch *w) {
    if (w->stop != nullptr) CloseHandle(w->stop);
    if (w->process != nullptr) CloseHandle(w->process);
    delete w;
}

}  // namespace

int kor_plat_watch_open(int pid, kor_plat_watch **out) noexcept {
    auto *w = new (std::nothrow) kor_plat_watch;
    if (w == nullptr) {
        kor_set_error("cannot watch the activation: out of memory");
        return KOR_WATCH_FAILED;
    }
    w->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (w->stop == nullptr) {
        kor_set_error("cannot watch the activation: CreateEvent failed (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
        close_watch(w);
        return KOR_WATCH_FAILED;
    }
    if (pid > 0) {
        w->process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
        if (w->process == nullptr || WaitForSingleObject(w->process, 0) != WAIT_TIMEOUT) {
            close_watch(w);
            return KOR_WATCH_PROCESS_NOT_ALIVE;
        }
    }
    *out = w;
    return KOR_WATCH_OPENED;
}

kor_plat_watch_event kor_plat_watch_wait(kor_plat_watch *w, int64_t deadline_ms) noexcept {
    const HANDLE handles[2] = {w->stop, w->process};
    const DWORD count = w->process != nullptr ? 2 : 1;
    for (;;) {
        DWORD timeout = INFINITE;
        if (deadline_ms > 0) {
            const int64_t left = deadline_ms - kor_now_ms();
            if (left <= 0) return KOR_WATCH_DEADLINE;
            timeout = left < kLongestWaitMs ? static_cast<DWORD>(left) : kLongestWaitMs;
        }
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (r == WAIT_OBJECT_0) return KOR_WATCH_STOPPED;
        if (r == WAIT_OBJECT_0 + 1) return KOR_WATCH_PROCESS_ENDED;
        if (r == WAIT_FAILED) Sleep(100);  // not expected with valid handles; never spin
    }
}

bool kor_plat_watch_stop(kor_plat_watch *w) noexcept { return SetEvent(w->stop) != 0; }

void kor_plat_watch_close(kor_plat_watch *w) noexcept {
    if (w != nullptr) close_watch(w);
}

// The request lives on the layer's own thread, which nothing outside the
// library can end.
// SetThreadExecutionState's request holds until it is cleared.
int kor_plat_inhibit_refresh(char *, size_t) noexcept { return g_active; }

int kor_plat_find_process(const char *name) noexcept {
    if (name == nullptr || name[0] == '\0') return -1;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int found = -1;
    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        char exe[260];
        const size_t n = strnlen(entry.szExeFile, sizeof exe - 1);
        std::memcpy(exe, entry.szExeFile, n);
        exe[n] = '\0';
        if (kor_win_name_matches(exe, name)) {
            found = static_cast<int>(entry.th32ProcessID);
            break;
        }
    }
    CloseHandle(snapshot);
    return found;
}
