// korvel: keeps the machine awake while a command runs, for a time, while a
// process lives, or until stopped, through the korvel library.
#include "hold.h"
#include "kor_utf8.h"
#include "os.h"

#include "korvel.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace korcli {

namespace {

// The exit statuses of sysexits.h that korvel uses.
constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;
constexpr int kExitSoftware = 70;

// A default name longer than this is cut: desktops show it in one line.
constexpr size_t kDefaultNameMax = 80;

struct invocation {
    request req;
    std::vector<std::string> command;
    bool quiet = false;
    bool run_anyway = false;
};

std::string version_text() {
    return "korvel " + std::to_string(KORVEL_VERSION_MAJOR) + "." + std::to_string(KORVEL_VERSION_MINOR) + "." +
           std::to_string(KORVEL_VERSION_PATCH);
}

// ---------------------------------------------------------------------------
// Words for the two lines korvel prints

// "45 s", "30 min", "1 h 30 min", "2 min 5 s".
std::string duration_text(int64_t seconds) {
    const int64_t h = seconds / 3600, m = seconds % 3600 / 60, s = seconds % 60;
    std::string out;
    auto part = [&out](int64_t n, const char *unit) {
        if (!out.empty()) out += ' ';
        out += std::to_string(n) + ' ' + unit;
    };
    if (h) part(h, "h");
    if (m) part(m, "min");
    if (s || out.empty()) part(s, "s");
    return out;
}

// The local time `seconds` from now; the date too when it is not today.
std::string clock_time_in(int64_t seconds) {
    const std::time_t now = std::time(nullptr);
    const std::time_t then = now + static_cast<std::time_t>(seconds);
    std::tm today = *std::localtime(&now);
    std::tm at = *std::localtime(&then);
    const bool same_day = today.tm_year == at.tm_year && today.tm_yday == at.tm_yday;
    char text[64];
    std::strftime(text, sizeof text, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &at);
    return text;
}

std::string file_name_of(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Until when the hold lasts, as the start line says it.
std::string extent_text(const invocation &inv, const status &held) {
    switch (inv.req.kind) {
    case hold_kind::while_command: return "while " + file_name_of(inv.command[0]) + " runs";
    case hold_kind::timed:
        return "for " + duration_text(held.remaining_s) + ", until " + clock_time_in(held.remaining_s);
    case hold_kind::while_pid: return "while pid " + std::to_string(inv.req.pid) + " runs";
    case hold_kind::while_process:
        return "while " + inv.req.process + " runs (pid " + std::to_string(held.pid) + ")";
    default: return "until Ctrl-C";
    }
}

std::string start_line(const invocation &inv, const status &held) {
    return std::string("korvel: keeping the system ") + (inv.req.display ? "and the display " : "") + "awake (" +
           (held.mechanism.empty() ? "unknown" : held.mechanism) + ") " + extent_text(inv, held);
}

// Why a hold without a command ended by itself.
std::string natural_end(const request &req) {
    switch (req.kind) {
    case hold_kind::timed: return "the time is up";
    case hold_kind::while_pid: return "pid " + std::to_string(req.pid) + " has ended";
    case hold_kind::while_process: return req.process + " has ended";
    default: return "the library ended the hold";
    }
}

void say(const invocation &inv, const std::string &line) {
    if (!inv.quiet) std::fprintf(stderr, "%s\n", line.c_str());
}

void complain(const std::string &line) { std::fprintf(stderr, "korvel: %s\n", line.c_str()); }

// ---------------------------------------------------------------------------
// Default names

bool shell_safe(const std::string &arg) {
    if (arg.empty()) return false;
    for (unsigned char c : arg)
        if (!(std::isalnum(c) || c >= 0x80 || std::strchr("_@%+=:,./-", c))) return false;
    return true;
}

std::string shell_quoted(const std::string &arg) {
    if (shell_safe(arg)) return arg;
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// At most `max` bytes of valid UTF-8 text, cut on a character boundary and
// ended with an ellipsis when something was cut.
std::string cut_text(std::string text, size_t max) {
    if (text.size() <= max) return text;
    // Room for the ellipsis.
    return std::string(kor_utf8::prefix(text, max - 3)) + "\xE2\x80\xA6";
}

std::string default_name(const invocation &inv) {
    switch (inv.req.kind) {
    case hold_kind::while_command: {
        std::string line;
        for (const std::string &arg : inv.command) line += (line.empty() ? "" : " ") + shell_quoted(arg);
        return cut_text(valid_utf8(line), kDefaultNameMax);
    }
    case hold_kind::timed:
        return "for " + (inv.req.seconds >= 0 ? duration_text(inv.req.seconds)
                                              : duration_text(std::max<int64_t>(1, std::llround(inv.req.minutes * 60))));
    case hold_kind::while_pid: return "while pid " + std::to_string(inv.req.pid) + " runs";
    default: return "until stopped";
    }
}

// ---------------------------------------------------------------------------
// The command line

class usage_formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override {
        return "Usage: korvel [OPTIONS] [--] [COMMAND [ARG...]]\n";
    }
};

const char *kDescription =
    "Keeps the machine awake while COMMAND runs, then exits with its exit status.\n"
    "Without a command: for a time (--minutes, --seconds), while a process lives\n"
    "(--pid, --process), or until Ctrl-C or SIGTERM.";

const char *kFooter =
    "Exit status:\n"
    "  the command's (128+N when signal N ended it), or 0 when a hold without a\n"
    "  command ends; 64 for a usage error; 69 when the machine cannot be kept\n"
    "  awake (the command is not run unless --run-anyway is given); 126 or 127\n"
    "  when the command cannot be run.";

// The request's kind from the options given; "" or the reason they conflict.
std::string settle_kind(invocation &inv, const CLI::App &app) {
    request &req = inv.req;
    const bool timed = app.count("--minutes") + app.count("--seconds") > 0;
    if (timed) req.kind = hold_kind::timed;
    if (app.count("--pid")) req.kind = hold_kind::while_pid;
    if (app.count("--process")) req.kind = hold_kind::while_process;
    if (!inv.command.empty()) {
        if (req.kind != hold_kind::until_stopped)
            return "a command cannot be combined with --minutes, --seconds, --pid or --process";
        req.kind = hold_kind::while_command;
    }
    if (inv.run_anyway && inv.command.empty()) return "--run-anyway needs a command";
    if (app.count("--minutes") && !(std::isfinite(req.minutes) && req.minutes > 0))
        return "--minutes needs a number greater than 0";
    if (app.count("--seconds") && req.seconds < 0) return "--seconds needs a number of at least 0";
    if (app.count("--pid") && req.pid <= 0) return "--pid needs a process id greater than 0";
    if (app.count("--process") && req.process.empty()) return "--process needs a name";
    return "";
}

// The command: everything from the first word that is not an option of
// korvel's, or after "--".
std::string take_command(const std::vector<std::string> &remaining, std::vector<std::string> &command) {
    size_t first = 0;
    if (!remaining.empty() && remaining[0] == "--") first = 1;
    else if (!remaining.empty() && remaining[0].size() > 1 && remaining[0][0] == '-')
        return "unknown option " + remaining[0];
    command.assign(remaining.begin() + static_cast<std::ptrdiff_t>(first), remaining.end());
    return "";
}

void describe_options(CLI::App &app, invocation &inv) {
    auto formatter = std::make_shared<usage_formatter>();
    formatter->column_width(20);
    app.formatter(formatter);
    app.footer(kFooter);
    app.prefix_command();  // the first word that is not an option starts the command
    app.set_version_flag("--version", version_text(), "Print the version and exit");
    request &req = inv.req;
    // option_text: the help shows the value's name only, not the exclusions.
    auto *minutes = app.add_option("--minutes", req.minutes, "Hold for N minutes (fractions allowed), then exit")
                        ->option_text("N");
    auto *seconds = app.add_option("--seconds", req.seconds, "Hold for N seconds, then exit")->option_text("N");
    auto *pid = app.add_option("--pid", req.pid, "Hold while the process PID lives")->option_text("PID");
    auto *process = app.add_option("--process", req.process,
                                   "Hold while a process whose executable is called NAME\n"
                                   "lives; the hold is named NAME")
                        ->option_text("NAME");
    app.add_flag("--display", req.display, "Keep the display on as well");
    auto *name = app.add_option("--name", req.name,
                                "Name the hold, as systemd-inhibit --list and the\n"
                                "desktop show it (default: the command line)")
                     ->option_text("TEXT");
    app.add_flag("-q,--quiet", inv.quiet, "Print nothing when the hold starts and ends");
    app.add_flag("--run-anyway", inv.run_anyway,
                 "When the machine cannot be kept awake, run the\n"
                 "command all the same, with a warning");
    minutes->excludes(seconds, pid, process);
    seconds->excludes(pid, process);
    pid->excludes(process);
    name->excludes(process);
}

int usage_error(const std::string &problem) {
    complain(problem);
    std::fprintf(stderr, "Try 'korvel --help' for more information.\n");
    return kExitUsage;
}

// Fills `inv`; returns an exit status when korvel is done already (help,
// version, usage error).
std::optional<int> parse_arguments(const std::vector<std::string> &args, invocation &inv) {
    CLI::App app{kDescription, "korvel"};
    describe_options(app, inv);
    // CLI11 takes the words in reverse order, without the program's name.
    std::vector<std::string> words(args.rbegin(), args.rend());
    if (!words.empty()) words.pop_back();
    try {
        app.parse(words);
    } catch (const CLI::Success &e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError &e) {
        return usage_error(e.what());
    }
    std::string problem = take_command(app.remaining(), inv.command);
    if (problem.empty()) problem = settle_kind(inv, app);
    if (!problem.empty()) return usage_error(problem);
    if (!app.count("--name")) inv.req.name = default_name(inv);
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Holding

os::command_end wait_for_the_end(const hold &held, const request &req) {
    for (;;) {
        // Ctrl-C is answered within this time; the end of the hold is
        // noticed within it too (the library itself acts on a deadline
        // within 100 ms).
        const std::string stop = os::stop_request_within(std::chrono::milliseconds(250));
        if (!stop.empty()) return {0, "stopped by " + stop};
        const status now = held.current();
        if (now.readable && !now.active) return {0, natural_end(req)};
    }
}

int run_unprotected(const invocation &inv) {
    complain("warning: running " + file_name_of(inv.command[0]) + " without keeping the system awake");
    os::command cmd;
    os::command_end end;
    if (!cmd.start(inv.command, end)) {
        complain(end.how);
        return end.exit_status;
    }
    return cmd.wait().exit_status;
}

int refused(const invocation &inv, const std::string &why) {
    complain("cannot keep the system awake: " + why);
    if (inv.run_anyway) return run_unprotected(inv);
    return kExitUnavailable;
}

int run_command(const invocation &inv, hold &held) {
    os::command cmd;
    os::command_end end;
    if (!cmd.start(inv.command, end)) {
        held.release();
        complain(end.how);
        return end.exit_status;
    }
    say(inv, start_line(inv, held.current()));
    end = cmd.wait();
    held.release();
    say(inv, "korvel: released: " + file_name_of(inv.command[0]) + " " + end.how);
    return end.exit_status;
}

int run(const std::vector<std::string> &args) {
    invocation inv;
    if (const std::optional<int> done = parse_arguments(args, inv)) return *done;
    hold held;
    if (!held.start(inv.req)) return refused(inv, held.refusal());
    if (!inv.command.empty()) return run_command(inv, held);
    say(inv, start_line(inv, held.current()));
    const os::command_end end = wait_for_the_end(held, inv.req);
    held.release();
    say(inv, "korvel: released: " + end.how);
    return end.exit_status;
}

} // namespace

} // namespace korcli

int main(int argc, char **argv) {
    korcli::os::route_stop_requests();
    try {
        return korcli::run(korcli::os::utf8_arguments(argc, argv));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvel: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "korvel: internal error\n");
    }
    return korcli::kExitSoftware;
}
