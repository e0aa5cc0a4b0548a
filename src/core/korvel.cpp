// The core: one activation per process, its state record under one mutex, the
// error text, the options document, the status report and the watcher thread
// that ends timed and process-bound activations.
#include "korvel.h"

#include "kor_platform.h"
#include "kor_text.h"

#include <yyjson.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string_view>
#include <utility>

static_assert(YYJSON_VERSION_HEX >= 0x000C00, "yyjson 0.12 or later is required");

using kor::clamp_to_i32;
using kor::copy_text;

namespace {

enum kor_mode : int32_t {
    KOR_MODE_NONE = 0,
    KOR_MODE_INDEFINITE = 1,
    KOR_MODE_MINUTES = 2,
    KOR_MODE_WHILE_PID = 3,
    KOR_MODE_WHILE_PROCESS = 4,
};

constexpr size_t kNameMax = 255;

struct kor_state {
    int32_t active;
    int32_t mode;
    int32_t keep_display;
    int32_t duration_s;
    int64_t deadline_ms;
    int32_t pid;
    char name[256];
    char mode_name[32];
    char mechanism[64];
};

// What a kor_on call asks for: the record it becomes, and who asks (the
// "app" option), which the system shows but the status does not.
struct kor_request {
    kor_state record;
    char app[256];
};

// One watcher thread and what it waits on. Each watcher has its own watch
// and stop flag, so that a caller stopping one watcher can never have its
// request undone by another caller starting the next. Made with malloc, not
// new: nothing on the way to an activation throws when memory runs out.
struct kor_watcher {
    pthread_t thread{};
    kor_plat_watch *watch = nullptr;  // owned; closed once the thread is joined
    int64_t deadline_ms = 0;          // 0: none
    bool stop = false;                // guarded by g_mu
    bool running = true;              // guarded by g_mu; false once it has finished
    bool orphaned = false;            // guarded by g_mu; detached: frees itself when it finishes
};

// What the library keeps for each host thread that calls it: the copy of the
// error text that kor_last_error hands out.
struct kor_thread {
    char error_copy[512];
};

// A mutex that knows which thread holds it. A fork made on that very thread
// (a signal handler's, or sd-bus starting a helper inside kor_on) must not
// wait for it: it would wait for ever.
class owned_mutex {
public:
    void lock() {
        mu_.lock();
        owner_ = pthread_self();
    }
    void unlock() {
        owner_ = pthread_t{};
        mu_.unlock();
    }
    bool held_by_this_thread() const noexcept { return pthread_equal(owner_.load(), pthread_self()) != 0; }
    // In a forked child, where only the forking thread exists: made anew, and
    // held again when that thread held it, so that the call a signal handler
    // interrupted unlocks what it locked.
    void remake_in_child() noexcept {
        const bool mine = held_by_this_thread();
        new (&mu_) std::mutex;
        owner_ = pthread_t{};
        if (mine) lock();
    }

private:
    std::mutex mu_;
    std::atomic<pthread_t> owner_{};
};

// The core's only state. It lives for the whole process and is never
// destroyed: a host may exit, or unload the library, while a watcher runs.
kor_state g_st;
owned_mutex g_mu;                // constexpr-constructed: usable before any call
kor_watcher *g_watch = nullptr;  // started and not yet joined; guarded by g_mu

char g_err[512];
owned_mutex g_err_mu;  // a message is written and copied whole
bool g_fork_took_mu = false;  // the fork's prepare handler took g_mu; guarded by g_mu
// The copy handed out on a thread for which no memory could be had.
char g_err_shared_copy[512];

pthread_once_t g_thread_key_once = PTHREAD_ONCE_INIT;
pthread_key_t g_thread_key;
bool g_thread_key_made = false;

const char *mode_text(int32_t mode) {
    switch (mode) {
    case KOR_MODE_INDEFINITE: return "indefinite";
    case KOR_MODE_MINUTES: return "minutes";
    case KOR_MODE_WHILE_PID: return "while_pid";
    case KOR_MODE_WHILE_PROCESS: return "while_process";
    default: return "none";
    }
}

bool is_process_bound(int32_t mode) { return mode == KOR_MODE_WHILE_PID || mode == KOR_MODE_WHILE_PROCESS; }

// yyjson allocates from this library's own heap: the status text it writes
// is handed to the host and freed by kor_free_string, whatever heap yyjson
// was built with (on Windows a yyjson.dll may use another C runtime).
void *heap_malloc(void *, size_t size) { return std::malloc(size); }
void *heap_realloc(void *, void *ptr, size_t, size_t size) { return std::realloc(ptr, size); }
void heap_free(void *, void *ptr) { std::free(ptr); }
const yyjson_alc kHeap = {heap_malloc, heap_realloc, heap_free, nullptr};

// ---------------------------------------------------------------------------
// State record

// The record of no activation.
kor_state empty_record() {
    kor_state st{};
    copy_text(st.mode_name, "none");
    copy_text(st.mechanism, "none");
    return st;
}

// The one way an activation ends. Called with g_mu held.
void reset_state() {
    kor_plat_inhibit_off();
    g_st = empty_record();
}

// ---------------------------------------------------------------------------
// Host threads
//
// A host that loads the library with dlopen (every FFI does) gets the
// thread-local data of the library's C++ runtime allocated on each thread's
// first use of it, and glibc aborts the whole process when that allocation
// fails: throwing an exception is such a use. So each thread's first call
// makes sure the runtime's data exists while memory is there, and a thread
// for which no memory can be had is refused before anything could throw.
// Keys below 32 are stored inside the thread itself: reading and setting them
// allocates nothing.

void free_thread_data(void *data) { std::free(data); }

void make_thread_key() { g_thread_key_made = pthread_key_create(&g_thread_key, free_thread_data) == 0; }

// This thread's record; null when it cannot be had for lack of memory.
kor_thread *this_thread() noexcept {
    pthread_once(&g_thread_key_once, make_thread_key);
    if (!g_thread_key_made) return nullptr;
    if (auto *t = static_cast<kor_thread *>(pthread_getspecific(g_thread_key))) return t;
    // Memory for the runtime's block is made sure of, and given back just
    // before the runtime asks for it.
    void *room = std::malloc(4096);
    if (room == nullptr) return nullptr;
    std::free(room);
    (void)std::uncaught_exceptions();  // makes the runtime's thread-local data
    auto *t = static_cast<kor_thread *>(std::malloc(sizeof(kor_thread)));
    if (t == nullptr) return nullptr;
    t->error_copy[0] = '\0';
    if (pthread_setspecific(g_thread_key, t) != 0) {
        std::free(t);
        return nullptr;
    }
    return t;
}

// ---------------------------------------------------------------------------
// Watcher thread

kor_watcher *new_watcher(kor_plat_watch *watch) noexcept {
    void *memory = std::malloc(sizeof(kor_watcher));
    if (memory == nullptr) return nullptr;
    auto *w = new (memory) kor_watcher;
    w->watch = watch;
    return w;
}

void free_watcher(kor_watcher *w) noexcept {
    kor_plat_watch_close(w->watch);
    w->~kor_watcher();
    std::free(w);
}

// Blocks until the deadline, the end of the watched process or a stop
// request, then ends the activation unless a caller asked it to stop (that
// caller ends it) or it has ended meanwhile. A watch that broke (the host
// closed what it waits on) ends the activation too: it could no longer end at
// its deadline or with its process.
void *watch_thread_main(void *arg) noexcept {
    auto *self = static_cast<kor_watcher *>(arg);
    const kor_plat_watch_event event = kor_plat_watch_wait(self->watch, self->deadline_ms);
    bool orphaned = false;
    {
        std::lock_guard<owned_mutex> lock(g_mu);
        if (event != KOR_WATCH_STOPPED && !self->stop && g_st.active) reset_state();
        self->running = false;
        orphaned = self->orphaned;
    }
    if (orphaned) free_watcher(self);
    return nullptr;
}

// Joins a watcher that has been taken out of g_watch, so no other caller can
// join it too. The lock is released meanwhile: the watcher takes it.
void join_watcher(kor_watcher *w, std::unique_lock<owned_mutex> &lock) {
    lock.unlock();
    pthread_join(w->thread, nullptr);
    free_watcher(w);
    lock.lock();
}

// Stops and joins the watcher, and any watcher another caller started while
// the lock was released for the join. Returns with g_mu held and no watcher.
//
// A watcher that cannot be woken (the host closed the descriptor the wake-up
// travels through) is not waited for: it is detached, finishes at its
// deadline or with its process, touches nothing then, and frees itself.
void stop_watcher(std::unique_lock<owned_mutex> &lock) {
    while (kor_watcher *w = std::exchange(g_watch, nullptr)) {
        w->stop = true;
        if (!kor_plat_watch_stop(w->watch) && w->running) {
            w->orphaned = true;
            pthread_detach(w->thread);
            continue;
        }
        join_watcher(w, lock);
    }
}

// Joins a watcher that has finished by itself; leaves a running one alone.
void reap_watcher(std::unique_lock<owned_mutex> &lock) {
    if (g_watch == nullptr || g_watch->running) return;
    join_watcher(std::exchange(g_watch, nullptr), lock);
}

// Starts the watcher of the activation just recorded, handing it `watch`
// (which it then owns, whatever the outcome). On failure the activation is
// undone. Called with g_mu held and no watcher recorded.
bool start_watcher(kor_plat_watch *watch) {
    kor_watcher *w = new_watcher(watch);
    if (w == nullptr) {
        kor_plat_watch_close(watch);
        kor_set_error("out of memory");
        reset_state();
        return false;
    }
    w->deadline_ms = g_st.deadline_ms;
    const int e = pthread_create(&w->thread, nullptr, watch_thread_main, w);
    if (e != 0) {
        free_watcher(w);
        kor_set_error("pthread_create failed (%d)", e);
        reset_state();
        return false;
    }
    // The new thread may finish at once (a deadline already past): it then
    // waits for g_mu, which kor_on still holds.
    g_watch = w;
    return true;
}

// ---------------------------------------------------------------------------
// Options document

struct doc_deleter {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_deleter>;

std::string_view str_of(yyjson_val *v) { return std::string_view(yyjson_get_str(v), yyjson_get_len(v)); }

// true/false, or an integer whose low 32 bits are not all zero.
int32_t read_keep_display(yyjson_val *v) {
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? 1 : 0;
    if (yyjson_is_uint(v)) return (yyjson_get_uint(v) & 0xFFFFFFFFu) != 0;
    if (yyjson_is_sint(v)) return (static_cast<uint64_t>(yyjson_get_sint(v)) & 0xFFFFFFFFu) != 0;
    return 0;
}

double read_number(yyjson_val *v, double fallback) { return yyjson_is_num(v) ? yyjson_get_num(v) : fallback; }

// A text member ends at an embedded NUL and is cut to 255 bytes on a
// character boundary, so the status report can always write it.
void read_text(yyjson_val *v, char (&out)[kNameMax + 1]) {
    if (!yyjson_is_str(v)) return;
    std::string_view text = str_of(v);
    text = text.substr(0, text.find('\0'));
    copy_text(out, kor_utf8::prefix(text, kNameMax));
}

// minutes x 60 rounded to the nearest second (halves up), at least 1.
int32_t minutes_to_seconds(double minutes) {
    const int32_t s = clamp_to_i32(minutes * 60.0 + 0.5);
    return s < 1 ? 1 : s;
}

// Reads the options text into `request`: a record of what is asked for (mode,
// keep_display, duration_s, pid, name) and who asks. On refusal sets the
// message and returns false. The document is released before returning on
// every path.
bool read_options(const char *text, kor_request &request) {
    kor_state &req = request.record;
    yyjson_read_err err{};
    doc_ptr doc(yyjson_read_opts(const_cast<char *>(text), std::strlen(text), 0, &kHeap, &err));
    if (!doc) {
        kor_set_error(err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? "out of memory" : "invalid options_json");
        return false;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        kor_set_error("options_json must be object");
        return false;
    }

    yyjson_val *mode_val = yyjson_obj_get(root, "mode");
    const std::string_view mode = yyjson_is_str(mode_val) ? str_of(mode_val) : "indefinite";
    req.keep_display = read_keep_display(yyjson_obj_get(root, "keep_display")) != 0 ? 1 : 0;
    const double minutes = read_number(yyjson_obj_get(root, "minutes"), 0.0);
    // Compared as the number it is, and truncated only once taken: -0.5
    // seconds is "no seconds", not 0.
    const double seconds = read_number(yyjson_obj_get(root, "seconds"), -1.0);
    const int32_t pid = clamp_to_i32(read_number(yyjson_obj_get(root, "pid"), 0.0));
    read_text(yyjson_obj_get(root, "name"), req.name);
    read_text(yyjson_obj_get(root, "app"), request.app);

    if (mode == "indefinite") {
        req.mode = KOR_MODE_INDEFINITE;
    } else if (mode == "minutes") {
        req.mode = KOR_MODE_MINUTES;
        if (seconds >= 0) {
            req.duration_s = clamp_to_i32(seconds);
        } else if (minutes > 0) {
            req.duration_s = minutes_to_seconds(minutes);
        } else {
            kor_set_error("minutes mode requires minutes>0 or seconds>=0");
            return false;
        }
    } else if (mode == "while_pid") {
        req.mode = KOR_MODE_WHILE_PID;
        if (pid <= 0) {
            kor_set_error("while_pid requires positive pid");
            return false;
        }
        req.pid = pid;
    } else if (mode == "while_process") {
        req.mode = KOR_MODE_WHILE_PROCESS;
        if (req.name[0] == '\0') {
            kor_set_error("while_process requires name");
            return false;
        }
    } else {
        kor_set_error("unknown mode: %s", yyjson_get_str(mode_val));
        return false;
    }
    return true;
}

// Finds the process of a "while_process" request.
bool find_process(kor_state &req) {
    if (req.mode != KOR_MODE_WHILE_PROCESS) return true;
    const int pid = kor_plat_find_process(req.name);
    if (pid <= 0) {
        kor_set_error("process not found: %s", req.name);
        return false;
    }
    req.pid = pid;
    return true;
}

using watch_ptr = std::unique_ptr<kor_plat_watch, kor_plat_watch_closer>;

// Opens what the watcher of a timed or process-bound request will wait on.
// The watched process is pinned here, before any inhibition is taken, so the
// activation follows the process that had the pid when kor_on accepted it.
bool open_watch(const kor_state &req, watch_ptr &watch) {
    kor_plat_watch *w = nullptr;
    switch (kor_plat_watch_open(is_process_bound(req.mode) ? req.pid : 0, &w)) {
    case KOR_WATCH_OPENED: watch.reset(w); return true;
    case KOR_WATCH_PROCESS_NOT_ALIVE: kor_set_error("pid %d is not alive", req.pid); return false;
    default: return false;  // the platform has set the message
    }
}

// ---------------------------------------------------------------------------
// Activation

// Takes the inhibition and makes the request the record. Called with g_mu
// held and the record reset; on refusal the platform has set the message and
// nothing is held.
bool activate(const kor_request &request) {
    const kor_state &req = request.record;
    char mechanism[sizeof g_st.mechanism] = "";
    kor_plat_request asked;
    asked.keep_display = req.keep_display;
    asked.reason = req.name;
    asked.app = request.app;
    if (kor_plat_inhibit_on(asked, mechanism, sizeof mechanism) != 0) return false;
    mechanism[sizeof mechanism - 1] = '\0';

    g_st = req;
    g_st.active = 1;
    // Read after the inhibition was taken, so its cost does not shorten the
    // activation.
    if (req.mode == KOR_MODE_MINUTES) g_st.deadline_ms = kor_now_ms() + static_cast<int64_t>(req.duration_s) * 1000;
    copy_text(g_st.mode_name, mode_text(req.mode));
    copy_text(g_st.mechanism, mechanism[0] ? mechanism : "unknown");
    return true;
}

// Starts the activation that `options_json` asks for. Called with g_mu held,
// no watcher and the record reset.
bool start_activation(const char *options_json) {
    kor_request request{};
    kor_state &req = request.record;
    req.mode = KOR_MODE_INDEFINITE;
    if (options_json != nullptr && options_json[0] != '\0') {
        if (!read_options(options_json, request) || !find_process(req)) return false;
    }
    watch_ptr watch;
    if (req.mode != KOR_MODE_INDEFINITE && !open_watch(req, watch)) return false;
    if (!activate(request)) return false;
    return req.mode == KOR_MODE_INDEFINITE || start_watcher(watch.release());
}

// ---------------------------------------------------------------------------
// Status report

// A consistent copy of the record, taken under g_mu, and what the status
// computes from it.
struct kor_snapshot {
    kor_state record;
    int32_t remaining_s;
};

// A record's text, or "none" for one never written (before the first call).
const char *or_none(const char *text) { return text[0] ? text : "none"; }

// Whole seconds left of a timed activation, rounded up.
int32_t remaining_seconds(int32_t active, int64_t deadline_ms) {
    if (!active || deadline_ms <= 0) return 0;
    const int64_t left_ms = deadline_ms - kor_now_ms();
    return left_ms > 0 ? static_cast<int32_t>((left_ms + 999) / 1000) : 0;
}

kor_snapshot take_snapshot() {
    std::unique_lock<owned_mutex> lock(g_mu);
    reap_watcher(lock);
    // The status names only what holds now: an inhibition the host has
    // taken away behind the library's back (by closing its descriptor), or
    // whose every holder has gone, ends the activation.
    if (g_st.active) {
        char mechanism[sizeof g_st.mechanism] = "";
        if (!kor_plat_inhibit_refresh(mechanism, sizeof mechanism)) {
            stop_watcher(lock);
            reset_state();
        } else if (mechanism[0] != '\0') {
            copy_text(g_st.mechanism, mechanism);
        }
    }
    return kor_snapshot{g_st, remaining_seconds(g_st.active, g_st.deadline_ms)};
}

struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};

// A member that cannot be allocated is left out; the rest are still added.
char *write_status(const kor_snapshot &snapshot) {
    const kor_state &s = snapshot.record;
    std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(&kHeap));
    if (!doc) {
        kor_set_error("out of memory");
        return nullptr;
    }
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *root = yyjson_mut_obj(d);
    if (root) {
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_obj_add_int(d, root, "active", s.active ? 1 : 0);
        yyjson_mut_obj_add_strcpy(d, root, "mode", or_none(s.mode_name));
        yyjson_mut_obj_add_int(d, root, "remaining_s", snapshot.remaining_s);
        yyjson_mut_obj_add_int(d, root, "keep_display", s.keep_display ? 1 : 0);
        if (const char *platform = kor_plat_name()) yyjson_mut_obj_add_strcpy(d, root, "platform", platform);
        yyjson_mut_obj_add_strcpy(d, root, "mechanism", or_none(s.mechanism));
        yyjson_mut_obj_add_int(d, root, "pid", s.pid);
        yyjson_mut_obj_add_strcpy(d, root, "name", s.name);
    }
    char *text = yyjson_mut_write_opts(d, 0, &kHeap, nullptr, nullptr);
    if (!text) kor_set_error("status serialize failed");
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Error text

void kor_clear_error() noexcept {
    std::lock_guard<owned_mutex> lock(g_err_mu);
    g_err[0] = '\0';
}

// Every message is safe to print on a terminal, whatever a caller or a
// service put into it (their texts are echoed), and is cut on a character
// boundary.
void kor_set_error(const char *fmt, ...) noexcept {
    char formatted[2 * sizeof g_err];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(formatted, sizeof formatted, fmt, ap);
    va_end(ap);
    if (n < 0) copy_text(formatted, "error text could not be formatted");
    char text[sizeof g_err];
    kor_utf8::printable_copy(text, sizeof text, formatted);
    std::lock_guard<owned_mutex> lock(g_err_mu);
    std::memcpy(g_err, text, std::strlen(text) + 1);
}

// ---------------------------------------------------------------------------
// Fork
//
// A fork waits until no other thread is inside kor_on, kor_off, kor_status
// or the watcher's last step, so that the child never inherits a descriptor
// that is half-way between the system and the record (a lock received and
// not yet recorded): everything of an activation is then either in the
// record, which the child forgets and the platform closes, or gone. A fork
// made by the thread that is inside the library itself (sd-bus starting a bus
// helper in kor_on, a signal handler) goes ahead at once: no other thread can
// be in the middle of a change then.

void kor_fork_prepare() noexcept {
    if (g_mu.held_by_this_thread()) return;
    g_mu.lock();
    g_fork_took_mu = true;
}

void kor_fork_parent() noexcept {
    if (!g_fork_took_mu || !g_mu.held_by_this_thread()) return;
    g_fork_took_mu = false;
    g_mu.unlock();
}

// Runs in a forked child, where the thread that forked is the only one: any
// other may have held a lock, or been half-way through a change, when the
// process was copied. So the locks are made anew and the record emptied;
// the watcher's thread does not exist here and is never joined nor freed.
void kor_forget_after_fork() noexcept {
    const bool prepare_took_it = g_fork_took_mu;
    g_fork_took_mu = false;
    g_mu.remake_in_child();
    if (prepare_took_it) g_mu.unlock();
    g_err_mu.remake_in_child();
    g_watch = nullptr;
    g_st = empty_record();
    g_err[0] = '\0';
}

// ---------------------------------------------------------------------------
// Exported functions: none lets an exception out, and none throws when memory
// runs out (see Host threads).

namespace {

// What kor_on and kor_off do first: the error text is emptied and the
// running activation ends. Returns with g_mu held.
std::unique_lock<owned_mutex> end_running_activation() {
    std::unique_lock<owned_mutex> lock(g_mu);
    kor_clear_error();
    stop_watcher(lock);
    reset_state();
    return lock;
}

}  // namespace

extern "C" KORVEL_API int kor_on(const char *options_json) {
    kor_thread *const thread = this_thread();  // before anything that could throw
    try {
        // The running activation ends before the new options are read.
        const std::unique_lock<owned_mutex> lock = end_running_activation();
        if (thread == nullptr) {
            kor_set_error("out of memory");
            return 0;
        }
        return start_activation(options_json) ? 1 : 0;
    } catch (...) {
        kor_set_error("internal error");
        return 0;
    }
}

extern "C" KORVEL_API int kor_off(void) {
    try {
        end_running_activation();
    } catch (...) {
        kor_set_error("internal error");
    }
    return 1;
}

extern "C" KORVEL_API char *kor_status(void) {
    if (this_thread() == nullptr) {
        kor_set_error("out of memory");
        return nullptr;
    }
    try {
        return write_status(take_snapshot());
    } catch (...) {
        kor_set_error("status serialize failed");
        return nullptr;
    }
}

// Each thread reads a copy taken under the lock, which no other thread's
// failure can change while the caller reads it. A thread for which no memory
// could be had shares one copy with every other such thread.
extern "C" KORVEL_API const char *kor_last_error(void) {
    kor_thread *const thread = this_thread();
    char *const copy = thread != nullptr ? thread->error_copy : g_err_shared_copy;
    try {
        std::lock_guard<owned_mutex> lock(g_err_mu);
        std::memcpy(copy, g_err, std::strlen(g_err) + 1);
    } catch (...) {
        copy[0] = '\0';
    }
    return copy;
}

extern "C" KORVEL_API void kor_free_string(void *text) { std::free(text); }
