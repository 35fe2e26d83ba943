#include "multiply/method/matrix_storage.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint32_t bits_at(const float* p) {
    std::uint32_t b;
    std::memcpy(&b, p, 4);
    return b;
}

int usable_workers() {
    const long p = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::min<long>(8, p > 0 ? p : 1));
}

TEST(MatrixStorage, AllocationIsAlignedAndRoundedUp) {
    struct Shape { std::uint64_t rows, cols, bytes; };
    const std::vector<Shape> shapes = {
        {3, 5, 64},  {1, 1, 64},   {1, 16, 64},     {1, 17, 128},   {7, 9, 256},
        {16, 16, 1024}, {33, 31, 4096}, {1000, 1001, 4004032}, {1, 2147483647, 8589934592},
    };
    MatrixStorage s;
    for (const auto& sh : shapes) {
        allocate_matrix(s, sh.rows, sh.cols);
        ASSERT_NE(s.data, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.data) % 64, 0u) << sh.rows << "x" << sh.cols;
        EXPECT_EQ(s.bytes, sh.bytes) << sh.rows << "x" << sh.cols;
        EXPECT_EQ(s.bytes % 64, 0u);
        EXPECT_GE(s.bytes, sh.rows * sh.cols * 4);
        EXPECT_LT(s.bytes - sh.rows * sh.cols * 4, 64u);
        EXPECT_EQ(s.ld, sh.cols);
        if (s.bytes <= (1u << 20)) std::memset(s.data, 0x5a, s.bytes);  // the whole block is usable
    }
    std::free(s.data);
}

TEST(MatrixStorage, BadExtentsAreRefusedAndTheOldBlockKept) {
    const std::uint64_t rows_limit_1 = (kMax / 1) / 4;  // 2^62 - 1
    const std::uint64_t rows_limit_3 = (kMax / 3) / 4;
    struct Extent { std::uint64_t rows, cols; };
    const std::vector<Extent> bad = {
        {0, 5}, {5, 0}, {0, 0}, {1, 2147483648u}, {1, kMax},
        {rows_limit_1 + 1, 1}, {kMax, 2}, {rows_limit_3 + 1, 3},
        // rows*cols*4 fits 64 bits but rounding it up to 64 bytes would wrap
        // (to 0 or to a few bytes): refused as well.
        {rows_limit_1, 1},          // 2^64 - 4
        {rows_limit_1 - 14, 1},     // 2^64 - 60
        {rows_limit_3, 3},          // 2^64 - 4
    };
    MatrixStorage s;
    allocate_matrix(s, 3, 5);
    float* held = s.data;
    held[0] = 1.5f;
    for (const auto& e : bad) {
        try {
            allocate_matrix(s, e.rows, e.cols);
            ADD_FAILURE() << e.rows << "x" << e.cols << " accepted";
        } catch (const std::runtime_error& err) {
            EXPECT_STREQ(err.what(), "invalid matrix extent") << e.rows << "x" << e.cols;
        }
        EXPECT_EQ(s.data, held);
        EXPECT_EQ(s.bytes, 64u);
        EXPECT_EQ(s.ld, 5u);
    }
    EXPECT_EQ(held[0], 1.5f);
    std::free(s.data);
}

TEST(MatrixStorage, FailedAllocationLeavesAnEmptyRecord) {
    MatrixStorage s;
    allocate_matrix(s, 3, 5);
    // 2^64 - 64 bytes: a valid extent that no allocator can satisfy.
    EXPECT_THROW(allocate_matrix(s, (kMax / 4) - 15, 1), std::bad_alloc);
    EXPECT_EQ(s.data, nullptr);
    EXPECT_EQ(s.bytes, 0u);
    EXPECT_EQ(s.ld, 0u);
    // The record is usable again afterwards.
    allocate_matrix(s, 2, 2);
    EXPECT_NE(s.data, nullptr);
    EXPECT_EQ(s.bytes, 64u);
    std::free(s.data);
    EXPECT_THROW(throw_bad_alloc(), std::bad_alloc);
}

class FillRows : public ::testing::Test {
protected:
    void SetUp() override { saved_workers_ = problem.workers; }
    void TearDown() override {
        pan_adapter::shutdown();
        problem.workers = saved_workers_;
        fill_params = FillParams{};
    }

    // Fills a side x side block inside a larger sentinel-filled storage
    // (extra rows below, extra columns right) and checks every element.
    void fill_and_check(int jobs, int workers, std::uint64_t side, std::uint32_t pattern,
                        std::uint64_t extra_rows, std::uint64_t extra_cols,
                        std::uint64_t filled_rows) {
        const std::uint64_t rows = side + extra_rows, cols = side + extra_cols;
        MatrixStorage s;
        allocate_matrix(s, rows, cols);
        const std::uint32_t sentinel = 0xA5A5A5A5u;
        for (std::uint64_t i = 0; i < rows * cols; ++i) std::memcpy(s.data + i, &sentinel, 4);
        fill_params = FillParams{pattern, side, s.data, s.ld};
        problem.workers = workers;
        pan_adapter::run_jobs(jobs, fill_rows_job);
        std::uint64_t wrong = 0;
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t c = 0; c < cols; ++c) {
                const bool inside = r < filled_rows && c < side;
                if (bits_at(s.data + r * cols + c) != (inside ? pattern : sentinel)) ++wrong;
            }
        EXPECT_EQ(wrong, 0u) << "jobs " << jobs << " workers " << workers << " side " << side
                             << " pattern " << std::hex << pattern;
        std::free(s.data);
    }

    int saved_workers_ = 0;
};

TEST_F(FillRows, EachPoolSizeFillsExactlyTheRequestedBlock) {
    const std::uint32_t patterns[] = {0u, 0x7FC00000u /* quiet NaN */, 0x7F800001u /* signalling NaN */,
                                      0x80000000u /* -0.0 */, 0x3F800000u};
    const std::uint64_t sides[] = {1, 3, 7, 8, 10, 63, 64, 65, 333};
    for (int W = 1; W <= usable_workers(); ++W) {
        pan_adapter::init_pool(W, 0);
        for (std::uint64_t side : sides)
            for (std::uint32_t pattern : patterns) fill_and_check(W, W, side, pattern, 3, 5, side);
        pan_adapter::shutdown();
    }
}

TEST_F(FillRows, MoreWorkersThanRows) {
    // 64 jobs over side 10: ten jobs own one row each, the rest own nothing.
    pan_adapter::init_pool(usable_workers(), 0);
    fill_and_check(64, 64, 10, 0x7FC00000u, 2, 6, 10);
    fill_and_check(64, 64, 1, 0u, 4, 1, 1);
}

TEST_F(FillRows, JobsBeyondTheWorkerCountWriteNothing) {
    pan_adapter::init_pool(usable_workers(), 0);
    // Eight jobs while the record says three workers: jobs 3..7 own no rows
    // and must not spill into the rows below the block.
    fill_and_check(8, 3, 9, 0x3F800000u, 11, 2, 9);
    // A worker count of zero fills nothing (and does not divide by zero).
    fill_and_check(4, 0, 9, 0x3F800000u, 1, 1, 0);
}

// The VMA of this process that contains addr, from /proc/self/smaps.
struct Vma {
    bool found = false;
    std::uintptr_t start = 0, end = 0;
    std::string flags;
};

Vma vma_containing(std::uintptr_t addr) {
    std::ifstream in("/proc/self/smaps");
    std::string line;
    Vma v;
    bool inside = false;
    while (std::getline(in, line)) {
        std::uintptr_t a = 0, b = 0;
        char dash = 0;
        std::istringstream head(line);
        if (line.find("VmFlags:") == 0) {
            if (inside) {
                v.flags = line.substr(8) + " ";
                return v;
            }
            continue;
        }
        if (head >> std::hex >> a >> dash >> b && dash == '-' && line.find(' ') > line.find('-')) {
            inside = addr >= a && addr < b;
            if (inside) {
                v.found = true;
                v.start = a;
                v.end = b;
            }
        }
    }
    return v;
}

bool has_hugepage_flag(std::uintptr_t addr) {
    return vma_containing(addr).flags.find(" hg ") != std::string::npos;
}

class HugePages : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = mmap(nullptr, 4 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(base_, MAP_FAILED);
        std::memset(base_, 0, 4 * 4096);
    }
    void TearDown() override {
        if (base_ != MAP_FAILED) munmap(base_, 4 * 4096);
    }
    std::uintptr_t page(int i) const { return reinterpret_cast<std::uintptr_t>(base_) + 4096u * i; }
    float* at(std::uintptr_t a) const { return reinterpret_cast<float*>(a); }
    void* base_ = MAP_FAILED;
};

TEST_F(HugePages, AdviceCoversOnlyWholePagesInsideTheBlock) {
    // 10000 bytes starting 64 bytes past a page boundary: one whole page lies
    // inside, the second page of the mapping.
    advise_huge_pages(at(page(0) + 64), 10000, "collapse");
    ASSERT_TRUE(vma_containing(page(1)).found);
    if (!has_hugepage_flag(page(1))) GTEST_SKIP() << "kernel does not mark MADV_HUGEPAGE areas";
    const Vma advised = vma_containing(page(1));
    EXPECT_EQ(advised.start, page(1));
    EXPECT_EQ(advised.end, page(2));
    EXPECT_FALSE(has_hugepage_flag(page(0)));
    EXPECT_FALSE(has_hugepage_flag(page(2)));
}

TEST_F(HugePages, SmallBlocksAndOtherModesGetNoAdvice) {
    advise_huge_pages(at(page(0) + 64), 4000, "collapse");  // less than one whole page
    advise_huge_pages(at(page(1) + 64), 4096, "collapse");  // straddles, no whole page
    advise_huge_pages(at(page(2)), 8192, "off");
    advise_huge_pages(at(page(2)), 8192, "Collapse");
    advise_huge_pages(at(page(2)), 8192, "");
    advise_huge_pages(nullptr, 1u << 30, "collapse");
    advise_huge_pages(at(page(0)), 0, "collapse");
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(has_hugepage_flag(page(i))) << "page " << i;
}

TEST(HugePagesOnStorage, AdviceAfterFillKeepsTheContents) {
    const std::uint64_t side = 1536;  // 9 MiB: several huge-page ranges
    MatrixStorage s;
    allocate_matrix(s, side, side);
    const int saved = problem.workers;
    const int W = usable_workers();
    pan_adapter::init_pool(W, 0);
    problem.workers = W;
    fill_params = FillParams{0x3F800000u, side, s.data, s.ld};
    pan_adapter::run_jobs(W, fill_rows_job);
    for (const char* mode : {"collapse", "off", "madvise", "collapse"})
        EXPECT_NO_THROW(advise_huge_pages(s.data, s.bytes, mode)) << mode;
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < side * side; ++i) wrong += s.data[i] != 1.0f;
    EXPECT_EQ(wrong, 0u);
    pan_adapter::shutdown();
    problem.workers = saved;
    fill_params = FillParams{};
    std::free(s.data);
}

}  // namespace
