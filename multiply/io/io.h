// Float32 matrix files: NumPy .npy (little-endian float32, C order, square)
// and raw row-major float32. Rows move with positioned I/O straight between
// the file and a strided in-memory matrix, eight threads per transfer.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class OutputFile;

namespace io {

// What inspecting one input file found.
struct Info {
    bool npy = false;               // the file is .npy
    std::uint64_t data_offset = 0;  // byte offset of element (0, 0); 0 for raw files
    std::uint64_t side = 0;         // N of the N x N matrix
};

// Shared state of one read or write: the reader uses dst, the writer src.
// Row r lives at file offset `offset + r*n*4` and in memory at row r*ld.
struct Transfer {
    int fd = -1;
    std::uint64_t n = 0;
    std::uint64_t ld = 0;
    std::uint64_t offset = 0;
    float* dst = nullptr;
    const float* src = nullptr;
    std::atomic<int> failed{0};
};

// Number of threads that move the rows of one transfer.
inline constexpr int transfer_threads = 8;

// Header of a .npy path, or the raw-file rule with an optional side hint
// (0 = none; the hint only matters for raw files).
Info inspect_input(const std::string& path, std::uint64_t side_hint);

// Parses and checks the header of a .npy file against its size.
Info parse_npy_header(const std::string& path);

// Reads the info.side x info.side elements into dst (leading dimension ld);
// columns beyond the side are left untouched. Transfer threads that cannot
// start for want of memory: std::bad_alloc (as in write_matrix).
void read_matrix(const std::string& path, const Info& info, float* dst, std::uint64_t ld);

// Writes the leading n x n block of src (leading dimension ld); a path
// ending in ".npy" gets a version 1.0 header, any other path raw data. The
// file is written beside the path and put in its place only when complete
// (common/output_file.h): a failed write leaves what the path held. A
// target that cannot seek (a pipe, a FIFO) gets the prefix and the rows in
// order from the calling thread. Every failure to write names the path:
// "write failed: " + path.
void write_matrix(const std::string& path, const float* src, std::uint64_t n, std::uint64_t ld);

// The same into an output file created earlier for its path (the program
// creates it before the product, so that a target that cannot be created
// ends the run first).
void write_matrix(OutputFile& out, const float* src, std::uint64_t n, std::uint64_t ld);

// Thread bodies: thread t moves rows [t*n/8, (t+1)*n/8), one positioned call
// per row, or one for all of them when ld == n. They never throw; a failure
// only sets tr.failed.
void read_rows(int t, Transfer& tr) noexcept;
void write_rows(int t, Transfer& tr) noexcept;

}  // namespace io
