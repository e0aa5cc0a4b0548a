/*
 * korvel-demo: a small host that loads the library at run time (dlopen),
 * starts an activation, prints the status every second while it lasts and
 * ends it on Ctrl-C.
 *
 *   korvel-demo '{"mode":"minutes","seconds":30,"name":"backup"}'
 *   korvel-demo '{"mode":"while_pid","pid":1234}' --lib ./brenvic-korvel-sleep-blocker.so
 */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int (*kor_on_fn)(const char *);
typedef int (*kor_off_fn)(void);
typedef char *(*kor_status_fn)(void);
typedef const char *(*kor_last_error_fn)(void);
typedef void (*kor_free_string_fn)(void *);

struct korvel_api {
    void *handle;
    kor_on_fn on;
    kor_off_fn off;
    kor_status_fn status;
    kor_last_error_fn last_error;
    kor_free_string_fn free_string;
};

static volatile sig_atomic_t g_interrupted = 0;

static void on_sigint(int sig) {
    (void)sig;
    g_interrupted = 1;
}

/* The library beside this program's own executable. */
static void default_library_path(char *out, size_t size) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    char *slash;
    if (n <= 0) {
        snprintf(out, size, "./brenvic-korvel-sleep-blocker.so");
        return;
    }
    self[n] = '\0';
    slash = strrchr(self, '/');
    if (slash) *slash = '\0';
    snprintf(out, size, "%s/brenvic-korvel-sleep-blocker.so", self);
}

static void *symbol(void *handle, const char *name) {
    void *p = dlsym(handle, name);
    if (!p) fprintf(stderr, "korvel-demo: %s missing from the library\n", name);
    return p;
}

static int load_api(const char *path, struct korvel_api *api) {
    api->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!api->handle) {
        fprintf(stderr, "korvel-demo: cannot load %s: %s\n", path, dlerror());
        return 0;
    }
    /* Stored through a void * (as POSIX's dlsym page shows), which keeps
     * -pedantic quiet about object-to-function pointer conversion. */
    *(void **)&api->on = symbol(api->handle, "kor_on");
    *(void **)&api->off = symbol(api->handle, "kor_off");
    *(void **)&api->status = symbol(api->handle, "kor_status");
    *(void **)&api->last_error = symbol(api->handle, "kor_last_error");
    *(void **)&api->free_string = symbol(api->handle, "kor_free_string");
    return api->on && api->off && api->status && api->last_error && api->free_string;
}

/* Prints the status line; returns whether the activation is still in force. */
static int print_status(const struct korvel_api *api) {
    char *text = api->status();
    int active;
    if (!text) {
        fprintf(stderr, "korvel-demo: kor_status failed: %s\n", api->last_error());
        return 0;
    }
    printf("%s\n", text);
    fflush(stdout);
    active = strstr(text, "\"active\":1") != NULL;
    api->free_string(text);
    return active;
}

static void sleep_one_second(void) {
    struct timespec ts = {1, 0};
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
    const char *options = "";
    char library[PATH_MAX + 64];
    struct korvel_api api;
    struct sigaction sa;
    int i;

    default_library_path(library, sizeof library);
    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--lib") == 0 && i + 1 < argc) {
            snprintf(library, sizeof library, "%s", argv[++i]);
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            printf("usage: %s [OPTIONS_JSON] [--lib PATH]\n", argv[0]);
            return 0;
        } else {
            options = argv[i];
        }
    }

    memset(&api, 0, sizeof api);
    if (!load_api(library, &api)) return 2;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    if (!api.on(options)) {
        fprintf(stderr, "korvel-demo: kor_on refused: %s\n", api.last_error());
        return 1;
    }
    printf("korvel-demo: activation started with %s; Ctrl-C ends it\n", options[0] ? options : "no options");
    while (!g_interrupted && print_status(&api)) sleep_one_second();

    if (g_interrupted) printf("korvel-demo: interrupted, ending the activation\n");
    else printf("korvel-demo: the activation ended by itself\n");
    api.off();
    print_status(&api);
    return 0;
}
