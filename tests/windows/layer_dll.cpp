// Packs the platform layer into a DLL of its own, so that a test host can load
// and unload it (the library's DLL needs yyjson.dll, which the cross build
// does not have). Like a host plugin that ends its activation when it is
// unloaded, it releases the inhibition from a static destructor: at process
// exit that runs after Windows has ended every other thread, the layer's
// request thread included.
#include "kor_platform.h"

extern "C" __declspec(dllexport) int layer_inhibit_on(int keep_display) {
    return kor_plat_inhibit_on({keep_display, ""}, nullptr, 0);
}

namespace {
struct release_at_unload {
    ~release_at_unload() { kor_plat_inhibit_off(); }
} g_release_at_unload;
}  // namespace
