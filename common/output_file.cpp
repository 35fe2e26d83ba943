#include "common/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace {

std::atomic<unsigned> next_serial{0};

// The signal arrangements of the live output files. The paths of their new
// files sit in fixed buffers that the handler reads: a slot's path is
// complete before the slot is marked used and stays until it is unmarked.
// Everything else changes under signal_mutex.
constexpr int kSlots = 16;
constexpr std::size_t kSlotBytes = 4096;
char slot_paths[kSlots][kSlotBytes];
std::atomic<int> slot_used[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the slot marks");

constexpr int kRemovalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGABRT};
constexpr int kRemovalCount = sizeof(kRemovalSignals) / sizeof(kRemovalSignals[0]);
struct sigaction saved_removal[kRemovalCount];
bool removal_installed[kRemovalCount];
struct sigaction saved_file_size;
int live_files = 0;
std::mutex signal_mutex;

// Removes every new file, then ends the process by the same signal: with the
// default action back in place, the signal raised here is delivered as the
// handler returns. (An abort() also gets there, as it raises SIGABRT first.)
extern "C" void remove_new_files_and_end(int sig) {
    remove_new_output_files();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(sig, &default_action, nullptr);
    ::raise(sig);
}

// The first live file ignores SIGXFSZ and catches the removal signals that
// would end the process (one that is ignored or handled elsewhere is left
// alone); the last one puts the earlier dispositions back.
void hold_signals() {
    if (live_files++ > 0) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &saved_file_size);
    struct sigaction removal {};
    removal.sa_handler = remove_new_files_and_end;
    sigemptyset(&removal.sa_mask);
    for (int sig : kRemovalSignals) sigaddset(&removal.sa_mask, sig);
    for (int i = 0; i < kRemovalCount; ++i) {
        struct sigaction& before = saved_removal[i];
        removal_installed[i] = ::sigaction(kRemovalSignals[i], nullptr, &before) == 0 &&
                               (before.sa_flags & SA_SIGINFO) == 0 && before.sa_handler == SIG_DFL &&
                               ::sigaction(kRemovalSignals[i], &removal, nullptr) == 0;
    }
}

void let_signals_go() {
    if (--live_files > 0) return;
    for (int i = 0; i < kRemovalCount; ++i)
        if (removal_installed[i]) ::sigaction(kRemovalSignals[i], &saved_removal[i], nullptr);
    ::sigaction(SIGXFSZ, &saved_file_size, nullptr);
}

// A slot holding path, or -1 when none is free or the path does not fit (the
// file is then not removed by a signal).
int claim_slot(const std::string& path) {
    if (path.size() >= kSlotBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (slot_used[i].load() != 0) continue;
        std::memcpy(slot_paths[i], path.c_str(), path.size() + 1);
        slot_used[i].store(1);
        return i;
    }
    return -1;
}

// The name at the end of the chain of symbolic links that starts at `link`,
// where no file exists; each relative link is read from its own directory.
// Empty when the chain leads elsewhere (a file that exists now, a loop, an
// error).
std::string dangling_end(const std::string& link) {
    std::string name = link;
    for (int hops = 0; hops < 40; ++hops) {
        char text[PATH_MAX];
        const ssize_t len = ::readlink(name.c_str(), text, sizeof text);
        if (len <= 0 || static_cast<std::size_t>(len) >= sizeof text) return {};
        std::string next(text, static_cast<std::size_t>(len));
        const std::size_t slash = name.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = name.substr(0, slash + 1) + next;
        name = next;
        struct stat info {};
        if (::lstat(name.c_str(), &info) != 0) return errno == ENOENT ? name : std::string();
        if (!S_ISLNK(info.st_mode)) return {};
    }
    return {};
}

// The file a write to path would reach: path itself, or for a symbolic link
// the file it resolves to, or the name where a dangling link's file would be
// (which then does not exist). Sets replaceable to false when that file
// exists and is not a regular file, or when the link leads nowhere else.
// std::runtime_error "cannot create " + path for a path that names no file
// that could be made: the empty path, or one that cannot be looked up for
// another reason than a missing file (such as a name longer than a file name
// may be, where the new file's shortened name would still be created).
std::string resolve_target(const std::string& path, bool& replaceable, struct stat& existing, bool& exists) {
    replaceable = true;
    exists = false;
    if (path.empty()) throw std::runtime_error("cannot create " + path);
    struct stat link_info {};
    if (::lstat(path.c_str(), &link_info) != 0) {
        if (errno != ENOENT) throw std::runtime_error("cannot create " + path);
        return path;  // a new file
    }
    std::string target = path;
    if (S_ISLNK(link_info.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            // A link whose file does not exist: that file is made as a new one.
            // (Other links that cannot be resolved by name, such as
            // /dev/fd/N for a pipe, are written in place.)
            std::string end;
            if (::stat(path.c_str(), &existing) != 0 && errno == ENOENT) end = dangling_end(path);
            if (!end.empty()) return end;
            replaceable = false;
            return path;
        }
        target = resolved;
        std::free(resolved);
    }
    if (::stat(target.c_str(), &existing) != 0) {
        replaceable = false;
        return path;
    }
    exists = true;
    if (!S_ISREG(existing.st_mode)) replaceable = false;
    return target;
}

}  // namespace

OutputFile::OutputFile(const std::string& path) : path_(path) {
    struct stat existing {};
    bool replaceable = true, exists = false;
    target_ = resolve_target(path, replaceable, existing, exists);
    // "<dir>/<name>.<pid>.", the name shortened so that the suffix always fits
    // in a file name.
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (name.size() > 200) name.resize(200);
    const std::string stem = dir + name + "." + std::to_string(::getpid()) + ".";

    // The signals are taken over before the file exists, and a new file's
    // name is in its slot before the file is created: a signal at any moment
    // finds the file (or nothing yet) to remove.
    {
        std::lock_guard<std::mutex> lock(signal_mutex);
        hold_signals();
        holds_signals_ = true;
    }
    try {
        if (!replaceable) {
            in_place_ = true;
            temporary_ = path;
            // Without blocking: a FIFO with no reader fails (ENXIO) here at
            // once rather than holding the run until some reader comes.
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
            if (fd_ < 0) throw std::runtime_error("cannot create " + path);
            const int flags = ::fcntl(fd_, F_GETFL);
            if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)
                throw std::runtime_error("cannot create " + path);
            sequential_ = ::lseek(fd_, 0, SEEK_CUR) < 0 && errno == ESPIPE;
            return;
        }
        // "<stem><serial>.tmp"
        for (int attempt = 0; attempt < 1000; ++attempt) {
            temporary_ = stem + std::to_string(next_serial.fetch_add(1)) + ".tmp";
            {
                std::lock_guard<std::mutex> lock(signal_mutex);
                if (signal_slot_ >= 0) slot_used[signal_slot_].store(0);
                signal_slot_ = claim_slot(temporary_);
            }
            fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd_ >= 0 || errno != EEXIST) break;
        }
        if (fd_ < 0) throw std::runtime_error("cannot create " + path);
    } catch (...) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        release_signals();
        throw;
    }
    if (exists) {
        // The replacement keeps the replaced file's owner (where allowed) and mode.
        if (::fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
            // not allowed: the replacement belongs to this process's user
        }
        ::fchmod(fd_, existing.st_mode & 07777);
    }
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !in_place_) ::unlink(temporary_.c_str());
    release_signals();
}

void OutputFile::release_signals() {
    if (!holds_signals_) return;
    holds_signals_ = false;
    std::lock_guard<std::mutex> lock(signal_mutex);
    if (signal_slot_ >= 0) slot_used[signal_slot_].store(0);
    signal_slot_ = -1;
    let_signals_go();
}

void OutputFile::reserve(std::uint64_t bytes) {
    if (in_place_ || bytes == 0 || bytes > static_cast<std::uint64_t>(INT64_MAX)) return;
    if (::fallocate(fd_, 0, 0, static_cast<off_t>(bytes)) != 0) {
        // not reserved: the writes report any real shortage
    }
}

bool OutputFile::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (fd < 0 || ::close(fd) != 0) return false;
    if (!in_place_ && ::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    release_signals();
    return true;
}

void remove_new_output_files() {
    for (int i = 0; i < kSlots; ++i)
        if (slot_used[i].load() != 0) ::unlink(slot_paths[i]);
}

bool write_full(int fd, const char* p, std::uint64_t bytes) {
    while (bytes > 0) {
        const ssize_t put = ::write(fd, p, bytes);
        if (put <= 0) return false;
        p += put;
        bytes -= static_cast<std::uint64_t>(put);
    }
    return true;
}

bool pwrite_full(int fd, const char* p, std::uint64_t bytes, std::uint64_t offset) {
    while (bytes > 0) {
        const ssize_t put = ::pwrite(fd, p, bytes, static_cast<off_t>(offset));
        if (put <= 0) return false;
        p += put;
        bytes -= static_cast<std::uint64_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
    return true;
}
