// A plugin that keeps the machine awake through korvel.hpp. The tests build
// it twice with hidden symbols, as two plugins of one host would be built,
// and load both with RTLD_LOCAL.
#include "korvel.hpp"

#include <memory>
#include <string>

#define PLUGIN_API extern "C" __attribute__((visibility("default")))

namespace {
std::unique_ptr<korvel::hold> g_hold;
std::string g_refusal;
}  // namespace

// NULL when the hold is taken, else the refusal.
PLUGIN_API const char *plugin_take(const char *name) {
    try {
        g_hold = std::make_unique<korvel::hold>(korvel::options{}.named(name));
        return nullptr;
    } catch (const korvel::error &e) {
        g_refusal = e.what();
        return g_refusal.c_str();
    }
}
PLUGIN_API bool plugin_owns() { return g_hold && g_hold->owns(); }
PLUGIN_API void plugin_release() { g_hold.reset(); }
PLUGIN_API const void *plugin_registry() { return &korvel::detail::the_registry(); }
