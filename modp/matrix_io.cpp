#include "modp/matrix_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/common.h"
#include "common/npy_header.h"
#include "common/output_file.h"
#include "modp/pool.h"

namespace torvik {

namespace {

constexpr int kBandTasks = 256;

// Moves all `left` bytes at `off`, or returns false (error or end of file).
bool pread_full(int fd, unsigned char* p, std::size_t left, off_t off) {
    while (left > 0) {
        const ssize_t got = ::pread(fd, p, left, off);
        if (got <= 0) return false;
        p += got;
        left -= static_cast<std::size_t>(got);
        off += got;
    }
    return true;
}

// True when an n x n matrix of doubles has a byte count that fits in size_t;
// sides beyond that can never be held in memory.
bool side_fits_memory(std::uint64_t n) {
    std::uint64_t bytes;
    return square_matrix_bytes(n, sizeof(double), bytes) && bytes <= SIZE_MAX;
}

// Row band of task t out of 256: rows [(N*t) >> 8, (N*(t+1)) >> 8).
void band_rows(std::size_t n, int t, std::size_t& first, std::size_t& last) {
    unsigned __int128 nn = n;
    first = static_cast<std::size_t>((nn * static_cast<unsigned>(t)) >> 8);
    last = static_cast<std::size_t>((nn * static_cast<unsigned>(t + 1)) >> 8);
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

long residue_signed(std::int64_t x, long p) {
    long r = static_cast<long>(x % p);
    return r < 0 ? r + p : r;
}

// Converts one file row into residues; returns false (non-integer float64)
// when a value cannot be taken as an exact integer.
bool convert_row(const unsigned char* row, const Info& info, std::size_t n, double* out, long p) {
    switch (info.kind) {
        case 'i':
            if (info.elem_size == 4) {
                for (std::size_t j = 0; j < n; ++j) {
                    std::int32_t x;
                    std::memcpy(&x, row + 4 * j, 4);
                    out[j] = static_cast<double>(residue_signed(x, p));
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    std::int64_t x;
                    std::memcpy(&x, row + 8 * j, 8);
                    out[j] = static_cast<double>(residue_signed(x, p));
                }
            }
            return true;
        case 'u':
            if (info.elem_size == 2) {
                for (std::size_t j = 0; j < n; ++j) {
                    std::uint16_t x;
                    std::memcpy(&x, row + 2 * j, 2);
                    out[j] = static_cast<double>(static_cast<std::uint64_t>(x) %
                                                 static_cast<std::uint64_t>(p));
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    std::uint32_t x;
                    std::memcpy(&x, row + 4 * j, 4);
                    out[j] = static_cast<double>(static_cast<std::uint64_t>(x) %
                                                 static_cast<std::uint64_t>(p));
                }
            }
            return true;
        default:
            for (std::size_t j = 0; j < n; ++j) {
                double x;
                std::memcpy(&x, row + 8 * j, 8);
                // Written so that NaN fails every comparison and is refused.
                if (!(std::isfinite(x) && x == std::floor(x) && std::fabs(x) <= 9e15)) return false;
                out[j] = static_cast<double>(residue_signed(static_cast<std::int64_t>(x), p));
            }
            return true;
    }
}

}  // namespace

Info inspect_integer_input(const std::string& path, std::size_t n_hint) {
    Info info;
    if (is_npy_path(path)) {
        const NpyHeader header = read_npy_header(path, NpyShortLength::not_npy);
        static const struct {
            const char* text;
            char kind;
            std::size_t size;
        } kTypes[] = {{"<i4", 'i', 4}, {"<i8", 'i', 8}, {"<u2", 'u', 2},
                      {"<u4", 'u', 4}, {"<f8", 'f', 8}};
        std::string descr;
        const bool is_string = npy_string_literal(npy_header_dict(header).descr.value, descr);
        bool found = false;
        for (const auto& t : kTypes) {
            if (is_string && descr == t.text) {
                info.kind = t.kind;
                info.elem_size = t.size;
                found = true;
            }
        }
        if (!found)
            throw std::runtime_error(
                path + ": dtype must be int32, int64, uint16, uint32 or float64 (little-endian)");
        const std::uint64_t rows = npy_square_side(path, header);
        info.npy = true;
        info.data_offset = static_cast<std::size_t>(header.data_offset);
        info.n = rows;
        if (!side_fits_memory(rows) || !npy_size_matches(path, header, rows, info.elem_size))
            throw std::runtime_error(path + ": size does not match its header");
        return info;
    }

    const std::string raw_message = path + ": raw file size is not N*N*4 bytes (int32; give --n N)";
    std::uint64_t size = file_size(path);
    std::uint64_t n;
    if (n_hint != 0) {
        n = n_hint;
    } else {
        n = static_cast<std::uint64_t>(std::llround(std::sqrt(static_cast<double>(size / 4))));
    }
    std::uint64_t bytes;
    if (n == 0 || !square_matrix_bytes(n, 4, bytes) || bytes != size || !side_fits_memory(n))
        throw std::runtime_error(raw_message);
    info.npy = false;
    info.n = static_cast<std::size_t>(n);
    info.kind = 'i';
    info.elem_size = 4;
    info.data_offset = 0;
    return info;
}

void read_matrix(Pool& pool, const std::string& path, const Info& info, double* dst,
                 std::size_t ld, long p) {
    Fd file;
    file.fd = ::open(path.c_str(), O_RDONLY);
    if (file.fd < 0) throw std::runtime_error("cannot open " + path);
    const int fd = file.fd;
    const std::size_t n = info.n;
    const std::size_t row_bytes = n * info.elem_size;
    std::atomic<int> flag{0};

    // read_residue_rows: each task reads its row band; failures only set the flag.
    pool.run(kBandTasks, [&](int t, int) {
        try {
            std::size_t first, last;
            band_rows(n, t, first, last);
            if (first == last) return;
            std::vector<unsigned char> row(row_bytes, 0);
            for (std::size_t i = first; i < last; ++i) {
                if (!pread_full(fd, row.data(), row_bytes,
                                static_cast<off_t>(info.data_offset + i * row_bytes))) {
                    flag.exchange(1);
                    return;
                }
                if (!convert_row(row.data(), info, n, dst + i * ld, p)) {
                    flag.exchange(2);
                    return;
                }
            }
        } catch (const std::bad_alloc&) {
            flag.exchange(3);  // the row buffer could not be allocated
        } catch (...) {
            flag.exchange(1);
        }
    });

    ::close(file.release());
    int f = flag.load();
    if (f == 3) throw std::bad_alloc();
    if (f == 2) throw std::runtime_error(path + ": float64 input contains non-integer values");
    if (f != 0) throw std::runtime_error("read failed: " + path);
}

void write_matrix(Pool& pool, const std::string& path, const double* src, std::size_t ld,
                  std::size_t n) {
    OutputFile out(path);
    write_matrix(pool, out, src, ld, n);
}

void write_matrix(Pool& pool, OutputFile& out, const double* src, std::size_t ld, std::size_t n) {
    const std::string& path = out.path();
    const std::string header = is_npy_path(path) ? npy_square_header("<i4", n) : std::string();
    // The rows go to a new file that replaces the target only when complete.
    const int fd = out.fd();
    if (out.sequential()) {
        // A pipe or the like: the header, then every row in order, from this thread.
        bool ok = write_full(fd, header.data(), header.size());
        std::vector<std::int32_t> row(n);  // std::bad_alloc: a memory shortage, the new file removed
        for (std::size_t i = 0; ok && i < n; ++i) {
            const double* s = src + i * ld;
            for (std::size_t j = 0; j < n; ++j) row[j] = static_cast<std::int32_t>(s[j]);
            ok = write_full(fd, reinterpret_cast<const char*>(row.data()), n * 4);
        }
        if (!ok || !out.commit()) throw std::runtime_error("write failed: " + path);
        return;
    }
    std::uint64_t bytes = 0;
    if (!__builtin_mul_overflow(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(n) * 4, &bytes) &&
        !__builtin_add_overflow(bytes, static_cast<std::uint64_t>(header.size()), &bytes))
        out.reserve(bytes);
    if (!pwrite_full(fd, header.data(), header.size(), 0)) throw std::runtime_error("write failed: " + path);
    const std::size_t row_bytes = n * 4;
    const std::size_t data_offset = header.size();
    std::atomic<int> flag{0};

    // write_int32_rows: each task converts and writes its row band.
    pool.run(kBandTasks, [&](int t, int) {
        try {
            std::size_t first, last;
            band_rows(n, t, first, last);
            if (first == last) return;
            std::vector<std::int32_t> row(n);
            for (std::size_t i = first; i < last; ++i) {
                const double* s = src + i * ld;
                for (std::size_t j = 0; j < n; ++j) row[j] = static_cast<std::int32_t>(s[j]);
                if (!pwrite_full(fd, reinterpret_cast<const char*>(row.data()), row_bytes,
                                 static_cast<off_t>(data_offset + i * row_bytes))) {
                    flag.exchange(1);
                    return;
                }
            }
        } catch (const std::bad_alloc&) {
            flag.exchange(3);  // the row buffer could not be allocated
        } catch (...) {
            flag.exchange(1);
        }
    });

    if (flag.load() == 3) throw std::bad_alloc();
    if (flag.load() != 0 || !out.commit())
        throw std::runtime_error("write failed: " + path);
}

}  // namespace torvik
