#include "multiply/io/io.h"

#include "common/common.h"
#include "common/npy_header.h"
#include "common/output_file.h"
#include "common/pinned_thread.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace io {
namespace {

constexpr std::uint64_t max_file_offset =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// offset + n*n*4, or false when it does not fit in a file offset.
bool transfer_end(std::uint64_t offset, std::uint64_t n, std::uint64_t& end) {
    std::uint64_t bytes = 0;
    return square_matrix_bytes(n, 4, bytes) && !__builtin_add_overflow(offset, bytes, &end) &&
           end <= max_file_offset;
}

// Runs body(t, tr) on the transfer threads and joins every thread that
// started. Returns false when some thread could not be started; the threads
// that did start have then still finished their rows. A thread that could
// not start for want of memory throws std::bad_alloc, after the joins.
bool run_transfer(void (*body)(int, Transfer&) noexcept, Transfer& tr) {
    std::array<std::thread, transfer_threads> threads;
    bool all_started = true, shortage = false;
    for (int t = 0; t < transfer_threads; ++t) {
        try {
            threads[t] = std::thread(body, t, std::ref(tr));
        } catch (const std::system_error& e) {
            all_started = false;
            shortage = is_thread_start_shortage(e);
            break;
        } catch (...) {
            all_started = false;
            break;
        }
    }
    for (auto& th : threads)
        if (th.joinable()) th.join();
    if (shortage) throw std::bad_alloc();
    return all_started;
}

void row_range(int t, std::uint64_t n, std::uint64_t& lo, std::uint64_t& hi) {
    lo = static_cast<std::uint64_t>(t) * n / transfer_threads;
    hi = static_cast<std::uint64_t>(t + 1) * n / transfer_threads;
}

}  // namespace

Info parse_npy_header(const std::string& path) {
    const NpyHeader header = read_npy_header(path, NpyShortLength::truncated_header);
    std::string descr;
    if (!npy_string_literal(npy_header_dict(header).descr.value, descr) || (descr != "<f4" && descr != "|f4"))
        throw std::runtime_error(path + ": dtype must be little-endian float32 ('<f4')");
    Info info;
    info.npy = true;
    info.data_offset = header.data_offset;
    info.side = npy_square_side(path, header);
    // A matching size is a file size, so the end of the data is a valid offset.
    if (!npy_size_matches(path, header, info.side, 4))
        throw std::runtime_error(path + ": size does not match its header");
    return info;
}

Info inspect_input(const std::string& path, std::uint64_t side_hint) {
    if (is_npy_path(path)) return parse_npy_header(path);

    const std::uint64_t size = file_size(path);
    Info info;
    info.npy = false;
    info.data_offset = 0;

    std::uint64_t n = side_hint;
    if (n == 0) {
        const double x = static_cast<double>(size / 4);
        n = static_cast<std::uint64_t>(std::llround(std::sqrt(x)));
        std::uint64_t bytes = 0;
        while (n > 0 && (!square_matrix_bytes(n, 4, bytes) || bytes > size)) --n;
    }
    std::uint64_t bytes = 0;
    if (n == 0 || !square_matrix_bytes(n, 4, bytes) || bytes != size)
        throw std::runtime_error(path + ": raw file size is not N*N*4 bytes (give --n N)");
    info.side = n;
    return info;
}

namespace {

// Moves all `left` bytes at `off`, or returns false (error or end of file).
bool pread_full(int fd, char* p, std::uint64_t left, std::uint64_t off) {
    while (left > 0) {
        const ssize_t got = ::pread(fd, p, left, static_cast<off_t>(off));
        if (got <= 0) return false;
        p += got;
        left -= static_cast<std::uint64_t>(got);
        off += static_cast<std::uint64_t>(got);
    }
    return true;
}

// Moves rows [lo, hi) of thread t with `move` (pread_full or pwrite_full
// shaped). Without padding (ld == n) consecutive rows touch in memory as in
// the file, so the whole share goes in one call: one long transfer costs the
// file system far less than one call per row.
template <class Move>
bool move_rows(int t, const Transfer& tr, Move move) {
    std::uint64_t lo = 0, hi = 0;
    row_range(t, tr.n, lo, hi);
    const std::uint64_t row_bytes = tr.n * 4;
    if (lo < hi && tr.ld == tr.n) return move(lo * tr.ld, (hi - lo) * row_bytes, tr.offset + lo * row_bytes);
    for (std::uint64_t r = lo; r < hi; ++r)
        if (!move(r * tr.ld, row_bytes, tr.offset + r * row_bytes)) return false;
    return true;
}

}  // namespace

void read_rows(int t, Transfer& tr) noexcept {
    try {
        const bool ok = move_rows(t, tr, [&](std::uint64_t element, std::uint64_t bytes, std::uint64_t off) {
            return pread_full(tr.fd, reinterpret_cast<char*>(tr.dst + element), bytes, off);
        });
        if (!ok) tr.failed.exchange(1);
    } catch (...) {
        tr.failed.exchange(1);
    }
}

void write_rows(int t, Transfer& tr) noexcept {
    try {
        const bool ok = move_rows(t, tr, [&](std::uint64_t element, std::uint64_t bytes, std::uint64_t off) {
            return pwrite_full(tr.fd, reinterpret_cast<const char*>(tr.src + element), bytes, off);
        });
        if (!ok) tr.failed.exchange(1);
    } catch (...) {
        tr.failed.exchange(1);
    }
}

void read_matrix(const std::string& path, const Info& info, float* dst, std::uint64_t ld) {
    // Rows of different threads must not overlap in memory, and every file
    // offset must be representable.
    if (info.side > 0 && ld < info.side) throw std::invalid_argument("io::read_matrix: ld is smaller than the side");
    std::uint64_t end = 0;
    if (!transfer_end(info.data_offset, info.side, end)) throw std::runtime_error("read failed: " + path);

    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);

    Transfer tr;
    tr.fd = fd;
    tr.n = info.side;
    tr.ld = ld;
    tr.offset = info.data_offset;
    tr.dst = dst;
    tr.failed.store(0);
    const bool started = run_transfer(&read_rows, tr);
    ::close(fd);
    if (!started || tr.failed.load() != 0) throw std::runtime_error("read failed: " + path);
}

void write_matrix(const std::string& path, const float* src, std::uint64_t n, std::uint64_t ld) {
    OutputFile out(path);
    write_matrix(out, src, n, ld);
}

void write_matrix(OutputFile& out, const float* src, std::uint64_t n, std::uint64_t ld) {
    const std::string& path = out.path();
    if (n > 0 && ld < n) throw std::invalid_argument("io::write_matrix: ld is smaller than the side");
    const std::string prefix = is_npy_path(path) ? npy_square_header("<f4", n) : std::string();
    std::uint64_t end = 0;
    if (!transfer_end(prefix.size(), n, end)) throw std::runtime_error("write failed: " + path);

    // The rows go to a new file that replaces the target only when complete.
    if (out.sequential()) {
        // A pipe or the like: the prefix, then every row in order, from this thread.
        bool ok = write_full(out.fd(), prefix.data(), prefix.size());
        for (std::uint64_t r = 0; ok && r < n; ++r)
            ok = write_full(out.fd(), reinterpret_cast<const char*>(src + r * ld), n * 4);
        if (!ok || !out.commit()) throw std::runtime_error("write failed: " + path);
        return;
    }
    out.reserve(end);
    if (!pwrite_full(out.fd(), prefix.data(), prefix.size(), 0)) throw std::runtime_error("write failed: " + path);

    Transfer tr;
    tr.fd = out.fd();
    tr.n = n;
    tr.ld = ld;
    tr.offset = prefix.size();
    tr.src = src;
    tr.failed.store(0);
    const bool started = run_transfer(&write_rows, tr);
    if (!started || tr.failed.load() != 0 || !out.commit()) throw std::runtime_error("write failed: " + path);
}

}  // namespace io
