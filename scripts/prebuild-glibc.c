// Linked into the prebuilt binaries (scripts/prebuild.sh), so that they load
// with glibc 2.34. libstdc++'s std::random_device, which comes along with the
// parts of the static libstdc++ the add-on uses (and is never called by it),
// calls arc4random, which glibc has only since 2.36: the link sends those
// calls here (--wrap=arc4random). Returns 32 random bits from getrandom
// (glibc 2.25), else from /dev/urandom; when neither can be read it ends the
// process, as glibc's own arc4random does.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

__attribute__((visibility("hidden"))) uint32_t __wrap_arc4random(void) {
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
