/* A console program the process tests start under several names: it sleeps
 * for the milliseconds given as its argument (a minute by default). */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    DWORD ms = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 60000u;
    Sleep(ms);
    return 0;
}
