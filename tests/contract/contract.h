// The platform contract (src/platform/kor_platform.h) as one suite: the cases
// are written once (contract_tests.cpp) and each layer's test program links
// one adapter (fake_layer.cpp, linux_layer.cpp, windows_layer.cpp) that says
// how to start and end a process the layer sees, how to see the inhibition it
// holds and what counts as open. Cases only one layer has stand beside its
// adapter.
#ifndef KORVEL_CONTRACT_H
#define KORVEL_CONTRACT_H

#include "kor_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace contract {

// --- What each adapter provides ------------------------------------------------

extern const char *const kLayerName;  // what kor_plat_name gives
// The ways the layer watches a process, each a run of the watch cases.
std::vector<std::string> watch_paths();
// Before each test: scripts, hooks and environment back to their defaults,
// watching the way `watch_path` names ("" for the first).
void set_up(const std::string &watch_path);
// Empty when the layer can take an inhibition here; otherwise why not.
std::string why_no_inhibition();
// How many inhibitions the system shows as held by this process.
int locks_held();
// What this process has open: descriptors or handles (and the fake's
// watches), and threads.
struct open_things {
    size_t handles = 0, threads = 0;
};
open_things count_open();
// The clock kor_now_ms must follow: the one that counts time suspended.
int64_t reference_clock_ms();
// Lets `ms` of the layer's time pass: real layers sleep, the fake moves its clock.
void let_time_pass(int64_t ms);
int self_pid();

// A process the layer sees, whose executable file is called `name`: it runs
// for `lifetime_ms`, then exits with `exit_code`. Ended and forgotten when
// the object goes.
class process {
public:
    explicit process(const std::string &name, int lifetime_ms = 60000, int exit_code = 0);
    ~process();
    process(const process &) = delete;
    process &operator=(const process &) = delete;
    int pid() const;
    void pause();      // it stops running, and has not ended
    void kill();       // ends it now and waits until it has ended
    void wait_exit();  // waits until it has ended by itself
    void release();    // the system forgets it: reaped, its last handle closed
    struct impl;

private:
    std::unique_ptr<impl> impl_;
};

// A thread of the test's, joined when it goes. On Windows it is a CreateThread
// one: the threads library behind std::thread keeps a handle more or not as
// its threads happen to meet, which the count of what is open would take for
// a leak.
class thread {
public:
    explicit thread(std::function<void()> work);
    ~thread();
    thread(const thread &) = delete;
    thread &operator=(const thread &) = delete;
    void join();
    struct impl;

private:
    std::unique_ptr<impl> impl_;
};

// --- Shared by the cases ----------------------------------------------------------

std::string unique_name(const std::string &what);  // no other test process uses it
bool eventually(const std::function<bool()> &probe, std::chrono::milliseconds limit = std::chrono::seconds(10));

using watch_ptr = std::unique_ptr<kor_plat_watch, kor_plat_watch_closer>;
int open_watch(int pid, watch_ptr &out);

// A wait on a thread of its own, and what it ends with while the layer's time
// passes. A wait still blocked after `limit` fails the test and is stopped.
class wait_thread {
public:
    wait_thread(kor_plat_watch *w, int64_t deadline_ms);
    ~wait_thread() { outcome(); }
    kor_plat_watch_event outcome(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    kor_plat_watch *w_;
    std::atomic<int> event_{-1};
    thread thread_;
};
kor_plat_watch_event wait_for(kor_plat_watch *w, int64_t deadline_ms);

// Every test ends with nothing left open: descriptors or handles, threads,
// watches, inhibitions.
class Test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual std::string watch_path() const { return ""; }

private:
    open_things before_;
};

// The watch cases, once for each way the layer watches.
class WatchTest : public Test, public ::testing::WithParamInterface<std::string> {
protected:
    std::string watch_path() const override { return GetParam(); }
};

}  // namespace contract

#endif  // KORVEL_CONTRACT_H
