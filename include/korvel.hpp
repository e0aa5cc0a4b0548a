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
 * A refusal throws korvel::error, whose what() is the library's message
 * (kor_last_error()); nothing is held then. The library holds one activation
 * per process, so holds do not nest: constructing a hold while another is in
 * force throws korvel::error and leaves the first as it is. A timed or
 * process-bound hold may end by itself before its object is destroyed.
 *
 * Link with the library: find_package(korvel) and korvel::korvel, or
 * pkg-config's korvel.
 */
#ifndef KORVEL_HPP
#define KORVEL_HPP

#include "korvel.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace korvel {

/* The library refused, or a hold is in force already; what() says which. */
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/*
 * What to hold for: at most one of for_minutes, for_seconds, while_pid and
 * while_process (the last one set counts); none holds until the hold object
 * ends it. The same options as the Python package's keep_awake().
 */
class options {
public:
    options &for_minutes(double minutes) { return end_by("minutes", "\"minutes\":" + number(minutes)); }
    options &for_seconds(long seconds) { return end_by("minutes", "\"seconds\":" + std::to_string(seconds)); }
    options &while_pid(long pid) { return end_by("while_pid", "\"pid\":" + std::to_string(pid)); }
    /* While the running process whose executable is called `executable` lives. */
    options &while_process(std::string_view executable) {
        return end_by("while_process", "\"name\":" + quoted(executable));
    }
    options &display(bool keep_display = true) {
        display_ = keep_display;
        return *this;
    }
    /* The hold's name, which systemd-inhibit --list and the desktop show. */
    options &named(std::string_view name) {
        name_ = std::string(name);
        return *this;
    }

    /* The options text kor_on() reads. */
    std::string json() const {
        std::string text = "{\"mode\":\"" + mode_ + "\",\"keep_display\":" + (display_ ? "true" : "false");
        if (!end_.empty()) text += "," + end_;
        if (name_) text += ",\"name\":" + quoted(*name_);
        return text + "}";
    }

private:
    options &end_by(const char *mode, std::string member) {
        mode_ = mode;
        end_ = std::move(member);
        return *this;
    }
    static std::string number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        return text;
    }
    static std::string quoted(std::string_view text) {
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

    std::string mode_ = "indefinite";
    std::string end_;
    bool display_ = false;
    std::optional<std::string> name_;
};

namespace detail {
inline std::atomic<bool> hold_in_force{false};
}  // namespace detail

/*
 * Keeps the machine awake from construction until release() or destruction.
 * Move-only: the hold goes with the object it is moved into.
 */
class hold {
public:
    explicit hold(const options &opts = options{}) : hold(opts.json()) {}
    /* A raw options text, as kor_on() takes it. */
    explicit hold(const std::string &options_json) {
        if (detail::hold_in_force.exchange(true))
            throw error(
                "a korvel::hold is in force already: the library holds one activation "
                "per process, so holds cannot nest or overlap");
        if (kor_on(options_json.c_str()) != 1) {
            error refused(kor_last_error());
            detail::hold_in_force = false;
            throw refused;
        }
        held_ = true;
    }
    hold(hold &&other) noexcept : held_(std::exchange(other.held_, false)) {}
    hold &operator=(hold &&other) noexcept {
        if (this != &other) {
            release();
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    hold(const hold &) = delete;
    hold &operator=(const hold &) = delete;
    ~hold() { release(); }

    /* Ends the hold now; later calls do nothing. */
    void release() noexcept {
        if (!held_) return;
        kor_off();
        held_ = false;
        detail::hold_in_force = false;
    }
    /* This object still owns the hold (which a timed one may have ended). */
    bool owns() const noexcept { return held_; }

private:
    bool held_ = false;
};

/*
 * The library's status, the compact JSON object kor_status() gives, e.g.
 * {"active":1,"mode":"minutes","remaining_s":1795,"keep_display":0,
 *  "platform":"linux","mechanism":"logind","pid":0,"name":"backup"}.
 */
inline std::string status() {
    std::unique_ptr<char, void (*)(void *)> text(kor_status(), kor_free_string);
    if (!text) throw error(kor_last_error());
    return std::string(text.get());
}

}  // namespace korvel

#endif  // KORVEL_HPP
