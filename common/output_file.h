// An output file that replaces its target only once it is complete: the
// bytes go to a new file beside the target (same directory, a name no other
// writer uses) and that file is renamed over the target after the last byte
// is written and it is closed without error. Until then the target keeps what
// it held (it may be one of the inputs); a write that fails removes the new
// file and leaves the target as it was.
//
// A target that exists and is not a regular file (a device such as
// /dev/null, a pipe) cannot be replaced and is written in place, as is a
// symbolic link whose target does not exist; a link to a regular file
// replaces the file it points to, and a replaced file keeps its permission
// bits.
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

    // Descriptor for positioned writes (pwrite) of the whole content.
    int fd() const { return fd_; }

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
    std::string target_, temporary_;
    int fd_ = -1;
    bool in_place_ = false;
    bool committed_ = false;
};
