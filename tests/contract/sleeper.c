/* The process the contract's cases start under chosen names: it sleeps for
 * the milliseconds given as its first argument (a minute by default) and
 * exits with the code given as its second (0 by default). */
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

int main(int argc, char **argv) {
    unsigned long ms = argc > 1 ? strtoul(argv[1], NULL, 10) : 60000ul;
    int code = argc > 2 ? atoi(argv[2]) : 0;
#ifdef _WIN32
    Sleep((DWORD)ms);
#else
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
#endif
    return code;
}
