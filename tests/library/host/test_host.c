/* A host program for the library tests: loads the library, starts an
 * activation and then, depending on the action:
 *   hold    prints READY and waits to be killed
 *   exit    returns from main at once, without kor_off
 *   unload  unloads the library without kor_off, waits, then exits
 * usage: korvel_test_host LIBRARY OPTIONS_JSON ACTION */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int (*kor_on_fn)(const char *);
typedef const char *(*kor_last_error_fn)(void);

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
    void *lib;
    union { void *p; kor_on_fn f; } on;
    union { void *p; kor_last_error_fn f; } last_error;

    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY OPTIONS_JSON hold|exit|unload\n", argv[0]);
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    on.p = dlsym(lib, "kor_on");
    last_error.p = dlsym(lib, "kor_last_error");
    if (!on.p || !last_error.p) return 2;
    if (!on.f(argv[2])) {
        fprintf(stderr, "kor_on: %s\n", last_error.f());
        return 3;
    }
    if (strcmp(argv[3], "hold") == 0) {
        printf("READY\n");
        fflush(stdout);
        for (;;) pause();
    }
    if (strcmp(argv[3], "unload") == 0) {
        dlclose(lib);
        /* Long enough for a short timed activation's watcher to fire. */
        sleep_ms(1500);
    }
    return 0;
}
