// The process's file descriptors: how many may still be opened, and the
// standard three kept open. PipeWire 0.3.65's client library, refused a
// descriptor while it makes a stream (EMFILE from eventfd()), closes
// descriptor 0 (standard input) over and over as it tears down what it made,
// and its connection drops; a module refused one fails half made. The
// features check what is left before they ask it for anything that opens
// descriptors (a module, a node, a stream), and refuse with EMFILE instead.
// V8-free; any thread.
#pragma once

// The descriptors the process may still open now: RLIMIT_NOFILE's soft
// limit less those open below it (counted in /proc/self/fd, or one by one
// where there is no /proc). 0 when not even the count can be had, for want
// of a descriptor. Costs a pass over the open descriptors: called before
// work that opens some, not per buffer.
long descriptorsLeft();

// Whether `needed` more descriptors may be opened now; when not, errno is
// EMFILE.
bool haveDescriptors(long needed);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no descriptor a library opens becomes the process's standard input, output
// or error, which Node.js, libuv and the process's children take as theirs
// (and which PipeWire 0.3's failure path above closes). Returns how many it
// opened; -1 when one could not be (no descriptor left, no /dev/null).
int guardStandardDescriptors();

// Keeps the process's standard input through a teardown in PipeWire's client
// library, which in 0.3.65 closes descriptor 0 (a zeroed descriptor field) as
// it destroys a client node whose links went while they were being set up:
// standard input is gone, and number 0 goes to the next descriptor anyone
// opens (libuv aborts when it closes that one). Made before the teardown, it
// holds a duplicate of descriptor 0; at its end, if 0 was closed meanwhile and
// is still free, the duplicate goes back on it (the same open file: a reader
// sees nothing), else 0 is left to whoever has it. errno is kept. Any thread.
class StandardInputKept {
public:
    StandardInputKept();
    ~StandardInputKept();
    StandardInputKept(const StandardInputKept&) = delete;
    StandardInputKept& operator=(const StandardInputKept&) = delete;

private:
    int saved_ = -1;  // the duplicate, or -1 (0 was closed, or no descriptor was left)
};
