// Helpers for tests that drive the built library through its five functions.
#ifndef KORVEL_LIBRARY_TEST_UTIL_H
#define KORVEL_LIBRARY_TEST_UTIL_H

#include "korvel.h"

#include <yyjson.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kortest {

// The status report, parsed.
struct status {
    int64_t active = -1;
    std::string mode;
    int64_t remaining_s = -1;
    int64_t keep_display = -1;
    std::string platform;
    std::string mechanism;
    int64_t pid = -1;
    std::string name;
};

inline std::string str_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : "<missing>";
}

inline int64_t int_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : -999;
}

inline status read_status() {
    std::unique_ptr<char, decltype(&kor_free_string)> text(kor_status(), kor_free_string);
    status s;
    if (!text) return s;
    std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)> doc(
        yyjson_read(text.get(), std::char_traits<char>::length(text.get()), 0), yyjson_doc_free);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    s.active = int_member(root, "active");
    s.mode = str_member(root, "mode");
    s.remaining_s = int_member(root, "remaining_s");
    s.keep_display = int_member(root, "keep_display");
    s.platform = str_member(root, "platform");
    s.mechanism = str_member(root, "mechanism");
    s.pid = int_member(root, "pid");
    s.name = str_member(root, "name");
    return s;
}

} // namespace kortest

#endif // KORVEL_LIBRARY_TEST_UTIL_H
