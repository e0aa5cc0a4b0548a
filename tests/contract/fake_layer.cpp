// The scripted layer the core's tests stand on (tests/core/fake_platform.*)
// under the contract: its processes are pids the script names and keeps
// alive, and its time moves only when a case lets it pass.
#include "contract.h"
#include "fake_platform.h"
#include "test_support.h"

#include <map>
#include <unistd.h>

namespace contract {

const char *const kLayerName = "fakeos";

std::string why_no_inhibition() { return ""; }

namespace {

std::map<int, int64_t> g_running;  // pid -> when it exits by itself, in the script's time
int g_last_pid = 70000;

}  // namespace

std::vector<std::string> watch_paths() { return {"Scripted"}; }

void set_up(const std::string &) {
    fake::reset();
    fake::set_alive(getpid(), true);
}

int locks_held() { return fake::observe().held ? 1 : 0; }

open_things count_open() {
    const fake::snapshot seen = fake::observe();
    return {kortest::open_fd_count() + seen.watches_opened - seen.watches_closed, kortest::thread_count()};
}

int64_t reference_clock_ms() { return fake::now(); }

void let_time_pass(int64_t ms) {
    fake::advance(ms);
    for (auto it = g_running.begin(); it != g_running.end();) {
        if (it->second > fake::now()) {
            ++it;
            continue;
        }
        fake::set_alive(it->first, false);
        it = g_running.erase(it);
    }
}

int self_pid() { return getpid(); }

struct process::impl {
    std::string name;
    int pid;
};

process::process(const std::string &name, int lifetime_ms, int) : impl_(new impl{name, ++g_last_pid}) {
    fake::add_process(name, impl_->pid);
    fake::set_alive(impl_->pid, true);
    g_running[impl_->pid] = fake::now() + lifetime_ms;
}

process::~process() {
    kill();
    release();
}

int process::pid() const { return impl_->pid; }
void process::pause() {}
void process::kill() {
    if (g_running.erase(impl_->pid) != 0) fake::set_alive(impl_->pid, false);
}
void process::wait_exit() {
    const auto it = g_running.find(impl_->pid);
    if (it != g_running.end()) let_time_pass(it->second - fake::now());
}
void process::release() { fake::add_process(impl_->name, -1); }

}  // namespace contract
