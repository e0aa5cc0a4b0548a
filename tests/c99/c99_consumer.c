/* The public header used from plain C99 under -pedantic -Werror, calling all
 * five functions. */
#include "korvel.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    const char *err = kor_last_error();
    char *status;
    int ok;

    if (err == NULL || err[0] != '\0') {
        fprintf(stderr, "error text before any call: %s\n", err ? err : "(null)");
        return 1;
    }
    ok = kor_on("{\"mode\":\"minutes\",\"seconds\":5,\"name\":\"c99\"}");
    if (!ok && kor_last_error()[0] == '\0') {
        fprintf(stderr, "kor_on refused without a message\n");
        return 1;
    }
    status = kor_status();
    if (status == NULL || strstr(status, "\"platform\":") == NULL) {
        fprintf(stderr, "bad status: %s\n", status ? status : kor_last_error());
        return 1;
    }
    printf("%s\n", status);
    kor_free_string(status);
    kor_free_string(NULL);
    if (kor_off() != 1 || kor_last_error()[0] != '\0') return 1;
    return 0;
}
