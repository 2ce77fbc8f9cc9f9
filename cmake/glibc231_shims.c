/* Linked into each module of the portable wheels (cmake/glibc231.cmake): the
 * three glibc symbols newer than 2.31 that the tool root's static libstdc++
 * still names. Hidden, so nothing here is exported or stands in for the
 * loading process's own C library. Each one is exact or errs on the safe side.
 *
 *  __libc_single_threaded (2.32): while it reads non-zero, libstdc++ counts
 *      references without atomic instructions. Always 0 here: always atomic,
 *      right whatever threads exist, for the price of a locked instruction.
 *  __isoc23_strtoul (2.38): what <stdlib.h> turns strtoul into for C23 and
 *      _GNU_SOURCE (libstdc++ parses its tunables with it). It differs from
 *      strtoul only in taking a "0b" prefix, which that parser never meets.
 *  arc4random (2.36): std::random_device's default source on aarch64. The
 *      kernel's getrandom(2) (glibc 2.25), which blocks only until the pool is
 *      first seeded, as glibc's own does; and like it, gives up the process
 *      when no random bytes can be had.
 */
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/types.h>

#define HIDDEN __attribute__((visibility("hidden")))

HIDDEN char __libc_single_threaded = 0;

HIDDEN unsigned long __isoc23_strtoul(const char *text, char **end, int base) {
    return strtoul(text, end, base);
}

HIDDEN uint32_t arc4random(void) {
    uint32_t value;
    unsigned char *bytes = (unsigned char *)&value;
    size_t have = 0;
    while (have < sizeof value) {
        const ssize_t got = getrandom(bytes + have, sizeof value - have, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            abort();
        }
        have += (size_t)got;
    }
    return value;
}
