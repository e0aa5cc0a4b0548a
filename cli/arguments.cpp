#include "arguments.h"

#include "kor_utf8.h"

#include "korvel.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korcli {

namespace {

// A default name longer than this is cut: desktops show it in one line.
constexpr size_t kDefaultNameMax = 80;

// The library counts seconds in 32 bits and would clamp anything longer.
constexpr int64_t kMaxSeconds = INT32_MAX;

std::string version_text() {
    return "korvel " + std::to_string(KORVEL_VERSION_MAJOR) + "." + std::to_string(KORVEL_VERSION_MINOR) + "." +
           std::to_string(KORVEL_VERSION_PATCH);
}

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
        return "for " + (inv.req.seconds >= 0
                             ? duration_text(inv.req.seconds)
                             : duration_text(std::max<int64_t>(1, std::llround(inv.req.minutes * 60))));
    case hold_kind::while_pid: return "while pid " + std::to_string(inv.req.pid) + " runs";
    default: return "until stopped";
    }
}

// ---------------------------------------------------------------------------
// Values, read by korvel rather than by the parser, so that a bad one is
// named with what the option needs.

// The texts the options were given; CLI11 leaves a value out empty.
struct given_values {
    std::string minutes, seconds, pid;
};

// What a number option accepts, in the words its refusal uses.
struct number_rule {
    const char *flag;
    const char *needs;
    const char *unit;  // of `highest`
    double lowest;     // the smallest value allowed, or above it when `exclusive`
    bool exclusive;
    double highest;
    bool whole;
};

constexpr number_rule kMinutesRule{
    "--minutes", "a number of minutes greater than 0 (fractions allowed)", " minutes", 0, true, kMaxSeconds / 60,
    false};
constexpr number_rule kSecondsRule{
    "--seconds", "a whole number of seconds, 0 or more", " seconds", 0, false, kMaxSeconds, true};
constexpr number_rule kPidRule{"--pid", "a process id (a whole number greater than 0)", "", 1, false, INT32_MAX, true};

std::optional<double> number_in(const std::string &text, bool whole) {
    if (whole) {
        int64_t n = 0;
        const char *end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, n);
        if (ec != std::errc() || ptr != end) return std::nullopt;
        return static_cast<double>(n);
    }
    // strtod skips leading blanks and reads "inf" and "nan": neither is a duration.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

// "" when `text` is acceptable (`out` then holds it), else the refusal.
std::string read_number(const number_rule &rule, const std::string &text, double &out) {
    if (text.empty()) return std::string(rule.flag) + " needs " + rule.needs;
    const std::optional<double> v = number_in(text, rule.whole);
    const bool too_low = v && (rule.exclusive ? *v <= rule.lowest : *v < rule.lowest);
    if (!v || too_low) return std::string(rule.flag) + " needs " + rule.needs + ", not '" + valid_utf8(text) + "'";
    if (*v > rule.highest)
        return std::string(rule.flag) + " can be at most " + std::to_string(static_cast<int64_t>(rule.highest)) +
               rule.unit + ", not '" + text + "'";
    out = *v;
    return "";
}

// Reads a number option into `into` when it was given; "" or the refusal.
template <typename T>
std::string read_if_given(const CLI::App &app, const number_rule &rule, const std::string &text, T &into) {
    if (!app.count(rule.flag)) return "";
    double v = 0;
    std::string problem = read_number(rule, text, v);
    if (problem.empty()) into = static_cast<T>(v);
    return problem;
}

std::string read_values(const CLI::App &app, const given_values &given, request &req) {
    std::string problem = read_if_given(app, kMinutesRule, given.minutes, req.minutes);
    if (problem.empty()) problem = read_if_given(app, kSecondsRule, given.seconds, req.seconds);
    if (problem.empty()) problem = read_if_given(app, kPidRule, given.pid, req.pid);
    if (!problem.empty()) return problem;
    if (app.count("--process") && req.process.empty()) return "--process needs the file name of an executable";
    // The library compares file names, so a path would never match.
    if (req.process.find('/') != std::string::npos)
        return "--process needs the executable's file name without its folder, not '" + valid_utf8(req.process) + "'";
    if (app.count("--name") && req.name.empty()) return "--name needs a text";
    return "";
}

// ---------------------------------------------------------------------------
// Which options go together

std::vector<std::string> given_among(const CLI::App &app, std::initializer_list<const char *> flags) {
    std::vector<std::string> given;
    for (const char *flag : flags)
        if (app.count(flag)) given.emplace_back(flag);
    return given;
}

// --list and --check stand alone; "" or why the rest cannot go with them.
std::string settle_action(invocation &inv, const CLI::App &app) {
    const bool list = app.count("--list") > 0, check = app.count("--check") > 0;
    if (list && check) return "--list and --check cannot be combined";
    if (inv.json && !list) return "--json goes with --list";
    if (!list && !check) return "";
    const char *mine = list ? "--list" : "--check";
    inv.what = list ? action::list : action::check;
    std::vector<std::string> others = given_among(
        app, {"--minutes", "--seconds", "--pid", "--process", "--name", "--run-anyway"});
    // --check may take the display's lock too, and report only its exit status.
    if (list) {
        for (const std::string &flag : given_among(app, {"--display", "--quiet"})) others.push_back(flag);
    }
    if (!others.empty()) return std::string(mine) + " cannot be combined with " + others[0];
    if (!inv.command.empty()) return std::string(mine) + " takes no command";
    return "";
}

// The request's kind from the options given; "" or the reason they conflict.
std::string settle_kind(invocation &inv, const CLI::App &app) {
    request &req = inv.req;
    const std::vector<std::string> ends = given_among(app, {"--minutes", "--seconds", "--pid", "--process"});
    if (ends.size() > 1) return ends[0] + " and " + ends[1] + " cannot be combined: choose one";
    if (app.count("--minutes") + app.count("--seconds")) req.kind = hold_kind::timed;
    if (app.count("--pid")) req.kind = hold_kind::while_pid;
    if (app.count("--process")) req.kind = hold_kind::while_process;
    if (!inv.command.empty()) {
        if (req.kind != hold_kind::until_stopped)
            return "a command cannot be combined with --minutes, --seconds, --pid or --process";
        req.kind = hold_kind::while_command;
    }
    if (inv.run_anyway && inv.command.empty()) return "--run-anyway needs a command";
    if (app.count("--process") && app.count("--name"))
        return "--name cannot be combined with --process: the hold is named after the process";
    return "";
}

// The command: everything from the first word that is not an option of
// korvel's, or after "--".
std::string take_command(const std::vector<std::string> &remaining, std::vector<std::string> &command) {
    size_t first = 0;
    if (!remaining.empty() && remaining[0] == "--") first = 1;
    else if (!remaining.empty() && remaining[0].size() > 1 && remaining[0][0] == '-')
        return "unknown option " + valid_utf8(remaining[0]);
    command.assign(remaining.begin() + static_cast<std::ptrdiff_t>(first), remaining.end());
    return "";
}

// What the parser itself still refuses: a value option given twice, a flag
// given a value. Its own text starts with the option's name.
std::string in_our_words(const CLI::App &app, const CLI::ParseError &e) {
    const std::string text = e.what();
    std::string flag = text.substr(0, text.find_first_of(": "));
    if (flag.rfind("-", 0) != 0) flag = "--" + flag;  // a flag's error names it without dashes
    const CLI::Option *opt = app.get_option_no_throw(flag);
    if (opt == nullptr) return "cannot read the arguments (" + text + ")";
    if (opt->get_expected_max() == 0) return flag + " takes no value";
    return flag + " can be given only once";
}

// ---------------------------------------------------------------------------
// The options

class usage_formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override {
        return "Usage: korvel [OPTIONS] [--] [COMMAND [ARG...]]\n"
               "       korvel --list [--json]\n"
               "       korvel --check [--display] [--quiet]\n";
    }
};

const char *kDescription =
    "Keeps the machine awake while COMMAND runs, then exits with its exit status.\n"
    "Without a command: for a time (--minutes, --seconds), while a process lives\n"
    "(--pid, --process), or until Ctrl-C or SIGTERM.";

// The exit statuses, the environment and the permissions have sections of
// their own in the man page, which help2man makes from this help.
const char *kFooter = "Exit statuses, environment and permissions: see korvel(1).";

// A value option that korvel reads itself: CLI11 keeps the text, and a
// missing value comes through empty rather than as the parser's error.
CLI::Option *text_option(CLI::App &app, const char *flag, std::string &into, const char *help, const char *shown) {
    return app.add_option(flag, into, help)->expected(0, 1)->option_text(shown);
}

void describe_options(CLI::App &app, invocation &inv, given_values &given) {
    auto formatter = std::make_shared<usage_formatter>();
    formatter->column_width(20);
    app.formatter(formatter);
    app.footer(kFooter);
    app.prefix_command();  // the first word that is not an option starts the command
    app.set_version_flag("--version", version_text(), "Print the version and exit");
    request &req = inv.req;
    text_option(app, "--minutes", given.minutes, "Hold for N minutes (fractions allowed), then exit", "N");
    text_option(app, "--seconds", given.seconds, "Hold for N seconds, then exit", "N");
    text_option(app, "--pid", given.pid, "Hold while the process PID lives", "PID");
    text_option(app, "--process", req.process,
                "Hold while a process whose executable is called NAME\n"
                "lives; the hold is named NAME",
                "NAME");
    app.add_flag("--display", req.display, "Keep the display on as well")->disable_flag_override();
    text_option(app, "--name", req.name,
                "Name the hold, as korvel --list, systemd-inhibit --list\n"
                "and the desktop show it (default: the command line)",
                "TEXT");
    app.add_flag("-q,--quiet", inv.quiet, "Print nothing when the hold starts and ends")->disable_flag_override();
    app.add_flag("--run-anyway", inv.run_anyway,
                 "When the machine cannot be kept awake, run the\n"
                 "command all the same, with a warning")
        ->disable_flag_override();
    app.add_flag("--list",
                 "List every hold on the machine (logind's and the\n"
                 "desktop session's), then exit")
        ->disable_flag_override();
    app.add_flag("--json", inv.json, "With --list: print the list as JSON")->disable_flag_override();
    app.add_flag("--check",
                 "Say whether this user can keep this machine awake:\n"
                 "take a lock and release it, and report what the\n"
                 "lid switch and the idle policies will do")
        ->disable_flag_override();
}

int usage_error(const std::string &problem) {
    std::fprintf(stderr, "korvel: %s\n", problem.c_str());
    std::fprintf(stderr, "Try 'korvel --help' for more information.\n");
    return kExitUsage;
}

}  // namespace

std::string file_name_of(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

std::optional<int> parse_arguments(const std::vector<std::string> &args, invocation &inv) {
    CLI::App app{kDescription, "korvel"};
    given_values given;
    describe_options(app, inv, given);
    // CLI11 takes the words in reverse order, without the program's name.
    std::vector<std::string> words(args.rbegin(), args.rend());
    if (!words.empty()) words.pop_back();
    try {
        app.parse(words);
    } catch (const CLI::Success &e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError &e) {
        return usage_error(in_our_words(app, e));
    }
    std::string problem = take_command(app.remaining(), inv.command);
    if (problem.empty()) problem = settle_action(inv, app);
    if (problem.empty()) problem = settle_kind(inv, app);
    if (problem.empty()) problem = read_values(app, given, inv.req);
    if (!problem.empty()) return usage_error(problem);
    if (!app.count("--name")) inv.req.name = default_name(inv);
    return std::nullopt;
}

}  // namespace korcli
