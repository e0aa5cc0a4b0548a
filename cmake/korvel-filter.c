/*
 * libbrenvic-korvel-sleep-blocker.so, the library's second name.
 *
 * Hosts and FFIs ask for the library by two names: the file's own,
 * brenvic-korvel-sleep-blocker.so, and the lib-prefixed one that `-l`,
 * ctypes' find_library, DllImport, JNA and ffi.load derive from
 * "brenvic-korvel-sleep-blocker". ldconfig caches a file only under its SONAME
 * (and a lib….so link only under a name its target's SONAME starts with), so
 * no single file can be cached under both names. This object carries the
 * second name: a linker filter (DT_FILTER) on brenvic-korvel-sleep-blocker.so.
 * The loader loads that library with it and takes every symbol looked up
 * here from it, so both names reach the same code and the same state.
 *
 * The definitions below only give the linker the five names, bound to the
 * version node of cmake/korvel.map; the loader never runs them.
 */
#include "korvel.h"

#include <stddef.h>

int kor_on(const char *options_json) {
    (void)options_json;
    return 0;
}

int kor_off(void) { return 1; }

char *kor_status(void) { return NULL; }

const char *kor_last_error(void) { return "korvel: the filter's own definitions were called"; }

void kor_free_string(void *text) { (void)text; }
