/* A host program for the library tests: loads the library, starts an
 * activation and then, depending on the action:
 *   hold       prints READY and waits to be killed
 *   exit       returns from main at once, without kor_off
 *   unload     unloads the library without kor_off, waits, then exits
 *   oom-once   makes each allocation of kor_on fail in turn, one per call,
 *              and checks that every refused call holds nothing in
 *              logind's list, after the refusal and after kor_off
 *   oom-sustained  makes every allocation fail, on a thread that has not
 *              called the library yet, through all five functions
 * A C program that loads the library with dlopen, as the FFIs do: the
 * library's own thread-local data, and its C++ runtime's, are then allocated
 * on a thread's first use rather than at start.
 * usage: korvel_test_host LIBRARY OPTIONS_JSON ACTION
 * Exit status 0 when all went as expected; oom-* print what did not. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

static struct {
    int (*on)(const char *);
    int (*off)(void);
    char *(*status)(void);
    const char *(*last_error)(void);
    void (*free_string)(void *);
} kor;

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

/* --- Allocations that fail on request ---------------------------------------
 * The sanitizers bring allocators of their own, which this cannot replace. */
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KOR_HOST_FAILS_ALLOCATIONS 1
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static atomic_long g_until_failure = -1; /* -1: none fails; n > 0: the nth fails */
static atomic_int g_all_fail;
static atomic_int g_failed;

static int allocation_fails(void) {
    if (atomic_load(&g_all_fail)) return 1;
    if (atomic_load(&g_until_failure) > 0 && atomic_fetch_sub(&g_until_failure, 1) == 1) {
        atomic_store(&g_failed, 1);
        return 1;
    }
    return 0;
}

/* Seen by every library of the process, whatever the build's visibility. */
#define KOR_HOST_ALLOCATOR __attribute__((visibility("default")))
KOR_HOST_ALLOCATOR void *malloc(size_t n) {
    if (allocation_fails()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(n);
}
KOR_HOST_ALLOCATOR void *calloc(size_t n, size_t size) {
    if (allocation_fails()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(n, size);
}
KOR_HOST_ALLOCATOR void *realloc(void *p, size_t n) {
    if (allocation_fails()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(p, n);
}
#endif

/* --- logind's list ------------------------------------------------------- */

/* The number of locks logind lists for this process, or -1. */
static int locks_held(void) {
    sd_bus *bus = NULL;
    sd_bus_message *reply = NULL;
    int n = -1;
    if (sd_bus_open_system(&bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", NULL, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        n = 0;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            if (pid == (uint32_t)getpid()) ++n;
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return n;
}

/* logind drops a lock when it sees its fd close, a moment after the close. */
static int eventually_holds(int expected) {
    int i;
    for (i = 0; i < 1000; ++i) {
        if (locks_held() == expected) return 1;
        sleep_ms(10);
    }
    return 0;
}

#ifdef KOR_HOST_FAILS_ALLOCATIONS
static int status_is_active(void) {
    char *s = kor.status();
    const int active = s != NULL && strstr(s, "\"active\":1") != NULL;
    kor.free_string(s);
    return active;
}

static int oom_once(const char *options) {
    long n;
    for (n = 1; n < 5000; ++n) {
        int on;
        atomic_store(&g_failed, 0);
        atomic_store(&g_until_failure, n);
        on = kor.on(options);
        atomic_store(&g_until_failure, -1);
        if (!on && kor.last_error()[0] == '\0') {
            printf("allocation %ld: refused without a message\n", n);
            return 1;
        }
        if (on != status_is_active()) {
            printf("allocation %ld: kor_on said %d, the status the opposite\n", n, on);
            return 1;
        }
        if (on && !eventually_holds(1)) {
            printf("allocation %ld: accepted, yet no lock is held\n", n);
            return 1;
        }
        if (!on && !eventually_holds(0)) {
            printf("allocation %ld: refused (%s), yet a lock is held\n", n, kor.last_error());
            return 1;
        }
        kor.off();
        if (!eventually_holds(0)) {
            printf("allocation %ld: a lock is held after kor_off\n", n);
            return 1;
        }
        if (!atomic_load(&g_failed)) {
            printf("ok: %ld allocations\n", n - 1);
            return 0;
        }
    }
    printf("kor_on never completed\n");
    return 1;
}

struct sustained {
    const char *options;
    int on, off, status_null, error_ok;
};

static void *starved_calls(void *arg) {
    struct sustained *r = arg;
    const char *error;
    char *status;
    atomic_store(&g_all_fail, 1);
    r->on = kor.on(r->options);
    error = kor.last_error();
    r->error_ok = error != NULL && error[0] != '\0';
    status = kor.status();
    r->status_null = status == NULL;
    kor.free_string(status);
    r->off = kor.off();
    atomic_store(&g_all_fail, 0);
    return NULL;
}

static int oom_sustained(const char *options) {
    struct sustained r = {options, -1, -1, 0, 0};
    pthread_t thread;
    if (pthread_create(&thread, NULL, starved_calls, &r) != 0) return 2;
    pthread_join(thread, NULL);
    if (r.on != 0 || !r.error_ok || !r.status_null || r.off != 1) {
        printf("starved calls: kor_on %d, message %d, status null %d, kor_off %d\n", r.on, r.error_ok, r.status_null,
               r.off);
        return 1;
    }
    if (!eventually_holds(0)) {
        printf("a lock is held after the starved calls\n");
        return 1;
    }
    if (!kor.on(options) || !eventually_holds(1)) {
        printf("no activation once memory is back: %s\n", kor.last_error());
        return 1;
    }
    kor.off();
    printf("ok\n");
    return 0;
}
#endif

static int bind_library(void *lib) {
    *(void **)&kor.on = dlsym(lib, "kor_on");
    *(void **)&kor.off = dlsym(lib, "kor_off");
    *(void **)&kor.status = dlsym(lib, "kor_status");
    *(void **)&kor.last_error = dlsym(lib, "kor_last_error");
    *(void **)&kor.free_string = dlsym(lib, "kor_free_string");
    return kor.on && kor.off && kor.status && kor.last_error && kor.free_string;
}

int main(int argc, char **argv) {
    void *lib;
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY OPTIONS_JSON hold|exit|unload|oom-once|oom-sustained\n", argv[0]);
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    if (!bind_library(lib)) return 2;
    if (strncmp(argv[3], "oom-", 4) == 0) {
        /* A run with a sanitizer's allocator cannot fail allocations. */
#ifdef KOR_HOST_FAILS_ALLOCATIONS
        return strcmp(argv[3], "oom-once") == 0 ? oom_once(argv[2]) : oom_sustained(argv[2]);
#else
        return 77;
#endif
    }
    if (!kor.on(argv[2])) {
        fprintf(stderr, "kor_on: %s\n", kor.last_error());
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
