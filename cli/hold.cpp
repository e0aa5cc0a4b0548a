#include "hold.h"

#include "kor_utf8.h"
#include "korvel.h"

#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace korcli {

namespace {

struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
struct doc_deleter {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
struct text_deleter {
    void operator()(char *text) const { kor_free_string(text); }
};

const char *mode_of(hold_kind kind) {
    switch (kind) {
    case hold_kind::timed: return "minutes";
    case hold_kind::while_pid: return "while_pid";
    case hold_kind::while_process: return "while_process";
    default: return "indefinite";
    }
}

int64_t int_member(yyjson_val *root, const char *key) {
    yyjson_val *v = yyjson_obj_get(root, key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
}

}  // namespace

std::string valid_utf8(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    kor_utf8::for_each_sequence(text, [&](std::string_view piece, size_t n) {
        out.append(n == 0 ? std::string_view("\xEF\xBF\xBD") : piece);
        return true;
    });
    return out;
}

std::string options_json(const request &req) {
    std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(nullptr));
    if (!doc) throw std::bad_alloc();
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_obj_add_str(d, root, "mode", mode_of(req.kind));
    yyjson_mut_obj_add_bool(d, root, "keep_display", req.display);
    switch (req.kind) {
    case hold_kind::timed:
        if (req.seconds >= 0) yyjson_mut_obj_add_int(d, root, "seconds", req.seconds);
        else yyjson_mut_obj_add_real(d, root, "minutes", req.minutes);
        break;
    case hold_kind::while_pid: yyjson_mut_obj_add_int(d, root, "pid", req.pid); break;
    default: break;
    }
    // The library finds the process by the name it is given: in this mode the
    // hold is named after the process.
    const std::string name = valid_utf8(req.kind == hold_kind::while_process ? req.process : req.name);
    yyjson_mut_obj_add_strncpy(d, root, "name", name.data(), name.size());
    std::unique_ptr<char, decltype(&std::free)> text(yyjson_mut_write(d, 0, nullptr), &std::free);
    if (!text) throw std::runtime_error("cannot write the options for the library");
    return text.get();
}

bool hold::start(const request &req) {
    release();
    const std::string options = options_json(req);
    if (kor_on(options.c_str()) != 1) {
        refusal_ = kor_last_error();
        return false;
    }
    held_ = true;
    return true;
}

status hold::current() const {
    status s;
    std::unique_ptr<char, text_deleter> text(kor_status());
    if (!text) return s;
    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read(text.get(), std::strlen(text.get()), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return s;
    s.readable = true;
    s.active = int_member(root, "active") != 0;
    s.remaining_s = int_member(root, "remaining_s");
    s.pid = int_member(root, "pid");
    const char *mechanism = yyjson_get_str(yyjson_obj_get(root, "mechanism"));
    s.mechanism = mechanism ? mechanism : "unknown";
    return s;
}

void hold::release() {
    if (held_) kor_off();
    held_ = false;
}

}  // namespace korcli
