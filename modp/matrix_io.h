// Integer matrix files of the modular multiplier: .npy inputs of five
// little-endian element types (or raw int32) read as residues mod p, and int32
// output written as .npy version 1.0 or raw.
#pragma once

#include <cstddef>
#include <string>

class OutputFile;

namespace torvik {

class Pool;

struct Info {
    bool npy = false;
    std::size_t data_offset = 0;  // byte offset of element (0, 0)
    std::size_t n = 0;            // side N
    char kind = 'i';              // 'i' signed, 'u' unsigned, 'f' float64
    std::size_t elem_size = 4;    // bytes per element
};

// Inspects an input file; n_hint is the --n value, used for raw files only.
// Throws std::runtime_error with a message naming the path on every refusal.
Info inspect_integer_input(const std::string& path, std::size_t n_hint);

// Fills rows and columns [0, N) of dst (row i at dst + i*ld) with the
// residues of the file's values in [0, p); other cells are left untouched.
void read_matrix(Pool& pool, const std::string& path, const Info& info, double* dst,
                 std::size_t ld, long p);

// Writes the n x n top-left corner of src (row i at src + i*ld) as int32,
// .npy when the path ends in ".npy", raw otherwise. The file is written
// beside the path and put in its place only when complete: a failed write
// leaves what the path held. A target that cannot seek (a pipe, a FIFO) gets
// the header and the rows in order from the calling thread. Every failure to
// write names the path: "write failed: " + path.
void write_matrix(Pool& pool, const std::string& path, const double* src, std::size_t ld,
                  std::size_t n);

// The same into an output file created earlier for its path (the program
// creates it before the product, so that a target that cannot be created
// ends the run first).
void write_matrix(Pool& pool, OutputFile& out, const double* src, std::size_t ld, std::size_t n);

}  // namespace torvik
