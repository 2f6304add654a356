// Linked into the prebuilt binaries (scripts/prebuild.sh), compiled with
// prebuild-glibc.h, so that they load with glibc 2.34: the link sends the
// static libstdc++'s calls of newer glibc functions here (--wrap=NAME).
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#define HIDDEN __attribute__((visibility("hidden")))

// arc4random (glibc 2.36), named by std::random_device, which comes along with
// the parts of libstdc++ the add-on uses and which it never calls. Returns 32
// random bits from getrandom (glibc 2.25), else from /dev/urandom; when neither
// can be read it ends the process, as glibc's own arc4random does.
HIDDEN uint32_t __wrap_arc4random(void) {
    uint32_t value;
    for (int tries = 0; tries < 100; tries++) {
        ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == (ssize_t)sizeof value) return value;
        if (got < 0 && errno != EINTR) break;
    }
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t got = read(fd, &value, sizeof value);
        close(fd);
        if (got == (ssize_t)sizeof value) return value;
    }
    abort();
}

// The C23 strtol family (glibc 2.38), which a libstdc++ built against glibc
// 2.38 or newer names (Debian 13's): the C99 functions, which differ only in
// not reading a "0b" prefix.
HIDDEN long __wrap___isoc23_strtol(const char* text, char** end, int base) {
    return strtol(text, end, base);
}
HIDDEN unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) {
    return strtoul(text, end, base);
}
HIDDEN long long __wrap___isoc23_strtoll(const char* text, char** end, int base) {
    return strtoll(text, end, base);
}
HIDDEN unsigned long long __wrap___isoc23_strtoull(const char* text, char** end, int base) {
    return strtoull(text, end, base);
}
