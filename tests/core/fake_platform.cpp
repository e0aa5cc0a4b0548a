#include "fake_platform.h"

#include "kor_platform.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>

namespace fake {
namespace {

struct script {
    int64_t now_ms = kStartMs;
    std::set<int> alive;
    std::map<int, int> deaths;  // how often each pid has ended
    std::map<std::string, int> processes;
    bool refuse = false;
    std::string refusal;
    std::string mechanism = "fake-inhibitor";
    const char *platform = "fakeos";  // static text or a string of g_names
    bool refuse_stop = false;
    std::string park_in;  // the function whose next call waits
    bool parked = false;
    snapshot seen;
};

std::mutex g_mu;
std::condition_variable g_changed;  // the clock moved, a process ended or a watch was stopped
script g_script;
thread_local int64_t t_offset = 0;

// kor_status reads the platform name without any lock and may still hold the
// pointer while a test changes it, so every name ever set stays allocated.
std::set<std::string> g_names;

const char *intern(const char *name) {
    if (name == nullptr) return nullptr;
    return g_names.insert(name).first->c_str();
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script = script{};
    t_offset = 0;
}

void set_now(int64_t ms) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.now_ms = ms;
    g_changed.notify_all();
}

void advance(int64_t ms) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.now_ms += ms;
    g_changed.notify_all();
}

int64_t now() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.now_ms;
}

void set_thread_clock_offset(int64_t ms) { t_offset = ms; }

void set_alive(int pid, bool alive) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (alive) {
        g_script.alive.insert(pid);
    } else {
        g_script.alive.erase(pid);
        ++g_script.deaths[pid];  // a watch pinned the one before: it stays ended
        g_changed.notify_all();
    }
}

void add_process(const std::string &name, int pid) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.processes[name] = pid;
}

void refuse_inhibition(const std::string &message) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.refuse = true;
    g_script.refusal = message;
}

void grant_inhibition() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.refuse = false;
}

void set_mechanism(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.mechanism = text;
}

void refuse_stop(bool refuse) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.refuse_stop = refuse;
}

void park_next(const std::string &function) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.park_in = function;
}

bool parked() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.parked;
}

void unpark() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.park_in.clear();
    g_changed.notify_all();
}

namespace {

// Holds a call of `function` while the test has parked it.
void wait_if_parked(const char *function, std::unique_lock<std::mutex> &lock) {
    if (g_script.park_in != function) return;
    g_script.parked = true;
    g_changed.wait(lock, [function] { return g_script.park_in != function; });
    g_script.parked = false;
}

// A watcher that closes its own watch was left to end by itself: it must
// have been detached, or its thread is never freed.
bool on_an_undetached_thread() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    int state = PTHREAD_CREATE_DETACHED;
    pthread_attr_getdetachstate(&attr, &state);
    pthread_attr_destroy(&attr);
    return state == PTHREAD_CREATE_JOINABLE;
}

// Processes fork here too: the core's fork handlers, as a real layer has them.
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(kor_fork_prepare, kor_fork_parent, kor_forget_after_fork);

}  // namespace

void set_platform_name(const char *name) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.platform = intern(name);
}

snapshot observe() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.seen;
}

}  // namespace fake

// --- The contract, as the core sees it ------------------------------------------

using fake::g_changed;
using fake::g_mu;
using fake::g_script;

const char *kor_plat_name() noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.platform;
}

int64_t kor_now_ms() noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.now_ms + fake::t_offset;
}

int kor_plat_inhibit_on(const kor_plat_request &request, char *mechanism, size_t capacity) noexcept {
    std::string refusal;
    {
        std::unique_lock<std::mutex> lock(g_mu);
        fake::wait_if_parked("kor_plat_inhibit_on", lock);
        fake::snapshot &seen = g_script.seen;
        ++seen.on_calls;
        seen.last_keep_display = request.keep_display;
        seen.last_reason = request.reason ? request.reason : "<null>";
        seen.last_app = request.app ? request.app : "<null>";
        if (seen.held) seen.double_hold = true;
        if (!g_script.refuse) {
            seen.held = true;
            ++seen.granted;
            seen.events.push_back("on");
            if (mechanism != nullptr && capacity > 0) {
                const size_t n = std::min(g_script.mechanism.size(), capacity - 1);
                std::memcpy(mechanism, g_script.mechanism.data(), n);
                mechanism[n] = '\0';
            }
            return 0;
        }
        refusal = g_script.refusal;
    }
    // Outside the fake's lock: kor_set_error takes the core's error lock.
    kor_set_error("%s", refusal.c_str());
    return -1;
}

int kor_plat_inhibit_refresh(char *, size_t) noexcept {
    std::unique_lock<std::mutex> lock(g_mu);
    fake::wait_if_parked("kor_plat_inhibit_refresh", lock);
    return g_script.seen.held ? 1 : 0;
}

void kor_plat_inhibit_off() noexcept {
    std::unique_lock<std::mutex> lock(g_mu);
    fake::wait_if_parked("kor_plat_inhibit_off", lock);
    fake::snapshot &seen = g_script.seen;
    ++seen.off_calls;
    if (seen.held) {
        seen.held = false;
        ++seen.released;
        seen.events.push_back("off");
    }
}

struct kor_plat_watch {
    int pid = 0;
    int deaths_when_pinned = 0;
    bool stop = false;
    pthread_t waiter{};  // the thread in kor_plat_watch_wait, once one is
};

int kor_plat_watch_open(int pid, kor_plat_watch **out) noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    if (pid > 0 && !g_script.alive.count(pid)) return KOR_WATCH_PROCESS_NOT_ALIVE;
    ++g_script.seen.watches_opened;
    *out = new kor_plat_watch{pid, g_script.deaths[pid], false};
    return KOR_WATCH_OPENED;
}

kor_plat_watch_event kor_plat_watch_wait(kor_plat_watch *w, int64_t deadline_ms) noexcept {
    std::unique_lock<std::mutex> lock(g_mu);
    w->waiter = pthread_self();
    for (;;) {
        if (w->stop) return KOR_WATCH_STOPPED;
        if (deadline_ms > 0 && g_script.now_ms >= deadline_ms) return KOR_WATCH_DEADLINE;
        if (w->pid > 0 && g_script.deaths[w->pid] != w->deaths_when_pinned) return KOR_WATCH_PROCESS_ENDED;
        g_changed.wait(lock);
    }
}

bool kor_plat_watch_stop(kor_plat_watch *w) noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_script.refuse_stop) return false;
    w->stop = true;
    g_changed.notify_all();
    return true;
}

void kor_plat_watch_close(kor_plat_watch *w) noexcept {
    if (w == nullptr) return;
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_script.seen.watches_closed;
    if (pthread_equal(w->waiter, pthread_self()) && fake::on_an_undetached_thread())
        ++g_script.seen.closed_by_undetached_watcher;
    delete w;
}

int kor_plat_find_process(const char *name) noexcept {
    std::lock_guard<std::mutex> lock(g_mu);
    if (name == nullptr || name[0] == '\0') return -1;
    g_script.seen.last_find_name = name;
    auto it = g_script.processes.find(name);
    if (it == g_script.processes.end()) it = g_script.processes.find(std::string(name) + ".exe");
    return it == g_script.processes.end() ? -1 : it->second;
}
