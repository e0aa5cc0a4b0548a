#include "arguments.h"

#include "kor_utf8.h"

#include "korvel.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
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
// Values: CLI11 runs korvel's own check of each one, which names a bad value
// with what the option needs.

// What a number option accepts, in the words its refusal uses.
struct number_rule {
    const char *needs;
    const char *unit;  // of `highest`
    double lowest;     // the smallest value allowed, or above it when `exclusive`
    bool exclusive;
    double highest;
    bool whole;
};

constexpr number_rule kMinutesRule{
    "a number of minutes greater than 0 (fractions allowed)", " minutes", 0, true, kMaxSeconds / 60, false};
constexpr number_rule kSecondsRule{"a whole number of seconds, 0 or more", " seconds", 0, false, kMaxSeconds, true};
constexpr number_rule kPidRule{"a process id (a whole number greater than 0)", "", 1, false, INT32_MAX, true};

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

std::string not_this(const std::string &text) { return ", not '" + valid_utf8(text) + "'"; }

// CLI11 puts the option's name and ": " before a refusal.
CLI::Validator checked(const number_rule &rule) {
    return {[rule](std::string &text) -> std::string {
                const std::optional<double> v = number_in(text, rule.whole);
                const bool too_low = v && (rule.exclusive ? *v <= rule.lowest : *v < rule.lowest);
                if (!v || too_low) return std::string("needs ") + rule.needs + not_this(text);
                if (*v > rule.highest)
                    return "can be at most " + std::to_string(static_cast<int64_t>(rule.highest)) + rule.unit +
                           not_this(text);
                // CLI11 would read "010" as octal.
                if (rule.whole) text = std::to_string(static_cast<int64_t>(*v));
                return "";
            },
            ""};
}

// The library compares file names, so a path would never match.
std::string file_name_only(const std::string &text) {
    return text.find('/') == std::string::npos ? ""
                                               : "needs the executable's file name without its folder" + not_this(text);
}

constexpr const char *kEnds[] = {"--minutes", "--seconds", "--pid", "--process"};

// ---------------------------------------------------------------------------
// Refusals in korvel's words

// A refusal of korvel's own, for what CLI11 cannot see (the command is not
// an option).
CLI::ParseError refusal(const std::string &words) { return CLI::ParseError(words, kExitUsage); }

// A value option given without its value ("--minutes" last, "--name --",
// "--seconds=") comes through empty, which CLI11 checks with nothing. Its
// type's name is what it needs.
void refuse_empty_values(const CLI::App &app) {
    for (const CLI::Option *opt : app.get_options())
        if (opt->get_expected_max() > 0 && opt->count() && opt->results().front().empty())
            throw refusal(opt->get_name() + " needs " + opt->get_type_name());
}

bool is_end(const std::string &flag) { return std::find(std::begin(kEnds), std::end(kEnds), flag) != std::end(kEnds); }

// Why `first` (declared earlier) and `second` cannot go together.
std::string conflict(const std::string &first, const std::string &second) {
    const bool first_alone = first == "--list" || first == "--check";
    const bool second_alone = second == "--list" || second == "--check";
    if (first_alone && second_alone) return "--list and --check cannot be combined";
    if (first_alone || second_alone)
        return (second_alone ? second : first) + " cannot be combined with " + (second_alone ? first : second);
    if (is_end(first) && is_end(second)) return first + " and " + second + " cannot be combined: choose one";
    // The one pair left: --process and --name.
    return "--name cannot be combined with --process: the hold is named after the process";
}

// CLI11's errors name the options first and last: "--list excludes --pid".
std::string in_korvel_words(const CLI::App &app, const CLI::Error &e) {
    const std::string text = e.what(), kind = e.get_name();
    const std::string first = text.substr(0, text.find_first_of(": ")), last = text.substr(text.rfind(' ') + 1);
    if (kind == "ValidationError") return first + " " + text.substr(first.size() + 2);
    if (kind == "ExcludesError") return conflict(first, last);
    if (kind == "RequiresError") return first + " goes with " + last;
    if (kind != "ArgumentMismatch") return kind == "ParseError" ? text : "cannot read the arguments (" + text + ")";
    // A value option given twice, a flag given a value; a flag's error names it without dashes.
    const std::string flag = first.rfind("-", 0) == 0 ? first : "--" + first;
    const CLI::Option *opt = app.get_option_no_throw(flag);
    if (opt == nullptr) return "cannot read the arguments (" + text + ")";
    return flag + (opt->get_expected_max() == 0 ? " takes no value" : " can be given only once");
}

// The command: everything from the first word that is not an option of
// korvel's, or after "--".
void take_command(const std::vector<std::string> &remaining, std::vector<std::string> &command) {
    size_t first = 0;
    if (!remaining.empty() && remaining[0] == "--") first = 1;
    else if (!remaining.empty() && remaining[0].size() > 1 && remaining[0][0] == '-')
        throw refusal("unknown option " + valid_utf8(remaining[0]));
    command.assign(remaining.begin() + static_cast<std::ptrdiff_t>(first), remaining.end());
}

// What the options ask for, from those given and the command.
void settle(invocation &inv, const CLI::App &app) {
    const bool list = app.count("--list") > 0, check = app.count("--check") > 0;
    const bool ended = std::any_of(std::begin(kEnds), std::end(kEnds), [&](const char *f) { return app.count(f); });
    if ((list || check) && !inv.command.empty())
        throw refusal(std::string(list ? "--list" : "--check") + " takes no command");
    if (ended && !inv.command.empty())
        throw refusal("a command cannot be combined with --minutes, --seconds, --pid or --process");
    if (inv.run_anyway && inv.command.empty()) throw refusal("--run-anyway needs a command");
    inv.what = list ? action::list : check ? action::check : action::hold;
    request &req = inv.req;
    if (app.count("--minutes") + app.count("--seconds")) req.kind = hold_kind::timed;
    if (app.count("--pid")) req.kind = hold_kind::while_pid;
    if (app.count("--process")) req.kind = hold_kind::while_process;
    if (!inv.command.empty()) req.kind = hold_kind::while_command;
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
    // The value's name only: which options go together is the usage's to show.
    std::string make_option_opts(const CLI::Option *opt) const override {
        return opt->get_option_text().empty() ? "" : " " + opt->get_option_text();
    }
};

const char *kDescription =
    "Keeps the machine awake while COMMAND runs, then exits with its exit status.\n"
    "Without a command: for a time (--minutes, --seconds), while a process lives\n"
    "(--pid, --process), or until Ctrl-C or SIGTERM.";

// The exit statuses, the environment and the permissions have sections of
// their own in the man page, which help2man makes from this help.
const char *kFooter = "Exit statuses, environment and permissions: see korvel(1).";

// A value option: a missing value comes through empty rather than as CLI11's
// error, so that korvel can say what the option `needs`.
template <typename T>
CLI::Option *value_option_of(CLI::App &app, const char *flag, T &into, const char *needs, const char *help,
                             const char *shown) {
    return app.add_option(flag, into, help)->expected(0, 1)->type_name(needs)->option_text(shown);
}

// A flag, counted only (`into` null) or kept in `into`.
void flag_of(CLI::App &app, const char *flag, bool *into, const char *help) {
    const std::string text = help;
    (into ? app.add_flag(flag, *into, text) : app.add_flag(flag, text))->disable_flag_override();
}

// Which options go together: one end at most; --list and --check stand
// alone, but --check may take the display's lock too and report only its
// exit status.
void declare_combinations(CLI::App &app) {
    const auto opt = [&app](const char *flag) { return app.get_option(flag); };
    for (size_t i = 0; i < std::size(kEnds); ++i)
        for (size_t j = i + 1; j < std::size(kEnds); ++j) opt(kEnds[i])->excludes(opt(kEnds[j]));
    opt("--process")->excludes(opt("--name"));
    for (const char *other : {"--minutes", "--seconds", "--pid", "--process", "--name", "--run-anyway"}) {
        opt("--list")->excludes(opt(other));
        opt("--check")->excludes(opt(other));
    }
    opt("--list")->excludes(opt("--display"))->excludes(opt("--quiet"))->excludes(opt("--check"));
    opt("--json")->needs(opt("--list"));
}

void describe_options(CLI::App &app, invocation &inv) {
    auto formatter = std::make_shared<usage_formatter>();
    formatter->column_width(20);
    app.formatter(formatter);
    app.footer(kFooter);
    app.failure_message([](const CLI::App *a, const CLI::Error &e) {
        return "korvel: " + in_korvel_words(*a, e) + "\nTry 'korvel --help' for more information.\n";
    });
    app.prefix_command();  // the first word that is not an option starts the command
    app.set_version_flag("--version", version_text(), "Print the version and exit");
    request &req = inv.req;
    value_option_of(app, "--minutes", req.minutes, kMinutesRule.needs,
                    "Hold for N minutes (fractions allowed), then exit", "N")
        ->transform(checked(kMinutesRule));
    value_option_of(app, "--seconds", req.seconds, kSecondsRule.needs, "Hold for N seconds, then exit", "N")
        ->transform(checked(kSecondsRule));
    value_option_of(app, "--pid", req.pid, kPidRule.needs, "Hold while the process PID lives", "PID")
        ->transform(checked(kPidRule));
    value_option_of(app, "--process", req.process, "the file name of an executable",
                    "Hold while a process whose executable is called NAME\n"
                    "lives; the hold is named NAME",
                    "NAME")
        ->check(file_name_only);
    flag_of(app, "--display", &req.display, "Keep the display on as well");
    value_option_of(app, "--name", req.name, "a text",
                    "Name the hold, as korvel --list, systemd-inhibit --list\n"
                    "and the desktop show it (default: the command line)",
                    "TEXT");
    flag_of(app, "-q,--quiet", &inv.quiet, "Print nothing when the hold starts and ends");
    flag_of(app, "--run-anyway", &inv.run_anyway,
            "When the machine cannot be kept awake, run the\n"
            "command all the same, with a warning");
    flag_of(app, "--list", nullptr,
            "List every hold on the machine (logind's and the\n"
            "desktop session's), then exit");
    flag_of(app, "--json", &inv.json, "With --list: print the list as JSON");
    flag_of(app, "--check", nullptr,
            "Say whether this user can keep this machine awake:\n"
            "take a lock and release it, and report what the\n"
            "lid switch and the idle policies will do");
    declare_combinations(app);
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
    describe_options(app, inv);
    // CLI11 takes the words in reverse order, without the program's name.
    std::vector<std::string> words(args.rbegin(), args.rend());
    if (!words.empty()) words.pop_back();
    try {
        app.parse(words);
        refuse_empty_values(app);
        take_command(app.remaining(), inv.command);
        settle(inv, app);
    } catch (const CLI::ParseError &e) {
        // --help and --version print and succeed; every refusal is a usage error.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    if (!app.count("--name")) inv.req.name = default_name(inv);
    return std::nullopt;
}

}  // namespace korcli
