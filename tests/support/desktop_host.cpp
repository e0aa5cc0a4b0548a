// The library driven as a host drives it, for the desktop tests (declared in
// desktop_session.h). An object of its own: programs that link the support
// library without the korvel library never pull it in.
#include "desktop_session.h"

#include "korvel.h"
#include "status_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace desktest {

// --- The library, driven as a host drives it ---------------------------------

std::string our_app_id() { return program_invocation_short_name; }

std::string status_mechanism() { return kortest::read_status().mechanism; }

std::string turn_on(const std::string &options) {
    if (kor_on(options.c_str()) == 1) return "";
    const char *error = kor_last_error();
    return std::string("refused: ") + (error ? error : "");
}

forked_host::forked_host(const std::string &options) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const std::string error = turn_on(options);
        const std::string line = (error.empty() ? "on " + status_mechanism() : error) + "\n";
        if (write(fds[1], line.data(), line.size()) < 0) _exit(1);
        for (;;) pause();
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    char buf[512];
    while (outcome_.find('\n') == std::string::npos && poll(&p, 1, 15000) > 0) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        outcome_.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (!outcome_.empty() && outcome_.back() == '\n') outcome_.pop_back();
}

forked_host::~forked_host() {
    kill_now();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

void forked_host::kill_now() {
    if (pid_ > 0) kill(pid_, SIGKILL);
}

namespace {

// What this process has open: descriptors and threads.
struct open_things {
    size_t fds = kortest::open_fd_count(), threads = kortest::thread_count();
    bool operator==(const open_things &o) const { return fds == o.fds && threads == o.threads; }
};

// Once an activation has ended and the status has been read (which joins a
// finished watcher), nothing of it is open any more: not its session
// connection, not the thread that follows the services, not their
// descriptors.
void expect_nothing_left(const open_things &before) {
    EXPECT_TRUE(kortest::eventually(
        [&] {
            kortest::read_status();
            return open_things{} == before;
        },
        10s))
        << open_things{}.fds << " descriptors and " << open_things{}.threads << " threads, " << before.fds << " and "
        << before.threads << " before";
}

}  // namespace

void expect_every_ending_releases(const std::function<bool()> &held, const std::string &mechanism,
                                  const std::string &options_extra) {
    const std::string extra = options_extra.empty() ? "" : "," + options_extra;
    ASSERT_FALSE(held()) << "held before any activation";
    // The system bus's connection, kept for the process's life, is open from
    // the first activation on.
    ASSERT_EQ(turn_on("{\"name\":\"Warm-up\"" + extra + "}"), "");
    kor_off();
    ASSERT_TRUE(kortest::eventually([&] { return !held(); }, 5s));
    const open_things before;
    {
        SCOPED_TRACE("kor_off");
        ASSERT_EQ(turn_on("{\"name\":\"Until off\"" + extra + "}"), "");
        EXPECT_EQ(status_mechanism(), mechanism);
        EXPECT_TRUE(kortest::eventually(held, 5s));
        kor_off();
        EXPECT_TRUE(kortest::eventually([&] { return !held(); }, 5s));
        expect_nothing_left(before);
    }
    {
        SCOPED_TRACE("timed end");
        ASSERT_EQ(turn_on("{\"mode\":\"minutes\",\"seconds\":1,\"name\":\"One second\"" + extra + "}"), "");
        EXPECT_EQ(status_mechanism(), mechanism);
        EXPECT_TRUE(kortest::eventually(held, 5s));
        EXPECT_TRUE(kortest::eventually([&] { return !held(); }, 10s));
        expect_nothing_left(before);
    }
    {
        SCOPED_TRACE("watched process exits");
        kortest::child_process sleeper({"sleep", "60"});
        ASSERT_EQ(turn_on("{\"mode\":\"while_pid\",\"pid\":" + std::to_string(sleeper.pid()) +
                          ",\"name\":\"While sleeping\"" + extra + "}"),
                  "");
        EXPECT_EQ(status_mechanism(), mechanism);
        EXPECT_TRUE(kortest::eventually(held, 5s));
        sleeper.reap();
        EXPECT_TRUE(kortest::eventually([&] { return !held(); }, 10s));
        expect_nothing_left(before);
    }
    {
        SCOPED_TRACE("host killed");
        forked_host host("{\"name\":\"Killed host\"" + extra + "}");
        ASSERT_EQ(host.outcome(), "on " + mechanism);
        EXPECT_TRUE(kortest::eventually(held, 5s));
        host.kill_now();
        EXPECT_TRUE(kortest::eventually([&] { return !held(); }, 10s));
    }
}

}  // namespace desktest
