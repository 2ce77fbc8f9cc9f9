/* For the glibc 2.31 test interpreter only (tools/vehicle.sh), never in a
 * wheel: the functions newer than glibc 2.31 that the tool root's libpython
 * archive calls, so that it links against bullseye's C library. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <wchar.h>

#ifndef __NR_close_range
#define __NR_close_range 436 /* the same number on x86-64 and arm64 */
#endif

/* C23's strto* and scanf differ from C99's only in taking 0b binary numbers. */
long __isoc23_strtol(const char *text, char **end, int base) { return strtol(text, end, base); }
unsigned long __isoc23_strtoul(const char *text, char **end, int base) { return strtoul(text, end, base); }
long long __isoc23_strtoll(const char *text, char **end, int base) { return strtoll(text, end, base); }
unsigned long long __isoc23_strtoull(const char *text, char **end, int base) { return strtoull(text, end, base); }
long __isoc23_wcstol(const wchar_t *text, wchar_t **end, int base) { return wcstol(text, end, base); }
int __isoc23_sscanf(const char *text, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsscanf(text, format, args);
    va_end(args);
    return n;
}

/* The kernel's call (Linux 5.9), as glibc 2.34 wraps it; closefrom falls back
 * to closing one descriptor at a time where the kernel lacks it. */
int close_range(unsigned first, unsigned last, int flags) {
    return (int)syscall(__NR_close_range, first, last, flags);
}

void closefrom(int lowest) {
    if (close_range((unsigned)lowest, ~0U, 0) == 0) return;
    for (long fd = lowest, end = sysconf(_SC_OPEN_MAX); fd < end; fd++) close((int)fd);
}

/* The spawned program's descriptors from `lowest` on closed: one close action
 * for each descriptor open now. */
int posix_spawn_file_actions_addclosefrom_np(posix_spawn_file_actions_t *actions, int lowest) {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == NULL) return errno;
    int result = 0;
    for (struct dirent *entry; result == 0 && (entry = readdir(dir)) != NULL;) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd >= lowest && fd != dirfd(dir)) {
            result = posix_spawn_file_actions_addclose(actions, fd);
        }
    }
    closedir(dir);
    return result;
}
