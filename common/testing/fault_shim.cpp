// Test support: a library preloaded (LD_PRELOAD) into a program under test
// that makes chosen calls fail as a failing file system or a memory shortage
// would. The environment chooses:
//   KORVANE_FAULT_RENAME=fail         rename() does nothing and fails (EIO);
//   KORVANE_FAULT_RENAME=<path>       rename() creates <path> and then waits
//                                     for ever, so that a test can signal the
//                                     process at that point;
//   KORVANE_FAULT_CREATED=<path>      open() that creates a file whose name
//                                     ends in ".tmp" creates it, then creates
//                                     <path> and waits for ever (the moment
//                                     right after a new output file appears);
//   KORVANE_FAULT_READ=<path>         pread() from a file whose name ends in
//                                     ".npy" creates <path> and waits for ever
//                                     (the moment the elements of an input
//                                     are first read);
//   KORVANE_FAULT_CLOSE_SUFFIX=<s>    close() of a descriptor whose file name
//                                     ends in <s> closes it and fails (EIO),
//                                     as a write-back error reported at close;
//   KORVANE_FAULT_THREAD_FROM=<k>     the k-th std::thread start and every one
//                                     after it fail (EAGAIN), as they do when
//                                     no address space is left for a stack;
//                                     threads of other libraries start as usual;
//   KORVANE_FAULT_THREAD_ERROR=ENOMEM those starts fail with ENOMEM instead,
//                                     as they may when the kernel has no
//                                     memory for the new thread;
//   KORVANE_FAULT_NEW_BYTES=<n>       every operator new of exactly n bytes
//                                     throws std::bad_alloc, as one does when
//                                     memory runs out; other sizes allocate
//                                     as usual.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

std::atomic<long> std_thread_starts{0};

bool ends_with(const char* s, std::size_t len, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(s + len - n, suffix, n) == 0;
}

// A wait point above: creates the marker file `path`, then waits for ever
// (for the test's signal).
[[noreturn]] void hold_at(const char* path) {
    const int marker = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (marker >= 0) close(marker);
    for (;;) ::pause();
}

// The marker of a wait point chosen by environment variable `name`, or null.
const char* wait_marker(const char* name) {
    const char* marker = std::getenv(name);
    return marker != nullptr && *marker != '\0' ? marker : nullptr;
}

template <class Open>
int open_with_faults(Open real, const char* path, int flags, va_list args) {
    const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
    const int fd = real(path, flags, mode);
    const char* marker = wait_marker("KORVANE_FAULT_CREATED");
    if (fd >= 0 && (flags & O_CREAT) != 0 && marker != nullptr && ends_with(path, std::strlen(path), ".tmp"))
        hold_at(marker);
    return fd;
}

// True when descriptor fd belongs to a file whose name ends in suffix.
bool fd_name_ends_with(int fd, const char* suffix) {
    char link[64], name[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = ::readlink(link, name, sizeof name);
    return len > 0 && ends_with(name, static_cast<std::size_t>(len), suffix);
}

void hold_input_read(int fd) {
    const char* marker = wait_marker("KORVANE_FAULT_READ");
    if (marker != nullptr && fd_name_ends_with(fd, ".npy")) hold_at(marker);
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    const char* fault = std::getenv("KORVANE_FAULT_RENAME");
    if (fault != nullptr && std::strcmp(fault, "fail") == 0) {
        errno = EIO;
        return -1;
    }
    if (fault != nullptr && *fault != '\0') hold_at(fault);
    return real(from, to);
}

extern "C" int open(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const int fd = open_with_faults(real, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    const int fd = open_with_faults(real, path, flags, args);
    va_end(args);
    return fd;
}

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    static const auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    hold_input_read(fd);
    return real(fd, buf, count, offset);
}

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
    hold_input_read(fd);
    return real(fd, buf, count, offset);
}

extern "C" int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    const char* suffix = std::getenv("KORVANE_FAULT_CLOSE_SUFFIX");
    const bool fail = suffix != nullptr && *suffix != '\0' && fd_name_ends_with(fd, suffix);
    const int rc = real(fd);
    if (!fail || rc != 0) return rc;
    errno = EIO;
    return -1;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static const auto real =
        next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    const char* from = std::getenv("KORVANE_FAULT_THREAD_FROM");
    Dl_info info{};
    if (from != nullptr && ::dladdr(reinterpret_cast<void*>(start), &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "libstdc++") != nullptr && std_thread_starts.fetch_add(1) + 1 >= std::atol(from)) {
        const char* error = std::getenv("KORVANE_FAULT_THREAD_ERROR");
        return error != nullptr && std::strcmp(error, "ENOMEM") == 0 ? ENOMEM : EAGAIN;
    }
    return real(thread, attr, start, arg);
}

void* operator new(std::size_t size) {
    static const long fail_bytes = [] {
        const char* bytes = std::getenv("KORVANE_FAULT_NEW_BYTES");
        return bytes != nullptr ? std::atol(bytes) : 0L;
    }();
    if (fail_bytes > 0 && size == static_cast<std::size_t>(fail_bytes)) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
