// What is left of the process's descriptors, and descriptors 0-2 kept open.
// The checks run in a child (its limit lowered, descriptors closed), which
// says by its exit status which check failed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "core/Descriptors.h"

namespace {

// Runs `body` in a forked child; its return value is the exit status.
template <typename Body>
int inChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace

// Standard input and error closed: both opened again on /dev/null, output
// left as it was, and the next descriptor opened is above 2. Then, under a
// limit of 64, with a descriptor open above it (as one inherited before the
// limit was lowered): exhausted, none is left and the count says so; five
// closed, five are left.
TEST(Descriptors, KeepsTheStandardThreeOpenAndCountsWhatTheLimitLeaves) {
    int status = inChild([] {
        struct stat out = {}, null = {}, in = {}, err = {}, outAfter = {};
        if (fstat(1, &out) != 0 || stat("/dev/null", &null) != 0) return 1;
        close(0);
        close(2);
        if (guardStandardDescriptors() != 2) return 2;
        if (fstat(0, &in) != 0 || fstat(2, &err) != 0 || fstat(1, &outAfter) != 0) return 3;
        if (in.st_rdev != null.st_rdev || err.st_rdev != null.st_rdev || !S_ISCHR(in.st_mode)) return 4;
        if (outAfter.st_ino != out.st_ino || outAfter.st_dev != out.st_dev) return 5;
        if (guardStandardDescriptors() != 0) return 6;
        if (open("/dev/null", O_RDONLY) <= 2) return 7;

        if (dup2(1, 100) != 100) return 11;
        rlimit limit{64, 64};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 12;
        std::vector<int> held;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
        if (errno != EMFILE) return 13;
        if (descriptorsLeft() != 0) return 14;
        errno = 0;
        if (haveDescriptors(1) || errno != EMFILE) return 15;
        for (int k = 0; k < 5; k++, held.pop_back()) close(held.back());
        if (descriptorsLeft() != 5) return 16;
        if (!haveDescriptors(5) || haveDescriptors(6)) return 17;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Descriptor 0 closed during a teardown comes back as the same pipe, its
// unread data and its reader kept (a write is no EPIPE); taken meanwhile by
// another, it is left to it; untouched, nothing changes; nothing is held after.
TEST(Descriptors, StandardInputComesBackAfterATeardownClosedIt) {
    int status = inChild([] {
        int p[2];
        struct stat before = {}, after = {}, null = {};
        if (pipe(p) != 0 || dup2(p[0], 0) != 0 || close(p[0]) != 0 || fstat(0, &before) != 0) return 1;
        const int next = open("/dev/null", O_RDONLY);  // the lowest free number
        close(next);
        {
            StandardInputKept kept;
            close(0);
        }
        if (fstat(0, &after) != 0 || after.st_ino != before.st_ino || fcntl(0, F_GETFD) != 0) return 2;
        char c = 0;
        if (write(p[1], "x", 1) != 1 || read(0, &c, 1) != 1 || c != 'x') return 3;
        {
            StandardInputKept kept;
            close(0);
            if (open("/dev/null", O_RDONLY) != 0) return 4;
        }
        if (stat("/dev/null", &null) != 0 || fstat(0, &after) != 0 || after.st_rdev != null.st_rdev) return 5;
        { StandardInputKept kept; }
        if (fstat(0, &after) != 0 || after.st_rdev != null.st_rdev) return 6;
        if (open("/dev/null", O_RDONLY) != next) return 7;
        return 0;
    });
    EXPECT_EQ(status, 0);
}
