// A host that loads the platform layer's test DLL, takes the inhibition and
// then, without releasing it:
//   free - unloads the DLL (which must stay mapped: its thread still waits)
//          and exits;
//   exit - just exits.
// Either way it must exit with code 0 and print nothing.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

using inhibit_on_fn = int (*)(int);

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "free";
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dll(path, n);
    dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "korvel_win_layer.dll";

    HMODULE module = LoadLibraryA(dll.c_str());
    if (module == nullptr) {
        std::printf("cannot load %s (%lu)\n", dll.c_str(), GetLastError());
        return 3;
    }
    auto inhibit_on = reinterpret_cast<inhibit_on_fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "layer_inhibit_on")));
    if (inhibit_on == nullptr || inhibit_on(1) != 0) {
        std::printf("kor_plat_inhibit_on failed\n");
        return 4;
    }
    if (std::strcmp(mode, "free") == 0) {
        FreeLibrary(module);
        if (GetModuleHandleA("korvel_win_layer.dll") == nullptr) {
            std::printf("the layer was unmapped while its thread waits\n");
            return 5;
        }
        Sleep(200);
    }
    return 0;
}
