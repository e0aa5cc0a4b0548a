/*
 * korvel.hpp: the keep-awake library from C++17, header-only over korvel.h.
 *
 *   #include <korvel.hpp>
 *
 *   korvel::hold awake(korvel::options{}.for_minutes(30).named("backup"));
 *   std::cout << korvel::status() << '\n';   // {"active":1,"mode":"minutes",...}
 *   run_the_backup();
 *   // awake's destructor ends the hold
 *
 * Any number of holds may be in force at once, in any threads: the machine
 * is kept awake while any of them is, and the display while any of them asks
 * for it. Each ends on its own (release(), its destructor, its time or its
 * process) and never ends another; owns() says whether that hold is in force
 * now. The library keeps one activation per process, so the holds of a
 * process live in one registry that asks the library for their union
 * whenever it changes (docs/front-ends.md). A refusal throws korvel::error,
 * and nothing is held then.
 *
 * With KORVEL_FAKE_SUCCESS set (not to "", "0", "false" or "no") every hold is
 * granted without asking the library, and status() names the mechanism
 * "fake (KORVEL_FAKE_SUCCESS)": for tests and CI.
 *
 * Link with the library: find_package(korvel) and korvel::korvel, or
 * pkg-config's korvel.
 */
#ifndef KORVEL_HPP
#define KORVEL_HPP

#include "korvel.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

/* The registry is one per process, also across shared objects built with
 * -fvisibility=hidden (see detail::the_registry). */
#if defined(_WIN32)
#define KORVEL_HPP_SHARED
#else
#define KORVEL_HPP_SHARED __attribute__((visibility("default")))
#endif

namespace korvel {
/* Versioned: copies of this header whose registries differ never share one. */
inline namespace v1 {

/* A refusal: the options' own, or the library's message. */
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace detail {

inline constexpr long max_whole = 2147483647;
inline constexpr double max_minutes = 35791394;
inline constexpr const char *another_copy =
    "the library's activation belongs to another copy of korvel in this process (a worker thread, a plugin, a "
    "second copy of the package, or a direct kor_on call): holds of different copies cannot be combined";

enum class end_by { release, minutes, seconds, pid, process };

/* One hold's options, checked. */
struct request {
    end_by end = end_by::release;
    double minutes = 0;
    long count = 0; /* seconds, or pid */
    std::string process, name, app;
    bool display = false;
};

inline std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(u));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

inline std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    std::string out = text;
    std::replace(out.begin(), out.end(), ',', '.'); /* a host's locale may write "0,5" */
    return out;
}

/* The name as the library keeps it: its first 255 bytes, cut on a character
 * boundary. */
inline std::string kept_name(std::string name) {
    if (name.size() <= 255) return name;
    size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut);
}

/* What the status shows while the library holds what we asked for. */
struct fingerprint {
    std::string mode, name;
    bool display = false;
    long pid = 0;
};

/* One options text for kor_on, and the status it gives. */
struct ask {
    std::string text;
    fingerprint shows;
};

inline ask make_ask(const char *mode, bool display, const std::string &member, const std::string &name,
                    const std::string &app, long pid) {
    std::string text = std::string("{\"mode\":\"") + mode + "\",\"keep_display\":" + (display ? "true" : "false");
    if (!member.empty()) text += "," + member;
    if (!name.empty()) text += ",\"name\":" + quoted(name);
    if (!app.empty()) text += ",\"app\":" + quoted(app);
    return {text + "}", {mode, kept_name(name), display, pid}};
}

/* A hold's request as its options gave it. A process hold's pid is learnt
 * from the status once the library has found the process. */
inline ask first_ask(const request &r) {
    switch (r.end) {
    case end_by::minutes: return make_ask("minutes", r.display, "\"minutes\":" + number(r.minutes), r.name, r.app, 0);
    case end_by::seconds:
        return make_ask("minutes", r.display, "\"seconds\":" + std::to_string(r.count), r.name, r.app, 0);
    case end_by::pid:
        return make_ask("while_pid", r.display, "\"pid\":" + std::to_string(r.count), r.name, r.app, r.count);
    case end_by::process: return make_ask("while_process", r.display, "", r.process, r.app, 0);
    case end_by::release: break;
    }
    return make_ask("indefinite", r.display, "", r.name, r.app, 0);
}

/* ---- the library's status, as its one writer writes it --------------------
 * Compact JSON in which `"key":` never occurs inside a string value (a quote
 * there is always escaped). */

inline const char *member_of(const std::string &status, const char *key) {
    const std::string needle = std::string("\"") + key + "\":";
    const size_t at = status.find(needle);
    return at == std::string::npos ? nullptr : status.c_str() + at + needle.size();
}

inline long number_of(const std::string &status, const char *key) {
    const char *at = member_of(status, key);
    return at ? std::strtol(at, nullptr, 10) : -1;
}

inline void append_utf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

inline std::string text_of(const std::string &status, const char *key) {
    const char *at = member_of(status, key);
    std::string out;
    if (!at || *at != '"') return out;
    for (++at; *at && *at != '"'; ++at) {
        if (*at != '\\') {
            out += *at;
            continue;
        }
        const char c = *++at;
        if (c == '\0') break;
        if (c == 'u' && std::strspn(at + 1, "0123456789abcdefABCDEF") >= 4) {
            append_utf8(out, static_cast<unsigned>(std::strtoul(std::string(at + 1, 4).c_str(), nullptr, 16)));
            at += 4;
        } else {
            const char *plain = std::strchr("b\bf\fn\nr\rt\t", c);
            out += plain ? plain[1] : c;
        }
    }
    return out;
}

/* kor_status's text; empty when it could not be had. */
inline std::string library_status() {
    std::unique_ptr<char, void (*)(void *)> text(kor_status(), kor_free_string);
    return text ? std::string(text.get()) : std::string();
}

inline bool shows(const std::string &status, const fingerprint &f) {
    return number_of(status, "active") == 1 && text_of(status, "mode") == f.mode &&
           number_of(status, "keep_display") == (f.display ? 1 : 0) && number_of(status, "pid") == f.pid &&
           text_of(status, "name") == f.name;
}

/* ---- processes ------------------------------------------------------------
 * A process's start time, which tells it from a later one given the same
 * pid; 0 once it has ended (a zombie has ended). */
#if defined(__linux__)
inline std::uint64_t process_start(long pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    std::FILE *file = std::fopen(path, "re");
    if (!file) return 0;
    char stat[1024];
    const size_t n = std::fread(stat, 1, sizeof stat - 1, file);
    std::fclose(file);
    stat[n] = '\0';
    const char *after_name = std::strrchr(stat, ')'); /* the name may hold spaces and ')' */
    char state = 0;
    unsigned long long start = 0;
    if (!after_name ||
        std::sscanf(after_name + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                    &state, &start) != 2)
        return 0;
    return state == 'Z' || state == 'X' || state == 'x' ? 0 : start;
}
#elif defined(_WIN32)
inline std::uint64_t process_start(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return 0;
    DWORD code = 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                         GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    return running ? (std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime) : 0;
}
#else
inline std::uint64_t process_start(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }
#endif

inline bool fake_requested() {
    const char *v = std::getenv("KORVEL_FAKE_SUCCESS");
    if (!v) return false;
    std::string value(v);
    for (char &c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !value.empty() && value != "0" && value != "false" && value != "no";
}

/* ---- the registry ----------------------------------------------------------
 * The holds of the process, oldest first, and what the library was asked for
 * (their union). Every change asks the library again when the union's text
 * changes; before it does, it checks that the status still shows what was
 * asked: another copy of korvel, or the host itself, may have replaced or
 * ended the activation, and then every hold here has ended with it. A thread
 * of its own ends timed holds at their deadline and process-bound ones within
 * 500 ms of their process's end; it runs only while a hold needs it. */
class registry {
public:
    using clock = std::chrono::steady_clock;

    /* Makes the registry, and hooks it to fork and exit. Always run by the
     * code of the copy whose registry every copy shares (the_registry), as
     * are its thread and hooks: with unique symbols the loader keeps that copy
     * loaded, while another copy of this header may be unloaded. */
    static registry &make() {
        registry *made = new registry;
#if !defined(_WIN32)
        pthread_atfork([] { the().before_fork(); }, [] { the().after_fork_in_parent(); },
                       [] { the().after_fork_in_child(); });
#endif
        std::atexit([] { the().close(); }); /* or when this copy is unloaded */
        return *made;
    }

    /* Takes a hold; throws error when it is refused, and then holds nothing
     * more than before. */
    std::uint64_t take(const request &r) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!entries_.empty() && !still_ours()) end_all();
        if (entries_.empty()) fake_ = fake_requested();
        if (entries_.empty() && !fake_ && number_of(library_status(), "active") == 1) throw error(another_copy);
        std::list<entry> taken(1,
                               entry{next_id_++, r, r.end == end_by::process ? r.process : r.name, std::nullopt, 0, 0});
        entry &e = taken.front();
        const std::uint64_t id = e.id;
        const bool composing = !entries_.empty();
        /* A process-bound hold is asked for alone first, so that a refusal is
         * the library's own ("pid 4242 is not alive"); the union follows. */
        if ((!composing || is_process_bound(r)) && !asked(first_ask(r))) {
            const std::string why = last_error();
            if (composing && !settle()) end_all();
            throw error(why);
        }
        try {
            learn_process(e);
            start_clock(e);
            entries_.splice(entries_.end(), taken);
            if (composing && !settle()) throw error(last_error());
            tend_watcher(lock);
        } catch (...) {
            drop(id); /* and the others are asked for again */
            throw;
        }
        return id;
    }

    void release(std::uint64_t id) noexcept {
        try {
            std::unique_lock<std::mutex> lock(mu_);
            if (!holds(id)) return;
            if (!still_ours()) end_all();
            drop_locked(id);
            tend_watcher(lock);
        } catch (...) {
        }
    }

    bool in_force(std::uint64_t id) noexcept {
        try {
            std::unique_lock<std::mutex> lock(mu_);
            if (holds(id) && !still_ours()) {
                end_all();
                tend_watcher(lock);
            }
            return holds(id);
        } catch (...) {
            return false;
        }
    }

    /* The status while holds are granted without the library; none otherwise. */
    std::optional<std::string> fake_status() {
        std::lock_guard<std::mutex> lock(mu_);
        if (entries_.empty() ? !fake_requested() : !fake_) return std::nullopt;
        const fingerprint none{"none", "", false, 0};
        const fingerprint &f = asked_ ? asked_->shows : none;
        long remaining = 0;
        if (entries_.size() == 1 && entries_.front().deadline) remaining = seconds_left(entries_.front());
        return "{\"active\":" + std::to_string(asked_ ? 1 : 0) + ",\"mode\":" + quoted(f.mode) +
               ",\"remaining_s\":" + std::to_string(remaining) + ",\"keep_display\":" + (f.display ? "1" : "0") +
               ",\"mechanism\":" + quoted(asked_ ? "fake (KORVEL_FAKE_SUCCESS)" : "none") +
               ",\"pid\":" + std::to_string(f.pid) + ",\"name\":" + quoted(f.name) + "}";
    }

    /* The thread is stopped and joined, and no other is started. */
    void close() noexcept {
        std::unique_lock<std::mutex> lock(mu_);
        closed_ = true;
        stop_watcher(lock);
    }

    static registry &the();

private:
    struct entry {
        std::uint64_t id;
        request req;
        std::string shown_name; /* its name, or its process's */
        std::optional<clock::time_point> deadline;
        long pid = 0; /* process-bound: the process watched */
        std::uint64_t started = 0;
    };

    static bool is_process_bound(const request &r) { return r.end == end_by::pid || r.end == end_by::process; }
    static std::string last_error() { return kor_last_error(); }
    static long seconds_left(const entry &e) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(*e.deadline - clock::now()).count();
        return static_cast<long>(std::max<decltype(left)>(left, 0));
    }

    /* Asks the library for `a`; false when it refused (it holds nothing then). */
    bool asked(ask a) {
        if (!fake_) {
            inside_library_ = std::this_thread::get_id();
            const int granted = kor_on(a.text.c_str());
            inside_library_ = std::thread::id();
            if (granted != 1) {
                asked_.reset();
                return false;
            }
        }
        asked_ = std::move(a);
        return true;
    }

    bool still_ours() {
        if (fake_ || !asked_) return true;
        const std::string status = library_status();
        return status.empty() || shows(status, asked_->shows); /* unreadable: cannot tell */
    }

    /* A process-bound hold's process, as the library found it. */
    void learn_process(entry &e) {
        if (!is_process_bound(e.req) || fake_) return;
        e.pid = e.req.end == end_by::pid ? e.req.count : number_of(library_status(), "pid");
        e.started = process_start(e.pid);
        asked_->shows.pid = e.pid;
    }

    /* The library rounds minutes to the nearest second, and to at least one. */
    static void start_clock(entry &e) {
        if (e.req.end == end_by::seconds) e.deadline = clock::now() + std::chrono::seconds(e.req.count);
        if (e.req.end == end_by::minutes)
            e.deadline = clock::now() +
                         std::chrono::seconds((std::max)(1L, static_cast<long>(e.req.minutes * 60 + 0.5)));
    }

    /* One hold alone is asked for as itself: a timed one with the time it has
     * left, a process one with the process found when it was taken. */
    ask alone(const entry &e) const {
        const request &r = e.req;
        if (e.deadline)
            return make_ask("minutes", r.display, "\"seconds\":" + std::to_string(seconds_left(e)), r.name, r.app, 0);
        if (r.end == end_by::process)
            return make_ask("while_pid", r.display, "\"pid\":" + std::to_string(e.pid), e.shown_name, r.app, e.pid);
        return first_ask(r);
    }

    /* Several: until released, the display kept when any asks for it, named
     * after the oldest. */
    ask union_ask() const {
        if (entries_.size() == 1) return alone(entries_.front());
        const bool display = std::any_of(entries_.begin(), entries_.end(),
                                         [](const entry &e) { return e.req.display; });
        const entry &oldest = entries_.front();
        return make_ask("indefinite", display, "", oldest.shown_name, oldest.req.app, 0);
    }

    /* Asks for the union when its text changed; false when the library refused. */
    bool settle() {
        if (entries_.empty()) {
            if (asked_ && !fake_) kor_off();
            asked_.reset();
            return true;
        }
        ask u = union_ask();
        return (asked_ && asked_->text == u.text) || asked(std::move(u));
    }

    void end_all() {
        entries_.clear();
        asked_.reset();
    }

    bool holds(std::uint64_t id) const {
        return std::any_of(entries_.begin(), entries_.end(), [id](const entry &e) { return e.id == id; });
    }

    void drop_locked(std::uint64_t id) {
        entries_.remove_if([id](const entry &e) { return e.id == id; });
        if (!settle()) end_all();
    }

    void drop(std::uint64_t id) noexcept {
        try {
            drop_locked(id);
        } catch (...) {
        }
    }

    /* ---- the thread ---- */

    bool needs_watcher() const {
        return std::any_of(entries_.begin(), entries_.end(), [](const entry &e) { return e.deadline || e.pid > 0; });
    }

    clock::time_point next_check() const {
        auto next = clock::time_point::max();
        for (const entry &e : entries_) {
            if (e.deadline) next = (std::min)(next, *e.deadline);
            if (e.pid > 0) next = (std::min)(next, clock::now() + std::chrono::milliseconds(500));
        }
        return next;
    }

    void end_what_ran_out() {
        const auto now = clock::now();
        auto over = [now](const entry &e) {
            return (e.deadline && *e.deadline <= now) ||
                   (e.pid > 0 && (e.started == 0 || process_start(e.pid) != e.started));
        };
        if (std::none_of(entries_.begin(), entries_.end(), over)) return;
        if (!still_ours()) return end_all();
        entries_.remove_if(over);
        if (!settle()) end_all();
    }

    static void spawn(registry &r, std::uint64_t generation) {
        r.watcher_ = std::make_unique<std::thread>(&registry::watch, &r, generation);
    }

    void watch(std::uint64_t generation) noexcept {
        try {
            std::unique_lock<std::mutex> lock(mu_);
            while (generation_ == generation && needs_watcher()) {
                wake_.wait_until(lock, next_check());
                if (generation_ == generation) end_what_ran_out();
            }
            if (generation_ == generation) watcher_done_ = true;
        } catch (...) {
        }
    }

    /* Starts the thread when a hold needs it, and stops it when none does. */
    void tend_watcher(std::unique_lock<std::mutex> &lock) {
        if (!needs_watcher() || closed_) return stop_watcher(lock);
        if (watcher_ && !watcher_done_) return wake_.notify_all();
        if (watcher_) { /* it has finished */
            watcher_->join();
            watcher_.reset();
        }
        watcher_done_ = false;
        spawn_(*this, ++generation_);
    }

    void stop_watcher(std::unique_lock<std::mutex> &lock) {
        if (!watcher_) return;
        ++generation_;
        wake_.notify_all();
        std::unique_ptr<std::thread> stopping = std::move(watcher_);
        watcher_done_ = false;
        lock.unlock();
        stopping->join();
        lock.lock();
    }

    /* ---- fork: a child starts with no holds, and a registry it can use.
     * A fork from inside kor_on (the bus library's helper) goes ahead at once. */
    void before_fork() {
        locked_for_fork_ = inside_library_ != std::this_thread::get_id();
        if (locked_for_fork_) mu_.lock();
    }
    void after_fork_in_parent() {
        if (locked_for_fork_) mu_.unlock();
    }
    void after_fork_in_child() {
        new (&mu_) std::mutex;
        new (&wake_) std::condition_variable;
        static_cast<void>(watcher_.release()); /* that thread is not in this process */
        watcher_done_ = false;
        ++generation_;
        inside_library_ = std::thread::id();
        end_all();
    }

    std::mutex mu_;
    std::condition_variable wake_;
    std::list<entry> entries_;
    std::optional<ask> asked_; /* what the library holds for us; none while no hold is in force */
    std::uint64_t next_id_ = 1;
    bool fake_ = false;
    bool closed_ = false;
    void (*const spawn_)(registry &, std::uint64_t) = &registry::spawn; /* the making copy's code */
    std::unique_ptr<std::thread> watcher_;
    bool watcher_done_ = false;
    std::uint64_t generation_ = 0;
    std::atomic<std::thread::id> inside_library_{};
    bool locked_for_fork_ = false;
};

/* The one registry: default visibility even under -fvisibility=hidden, so
 * that with GCC's unique symbols every shared object of a process shares it,
 * loaded with RTLD_LOCAL too; `make` is constant-initialized, so every copy
 * reads the value of the first copy loaded, which the loader then keeps.
 * Never destroyed, since a hold may be released during exit after every
 * static destructor has run. */
KORVEL_HPP_SHARED inline registry &the_registry() {
    static registry &(*make)() = &registry::make;
    static registry &shared = make();
    return shared;
}

inline registry &registry::the() { return the_registry(); }

}  // namespace detail

/*
 * What to hold for: at most one of for_minutes, for_seconds, while_pid and
 * while_process; with none, until the hold is released. Values are checked
 * here; a bad one makes json() and the hold's constructor throw korvel::error.
 */
class options {
public:
    options &for_minutes(double minutes) {
        if (!(minutes > 0 && minutes <= detail::max_minutes))
            return refuse("minutes must be a number greater than 0 and at most 35791394");
        req_.minutes = minutes;
        return end_by(detail::end_by::minutes);
    }
    options &for_seconds(long seconds) {
        if (seconds < 0 || seconds > detail::max_whole)
            return refuse("seconds must be a whole number from 0 to 2147483647");
        req_.count = seconds;
        return end_by(detail::end_by::seconds);
    }
    options &while_pid(long pid) {
        if (pid < 1 || pid > detail::max_whole) return refuse("pid must be a whole number from 1 to 2147483647");
        req_.count = pid;
        return end_by(detail::end_by::pid);
    }
    /* While the running process with the lowest pid whose executable is
     * called `executable` lives. The hold is named after it. */
    options &while_process(std::string_view executable) {
        if (executable.empty() || executable.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
            return refuse("process must be an executable's file name: a non-empty text without '/' or NUL");
        req_.process = std::string(executable);
        return end_by(detail::end_by::process);
    }
    options &display(bool keep_display = true) {
        req_.display = keep_display;
        return *this;
    }
    /* The hold's name, which korvel --list, systemd-inhibit --list and the
     * desktop show; empty means none. */
    options &named(std::string_view name) {
        if (name.find('\0') != std::string_view::npos) return refuse("name must be a text without NUL");
        req_.name = std::string(name);
        return *this;
    }
    /* Who asks, as logind ("who") and the desktop show it; empty means the
     * program's own name. */
    options &app(std::string_view app) {
        if (app.find('\0') != std::string_view::npos) return refuse("app must be a text without NUL");
        req_.app = std::string(app);
        return *this;
    }

    /* The options, checked: throws korvel::error with the refusal. */
    const detail::request &checked() const {
        if (!refusal_.empty()) throw error(refusal_);
        if (req_.end == detail::end_by::process && !req_.name.empty())
            throw error("name cannot be given with process: the hold is named after the process");
        return req_;
    }
    /* The options text kor_on() reads for a hold taken alone. */
    std::string json() const { return detail::first_ask(checked()).text; }

private:
    options &end_by(detail::end_by end) {
        if (req_.end != detail::end_by::release)
            return refuse("only one of minutes, seconds, pid and process can be given");
        req_.end = end;
        return *this;
    }
    options &refuse(const char *why) {
        if (refusal_.empty()) refusal_ = why;
        return *this;
    }

    detail::request req_;
    std::string refusal_;
};

/*
 * Keeps the machine awake from construction until release() or destruction,
 * or until its time or process ends. Move-only: the hold goes with the object
 * it is moved into.
 */
class hold {
public:
    explicit hold(const options &opts = options{}) : id_(detail::the_registry().take(opts.checked())) {}
    hold(hold &&other) noexcept : id_(std::exchange(other.id_, 0)) {}
    hold &operator=(hold &&other) noexcept {
        if (this != &other) {
            release();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    hold(const hold &) = delete;
    hold &operator=(const hold &) = delete;
    ~hold() { release(); }

    /* Ends this hold now; the others stay. Later calls do nothing. */
    void release() noexcept {
        if (id_ != 0) detail::the_registry().release(std::exchange(id_, 0));
    }
    /* This hold is in force now (not released, its time or process not over,
     * and the library's activation not replaced by another copy's). */
    bool owns() const noexcept { return id_ != 0 && detail::the_registry().in_force(id_); }

private:
    std::uint64_t id_ = 0;
};

/*
 * The library's status, the compact JSON object kor_status() gives, e.g.
 * {"active":1,"mode":"minutes","remaining_s":1795,"keep_display":0,
 *  "platform":"linux","mechanism":"logind","pid":0,"name":"backup"}.
 */
inline std::string status() {
    if (std::optional<std::string> fake = detail::the_registry().fake_status()) return *fake;
    std::unique_ptr<char, void (*)(void *)> text(kor_status(), kor_free_string);
    if (!text) throw error(kor_last_error());
    return std::string(text.get());
}

}  // namespace v1
}  // namespace korvel

#endif  // KORVEL_HPP
