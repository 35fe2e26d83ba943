// Aligned matrix storage, first touch by the pool workers, huge-page advice.
#pragma once

#include <cstdint>
#include <new>
#include <string>

// Every 64-byte-aligned allocation of the program that fails ends here.
[[noreturn]] inline void throw_bad_alloc() { throw std::bad_alloc(); }

// One 64-byte-aligned float block. The holder releases data with free();
// the record itself has no clean-up.
struct MatrixStorage {
    float* data = nullptr;    // owned, null when nothing is held
    std::uint64_t bytes = 0;  // rows*cols*4 rounded up to a multiple of 64
    std::uint64_t ld = 0;     // leading dimension in elements (= cols)
};

// (Re)allocates storage for rows x cols floats; contents undefined. The old
// block is freed first. std::runtime_error "invalid matrix extent" (storage
// unchanged) for an empty shape, cols above 2^31 - 1, or a byte count that
// does not fit 64 bits after rounding; std::bad_alloc when the allocation
// fails (the storage is then empty).
void allocate_matrix(MatrixStorage& storage, std::uint64_t rows, std::uint64_t cols);

// Parameters of one fill run, written by the caller before
// pan_adapter::run_jobs(problem.workers, fill_rows_job).
struct FillParams {
    std::uint32_t pattern = 0;  // bit pattern of every element (0 = +0.0f)
    std::uint64_t side = 0;     // rows to fill, and elements filled per row
    float* data = nullptr;      // first element
    std::uint64_t ld = 0;       // leading dimension in elements
};
extern FillParams fill_params;

// Pool job: worker w of W = problem.workers writes the pattern into rows
// [w*side/W, (w+1)*side/W), elements 0..side-1 of each. Elements between side
// and ld are not touched. When ld == side the rows of a share are one
// contiguous span and are filled as one.
void fill_rows_job(int w);

// Writes `pattern` into every element 0..side-1 of rows 0..side-1 of the block
// at data (leading dimension ld), as fill_rows_job on problem.workers jobs of
// the Pan pool, so that each worker touches its own rows first.
void fill_block(float* data, std::uint64_t side, std::uint64_t ld, std::uint32_t pattern);

// Parameters of one first-touch run of a block that the caller fills
// itself right afterwards (as the reader fills A and B), written before
// pan_adapter::run_jobs(problem.workers, touch_rows_job).
struct TouchParams {
    std::uint64_t side = 0;  // rows and columns of the block
    std::uint64_t kept = 0;  // the leading kept x kept part is overwritten by the caller
    float* data = nullptr;   // first element
    std::uint64_t ld = 0;    // leading dimension in elements
};
extern TouchParams touch_params;

// Pool job: worker w of W = problem.workers first-touches rows
// [w*side/W, (w+1)*side/W) of the block. Inside the leading kept x kept part
// it stores into every 4 KiB page once (the contents stay undefined there);
// every other element 0..side-1 of the rows is zeroed, as fill_rows_job
// would. Elements between side and ld are not touched.
void touch_rows_job(int w);

// With mode "collapse": MADV_HUGEPAGE then MADV_COLLAPSE on the whole pages
// inside [data, data + bytes). Any other mode does nothing. Never fails.
void advise_huge_pages(float* data, std::uint64_t bytes, const std::string& mode);

// With mode "collapse": MADV_HUGEPAGE alone on the same pages, for a block
// not touched yet, so that its first touch faults huge pages in directly
// instead of leaving small pages for a later collapse to copy. Any other
// mode does nothing. Never fails.
void request_huge_pages(float* data, std::uint64_t bytes, const std::string& mode);

// request_huge_pages with the mode the program's matrices were last given
// (none before the first request_huge_pages call: nothing is requested), for
// the program's work buffers, which follow the matrices' huge-page choice.
void request_huge_pages_like_matrices(float* data, std::uint64_t bytes);
