#include "multiply/method/matrix_storage.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cpus.h"
#include "common/testing/test_support.h"
#include "multiply/method/problem.h"
#include "multiply/pan_adapter/pool.h"

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(MatrixStorage, AllocationIsAlignedAndRoundedUpAndAFailureLeavesAnEmptyRecord) {
    // Byte counts worked out by hand: rows*cols*4 rounded up to 64.
    const struct { std::uint64_t rows, cols, bytes; } shapes[] = {
        {1, 1, 64}, {1, 16, 64}, {1, 17, 128}, {7, 9, 256}, {33, 31, 4096}, {1, 2147483647, 8589934592},
    };
    MatrixStorage s;
    for (const auto& sh : shapes) {
        allocate_matrix(s, sh.rows, sh.cols);
        ASSERT_NE(s.data, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.data) % 64, 0u) << sh.rows << "x" << sh.cols;
        EXPECT_EQ(s.bytes, sh.bytes) << sh.rows << "x" << sh.cols;
        EXPECT_EQ(s.ld, sh.cols);
        if (s.bytes <= (1u << 20)) std::memset(s.data, 0x5a, s.bytes);  // the whole block is usable
    }
    // 2^64 - 64 bytes: a valid extent that no allocator can satisfy.
    EXPECT_THROW(allocate_matrix(s, (kMax / 4) - 15, 1), std::bad_alloc);
    EXPECT_TRUE(s.data == nullptr && s.bytes == 0 && s.ld == 0);
    // The record is usable again afterwards.
    allocate_matrix(s, 2, 2);
    EXPECT_TRUE(s.data != nullptr && s.bytes == 64);
    std::free(s.data);
}

TEST(MatrixStorage, BadExtentsAreRefusedAndTheOldBlockKept) {
    const std::uint64_t rows_limit_1 = (kMax / 1) / 4;  // 2^62 - 1
    const std::uint64_t rows_limit_3 = (kMax / 3) / 4;
    const struct { std::uint64_t rows, cols; } bad[] = {
        {0, 5}, {5, 0}, {0, 0}, {1, 2147483648u}, {1, kMax}, {rows_limit_1 + 1, 1}, {kMax, 2}, {rows_limit_3 + 1, 3},
        // rows*cols*4 fits 64 bits but rounding it up to 64 bytes would wrap
        // (to 0 or to a few bytes): refused as well.
        {rows_limit_1, 1},       // 2^64 - 4
        {rows_limit_1 - 14, 1},  // 2^64 - 60
        {rows_limit_3, 3},       // 2^64 - 4
    };
    MatrixStorage s;
    allocate_matrix(s, 3, 5);
    float* held = s.data;
    held[0] = 1.5f;
    for (const auto& e : bad) {
        EXPECT_EQ(message_of<std::runtime_error>([&] { allocate_matrix(s, e.rows, e.cols); }), "invalid matrix extent")
            << e.rows << "x" << e.cols;
        EXPECT_TRUE(s.data == held && s.bytes == 64 && s.ld == 5) << e.rows << "x" << e.cols;
    }
    EXPECT_EQ(held[0], 1.5f);
    std::free(s.data);
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
    // (extra rows below, extra columns right), optionally advises huge pages
    // afterwards, and checks every element: the first filled_rows rows of the
    // block hold the pattern, everything else the sentinel.
    void fill_and_check(int jobs, int workers, std::uint64_t side, std::uint32_t pattern, std::uint64_t extra_rows,
                        std::uint64_t extra_cols, std::uint64_t filled_rows, const char* advice = "") {
        const std::uint64_t rows = side + extra_rows, cols = side + extra_cols;
        MatrixStorage s;
        allocate_matrix(s, rows, cols);
        const std::uint32_t sentinel = 0xA5A5A5A5u;
        std::memset(s.data, 0xA5, rows * cols * 4);
        fill_params = FillParams{pattern, side, s.data, s.ld};
        problem.workers = workers;
        pan_adapter::run_jobs(jobs, fill_rows_job);
        advise_huge_pages(s.data, s.bytes, advice);
        std::uint64_t wrong = 0;
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t c = 0; c < cols; ++c) {
                std::uint32_t b;
                std::memcpy(&b, s.data + r * cols + c, 4);
                wrong += b != (r < filled_rows && c < side ? pattern : sentinel);
            }
        EXPECT_EQ(wrong, 0u) << "jobs " << jobs << " workers " << workers << " side " << side << " pattern "
                             << std::hex << pattern << " advice '" << advice << "'";
        std::free(s.data);
    }

    int saved_workers_ = 0;
};

TEST_F(FillRows, EachPoolSizeFillsExactlyTheRequestedBlock) {
    // Patterns that a float copy could alter: signalling NaN and -0.0.
    const std::uint32_t patterns[] = {0u, 0x7F800001u, 0x80000000u};
    for (int W = 1; W <= test_workers(); ++W) {
        pan_adapter::init_pool(W, 0);
        // With extra columns every row is filled on its own; without them a
        // worker's rows are one span, which must stop at the block's last row.
        for (std::uint64_t side : {1, 7, 8, 65, 333})
            for (std::uint32_t pattern : patterns)
                for (std::uint64_t extra_cols : {5, 0}) fill_and_check(W, W, side, pattern, 3, extra_cols, side);
        pan_adapter::shutdown();
    }
    // Huge-page advice after the fill keeps the contents (9 MiB: several huge-page ranges).
    pan_adapter::init_pool(test_workers(), 0);
    fill_and_check(test_workers(), test_workers(), 1536, 0x3F800000u, 0, 0, 1536, "collapse");
}

TEST_F(FillRows, JobsBeyondTheWorkerCountWriteNothing) {
    pan_adapter::init_pool(test_workers(), 0);
    // 64 jobs over side 10: ten jobs own one row each, the rest own nothing.
    fill_and_check(64, 64, 10, 0x7FC00000u, 2, 6, 10);
    fill_and_check(64, 64, 1, 0u, 4, 1, 1);
    // Eight jobs while the record says three workers: jobs 3..7 own no rows
    // and must not spill into the rows below the block.
    fill_and_check(8, 3, 9, 0x3F800000u, 11, 2, 9);
    // A worker count of zero fills nothing (and does not divide by zero).
    fill_and_check(4, 0, 9, 0x3F800000u, 1, 1, 0);
}

// First touch of an input block: a fresh mapping (every page still absent),
// sentinel-filled bytes in its second half. Afterwards every page the block
// reaches is resident, and every element of the block outside the kept part
// is zero; the columns beyond the side and the rows below keep their bytes.
TEST_F(FillRows, TouchReachesEveryPageAndZeroesAllButTheKeptBlock) {
    const long page = sysconf(_SC_PAGESIZE);
    const int W = test_workers();
    pan_adapter::init_pool(W, 0);
    problem.workers = W;
    const struct { std::uint64_t side, kept, ld; } cases[] = {
        {1024, 1024, 1024},  // no padding: touches only, one span per worker
        {1000, 1000, 1000},  // the same with uneven shares
        {1024, 1000, 1024},  // padding rows and columns to zero
        {700, 650, 1100},    // rows wider than the side; kept rows end mid-page
        {300, 0, 300},       // nothing kept: a plain zero fill
    };
    for (const auto& c : cases) {
        const std::uint64_t rows = c.side + 2, bytes = rows * c.ld * 4;
        const std::size_t map_bytes = (bytes + page - 1) / page * page;
        void* base = mmap(nullptr, map_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(base, MAP_FAILED);
        // Small pages only, so that residency shows exactly which pages were touched.
        madvise(base, map_bytes, MADV_NOHUGEPAGE);
        auto* m = static_cast<float*>(base);
        touch_params = TouchParams{c.side, c.kept, m, c.ld};
        pan_adapter::run_jobs(W, touch_rows_job);
        std::vector<unsigned char> resident(map_bytes / page);
        ASSERT_EQ(mincore(base, map_bytes, resident.data()), 0);
        // The block ends inside row side - 1; pages past it stay untouched.
        const std::uint64_t block_end = ((c.side - 1) * c.ld + c.side) * 4;
        std::uint64_t missing = 0, extra = 0;
        for (std::size_t i = 0; i < resident.size(); ++i) {
            const bool reached = i * page < block_end;
            missing += reached && !(resident[i] & 1);
            extra += !reached && (resident[i] & 1);
        }
        EXPECT_EQ(missing, 0u) << "side " << c.side << " kept " << c.kept << " ld " << c.ld;
        EXPECT_EQ(extra, 0u) << "side " << c.side << " kept " << c.kept << " ld " << c.ld;

        // Again over sentinel bytes (an allocator may hand out used memory).
        std::memset(base, 0xA5, bytes);
        pan_adapter::run_jobs(W, touch_rows_job);
        std::uint64_t wrong = 0;
        for (std::uint64_t r = 0; r < rows; ++r)
            for (std::uint64_t col = 0; col < c.ld; ++col) {
                std::uint32_t b;
                std::memcpy(&b, m + r * c.ld + col, 4);
                if (r < c.kept && col < c.kept) continue;  // left to the caller
                wrong += b != (r < c.side && col < c.side ? 0u : 0xA5A5A5A5u);
            }
        EXPECT_EQ(wrong, 0u) << "side " << c.side << " kept " << c.kept << " ld " << c.ld;
        munmap(base, map_bytes);
    }
}

// Whether the VMA of this process that contains addr carries MADV_HUGEPAGE
// ("hg" among its VmFlags in /proc/self/smaps).
bool has_hugepage_flag(std::uintptr_t addr) {
    std::ifstream in("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        unsigned long a = 0, b = 0;
        char c = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %c", &a, &b, &c) == 3) inside = addr >= a && addr < b;
        if (inside && line.rfind("VmFlags:", 0) == 0) return (line.substr(8) + " ").find(" hg ") != std::string::npos;
    }
    return false;
}

TEST(HugePages, AdviceCoversOnlyWholePagesInsideTheBlock) {
    void* base = mmap(nullptr, 4 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(base, MAP_FAILED);
    std::memset(base, 0, 4 * 4096);
    auto page = [&](int i) { return reinterpret_cast<std::uintptr_t>(base) + 4096u * i; };
    auto at = [](std::uintptr_t a) { return reinterpret_cast<float*>(a); };

    // Small blocks, other modes and empty ranges get no advice.
    advise_huge_pages(at(page(0) + 64), 4000, "collapse");  // less than one whole page
    advise_huge_pages(at(page(1) + 64), 4096, "collapse");  // straddles, no whole page
    for (const char* mode : {"off", "Collapse", ""}) advise_huge_pages(at(page(2)), 8192, mode);
    advise_huge_pages(nullptr, 1u << 30, "collapse");
    advise_huge_pages(at(page(0)), 0, "collapse");
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(has_hugepage_flag(page(i))) << "page " << i;

    // 10000 bytes starting 64 bytes past a page boundary: one whole page lies
    // inside, the second page of the mapping, and only it is advised.
    advise_huge_pages(at(page(0) + 64), 10000, "collapse");
    const bool marked = has_hugepage_flag(page(1));
    for (int i = 0; marked && i < 4; ++i) EXPECT_EQ(has_hugepage_flag(page(i)), i == 1) << "page " << i;
    munmap(base, 4 * 4096);
    if (!marked) GTEST_SKIP() << "kernel does not mark MADV_HUGEPAGE areas";

    // The request made before a first touch covers the same pages, under the same mode.
    base = mmap(nullptr, 4 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(base, MAP_FAILED);
    request_huge_pages(at(page(0) + 64), 4000, "collapse");
    for (const char* mode : {"off", "Collapse", ""}) request_huge_pages(at(page(2)), 8192, mode);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(has_hugepage_flag(page(i))) << "page " << i;
    request_huge_pages(at(page(0) + 64), 10000, "collapse");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(has_hugepage_flag(page(i)), i == 1) << "page " << i;
    munmap(base, 4 * 4096);
}

}  // namespace
