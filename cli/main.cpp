// korvel: keeps the machine awake while a command runs, for a time, while a
// process lives, or until stopped, through the korvel library; lists the
// holds on the machine and checks what a hold will achieve.
#include "arguments.h"
#include "hold.h"
#include "os.h"
#include "reports.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace korcli {

namespace {

// ---------------------------------------------------------------------------
// Words for the two lines korvel prints

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

// Until when the hold lasts, as the start line says it.
std::string extent_text(const invocation &inv, const status &held) {
    switch (inv.req.kind) {
    case hold_kind::while_command: return "while " + file_name_of(inv.command[0]) + " runs";
    case hold_kind::timed:
        return "for " + duration_text(held.remaining_s) + ", until " + clock_time_in(held.remaining_s);
    case hold_kind::while_pid: return "while pid " + std::to_string(inv.req.pid) + " runs";
    case hold_kind::while_process: return "while " + inv.req.process + " runs (pid " + std::to_string(held.pid) + ")";
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
// Holding

os::command_end wait_for_the_end(const hold &held, const request &req) {
    for (;;) {
        // Ctrl-C is answered within this time; the end of the hold is
        // noticed within it too (the library itself acts on a deadline
        // within 100 ms).
        if (std::optional<os::command_end> stop = os::stop_request_within(std::chrono::milliseconds(250))) return *stop;
        const status now = held.current();
        if (now.readable && !now.active) return {0, 0, natural_end(req)};
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
    return os::finish(cmd.wait());
}

int refused(const invocation &inv, const std::string &why) {
    complain("cannot keep the system awake: " + why);
    // logind's refusal of an ordinary user has a remedy that --check spells out.
    if (why.find("access denied") != std::string::npos)
        complain("'korvel --check' says what would let you; see PERMISSIONS in korvel(1)");
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
    return os::finish(end);
}

int run(const std::vector<std::string> &args) {
    invocation inv;
    if (const std::optional<int> done = parse_arguments(args, inv)) return *done;
    if (inv.what == action::list) return list_holds(inv.json);
    if (inv.what == action::check) return check_machine(inv);
    hold held;
    if (!held.start(inv.req)) return refused(inv, held.refusal());
    if (!inv.command.empty()) return run_command(inv, held);
    say(inv, start_line(inv, held.current()));
    const os::command_end end = wait_for_the_end(held, inv.req);
    held.release();
    say(inv, "korvel: released: " + end.how);
    return os::finish(end);
}

}  // namespace

}  // namespace korcli

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
