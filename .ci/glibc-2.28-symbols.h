/* Included into every file of the manylinux build (.ci/build-manylinux,
 * -include) and nowhere else, so that the module needs no glibc newer than
 * 2.28 although it is built against glibc 2.31.
 *
 * glibc 2.29 gave these math functions new symbol versions; each reference
 * is bound to the x86_64 base version instead. The old versions wrap the
 * same implementations and add only the SVID error handling (matherr),
 * which no finite result of the features touches: `make wheels` checks the
 * features bit for bit against the host build's. The link keeps one LTO
 * partition, so that these directives and the calls they bind end up in one
 * assembler file. */
__asm__(".symver exp,exp@GLIBC_2.2.5");
__asm__(".symver log,log@GLIBC_2.2.5");
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver exp2,exp2@GLIBC_2.2.5");
__asm__(".symver log2,log2@GLIBC_2.2.5");

/* GCC 10's libstdc++ waits on a condition variable, and locks a timed mutex,
 * against the steady clock with functions of glibc 2.30 when the C library
 * has them; without, it converts the deadline to the system clock, as
 * glibc 2.28's toolchains do. */
#ifdef __cplusplus
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
#endif
