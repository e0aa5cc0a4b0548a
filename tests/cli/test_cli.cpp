// The korvel command beside a private logind: exit statuses, what it says,
// signals passed on to the command, what ends the hold, and refusals.
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;
using kortest::child_process;

std::vector<std::string> korvel(std::vector<std::string> args) {
    args.insert(args.begin(), KORVEL_CLI_PATH);
    return args;
}

// The exit status, or 1000 + N when signal N killed korvel itself.
int exit_status(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1000 + WTERMSIG(wait_status);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// logind drops a lock when it sees its fd close, a moment after korvel ends.
bool no_lock_left() {
    return kortest::eventually([] { return kortest::list_inhibitors().empty(); }, 5s);
}

bool holds_a_lock(const child_process &k) {
    return kortest::eventually([&] { return !kortest::inhibitors_of(k.pid()).empty(); }, 5s);
}

TEST(KorvelCommand, ExitStatusAndWhatItSays) {
    KORTEST_NEED_LOGIND();
    struct row {
        std::vector<std::string> args;
        int status;
        std::string said;  // a part of the output; "" for no output at all
        int64_t at_least_ms;
    };
    const row rows[] = {
        {{"--", "sh", "-c", "exit 3"}, 3, "(logind) while sh runs\nkorvel: released: sh exited with status 3\n", 0},
        {{"sh", "-c", "kill -TERM $$"}, 143, "released: sh was ended by signal 15", 0},
        {{"-q", "--", "true"}, 0, "", 0},
        // A Latin-1 name: not valid UTF-8, which strict JSON cannot carry.
        {{"--name", "caf\xe9", "--", "true"}, 0, "released: true exited with status 0", 0},
        {{"--", "/nonexistent/program"}, 127, "cannot run /nonexistent/program: No such file", 0},
        {{"--minutes", "0.03", "--display"}, 0, "and the display awake (logind) for 2 s, until", 1500},
        {{"--seconds", "1", "--", "true"}, 64, "a command cannot be combined with", 0},
        {{"--pid", "999999"}, 69, "cannot keep the system awake: pid 999999 is not alive\n", 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1]);
        const int64_t started = kortest::now_ms();
        const kortest::run_result result = kortest::run_command(korvel(r.args), 20s);
        EXPECT_EQ(exit_status(result.status), r.status) << result.output;
        if (r.said.empty()) EXPECT_EQ(result.output, "");
        else EXPECT_NE(result.output.find(r.said), std::string::npos) << result.output;
        EXPECT_GE(kortest::now_ms() - started, r.at_least_ms);
        EXPECT_TRUE(no_lock_left());
    }
}

TEST(KorvelCommand, HoldsWithItsNameAndPassesStopSignalsOn) {
    KORTEST_NEED_LOGIND();
    kortest::temp_dir dir;
    // The command says when its traps are set by creating the file "$0".
    const std::string script = "trap 'exit 70' INT; trap 'exit 71' TERM; trap 'exit 72' HUP; : > \"$0\"; "
                               "while :; do sleep 0.1; done";
    const std::pair<int, int> cases[] = {{SIGINT, 70}, {SIGTERM, 71}, {SIGHUP, 72}};
    for (const auto &[sig, expected] : cases) {
        SCOPED_TRACE(sig);
        const std::string ready = dir.path() + "/ready" + std::to_string(sig);
        child_process k(korvel({"--name", "nightly backup", "--", "sh", "-c", script, ready}));
        ASSERT_TRUE(kortest::eventually([&] { return exists(ready); }, 5s));
        // Held before the command started.
        const std::vector<kortest::inhibitor> locks = kortest::inhibitors_of(k.pid());
        ASSERT_EQ(locks.size(), 1u);
        EXPECT_EQ(locks[0].who, "korvel");
        EXPECT_EQ(locks[0].why, "nightly backup");
        EXPECT_EQ(locks[0].what, "sleep");
        k.kill_now(sig);
        EXPECT_EQ(exit_status(k.wait_exit()), expected);
        EXPECT_TRUE(no_lock_left());
    }
}

TEST(KorvelCommand, HoldEndsWithTheCommandNotWithWhatItLeftRunning) {
    KORTEST_NEED_LOGIND();
    kortest::temp_dir dir;
    const std::string pid_file = dir.path() + "/grandchild";
    const int64_t started = kortest::now_ms();
    child_process k(korvel({"--", "sh", "-c", "sleep 30 & echo $! > \"$0\"", pid_file}));
    EXPECT_EQ(exit_status(k.wait_exit()), 0);
    EXPECT_LT(kortest::now_ms() - started, 5000);
    pid_t grandchild = 0;
    std::ifstream(pid_file) >> grandchild;
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(kill(grandchild, 0), 0) << "the background sleep should still run";
    EXPECT_TRUE(no_lock_left());
    kill(grandchild, SIGKILL);
}

TEST(KorvelCommand, RefusalRunsNothingUnlessAskedTo) {
    KORTEST_NEED_LOGIND();
    kortest::temp_dir dir;
    for (const bool anyway : {false, true}) {
        SCOPED_TRACE(anyway);
        const std::string marker = dir.path() + (anyway ? "/ran-anyway" : "/ran");
        // No system bus and no session bus: every mechanism fails.
        std::vector<std::string> args = {"env", "-u", "DBUS_SESSION_BUS_ADDRESS",
                                         "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent", KORVEL_CLI_PATH};
        if (anyway) args.push_back("--run-anyway");
        for (const char *word : {"--", "touch", marker.c_str()}) args.push_back(word);
        const kortest::run_result result = kortest::run_command(args, 20s);
        EXPECT_EQ(exit_status(result.status), anyway ? 0 : 69) << result.output;
        EXPECT_EQ(exists(marker), anyway);
        EXPECT_NE(result.output.find("korvel: cannot keep the system awake: logind: "), std::string::npos)
            << result.output;
        EXPECT_EQ(result.output.find("warning: running touch without") != std::string::npos, anyway);
    }
}

TEST(KorvelCommand, HoldWithoutCommandEndsOnSigterm) {
    KORTEST_NEED_LOGIND();
    child_process k(korvel({}));
    ASSERT_TRUE(holds_a_lock(k));
    EXPECT_EQ(kortest::inhibitors_of(k.pid())[0].why, "until stopped");
    k.kill_now(SIGTERM);
    EXPECT_EQ(exit_status(k.wait_exit()), 0);
    EXPECT_TRUE(no_lock_left());
}

} // namespace
