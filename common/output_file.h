// An output file that replaces its target only once it is complete: the
// bytes go to a new file beside the target (same directory, a name no other
// writer uses) and that file is renamed over the target after the last byte
// is written and it is closed without error. Until then the target keeps what
// it held (it may be one of the inputs); a write that fails removes the new
// file and leaves the target as it was. A program creates its output file
// before its work, so that a target that cannot be written ends the run
// before the work rather than after it.
//
// A target that exists and is not a regular file (a device such as
// /dev/null, a pipe or FIFO) cannot be replaced and is written in place. A
// symbolic link stays a link: a link to a regular file replaces the file it
// points to, and a link whose file does not exist (following every link of
// a chain, each relative one from its own directory) gets that file, made
// beside it and renamed into place like any other. A replaced file keeps its
// permission bits. A target that cannot seek (a pipe, a FIFO, a terminal)
// must be written in order with plain writes (sequential()). A FIFO that no
// process has open for reading is not waited for: it cannot be created; nor
// can the empty path, or one that cannot be looked up for another reason
// than a missing file (such as a final name longer than a file name may be).
//
// While an output file exists the process ignores SIGXFSZ, so that a write
// past the file size limit (ulimit -f) fails as a write; and SIGINT, SIGTERM,
// SIGHUP and SIGABRT (an abort), where they would end the process, first
// remove the new file and then end it as the signal would have. Both are in place before the new
// file is created. The earlier dispositions return once no output file is
// left.
#pragma once

#include <cstdint>
#include <string>

class OutputFile {
public:
    // Creates the new file for path, empty and open for writing.
    // std::runtime_error "cannot create " + path.
    explicit OutputFile(const std::string& path);
    // Without a successful commit: closes the new file and removes it.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The target's path as given, for messages.
    const std::string& path() const { return path_; }

    // Descriptor for positioned writes (pwrite) of the whole content, or for
    // plain writes in order when sequential().
    int fd() const { return fd_; }

    // True for a target written in place that cannot seek: positioned writes
    // fail on it, so the content goes out in order through write().
    bool sequential() const { return sequential_; }

    // Gives the new file its final size in allocated blocks before the
    // writes. This keeps ext4 from writing the whole file back inside the
    // rename, which it does for a replacing file with blocks still to
    // allocate (about a second for 1 GB). Only a hint: where the file system
    // cannot reserve (no support, no space, a size limit) the writes that
    // follow meet the same condition and fail as they would without it.
    void reserve(std::uint64_t bytes);

    // Closes the file and puts it in place of the target. False when the
    // close or the rename fails; the new file is then removed and the target
    // is as it was (a target written in place holds what was written).
    bool commit();

private:
    // Ends the signal arrangements of this file (see above).
    void release_signals();

    std::string path_, target_, temporary_;
    int fd_ = -1;
    int signal_slot_ = -1;
    bool in_place_ = false;
    bool sequential_ = false;
    bool committed_ = false;
    bool holds_signals_ = false;
};

// Removes the new file of every output file that exists, at once and
// without locks (also from a signal handler): for a process that is about to
// end without unwinding, such as on an allocation failure.
void remove_new_output_files();

// Writes all `bytes` from p to fd, in order through write() (for a target
// that is sequential()) or at `offset` through pwrite(). False on an error or
// on a write that makes no progress.
bool write_full(int fd, const char* p, std::uint64_t bytes);
bool pwrite_full(int fd, const char* p, std::uint64_t bytes, std::uint64_t offset);
