// A small test harness for the Windows suite, which is cross-built with
// mingw-w64 and run under Wine, where GoogleTest is not available.
//
// KOR_TEST(name) { ... } registers a test; CHECK* record a failure and go on,
// REQUIRE stops the test. The program runs the test named by its first
// argument (CTest starts one process per test: the layer's state is
// process-wide), or every test when none is named; --list prints the names.
#ifndef KOR_WIN_HARNESS_H
#define KOR_WIN_HARNESS_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kor_test {

struct test_case {
    const char *name;
    void (*fn)();
};

inline std::vector<test_case> &registry() {
    static std::vector<test_case> tests;
    return tests;
}

inline int &failures() {
    static int n = 0;
    return n;
}

struct registrar {
    registrar(const char *name, void (*fn)()) { registry().push_back({name, fn}); }
};

struct stop_test {};

inline void fail(const char *file, int line, const std::string &what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
    std::fflush(stderr);
}

inline std::string show(const std::string &v) { return "\"" + v + "\""; }
inline std::string show(const char *v) { return v ? show(std::string(v)) : "(null)"; }
inline std::string show(bool v) { return v ? "true" : "false"; }
template <typename T>
std::string show(const T &v) {
    return std::to_string(v);
}

template <typename A, typename B>
void check_eq(const A &a, const B &b, const char *expr, const char *file, int line) {
    if (a == b) return;
    fail(file, line, std::string(expr) + ": " + show(a) + " != " + show(b));
}

inline void check_str(const char *a, const char *b, const char *expr, const char *file, int line) {
    if (a && b && std::strcmp(a, b) == 0) return;
    fail(file, line, std::string(expr) + ": " + show(a) + " != " + show(b));
}

inline int run(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
        for (const test_case &t : registry()) std::printf("%s\n", t.name);
        return 0;
    }
    int ran = 0;
    for (const test_case &t : registry()) {
        if (argc > 1 && std::strcmp(argv[1], t.name) != 0) continue;
        ++ran;
        const int before = failures();
        try {
            t.fn();
        } catch (const stop_test &) {
        }
        if (failures() != before) std::fprintf(stderr, "[FAILED] %s\n", t.name);
    }
    if (ran == 0) {
        std::fprintf(stderr, "no test named %s\n", argc > 1 ? argv[1] : "(any)");
        return 2;
    }
    return failures() == 0 ? 0 : 1;
}

} // namespace kor_test

#define KOR_TEST(name)                                                     \
    static void kor_test_##name();                                         \
    static const kor_test::registrar kor_test_reg_##name(#name, kor_test_##name); \
    static void kor_test_##name()

#define CHECK(cond) \
    ((cond) ? (void)0 : kor_test::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b) kor_test::check_eq((a), (b), #a " == " #b, __FILE__, __LINE__)
#define CHECK_STR(a, b) kor_test::check_str((a), (b), #a " == " #b, __FILE__, __LINE__)
#define REQUIRE(cond)                                                           \
    do {                                                                        \
        if (!(cond)) {                                                          \
            kor_test::fail(__FILE__, __LINE__, "REQUIRE(" #cond ")");           \
            throw kor_test::stop_test{};                                        \
        }                                                                       \
    } while (0)

#endif // KOR_WIN_HARNESS_H
