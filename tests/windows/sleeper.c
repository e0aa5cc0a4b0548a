/* A console program the process tests start under several names: it sleeps
 * for the milliseconds given as its first argument (a minute by default) and
 * exits with the code given as its second (0 by default). */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    DWORD ms = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 60000u;
    int code = argc > 2 ? atoi(argv[2]) : 0;
    Sleep(ms);
    return code;
}
