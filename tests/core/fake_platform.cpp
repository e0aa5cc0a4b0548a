#include "fake_platform.h"

#include "kor_platform.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace fake {
namespace {

struct script {
    int64_t now_ms = kStartMs;
    std::set<int> alive;
    std::map<std::string, int> processes;
    bool refuse = false;
    std::string refusal;
    std::string mechanism = "fake-inhibitor";
    const char *platform = "fakeos";  // static text or a string of g_names
    snapshot seen;
};

std::mutex g_mu;
script g_script;
thread_local int64_t t_offset = 0;

// kor_status reads the platform name without any lock and may still hold the
// pointer while a test changes it, so every name ever set stays allocated.
std::set<std::string> g_names;

const char *intern(const char *name) {
    if (name == nullptr) return nullptr;
    return g_names.insert(name).first->c_str();
}

} // namespace

void reset() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script = script{};
    t_offset = 0;
}

void set_now(int64_t ms) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.now_ms = ms;
}

void advance(int64_t ms) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.now_ms += ms;
}

int64_t now() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.now_ms;
}

void set_thread_clock_offset(int64_t ms) { t_offset = ms; }

void set_alive(int pid, bool alive) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (alive) g_script.alive.insert(pid);
    else g_script.alive.erase(pid);
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

void set_platform_name(const char *name) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_script.platform = intern(name);
}

snapshot observe() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.seen;
}

} // namespace fake

// --- The contract, as the core sees it ------------------------------------------

using fake::g_mu;
using fake::g_script;

const char *kor_plat_name() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.platform;
}

int64_t kor_now_ms() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_script.now_ms + fake::t_offset;
}

int kor_plat_inhibit_on(int keep_display, const char *reason, char *mechanism, size_t capacity) {
    std::string refusal;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        fake::snapshot &seen = g_script.seen;
        ++seen.on_calls;
        seen.last_keep_display = keep_display;
        seen.last_reason = reason ? reason : "<null>";
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

void kor_plat_inhibit_off() {
    std::lock_guard<std::mutex> lock(g_mu);
    fake::snapshot &seen = g_script.seen;
    ++seen.off_calls;
    if (seen.held) {
        seen.held = false;
        ++seen.released;
        seen.events.push_back("off");
    }
}

int kor_plat_pid_alive(int pid) {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_script.seen.pid_alive_calls;
    return pid > 0 && g_script.alive.count(pid) ? 1 : 0;
}

int kor_plat_find_process(const char *name) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (name == nullptr || name[0] == '\0') return -1;
    g_script.seen.last_find_name = name;
    const auto it = g_script.processes.find(name);
    return it == g_script.processes.end() ? -1 : it->second;
}
