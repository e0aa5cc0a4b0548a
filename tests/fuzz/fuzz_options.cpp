// The options text of kor_on under libFuzzer: any bytes are refused with a
// message or start an activation that kor_off then ends, and the status is
// always written. A refusal never shows as active; an accepted activation may
// already have ended by itself (a 0-second one, a watched process's end). The core runs against the scripted platform, so every input
// is judged by the core alone, fast and the same every time.
#include "fake_platform.h"
#include "korvel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fake::set_alive(1234, true);
    fake::add_process("backupd", 1234);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const int on = kor_on(text.c_str());
    // A refusal always says why, and never shows as active.
    if (!on && kor_last_error()[0] == '\0') std::abort();
    char *status = kor_status();
    if (status == nullptr) std::abort();
    if (!on && std::strstr(status, "\"active\":1") != nullptr) std::abort();
    kor_free_string(status);
    kor_off();
    return 0;
}
