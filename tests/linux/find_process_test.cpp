// Lookup by the names people see, against real child processes named for the
// purpose (copies of sleep under chosen file names, links and scripts).
#include "kor_platform.h"
#include "proc_helpers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class LinuxFindProcess : public ::testing::Test {
protected:
    // Every name carries this process's id, so parallel test processes never
    // see each other's children.
    const std::string tok = "kt" + std::to_string(getpid());

    // Starts a sleeping copy of sleep called `file_name`, showing `argv0` (its
    // own path when empty), and waits until it has exec'd.
    pid_t start(const std::string &file_name, const std::string &argv0 = "") {
        return spawn(kortest::copy_executable(sleep_path(), dir_.path(), file_name), argv0);
    }

    std::string copy(const std::string &file_name) {
        return kortest::copy_executable(sleep_path(), dir_.path(), file_name);
    }

    // Starts `path` (which may be a script) and waits until the kernel shows
    // the name it was started as.
    pid_t spawn_named(const std::string &path) {
        children_.push_back(std::make_unique<kortest::child_process>(std::vector<std::string>{path, "60"}));
        const pid_t pid = children_.back()->pid();
        EXPECT_TRUE(linuxtest::wait_until_comm(pid, path.substr(path.rfind('/') + 1).substr(0, 15))) << path;
        return pid;
    }

    pid_t spawn(const std::string &path, const std::string &argv0 = "") {
        children_.push_back(std::make_unique<kortest::child_process>(std::vector<std::string>{path, "60"}, argv0));
        const pid_t pid = children_.back()->pid();
        EXPECT_TRUE(linuxtest::wait_until_exec(pid, argv0.empty() ? path : argv0)) << path;
        return pid;
    }

    const std::string &dir_path() const { return dir_.path(); }
    kortest::child_process &last_child() { return *children_.back(); }
    void stop_all() { children_.clear(); }

private:
    static std::string sleep_path() { return access("/bin/sleep", X_OK) == 0 ? "/bin/sleep" : "/usr/bin/sleep"; }

    kortest::temp_dir dir_;
    std::vector<std::unique_ptr<kortest::child_process>> children_;
};

// A process is found by the file name of its executable, or, when that is
// Wine's loader, by the last part of its command line's first word (a
// Windows program under Wine shows its Windows path there). Each case runs
// through both, with the other one showing an unrelated name.
TEST_F(LinuxFindProcess, NameRules) {
    const struct {
        std::string running;
        std::string wanted;
        bool found;
    } cases[] = {
        {tok + "-a-name-longer-than-comm-keeps", tok + "-a-name-longer-than-comm-keeps", true},
        {tok + "sleeper", tok + "sleeper", true},
        {tok + "sleeper.exe", tok + "sleeper", true},
        {tok + "sleeper.exe", tok + "sleeper.exe", true},
        {tok + "KSleeper.EXE", tok + "KSleeper", true},
        {tok + "KSleeper.Exe", tok + "KSleeper", true},
        {tok + "KSleeper.EXE", tok + "ksleeper", false},
        {tok + "sleeper", tok + "SLEEPER", false},
        {tok + "sleeper", tok + "sleep", false},
        {tok + "sleeper", tok + "sleepers", false},
        {tok + "sleeper.exe", tok + "sleep", false},
        {tok + "sleeper", tok + "sleeper.exe", false},
        {tok + "sleeper.exe", tok + "sleeper.EXE", false},
        {tok + "sleeper.exe", tok + "sleeper.", false},
    };
    for (const auto &c : cases) {
        for (const bool by_command_line : {false, true}) {
            SCOPED_TRACE("running " + c.running + ", wanted " + c.wanted +
                         (by_command_line ? " (command line)" : " (executable)"));
            pid_t pid;
            if (by_command_line) pid = start("wine64-preloader", "C:\\Program Files\\App\\" + c.running);
            else pid = start(c.running, tok + "-unrelated");
            const int expected = c.found ? static_cast<int>(pid) : -1;
            EXPECT_EQ(kor_plat_find_process(c.wanted.c_str()), expected);
            stop_all();
        }
    }
}

// Any program may show any name as its argv[0]: that does not make it the
// program of that name, however early it started.
TEST_F(LinuxFindProcess, Argv0ImpostorIsNotFound) {
    const std::string name = tok + "tool";
    const pid_t impostor = start(tok + "-other", "/opt/" + tok + "/bin/" + name);
    EXPECT_EQ(kor_plat_find_process(name.c_str()), -1);
    const pid_t real = start(name);
    ASSERT_GT(real, impostor);
    EXPECT_EQ(kor_plat_find_process(name.c_str()), real);
}

// The names ps, top and pgrep -x show count too: the name the process was
// started as (a symlink's, a script's), which the kernel keeps to 15 bytes;
// a longer request goes by the executable's own name.
TEST_F(LinuxFindProcess, NamesPeopleSee) {
    const std::string real_name = tok + "-real-executable-name";
    const std::string target = copy(real_name);
    const std::string link = dir_path() + "/" + tok + "ln";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string script = dir_path() + "/" + tok + "j.sh";
    std::ofstream(script) << "#!/bin/sh\nsleep 60\n";
    chmod(script.c_str(), 0755);
    const struct {
        const char *what;
        std::string path;  // started as
        std::string wanted;
        bool found;
    } cases[] = {
        {"a symlink, by its own name", link, tok + "ln", true},
        {"a symlink, by its target's name", link, real_name, true},
        {"a script, by its file name", script, tok + "j.sh", true},
        {"a longer name, by the first 15 bytes of it", target, real_name.substr(0, 15), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        spawn_named(c.path);
        EXPECT_EQ(kor_plat_find_process(c.wanted.c_str()) > 0, c.found);
        stop_all();
    }
}

// An upgrade replaces the file a program runs from; the program runs on.
TEST_F(LinuxFindProcess, DeletedExecutableIsFound) {
    const std::string name = tok + "-upgraded-since-it-started";
    const pid_t pid = start(name);
    ASSERT_EQ(unlink((dir_path() + "/" + name).c_str()), 0);
    EXPECT_EQ(kor_plat_find_process(name.c_str()), pid);
}

TEST_F(LinuxFindProcess, WinePathInCommandLine) {
    for (const char *loader : {"wine", "wine64", "wine-preloader", "wine64-preloader"}) {
        SCOPED_TRACE(loader);
        const pid_t pid = start(loader, "C:\\apps\\" + tok + "winapp.exe");
        EXPECT_EQ(kor_plat_find_process((tok + "winapp").c_str()), pid);
        EXPECT_EQ(kor_plat_find_process((tok + "winapp.exe").c_str()), pid);
        stop_all();
    }
}

TEST_F(LinuxFindProcess, LowestPidWinsAmongTwins) {
    const pid_t a = start(tok + "twin");
    const pid_t b = spawn(dir_path() + "/" + tok + "twin");
    EXPECT_EQ(kor_plat_find_process((tok + "twin").c_str()), std::min(a, b));
}

TEST_F(LinuxFindProcess, ZombieIsNotFound) {
    const pid_t pid = start(tok + "zombie");
    ASSERT_EQ(kor_plat_find_process((tok + "zombie").c_str()), pid);
    last_child().kill_now(SIGKILL);
    ASSERT_TRUE(linuxtest::wait_zombie(pid));
    EXPECT_EQ(kor_plat_find_process((tok + "zombie").c_str()), -1);
}

}  // namespace
