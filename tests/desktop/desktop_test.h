// Shared by the desktop tests: skipping when a service is not installed, and
// a sandbox to be inside of.
#ifndef KORVEL_DESKTOP_TEST_H
#define KORVEL_DESKTOP_TEST_H

#include "kor_linux_seam.h"
#include "desktop_host.h"
#include "desktop_session.h"
#include "korvel.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

// Skips, naming the package, when a service's program is missing: the
// README's test command installs them all, so CI runs every test.
#define DESKTEST_NEED_PROGRAM(path, package)                                                                           \
    do {                                                                                                               \
        if (!::desktest::installed(path)) GTEST_SKIP() << (path) << " is not installed (package " << (package) << ")"; \
    } while (0)

// Starts a service: skips when it is not installed, fails when it is but does
// not start.
#define DESKTEST_START(expr)                                                       \
    do {                                                                           \
        const std::string why_ = (expr);                                           \
        if (why_.find("not installed") != std::string::npos) GTEST_SKIP() << why_; \
        ASSERT_EQ(why_, "");                                                       \
    } while (0)

using namespace std::chrono_literals;

namespace desktest {

// What every service is told holds the inhibition: this program's name.
inline std::string our_app_id() { return program_invocation_short_name; }

// While it lives, the library believes it runs inside a Flatpak sandbox: the
// sandbox's marker file is one in `dir`.
class pretend_sandbox {
public:
    explicit pretend_sandbox(const std::string &dir) : marker_(dir + "/flatpak-info") {
        std::ofstream(marker_) << "[Application]\nname=org.example.Host\n";
        kor_linux::set_sandbox_marker_for_tests(marker_.c_str());
    }
    ~pretend_sandbox() { kor_linux::set_sandbox_marker_for_tests(nullptr); }
    pretend_sandbox(const pretend_sandbox &) = delete;
    pretend_sandbox &operator=(const pretend_sandbox &) = delete;

private:
    std::string marker_;
};

}  // namespace desktest

#endif  // KORVEL_DESKTOP_TEST_H
