#include "Descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The soft limit: one more than the highest descriptor number open() may
// give. "Unlimited" is bounded by what a descriptor number can be.
long descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7fffffff)
        return 0x7fffffff;
    return long(limit.rlim_cur);
}

// The descriptors open below `limit`, as /proc/self/fd lists them (without
// the one its listing takes); -1 when it cannot be read: errno EMFILE or
// ENFILE for want of a descriptor.
long countFromProc(long limit) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    const int own = dirfd(dir);
    long open = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;  // "." and ".."
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && fd != own && fd < limit) open++;
    }
    closedir(dir);
    return open;
}

// Where there is no /proc: each number below the limit asked (at most the
// first 65536; past those, taken as free).
long countOneByOne(long limit) {
    long open = 0;
    for (long fd = 0; fd < limit && fd < 65536; fd++)
        if (fcntl(int(fd), F_GETFD) != -1) open++;
    return open;
}

}  // namespace

long descriptorsLeft() {
    const long limit = descriptorLimit();
    int saved = errno;
    long open = countFromProc(limit);
    if (open < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            errno = saved;
            return 0;  // not even one for the count
        }
        open = countOneByOne(limit);
    }
    errno = saved;
    return open >= limit ? 0 : limit - open;
}

bool haveDescriptors(long needed) {
    if (descriptorsLeft() >= needed) return true;
    errno = EMFILE;
    return false;
}

int guardStandardDescriptors() {
    int opened = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one: 0 to 2 below it are open.
        int got;
        do {
            got = open("/dev/null", O_RDWR);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return -1;
        if (got != fd) {
            close(got);  // another thread opened `fd` meanwhile: it is open, and not ours to replace
            continue;
        }
        opened++;
    }
    return opened;
}

StandardInputKept::StandardInputKept() {
    int saved = errno;
    saved_ = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    errno = saved;
}

StandardInputKept::~StandardInputKept() {
    if (saved_ < 0) return;
    int saved = errno;
    if (fcntl(STDIN_FILENO, F_GETFD) == -1 && errno == EBADF) {
        // The lowest free number from 0 up: 0 itself unless another thread
        // opened it meanwhile. Without FD_CLOEXEC, as standard input is.
        int got = fcntl(saved_, F_DUPFD, STDIN_FILENO);
        if (got > STDIN_FILENO) close(got);
    }
    close(saved_);
    errno = saved;
}
