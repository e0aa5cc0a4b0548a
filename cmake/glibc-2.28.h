/*
 * Force-included into the library's own objects (CMakeLists.txt), so that the
 * library built against a newer glibc loads on glibc 2.28 (docs/packaging.md:
 * Compatibility; the symbol_baseline test checks it).
 *
 * glibc 2.34 moved the pthread functions from libpthread into libc and gave
 * them a second version there (pthread_create@@GLIBC_2.34, beside the
 * original pthread_create@GLIBC_2.2.5 on x86-64). A program linked against
 * glibc 2.34 or later binds to the new versions, which older glibc lacks.
 * These directives bind the library's references to the functions' first
 * versions, which every glibc keeps; on glibc before 2.34 they are found in
 * libpthread.so.0, which the library names as a dependency for that reason.
 */
#ifndef KORVEL_GLIBC_2_28_H
#define KORVEL_GLIBC_2_28_H

#include <features.h>

#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
#if defined(__x86_64__)
#define KORVEL_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define KORVEL_GLIBC_FIRST "GLIBC_2.17"
#endif
#ifdef KORVEL_GLIBC_FIRST
__asm__(".symver pthread_create, pthread_create@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_join, pthread_join@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_detach, pthread_detach@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_once, pthread_once@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_key_create, pthread_key_create@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_getspecific, pthread_getspecific@" KORVEL_GLIBC_FIRST);
__asm__(".symver pthread_setspecific, pthread_setspecific@" KORVEL_GLIBC_FIRST);
#endif
#endif

#endif /* KORVEL_GLIBC_2_28_H */
