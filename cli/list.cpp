// korvel --list: the holds logind lists, every program's, then the desktop
// session's own inhibitors, as a table for people or JSON for scripts.
#include "inspect.h"
#include "reports.h"

#include "kor_utf8.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

namespace korcli {

namespace {

using inspect::hold_list;
using inspect::listed_hold;

// Characters, not bytes: a name in UTF-8 takes one column per character.
size_t columns_of(const std::string &text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return !kor_utf8::is_continuation(static_cast<unsigned char>(c)); }));
}

std::vector<std::string> row_of(const listed_hold &h) {
    const std::string unknown = "-";
    return {h.source,
            printable(h.who),
            h.has_process ? std::to_string(h.uid) : unknown,
            h.user.empty() ? unknown : printable(h.user),
            h.has_process ? std::to_string(h.pid) : unknown,
            h.comm.empty() ? unknown : printable(h.comm),
            printable(h.what),
            h.why.empty() ? unknown : printable(h.why),
            printable(h.mode)};
}

void print_table(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], columns_of(row[i]));
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - columns_of(row[i]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

// "3 holds: 2 from logind, 1 from gnome-session."
std::string count_line(const hold_list &list) {
    // Where a source could not be asked, no hold seen is not no hold.
    if (list.holds.empty()) return list.unlisted.empty() ? "No holds." : "No holds listed.";
    std::map<std::string, int> per_source;
    std::vector<std::string> order;
    for (const listed_hold &h : list.holds)
        if (per_source[h.source]++ == 0) order.push_back(h.source);
    std::string line = std::to_string(list.holds.size()) + (list.holds.size() == 1 ? " hold: " : " holds: ");
    for (size_t i = 0; i < order.size(); ++i)
        line += (i ? ", " : "") + std::to_string(per_source[order[i]]) + " from " + order[i];
    return line + ".";
}

void print_human(const hold_list &list) {
    if (!list.holds.empty()) {
        std::vector<std::vector<std::string>> rows = {
            {"SOURCE", "WHO", "UID", "USER", "PID", "COMM", "WHAT", "WHY", "MODE"}};
        for (const listed_hold &h : list.holds) rows.push_back(row_of(h));
        print_table(rows);
        std::printf("\n");
    }
    std::printf("%s\n", count_line(list).c_str());
}

struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};

// yyjson copies the text; it writes only valid UTF-8.
void add_text(yyjson_mut_doc *d, yyjson_mut_val *obj, const char *key, const std::string &text) {
    const std::string valid = valid_utf8(text);
    yyjson_mut_obj_add_strncpy(d, obj, key, valid.data(), valid.size());
}

void add_text_or_null(yyjson_mut_doc *d, yyjson_mut_val *obj, const char *key, const std::string &text) {
    if (text.empty()) yyjson_mut_obj_add_null(d, obj, key);
    else add_text(d, obj, key, text);
}

yyjson_mut_val *hold_object(yyjson_mut_doc *d, const listed_hold &h) {
    yyjson_mut_val *o = yyjson_mut_obj(d);
    add_text(d, o, "source", h.source);
    add_text(d, o, "who", h.who);
    if (h.has_process) {
        yyjson_mut_obj_add_uint(d, o, "uid", h.uid);
        yyjson_mut_obj_add_uint(d, o, "pid", h.pid);
    } else {
        yyjson_mut_obj_add_null(d, o, "uid");
        yyjson_mut_obj_add_null(d, o, "pid");
    }
    add_text_or_null(d, o, "user", h.user);
    add_text_or_null(d, o, "comm", h.comm);
    add_text(d, o, "what", h.what);
    add_text(d, o, "why", h.why);
    add_text(d, o, "mode", h.mode);
    return o;
}

// {"holds":[{"source":"logind","who":...},...],"unlisted":[{"source":...,"why":...}]}
void print_json(const hold_list &list) {
    std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(nullptr));
    if (!doc) throw std::bad_alloc();
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_val *holds = yyjson_mut_obj_add_arr(d, root, "holds");
    for (const listed_hold &h : list.holds) yyjson_mut_arr_append(holds, hold_object(d, h));
    yyjson_mut_val *unlisted = yyjson_mut_obj_add_arr(d, root, "unlisted");
    for (const inspect::unlisted_source &u : list.unlisted) {
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, unlisted);
        add_text(d, o, "source", u.source);
        add_text(d, o, "why", u.why);
    }
    std::unique_ptr<char, decltype(&std::free)> text(yyjson_mut_write(d, 0, nullptr), &std::free);
    if (!text) throw std::runtime_error("cannot write the list as JSON");
    std::printf("%s\n", text.get());
}

}  // namespace

// A byte that is not part of a character shows as U+FFFD, as in the JSON.
std::string printable(const std::string &text) {
    std::string out;
    kor_utf8::for_each_sequence(text, [&out](std::string_view piece, size_t n) {
        if (n == 0) out += "\xEF\xBF\xBD";
        else out.append(kor_utf8::acts_on_terminal(kor_utf8::code_point(piece, 0, n)) ? std::string_view("?") : piece);
        return true;
    });
    return out;
}

int list_holds(bool json) {
    const hold_list list = inspect::list_holds();
    if (json) print_json(list);
    else print_human(list);
    // What could not be asked goes beside the list, never into it; JSON
    // carries it in "unlisted".
    for (const inspect::unlisted_source &u : list.unlisted)
        if (!u.none_here && (!json || u.source == "logind"))
            std::fprintf(stderr, "korvel: %s's holds are not listed: %s\n", u.source.c_str(), printable(u.why).c_str());
    return list.failed ? kExitUnavailable : 0;
}

}  // namespace korcli
