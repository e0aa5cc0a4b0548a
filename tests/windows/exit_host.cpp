// A host that takes the inhibition through the platform layer and returns
// from main without releasing it. It must exit with code 0 and print nothing:
// the layer's request thread is still waiting when the process ends.
//   main   - taken on the main thread
//   thread - taken on a thread that has ended by the time main returns
#include "kor_platform.h"

#include <cstdio>
#include <cstring>
#include <thread>

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "main";
    int result = -1;
    if (std::strcmp(mode, "thread") == 0) {
        std::thread t([&] { result = kor_plat_inhibit_on({1, ""}, nullptr, 0); });
        t.join();
    } else {
        result = kor_plat_inhibit_on({1, ""}, nullptr, 0);
    }
    if (result != 0) {
        std::printf("kor_plat_inhibit_on failed\n");
        return 3;
    }
    return 0;
}
