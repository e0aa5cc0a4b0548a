// The korvel command line: what it asks for, read and checked in korvel's
// own words, so that every bad value gets one plain sentence and exit 64.
#ifndef KORVEL_CLI_ARGUMENTS_H
#define KORVEL_CLI_ARGUMENTS_H

#include "hold.h"

#include <optional>
#include <string>
#include <vector>

namespace korcli {

// The exit statuses of sysexits.h that korvel uses.
constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;
constexpr int kExitSoftware = 70;

enum class action { hold, list, check };

struct invocation {
    action what = action::hold;
    request req;
    std::vector<std::string> command;
    bool quiet = false;
    bool run_anyway = false;
    bool json = false;  // --list --json
};

// Fills `inv` from the program's arguments (argv[0] first); returns an exit
// status when korvel is done already (help, version, usage error).
std::optional<int> parse_arguments(const std::vector<std::string> &args, invocation &inv);

std::string file_name_of(const std::string &path);

// "45 s", "30 min", "1 h 30 min", "2 min 5 s".
std::string duration_text(int64_t seconds);

}  // namespace korcli

#endif  // KORVEL_CLI_ARGUMENTS_H
