// The end of a program run that has already reported its outcome.
#pragma once

#include <unistd.h>

#include <cstdio>

// Flushes standard output and error and ends the process with `status` at
// once. Exit handlers and static destructors do not run: libraries' own
// threads (OpenBLAS joins its threads at exit) may be stuck after a memory
// shortage, and the status must not wait for them.
[[noreturn]] inline void end_process(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

// What a program's main returns for a run that ended with `status`: 0 after
// a success (exit handlers then run as usual); any other status ends the
// process here through end_process.
inline int main_status(int status) {
    if (status != 0) end_process(status);
    return 0;
}
