// The status report of kor_status, read back for assertions. Works against
// whatever provides kor_status: the built library, or the core's objects.
#ifndef KORVEL_TEST_STATUS_REPORT_H
#define KORVEL_TEST_STATUS_REPORT_H

#include "korvel.h"

#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace kortest {

// kor_status as a std::string; "<null>" when it failed.
inline std::string status_text() {
    char *text = kor_status();
    if (text == nullptr) return "<null>";
    std::string out(text);
    kor_free_string(text);
    return out;
}

struct status {
    bool ok = false;  // kor_status returned a text that parsed as an object
    int64_t active = -1;
    std::string mode;
    int64_t remaining_s = -1;
    int64_t keep_display = -1;
    bool has_platform = false;
    std::string platform;
    std::string mechanism;
    int64_t pid = -1;
    std::string name;
};

// Members that are missing or of another type read as "<missing>" and -999.
inline status read_status() {
    status s;
    char *text = kor_status();
    if (text == nullptr) return s;
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    kor_free_string(text);
    if (doc == nullptr) return s;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (yyjson_is_obj(root)) {
        s.ok = true;
        auto str = [root](const char *key) {
            yyjson_val *v = yyjson_obj_get(root, key);
            return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string("<missing>");
        };
        auto num = [root](const char *key) {
            yyjson_val *v = yyjson_obj_get(root, key);
            return yyjson_is_int(v) ? yyjson_get_sint(v) : int64_t{-999};
        };
        s.active = num("active");
        s.mode = str("mode");
        s.remaining_s = num("remaining_s");
        s.keep_display = num("keep_display");
        s.has_platform = yyjson_obj_get(root, "platform") != nullptr;
        s.platform = str("platform");
        s.mechanism = str("mechanism");
        s.pid = num("pid");
        s.name = str("name");
    }
    yyjson_doc_free(doc);
    return s;
}

}  // namespace kortest

#endif  // KORVEL_TEST_STATUS_REPORT_H
