#include "common/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <stdexcept>

namespace {

std::atomic<unsigned> next_serial{0};

// The file a write to path would reach: path itself, or for a symbolic link
// the file it resolves to. Sets replaceable to false when that file exists
// and is not a regular file, or when the link leads nowhere.
std::string resolve_target(const std::string& path, bool& replaceable, struct stat& existing, bool& exists) {
    replaceable = true;
    exists = false;
    struct stat link_info {};
    if (::lstat(path.c_str(), &link_info) != 0) return path;  // a new file (or an error that open will report)
    std::string target = path;
    if (S_ISLNK(link_info.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
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

OutputFile::OutputFile(const std::string& path) {
    struct stat existing {};
    bool replaceable = true, exists = false;
    target_ = resolve_target(path, replaceable, existing, exists);
    if (!replaceable) {
        in_place_ = true;
        temporary_ = path;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd_ < 0) throw std::runtime_error("cannot create " + path);
        return;
    }

    // "<dir>/<name>.<pid>.<serial>.tmp", the name shortened so that the
    // suffix always fits in a file name.
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (name.size() > 200) name.resize(200);
    const std::string stem = dir + name + "." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        temporary_ = stem + std::to_string(next_serial.fetch_add(1)) + ".tmp";
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) throw std::runtime_error("cannot create " + path);
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
    if (in_place_) return committed_ = true;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
    return committed_ = true;
}
