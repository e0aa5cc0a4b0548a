// The C++ header over the built library: the front-ends' cases
// (tests/policy/cases.json), a hold as logind's lock for the hold object's
// life, and two plugins built with hidden symbols that never lie about what
// is held.
#include "korvel.hpp"

#include "status_report.h"
#include "test_support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <map>
#include <string>
#include <type_traits>

using namespace std::chrono_literals;

namespace {

static_assert(!std::is_copy_constructible_v<korvel::hold> && std::is_nothrow_move_constructible_v<korvel::hold>);

bool lock_count_is(size_t n) {
    return kortest::eventually([n] { return kortest::inhibitors_of(getpid()).size() == n; }, 5s);
}

class CppHeader : public ::testing::Test {
protected:
    void SetUp() override {
        KORTEST_NEED_LOGIND();
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
};

TEST_F(CppHeader, HoldsForTheObjectsLifeInTheAppsName) {
    {
        korvel::hold outer(korvel::options{}.for_minutes(30).app("Photo Export"));
        korvel::hold moved(std::move(outer));
        EXPECT_TRUE(!outer.owns() && moved.owns());
        ASSERT_TRUE(lock_count_is(1));
        EXPECT_EQ(kortest::inhibitors_of(getpid()).at(0).who, "Photo Export");
    }
    EXPECT_TRUE(lock_count_is(0));
}

// The thread that ends timed holds runs in the parent, not in the child.
TEST_F(CppHeader, AForkedChildStartsWithNoHolds) {
    korvel::hold parents(korvel::options{}.for_seconds(600));
    const pid_t child = fork();
    if (child == 0) {
        korvel::hold own(korvel::options{}.named("child"));
        _exit(!parents.owns() && own.owns() ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0 && parents.owns());
}

TEST(CppHeaderFake, GrantsEveryHoldWithoutTheLibraryAndSaysSo) {
    setenv("KORVEL_FAKE_SUCCESS", "1", 1);
    korvel::hold gone(korvel::options{}.while_pid(2147483647)), screen(korvel::options{}.display());
    EXPECT_TRUE(gone.owns() && screen.owns());
    EXPECT_NE(korvel::status().find("\"keep_display\":1,\"mechanism\":\"fake (KORVEL_FAKE_SUCCESS)\""),
              std::string::npos);
    EXPECT_EQ(kortest::read_status().active, 0);
}

// ---- tests/policy/cases.json ----------------------------------------------

yyjson_val *cases(const char *table) {
    static yyjson_doc *doc = yyjson_read_file(KORVEL_POLICY_CASES, 0, nullptr, nullptr);
    return yyjson_obj_get(yyjson_doc_get_root(doc), table);
}

std::string_view text(yyjson_val *v) { return {yyjson_get_str(v), yyjson_get_len(v)}; }

// The row's options through the builder; "$P" stands for child P's pid.
korvel::options options_from(yyjson_val *given, const std::map<std::string, kortest::child_process> &children = {}) {
    korvel::options o;
    size_t i, n;
    yyjson_val *key, *v;
    yyjson_obj_foreach(given, i, n, key, v) {
        const std::string_view k = text(key);
        if (k == "minutes") o.for_minutes(yyjson_get_num(v));
        if (k == "seconds") o.for_seconds(static_cast<long>(yyjson_get_num(v)));
        if (k == "pid")
            o.while_pid(yyjson_is_str(v) ? children.at(yyjson_get_str(v) + 1).pid()
                                         : static_cast<long>(yyjson_get_num(v)));
        if (k == "process") o.while_process(text(v));
        if (k == "display") o.display(yyjson_get_bool(v));
        if (k == "name") o.named(text(v));
        if (k == "app") o.app(text(v));
    }
    return o;
}

// What the call threw, as korvel::error.
template <typename F>
std::string refusal(F call) {
    try {
        call();
    } catch (const korvel::error &e) {
        return e.what();
    }
    return "(held)";
}

std::string row_text(yyjson_val *row) {
    std::unique_ptr<char, void (*)(void *)> out(yyjson_val_write(row, 0, nullptr), free);
    return out.get();
}

// A request row is the text json() gives; a refusal is thrown by the hold's
// constructor. Rows of values C++'s types cannot hold are the compiler's.
TEST(Policy, OptionRows) {
    size_t i, n, run = 0;
    yyjson_val *row;
    yyjson_arr_foreach(cases("options"), i, n, row) {
        yyjson_val *request = yyjson_obj_get(row, "request");
        if (!request && !yyjson_obj_get(yyjson_obj_get(row, "error"), "cpp")) continue;
        SCOPED_TRACE(row_text(row));
        ++run;
        korvel::options o = options_from(yyjson_obj_get(row, "given"));
        if (request) {
            std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> sent(yyjson_read(o.json().c_str(), o.json().size(), 0),
                                                                     yyjson_doc_free);
            EXPECT_TRUE(yyjson_equals(yyjson_doc_get_root(sent.get()), request)) << o.json();
        } else {
            EXPECT_EQ(refusal([&] { korvel::hold h(o); }), text(yyjson_obj_get(row, "refused")));
        }
    }
    std::printf("%zu of %zu option rows run\n", run, n);
}

class PolicyHolds : public ::testing::TestWithParam<size_t> {};

// "held" and "ended" are read from the holds, the rest from the status.
void expect(yyjson_val *want, const std::map<std::string, korvel::hold> &holds) {
    const kortest::status s = kortest::read_status();
    const std::map<std::string, std::string> shown{{"active", std::to_string(s.active)},
                                                   {"keep_display", std::to_string(s.keep_display)},
                                                   {"mode", s.mode},
                                                   {"name", s.name}};
    size_t i, n, j, m;
    yyjson_val *key, *v, *id;
    yyjson_obj_foreach(want, i, n, key, v) {
        const std::string k = yyjson_get_str(key);
        yyjson_arr_foreach(v, j, m, id) {
            EXPECT_EQ(holds.at(yyjson_get_str(id)).owns(), k == "held") << k << " " << yyjson_get_str(id);
        }
        if (!yyjson_is_arr(v)) {
            EXPECT_EQ(shown.at(k), yyjson_is_str(v) ? yyjson_get_str(v) : std::to_string(yyjson_get_sint(v))) << k;
        }
    }
}

TEST_P(PolicyHolds, Row) {
    KORTEST_NEED_LOGIND();
    yyjson_val *row = yyjson_arr_get(cases("holds"), GetParam());
    SCOPED_TRACE(yyjson_get_str(yyjson_obj_get(row, "name")));
    std::map<std::string, kortest::child_process> children;
    std::map<std::string, korvel::hold> holds;
    size_t i, n;
    yyjson_val *step;
    yyjson_arr_foreach(yyjson_obj_get(row, "steps"), i, n, step) {
        SCOPED_TRACE(row_text(step));
        const std::string op = yyjson_get_str(yyjson_arr_get(step, 0));
        yyjson_val *arg = yyjson_arr_get(step, 1);
        const char *id = yyjson_get_str(arg);
        if (op == "take") {
            ASSERT_NO_THROW(holds.emplace(id, korvel::hold(options_from(yyjson_arr_get(step, 2), children))));
        }
        if (op == "refuse") {
            const std::string why = refusal([&] { korvel::hold h(options_from(arg, children)); });
            EXPECT_NE(why.find(yyjson_get_str(yyjson_arr_get(step, 2))), std::string::npos) << why;
        }
        if (op == "release") holds.at(id).release();
        if (op == "expect") expect(arg, holds);
        if (op == "await_end") {
            EXPECT_TRUE(kortest::eventually([&] { return !holds.at(id).owns(); }, 10s));
        }
        if (op == "spawn") children.emplace(id, kortest::child_process({"sleep", "1000"}));
        if (op == "kill") children.at(id).reap();
    }
    holds.clear();
    EXPECT_TRUE(lock_count_is(0));
}

INSTANTIATE_TEST_SUITE_P(Cases, PolicyHolds, ::testing::Range<size_t>(0, yyjson_arr_size(cases("holds"))));

// ---- two plugins with hidden symbols -----------------------------------------

struct plugin {
    explicit plugin(const char *path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~plugin() { dlclose(handle); }
    const char *take(const char *name) const { return fn<const char *(const char *)>("plugin_take")(name); }
    bool owns() const { return fn<bool()>("plugin_owns")(); }
    void release() const { fn<void()>("plugin_release")(); }
    template <typename F>
    F *fn(const char *name) const {
        return reinterpret_cast<F *>(dlsym(handle, name));
    }
    void *handle;
};

// GCC's unique symbols give both plugins one registry, and their holds
// compose; where each has its own, the second is refused. Either way
// neither ends the other's hold, nor says it holds what the library does not.
TEST_F(CppHeader, PluginsWithHiddenSymbolsNeverLie) {
    plugin a(KORVEL_PLUGIN_A), b(KORVEL_PLUGIN_B);
    ASSERT_TRUE(a.handle && b.handle) << dlerror();
    const bool shared = a.fn<const void *()>("plugin_registry")() == b.fn<const void *()>("plugin_registry")();
#if defined(__GNUC__) && !defined(__clang__)
    EXPECT_TRUE(shared);
#endif
    ASSERT_EQ(a.take("a"), nullptr);
    const char *refused = b.take("b");
    EXPECT_STREQ(refused, shared ? nullptr : korvel::detail::another_copy);
    a.release();
    EXPECT_EQ(b.owns(), shared);
    ASSERT_TRUE(lock_count_is(shared ? 1 : 0));
    kor_off();  // the host ends the activation under the plugin
    EXPECT_FALSE(b.owns());
    b.release();
    EXPECT_EQ(a.take("again"), nullptr);
    a.release();
    EXPECT_TRUE(lock_count_is(0));
}

}  // namespace
