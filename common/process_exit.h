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
