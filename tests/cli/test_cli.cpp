// The korvel command beside a private logind: exit statuses, what it says,
// signals passed on to the command, what ends the hold, refusals, bad values,
// the list of every hold, and what --check says to root and to others; and
// its reading of logind's files, on trees of their own.
#include "desktop_session.h"
#include "logind_conf.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
        // Released, then dead of the command's signal as the command is.
        {{"sh", "-c", "kill -TERM $$"}, 1000 + SIGTERM, "released: sh was ended by signal 15", 0},
        {{"-q", "--", "true"}, 0, "", 0},
        // A Latin-1 name: not valid UTF-8, which strict JSON cannot carry.
        {{"--name", "caf\xe9", "--", "true"}, 0, "released: true exited with status 0", 0},
        {{"--", "/nonexistent/program"}, 127, "cannot run /nonexistent/program: No such file", 0},
        {{"--minutes", "0.03", "--display"}, 0, "and the display awake (logind) for 2 s, until", 1500},
        {{"--seconds", "1", "--", "true"}, 64, "a command cannot be combined with", 0},
        {{"--pid", "999999"}, 69, "cannot keep the system awake: pid 999999 is not alive\n", 0},
        {{"--check", "--quiet"}, 0, "", 0},
        // Bad values, each in korvel's words.
        {{"--minutes", "abc"},
         64,
         "korvel: --minutes needs a number of minutes greater than 0 (fractions allowed), "
         "not 'abc'\nTry 'korvel --help'",
         0},
        {{"--minutes"}, 64, "korvel: --minutes needs a number of minutes", 0},
        {{"--pid", "99999999999"}, 64, "korvel: --pid can be at most 2147483647, not '99999999999'", 0},
        {{"--minutes", "1", "--minutes", "2"}, 64, "korvel: --minutes can be given only once", 0},
        {{"--display=yes", "--", "true"}, 64, "korvel: --display takes no value", 0},
        {{"--list", "--display"}, 64, "korvel: --list cannot be combined with --display", 0},
        {{"--json"}, 64, "korvel: --json goes with --list", 0},
    };
    for (const row &r : rows) {
        std::string words;
        for (const std::string &arg : r.args) words += arg + " ";
        SCOPED_TRACE(words);
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
    const std::string script =
        "trap 'exit 70' INT; trap 'exit 71' TERM; trap 'exit 72' HUP; : > \"$0\"; "
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
    EXPECT_EQ(exit_status(k.wait_exit()), 1000 + SIGTERM);
    EXPECT_TRUE(no_lock_left());
}

// A shell goes on after a job that exits 130 (it handled Ctrl-C itself) and
// stops at one that died of SIGINT: korvel dies of it, with or without a
// command.
TEST(KorvelCommand, CtrlCStopsTheCallingScript) {
    KORTEST_NEED_LOGIND();
    for (const char *command : {" -- sleep 30", ""}) {
        SCOPED_TRACE(command);
        const std::string script = std::string("\"$0\" --quiet") + command + "; exit 9";
        // A session of its own, whose process group gets Ctrl-C as a terminal sends it.
        child_process shell({"setsid", "bash", "-c", script, KORVEL_CLI_PATH});
        ASSERT_TRUE(kortest::eventually([] { return !kortest::list_inhibitors().empty(); }, 5s));
        ASSERT_EQ(kill(-shell.pid(), SIGINT), 0);
        EXPECT_EQ(exit_status(shell.wait_exit()), 1000 + SIGINT);
        EXPECT_TRUE(no_lock_left());
    }
}

// The shared table's refusals that have a command-line form, in the
// command's own words: its "cli" member gives the arguments and the line.
TEST(KorvelCommand, RefusesThePolicysCasesInItsOwnWords) {
    yyjson_doc *doc = yyjson_read_file(KORVEL_POLICY_CASES, 0, nullptr, nullptr);
    ASSERT_NE(doc, nullptr);
    size_t rows = 0, i, n;
    yyjson_val *row;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "options"), i, n, row) {
        yyjson_val *cli = yyjson_obj_get(row, "cli");
        if (cli == nullptr) continue;
        std::vector<std::string> args;
        size_t j, m;
        yyjson_val *arg;
        yyjson_arr_foreach(yyjson_obj_get(cli, "args"), j, m, arg) args.emplace_back(yyjson_get_str(arg));
        const std::string said = std::string("korvel: ") + yyjson_get_str(yyjson_obj_get(cli, "refused")) +
                                 "\nTry 'korvel --help' for more information.\n";
        const kortest::run_result result = kortest::run_command(korvel(args), 20s);
        EXPECT_EQ(exit_status(result.status), 64) << said;
        EXPECT_EQ(result.output, said);
        ++rows;
    }
    yyjson_doc_free(doc);
    EXPECT_GE(rows, 15u);
}

TEST(KorvelCommand, ListsEveryHoldOnTheMachine) {
    KORTEST_NEED_LOGIND();
    child_process k(korvel({"--quiet", "--name", "nightly backup", "--", "sleep", "30"}));
    child_process other({"systemd-inhibit", "--what=sleep", "--who=other tool", "--why=its own reason", "sleep", "30"});
    ASSERT_TRUE(kortest::eventually([] { return kortest::list_inhibitors().size() == 2; }, 5s));
    const kortest::run_result table = kortest::run_command(korvel({"--list"}), 20s);
    EXPECT_EQ(exit_status(table.status), 0) << table.output;
    for (const std::string &line :
         {"logind +korvel +0 +root +" + std::to_string(k.pid()) + " +korvel +sleep +nightly backup +block\n",
          "logind +other tool +0 +root +" + std::to_string(other.pid()) +
              " +systemd-inhibit +sleep +its own reason +block\n",
          std::string("2 holds: 2 from logind.")})
        EXPECT_TRUE(std::regex_search(table.output, std::regex(line))) << line << " in\n" << table.output;
    // Scripts get the same, with nothing on standard output but the JSON.
    std::vector<std::string> argv = {"sh", "-c", "\"$0\" --list --json 2>/dev/null", KORVEL_CLI_PATH};
    const kortest::run_result json = kortest::run_command(argv, 20s);
    EXPECT_EQ(exit_status(json.status), 0);
    EXPECT_EQ(json.output.rfind("{\"holds\":[", 0), 0u) << json.output;
    for (const std::string &hold :
         {std::string(R"("source":"logind","who":"korvel",)"), std::string(R"("why":"nightly backup",)"),
          std::string(R"("who":"other tool",)"), "\"pid\":" + std::to_string(k.pid()) + ",",
          "\"pid\":" + std::to_string(other.pid()) + ","})
        EXPECT_NE(json.output.find(hold), std::string::npos) << hold << " in\n" << json.output;
}

TEST(KorvelCommand, ListsTheDesktopSessionsOwnInhibitors) {
    KORTEST_NEED_LOGIND();
    desktest::session desk;
    DESKTEST_NEED_SESSION(desk);
    const std::string why = desk.start_gnome_session();
    if (!why.empty()) GTEST_SKIP() << why;
    child_process k(korvel({"--quiet", "--name", "desk hold", "--", "sleep", "30"}));
    const std::regex line("gnome-session +korvel +- +- +- +- +sleep +desk hold +block\n");
    kortest::run_result listed;
    EXPECT_TRUE(kortest::eventually(
        [&] {
            listed = kortest::run_command(korvel({"--list"}), 20s);
            return std::regex_search(listed.output, line);
        },
        10s))
        << listed.output;
    k.kill_now(SIGTERM);
    k.wait_exit();
    EXPECT_TRUE(no_lock_left());
}

enum class machine { stock, lid_drop_in, polkit_rule };

// What turns the machine into the next one, inside the private namespaces
// only, where /etc becomes an overlay.
const char *const kMachineChanges[] = {
    "",
    // logind reads the drop-in when it starts again.
    "mkdir -p /etc/systemd/logind.conf.d; "
    "printf '[Login]\\nLidSwitchIgnoreInhibited=no\\n' > /etc/systemd/logind.conf.d/50-korvel-test.conf; "
    "\"$0\" restart",
    // The example rule, enabled as it says, with polkitd to apply it (after
    // logind's restart, which would end it).
    "groupadd --system korvel; useradd -M -l -G korvel korvel-member; cp \"$1\" /etc/polkit-1/rules.d/; "
    "/usr/lib/polkit-1/polkitd --no-debug </dev/null >/run/polkitd.log 2>&1 & "
    "for i in $(seq 500); do busctl --system status org.freedesktop.PolicyKit1 >/dev/null 2>&1 && exit 0; "
    "sleep 0.02; done; exit 1",
};

std::string change_machine(machine to) {
    const std::string script =
        "set -e; grep -q ' /etc overlay ' /proc/mounts || { mkdir -p /run/korvel-etc/upper /run/korvel-etc/work; "
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=/run/korvel-etc/upper,workdir=/run/korvel-etc/work /etc; "
        "}; " +
        std::string(kMachineChanges[static_cast<int>(to)]);
    const kortest::run_result r = kortest::run_command(
        {"sh", "-c", script, KORVEL_BUS_SCRIPT, KORVEL_POLKIT_RULE_SOURCE}, 30s);
    return r.status == 0 ? "" : r.output;
}

std::vector<std::string> as_user(const std::string &user, const std::string &group) {
    return {"setpriv", "--reuid=" + user, "--regid=" + group, "--init-groups"};
}

TEST(KorvelCommand, CheckSaysWhatALockAchievesAndWhatToDo) {
    KORTEST_NEED_LOGIND();
    if (!std::getenv("KORVEL_PRIVATE_LOGIND")) GTEST_SKIP() << "changes /etc: only beside a private logind";
    const std::vector<std::string> nobody = as_user("nobody", "nogroup"), member = as_user("korvel-member", "korvel");
    std::vector<std::string> version = nobody;
    version.insert(version.end(), {KORVEL_CLI_PATH, "--version"});
    if (kortest::run_command(version, 20s).status != 0) GTEST_SKIP() << "nobody cannot run " << KORVEL_CLI_PATH;
    const std::string lid_warning = "closing the lid suspends the machine even while a lock is held";
    // A program found through PATH that would say otherwise, and leave a mark.
    kortest::temp_dir bin;
    std::ofstream(bin.path() + "/systemd-analyze")
        << "#!/bin/sh\n: > \"$0.ran\"\nprintf '# /etc/x.conf\\n[Login]\\nLidSwitchIgnoreInhibited=yes\\n'\n";
    chmod((bin.path() + "/systemd-analyze").c_str(), 0755);
    const std::vector<std::string> hostile_path = {"env", "PATH=" + bin.path() + ":/usr/bin:/bin"};
    const std::string drop_in = "LidSwitchIgnoreInhibited=no, set in /etc/systemd/logind.conf.d/50-korvel-test.conf";
    struct row {
        machine on;
        std::vector<std::string> prefix;  // how korvel is run
        bool display;
        int status;
        std::vector<std::string> said, unsaid;
    };
    const row rows[] = {
        {machine::stock,
         {},
         false,
         0,
         {"Lock:     yes, through logind", lid_warning, "LidSwitchIgnoreInhibited=yes, logind's default",
          "printf '[Login]\\nLidSwitchIgnoreInhibited=no\\n' > /etc/systemd/logind.conf.d/korvel-lid.conf",
          "then have systemd-logind read it again: systemctl kill -s HUP systemd-logind"},
         {}},
        {machine::stock,
         nobody,
         false,
         69,
         {"for nobody (uid 65534)", "Lock:     no: logind: access denied",
          "49-korvel-inhibit.rules /etc/polkit-1/rules.d/", "sudo -b korvel --quiet --pid $$", lid_warning,
          "korvel cannot keep this machine awake."},
         {}},
        {machine::lid_drop_in,
         {},
         false,
         0,
         {"Lock:     yes, through logind", "suspends only when no lock is held", drop_in},
         {lid_warning}},
        {machine::lid_drop_in, nobody, false, 69, {"Lock:     no: logind: access denied", drop_in}, {lid_warning}},
        // korvel reads logind's files itself: PATH runs nothing.
        {machine::lid_drop_in, hostile_path, false, 0, {drop_in}, {lid_warning}},
        // The example rule lets its group take both locks, and no one else.
        {machine::polkit_rule, member, false, 0, {"for korvel-member", "Lock:     yes, through logind"}, {}},
        {machine::polkit_rule, member, true, 0, {"Lock:     yes, through logind"}, {}},
        {machine::polkit_rule, nobody, false, 69, {"Lock:     no: logind: access denied"}, {}},
    };
    machine now = machine::stock;
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(r.on)) + (r.prefix.empty() ? " root" : " " + r.prefix[1]) +
                     (r.display ? " --display" : ""));
        if (r.on != now) {
            if (r.on == machine::polkit_rule && !exists("/usr/lib/polkit-1/polkitd"))
                GTEST_SKIP() << "polkitd is not installed (package polkitd)";
            ASSERT_EQ(change_machine(r.on), "");
            now = r.on;
        }
        std::vector<std::string> argv = r.prefix;
        argv.insert(argv.end(), {KORVEL_CLI_PATH, "--check"});
        if (r.display) argv.push_back("--display");
        const kortest::run_result result = kortest::run_command(argv, 20s);
        EXPECT_EQ(exit_status(result.status), r.status) << result.output;
        for (const std::string &part : r.said) EXPECT_NE(result.output.find(part), std::string::npos) << part;
        for (const std::string &part : r.unsaid) EXPECT_EQ(result.output.find(part), std::string::npos) << part;
        EXPECT_TRUE(no_lock_left()) << result.output;
    }
    EXPECT_FALSE(exists(bin.path() + "/systemd-analyze.ran"));

    // Lock by lock under the rule ("what mode"): its group gets the locks
    // korvel takes, one thing a lock, and nothing that names two things,
    // shutdown, a key or the lid. polkit's defaults give anyone "block" on idle
    // and "delay" on sleep alone or shutdown alone; the rule adds none.
    ASSERT_EQ(now, machine::polkit_rule);
    const auto granted = [](std::vector<std::string> argv, const std::string &lock) {
        const size_t space = lock.find(' ');
        argv.insert(argv.end(), {"busctl", "--system", "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", "ssss", lock.substr(0, space),
                                 "korvel-test", "the polkit rule", lock.substr(space + 1)});
        return kortest::run_command(argv, 20s).status == 0;
    };
    EXPECT_TRUE(granted(member, "sleep block"));
    EXPECT_FALSE(granted(nobody, "sleep block"));
    for (const char *lock : {"idle block", "sleep delay", "shutdown delay"}) {
        EXPECT_TRUE(granted(member, lock) && granted(nobody, lock)) << lock;
    }
    for (const char *lock : {"sleep:idle block", "shutdown block", "shutdown:sleep block", "shutdown:idle block",
                             "handle-lid-switch block", "handle-power-key block", "handle-suspend-key block",
                             "handle-reboot-key block", "handle-hibernate-key block", "shutdown:sleep delay"}) {
        EXPECT_FALSE(granted(member, lock) || granted(nobody, lock)) << lock;
    }
}

}  // namespace

namespace korvel_conf {

using korcli::inspect::logind_daemon;

// logind's files, each row a tree: which assignment counts, and the drop-in
// that --check advises (after every file that sets the key).
TEST(KorvelLogindConf, ReadInLogindsOrder) {
    constexpr logind_daemon sys = logind_daemon::systemd, eld = logind_daemon::elogind;
    struct row {
        logind_daemon daemon;
        std::vector<std::string> files;  // "PATH VALUE": [Login] sets VALUE; "PATH ->X": a link to X
        std::string counts;              // "PATH VALUE" of the assignment that counts; "" for none
        std::string drop_in = "korvel-lid.conf";
    };
    const std::string sd = "/etc/systemd/logind.conf.d/", vendor = "/usr/lib/systemd/logind.conf.d/",
                      sd_main = "/etc/systemd/logind.conf", el_main = "/etc/elogind/logind.conf";
    const row rows[] = {
        {sys, {}, ""},
        // Drop-ins win over the main file, whichever folder they are in, sorted by file name.
        {sys, {sd_main + " no", vendor + "50-v.conf yes"}, vendor + "50-v.conf yes"},
        {sys, {sd + "10-a.conf no", vendor + "90-v.conf on"}, vendor + "90-v.conf on"},
        // A file in /etc hides the same name below, even as a link to /dev/null.
        {sys, {sd_main + " no", sd + "90-v.conf ->/dev/null", vendor + "90-v.conf yes"}, sd_main + " no"},
        // Other sections, values logind cannot read and files not named .conf count for nothing.
        {sys,
         {sd_main + " Off\n[Other]\nLidSwitchIgnoreInhibited=yes", sd + "2.conf maybe", sd + "3.conf~ 1"},
         sd_main + " Off"},
        // A line goes on after a backslash; ours comes after a later name.
        {sys,
         {"/run/systemd/logind.conf.d/zz.conf \\\n yes"},
         "/run/systemd/logind.conf.d/zz.conf yes",
         "zz.korvel.conf"},
        // elogind reads its own folders only.
        {eld, {el_main + " no", sd + "50-s.conf yes"}, el_main + " no"},
        {eld, {"/usr/lib/elogind/logind.conf.d/5.conf 1"}, "/usr/lib/elogind/logind.conf.d/5.conf 1"},
    };
    for (const row &r : rows) {
        kortest::temp_dir root;
        SCOPED_TRACE(r.counts);
        for (const std::string &file : r.files) {
            const std::string at = root.path() + file.substr(0, file.find(' ')),
                              value = file.substr(file.find(' ') + 1);
            std::filesystem::create_directories(std::filesystem::path(at).parent_path());
            if (value.rfind("->", 0) == 0) ASSERT_EQ(symlink(value.c_str() + 2, at.c_str()), 0);
            else std::ofstream(at) << "[Login]\nLidSwitchIgnoreInhibited=" << value << "\n";
        }
        const korcli::inspect::lid_setting s = korcli::inspect::read_lid_setting(r.daemon, root.path());
        EXPECT_EQ(s.ignores_locks ? s.file + " " + s.written : "", r.counts);
        EXPECT_EQ(s.drop_in, (r.daemon == eld ? "/etc/elogind/logind.conf.d/" : sd) + r.drop_in);
        EXPECT_EQ(s.reread, r.daemon == eld ? "loginctl reload" : "systemctl kill -s HUP systemd-logind");
    }
    EXPECT_EQ(korcli::inspect::logind_daemon_named("/lib/elogind/elogind"), logind_daemon::elogind);
    EXPECT_EQ(korcli::inspect::logind_daemon_named("systemd-logind"), logind_daemon::systemd);
}

}  // namespace korvel_conf
