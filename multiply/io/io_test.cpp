#include "multiply/io/io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Fixtures live in one fresh directory per test binary run.
const std::string& dir() {
    static const std::string d = [] {
        std::string tmpl = ::testing::TempDir() + "korvane_io_XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return tmpl;
    }();
    return d;
}

std::string at(const std::string& name) { return dir() + "/" + name; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs a Python program (numpy available) with the fixture directory as
// argv[1]; returns its exit status.
int python(const std::string& name, const std::string& code) {
    const std::string script = at(name + ".py");
    put(script, "import sys, os\nimport numpy as np\nfrom numpy.lib import format as F\nd = sys.argv[1]\n" + code);
    const std::string cmd = std::string(KORVANE_PYTHON) + " " + script + " " + dir();
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The runtime_error message of f, or a marker when it does not throw one.
std::string failure(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no runtime_error>";
}

std::string inspect_failure(const std::string& path, std::uint64_t hint = 0) {
    return failure([&] { io::inspect_input(path, hint); });
}

// A .npy file with the given major version, header text (taken as it
// stands) and data bytes; length_field overrides the stored header length.
std::string npy_bytes(int major, const std::string& header, const std::string& data,
                      std::int64_t length_field = -1) {
    const std::uint64_t len = length_field < 0 ? header.size() : static_cast<std::uint64_t>(length_field);
    std::string b = "\x93NUMPY";
    b += static_cast<char>(major);
    b += '\0';
    const int width = major == 1 ? 2 : 4;
    for (int i = 0; i < width; ++i) b += static_cast<char>((len >> (8 * i)) & 0xff);
    return b + header + data;
}

std::string shape_header(const std::string& shape) {
    return "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape + ", }\n";
}

constexpr std::uint32_t sentinel_bits = 0x7fc0beefu;

std::vector<float> sentinel_matrix(std::uint64_t n, std::uint64_t ld) {
    float s;
    std::memcpy(&s, &sentinel_bits, 4);
    return std::vector<float>(std::max<std::uint64_t>(n * ld, 1), s);
}

// Compares the leading n x n block of m (leading dimension ld) with the
// raw row-major bytes ref, and checks that the padding kept the sentinel.
void expect_block(const std::vector<float>& m, std::uint64_t n, std::uint64_t ld, const std::string& ref) {
    ASSERT_EQ(ref.size(), n * n * 4);
    for (std::uint64_t r = 0; r < n; ++r) {
        EXPECT_EQ(std::memcmp(m.data() + r * ld, ref.data() + r * n * 4, n * 4), 0) << "row " << r;
        for (std::uint64_t c = n; c < ld; ++c) {
            std::uint32_t bits;
            std::memcpy(&bits, &m[r * ld + c], 4);
            EXPECT_EQ(bits, sentinel_bits) << "padding at (" << r << ", " << c << ")";
        }
    }
}

class IoFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Every array is random bit patterns (NaNs and subnormals included),
        // so only a byte-exact transfer compares equal. Each x.npy has its
        // row-major bytes in x.ref.
        const int rc = python("fixtures", R"PY(
rng = np.random.default_rng(20261208)
def bits(n, m):
    return rng.integers(0, 2**32, size=(n, m), dtype=np.uint32).view(np.float32)
def keep(name, a, data):
    with open(os.path.join(d, name + '.npy'), 'wb') as f:
        f.write(data)
    a.tofile(os.path.join(d, name + '.ref'))
def saved(a, version=None):
    import io
    b = io.BytesIO()
    if version is None:
        np.save(b, a)
    else:
        F.write_array(b, a, version=version)
    return b.getvalue()
a = bits(5, 5); keep('v1', a, saved(a))
a = bits(13, 13); keep('v2', a, saved(a, (2, 0)))
a = bits(9, 9); keep('v3', a, saved(a, (3, 0)))
a = bits(1, 1); keep('one', a, saved(a))
a = bits(257, 257); keep('big', a, saved(a))
a = bits(6, 6); b = bytearray(saved(a)); b[7] = 7; keep('minor7', a, bytes(b))
# major version 0 takes the long form
a = bits(4, 4)
h = b"{'descr': '<f4', 'fortran_order': False, 'shape': (4, 4), }"
h = h + b' ' * (63 - (len(h) + 12) % 64) + b'\n'
keep('major0', a, b'\x93NUMPY\x00\x00' + len(h).to_bytes(4, 'little') + h + a.tobytes())
# '|f4' and a shape without blanks
a = bits(4, 4)
h = b"{'descr':'|f4','fortran_order': False,'shape':(4,4)}\n"
keep('pipe', a, b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h + a.tobytes())
np.save(os.path.join(d, 'fortran.npy'), np.asfortranarray(bits(4, 4)))
np.save(os.path.join(d, 'f64.npy'), np.zeros((3, 3)))
np.save(os.path.join(d, 'big_endian.npy'), np.zeros((3, 3), dtype='>f4'))
np.save(os.path.join(d, 'rect.npy'), np.zeros((3, 4), dtype=np.float32))
np.save(os.path.join(d, 'zero.npy'), np.zeros((0, 0), dtype=np.float32))
np.save(os.path.join(d, 'flat.npy'), np.zeros(16, dtype=np.float32))
b = saved(bits(4, 4))
open(os.path.join(d, 'short.npy'), 'wb').write(b[:-1])
open(os.path.join(d, 'long.npy'), 'wb').write(b + b'\0')
b = saved(bits(4, 4), (2, 0))
open(os.path.join(d, 'short_v2.npy'), 'wb').write(b[:-1])
# raw files, all written by numpy
bits(3, 3).tofile(os.path.join(d, 'raw36'))
bits(10, 1).tofile(os.path.join(d, 'raw40'))
open(os.path.join(d, 'empty'), 'wb').close()
a = bits(30, 30); a.tofile(os.path.join(d, 'raw900')); a.tofile(os.path.join(d, 'raw900.ref'))
bits(30 * 30 - 1, 1).tofile(os.path.join(d, 'raw899'))
a = bits(5, 5); a.tofile(os.path.join(d, 'upper.NPY')); a.tofile(os.path.join(d, 'upper.ref'))
# sources and np.save results for the writer
for n in (0, 1, 3, 8, 17, 130):
    a = bits(n, n)
    a.tofile(os.path.join(d, 'src%d.ref' % n))
    np.save(os.path.join(d, 'saved%d.npy' % n), a)
)PY");
        ASSERT_EQ(rc, 0) << "numpy fixtures";
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir()); }
};

TEST_F(IoFiles, ReadsNpyVersionsAndVariantsIntoPaddedRows) {
    struct Case {
        const char* name;
        std::uint64_t n;
        std::uint64_t offset;
    };
    // v1 files have a 10-byte prefix, every other major version a 12-byte one.
    const Case cases[] = {{"v1", 5, 128},     {"v2", 13, 128}, {"v3", 9, 128},      {"one", 1, 128},
                          {"big", 257, 128},  {"minor7", 6, 128}, {"major0", 4, 128}, {"pipe", 4, 10 + 53}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = at(std::string(c.name) + ".npy");
        const io::Info info = io::inspect_input(path, 999);  // the hint is for raw files only
        EXPECT_TRUE(info.npy);
        EXPECT_EQ(info.side, c.n);
        EXPECT_EQ(info.data_offset, c.offset);
        for (std::uint64_t ld : {c.n, c.n + 3}) {
            std::vector<float> m = sentinel_matrix(c.n, ld);
            io::read_matrix(path, info, m.data(), ld);
            expect_block(m, c.n, ld, slurp(at(std::string(c.name) + ".ref")));
        }
    }
}

TEST_F(IoFiles, RejectsNpyFilesItCannotTake) {
    const std::pair<const char*, const char*> cases[] = {
        {"fortran.npy", ": array must be in C (row-major) order"},
        {"f64.npy", ": dtype must be little-endian float32 ('<f4')"},
        {"big_endian.npy", ": dtype must be little-endian float32 ('<f4')"},
        {"rect.npy", ": shape must be a square (N, N)"},
        {"zero.npy", ": shape must be a square (N, N)"},
        {"flat.npy", ": shape must be a square (N, N)"},
        {"short.npy", ": size does not match its header"},
        {"long.npy", ": size does not match its header"},
        {"short_v2.npy", ": size does not match its header"},
    };
    for (const auto& [name, msg] : cases) {
        EXPECT_EQ(inspect_failure(at(name)), at(name) + msg);
    }

    const std::string missing = at("missing.npy");
    EXPECT_EQ(inspect_failure(missing), "cannot open " + missing);

    const std::string tiny = at("tiny.npy");
    put(tiny, "\x93NUMPY\x01");
    EXPECT_EQ(inspect_failure(tiny), tiny + ": not a .npy file");
    const std::string wrong = at("wrong_magic.npy");
    put(wrong, npy_bytes(1, shape_header("(1, 1)"), std::string(4, '\0')).replace(1, 1, "X"));
    EXPECT_EQ(inspect_failure(wrong), wrong + ": not a .npy file");

    // Long form with its length field cut short.
    const std::string cut = at("cut_length.npy");
    put(cut, std::string("\x93NUMPY\x02\x00\x10\x00\x00", 11));
    EXPECT_EQ(inspect_failure(cut), cut + ": truncated .npy header");

    const std::string spacing = at("spacing.npy");
    put(spacing, npy_bytes(1, "{'descr': '<f4', 'fortran_order':False, 'shape': (1, 1), }\n", std::string(4, '\0')));
    EXPECT_EQ(inspect_failure(spacing), spacing + ": array must be in C (row-major) order");
    const std::string noshape = at("noshape.npy");
    put(noshape, npy_bytes(1, "{'descr': '<f4', 'fortran_order': False, }\n", std::string(4, '\0')));
    EXPECT_EQ(inspect_failure(noshape), noshape + ": shape must be a square (N, N)");

    // The .npy suffix is exact: upper case is raw.
    const io::Info upper = io::inspect_input(at("upper.NPY"), 0);
    EXPECT_FALSE(upper.npy);
    EXPECT_EQ(upper.side, 5u);
    std::vector<float> m = sentinel_matrix(5, 5);
    io::read_matrix(at("upper.NPY"), upper, m.data(), 5);
    expect_block(m, 5, 5, slurp(at("upper.ref")));
}

// Runs body in a forked child whose address space may grow by only
// extra_bytes beyond its size at the fork; returns the child's exit code, or
// -100 - signal when it died. lift_cap() gives the child its room back.
rlimit saved_as_limit{};

void lift_cap() { ::setrlimit(RLIMIT_AS, &saved_as_limit); }

int in_capped_child(std::uint64_t extra_bytes, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        long pages = 0;
        {
            std::ifstream statm("/proc/self/statm");
            statm >> pages;
        }
        ::getrlimit(RLIMIT_AS, &saved_as_limit);
        rlimit cap = saved_as_limit;
        cap.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + extra_bytes;
        ::setrlimit(RLIMIT_AS, &cap);
        int rc = 3;
        try {
            rc = body();
        } catch (...) {
            rc = 3;
        }
        ::_exit(rc);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    if (!WIFEXITED(status)) return -100 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return WEXITSTATUS(status);
}

// A header length beyond the end of the file is refused before any of it is
// read: the length field alone must not decide how much memory is taken.
TEST_F(IoFiles, HeaderLengthBeyondTheFileIsTruncated) {
    const std::string h = shape_header("(1, 1)");
    const struct {
        const char* name;
        int major;
        std::int64_t length;
    } cases[] = {
        {"huge_v2.npy", 2, 0xFFFFFFF0},
        {"max_v3.npy", 3, 0xFFFFFFFF},
        {"long_v1.npy", 1, 0xFFFF},
        {"one_past_v1.npy", 1, static_cast<std::int64_t>(h.size() + 4 + 1)},
    };
    for (const auto& c : cases) {
        const std::string path = at(c.name);
        put(path, npy_bytes(c.major, h, std::string(4, '\0'), c.length));
        EXPECT_EQ(inspect_failure(path), path + ": truncated .npy header") << c.name;
        // With little memory to spare the answer is the same: no buffer of
        // the claimed length is ever made.
        const int rc = in_capped_child(64ull << 20, [&] {
            try {
                io::inspect_input(path, 0);
            } catch (const std::runtime_error& e) {
                return std::string(e.what()) == path + ": truncated .npy header" ? 0 : 2;
            } catch (const std::bad_alloc&) {
                return 4;
            }
            return 5;
        });
        EXPECT_EQ(rc, 0) << c.name;
    }
    // A length that ends exactly at the end of the file reads the header.
    const std::string exact = at("exact.npy");
    put(exact, npy_bytes(2, h, std::string(4, '\0'), static_cast<std::int64_t>(h.size() + 4)));
    EXPECT_EQ(inspect_failure(exact), exact + ": size does not match its header");
}

// Shapes whose byte count wraps around in 64 bits must not match a small file.
TEST_F(IoFiles, ShapesThatWrapDoNotMatchTheFileSize) {
    const struct {
        const char* name;
        const char* shape;
        std::size_t data;  // bytes that the wrapped count would ask for
    } cases[] = {
        {"wrap_2p32.npy", "(4294967296, 4294967296)", 0},  // N*N = 2^64
        {"wrap_2p31.npy", "(2147483648, 2147483648)", 0},  // N*N*4 = 2^64
        {"wrap_minus1.npy", "(-1, -1)", 4},                // (2^64-1)^2*4 = 4
        {"wrap_2p62.npy", "(4611686018427387904, 4611686018427387904)", 0},
    };
    for (const auto& c : cases) {
        const std::string path = at(c.name);
        put(path, npy_bytes(1, shape_header(c.shape), std::string(c.data, '\0')));
        EXPECT_EQ(inspect_failure(path), path + ": size does not match its header") << c.name;
    }

    // Raw files: a hint whose byte count wraps must not match the file.
    const std::string empty = at("empty");
    EXPECT_EQ(inspect_failure(empty, 1ull << 31), empty + ": raw file size is not N*N*4 bytes (give --n N)");
    EXPECT_EQ(inspect_failure(empty, 1ull << 32), empty + ": raw file size is not N*N*4 bytes (give --n N)");
    const std::string four = at("four_bytes");
    put(four, std::string(4, '\0'));
    EXPECT_EQ(inspect_failure(four, ~0ull), four + ": raw file size is not N*N*4 bytes (give --n N)");

    // A reader handed such a side does not start.
    io::Info forged{true, 128, 1ull << 31};
    float dummy = 0;
    EXPECT_EQ(failure([&] { io::read_matrix(empty, forged, &dummy, 1ull << 31); }), "read failed: " + empty);
}

TEST_F(IoFiles, RawFilesWithAndWithoutTheHint) {
    const std::string raw36 = at("raw36"), raw40 = at("raw40"), empty = at("empty");
    const std::string msg = ": raw file size is not N*N*4 bytes (give --n N)";

    io::Info i = io::inspect_input(raw36, 0);
    EXPECT_FALSE(i.npy);
    EXPECT_EQ(i.data_offset, 0u);
    EXPECT_EQ(i.side, 3u);
    EXPECT_EQ(io::inspect_input(raw36, 3).side, 3u);
    EXPECT_EQ(inspect_failure(raw36, 2), raw36 + msg);
    EXPECT_EQ(inspect_failure(raw40), raw40 + msg);
    EXPECT_EQ(inspect_failure(raw40, 3), raw40 + msg);
    EXPECT_EQ(inspect_failure(empty), empty + msg);
    EXPECT_EQ(inspect_failure(at("raw899")), at("raw899") + msg);
    EXPECT_EQ(inspect_failure(at("no_such_raw")), "cannot stat " + at("no_such_raw"));

    for (std::uint64_t hint : {0, 30}) {
        const io::Info r = io::inspect_input(at("raw900"), hint);
        ASSERT_EQ(r.side, 30u);
        std::vector<float> m = sentinel_matrix(30, 37);
        io::read_matrix(at("raw900"), r, m.data(), 37);
        expect_block(m, 30, 37, slurp(at("raw900.ref")));
    }

    // A raw file near a large perfect square: the root is found exactly.
    const std::string sq = at("raw_1023");
    put(sq, std::string(1023 * 1023 * 4, '\0'));
    EXPECT_EQ(io::inspect_input(sq, 0).side, 1023u);
    put(sq, std::string(1023 * 1023 * 4 + 4, '\0'));
    EXPECT_EQ(inspect_failure(sq), sq + msg);
}

TEST_F(IoFiles, ReadFailuresNameThePath) {
    const std::string gone = at("gone.npy");
    io::Info info{true, 128, 2};
    float m[4];
    EXPECT_EQ(failure([&] { io::read_matrix(gone, info, m, 2); }), "cannot open " + gone);

    // The file ends before the rows that the info promises.
    const std::string raw36 = at("raw36");
    io::Info more{false, 0, 4};
    std::vector<float> big(16);
    EXPECT_EQ(failure([&] { io::read_matrix(raw36, more, big.data(), 4); }), "read failed: " + raw36);
}

TEST_F(IoFiles, WrittenFilesEqualNumpysAndLoadBack) {
    for (std::uint64_t n : {0, 1, 3, 8, 17, 130}) {
        SCOPED_TRACE(n);
        const std::string ns = std::to_string(n);
        const std::string src_bytes = slurp(at("src" + ns + ".ref"));
        ASSERT_EQ(src_bytes.size(), n * n * 4);
        // The source has a wider leading dimension than the side.
        const std::uint64_t ld = n + 5;
        std::vector<float> src = sentinel_matrix(n, ld);
        for (std::uint64_t r = 0; r < n; ++r) std::memcpy(src.data() + r * ld, src_bytes.data() + r * n * 4, n * 4);

        io::write_matrix(at("out" + ns + ".npy"), src.data(), n, ld);
        io::write_matrix(at("out" + ns + ".raw"), src.data(), n, ld);
        const std::string written = slurp(at("out" + ns + ".npy"));
        EXPECT_EQ(written.size(), 128 + n * n * 4);
        EXPECT_TRUE(written == slurp(at("saved" + ns + ".npy"))) << "differs from np.save";
        EXPECT_TRUE(slurp(at("out" + ns + ".raw")) == src_bytes);

        if (n > 0) {  // and it reads back through our own reader
            const io::Info info = io::inspect_input(at("out" + ns + ".npy"), 0);
            EXPECT_EQ(info.side, n);
            EXPECT_EQ(info.data_offset, 128u);
            std::vector<float> back = sentinel_matrix(n, n + 2);
            io::read_matrix(at("out" + ns + ".npy"), info, back.data(), n + 2);
            expect_block(back, n, n + 2, src_bytes);
        }
    }
    // np.load gives back exactly the bits; raw output matches tofile.
    EXPECT_EQ(python("load_back", R"PY(
for n in (0, 1, 3, 8, 17, 130):
    ref = np.fromfile(os.path.join(d, 'src%d.ref' % n), dtype=np.uint32).reshape(n, n)
    got = np.load(os.path.join(d, 'out%d.npy' % n))
    assert got.dtype == np.float32 and got.shape == (n, n) and got.flags.c_contiguous, n
    assert np.array_equal(got.view(np.uint32), ref), n
    raw = np.fromfile(os.path.join(d, 'out%d.raw' % n), dtype=np.uint32)
    assert np.array_equal(raw, ref.ravel()), n
)PY"),
              0);

    // Overwriting a longer file truncates it.
    const std::string over = at("over.raw");
    put(over, std::string(1000, 'x'));
    const float one[1] = {1.0f};
    io::write_matrix(over, one, 1, 1);
    EXPECT_EQ(slurp(over), std::string("\x00\x00\x80\x3f", 4));
}

TEST_F(IoFiles, WriteFailures) {
    const std::string nodir = at("no_dir/c.npy");
    const float m[4] = {};
    EXPECT_EQ(failure([&] { io::write_matrix(nodir, m, 2, 2); }), "cannot create " + nodir);

    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // /dev/full refuses every write: the .npy prefix fails first, raw rows after.
    const std::string full_npy = at("full.npy"), full_raw = at("full.raw");
    ASSERT_EQ(::symlink("/dev/full", full_npy.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/full", full_raw.c_str()), 0);
    EXPECT_EQ(failure([&] { io::write_matrix(full_npy, m, 2, 2); }), "write failed");
    EXPECT_EQ(failure([&] { io::write_matrix(full_raw, m, 2, 2); }), "write failed: " + full_raw);
}

// Thread start-up failure: a child process caps its address space so that
// only some (or none) of the transfer threads get a stack. The transfer must
// then join the threads that did start and throw, never abort.
//
// Child exit codes: 0 = all threads ran, 10 + k = threw the expected message
// after k of the eight row ranges were transferred, 3 = anything else.
int transfer_under_limit(bool reading, std::uint64_t extra_bytes) {
    constexpr std::uint64_t n = 16;  // two rows per thread
    const std::string in = at("raw_limit_in"), out = at("raw_limit_out");
    return in_capped_child(extra_bytes, [&] {
        std::vector<float> m(n * n, 0.0f);
        if (!reading) {
            for (std::uint64_t i = 0; i < n * n; ++i) m[i] = static_cast<float>(i + 1);
            ::unlink(out.c_str());
        }
        const io::Info info{false, 0, n};
        std::string msg;
        try {
            if (reading)
                io::read_matrix(in, info, m.data(), n);
            else
                io::write_matrix(out, m.data(), n, n);
            return 0;
        } catch (const std::runtime_error& e) {
            msg = e.what();
        }
        lift_cap();
        if (msg != (reading ? "read failed: " + in : "write failed: " + out)) return 3;
        // Count the row ranges that arrived (each thread owns n/8 rows).
        std::vector<float> file(n * n, 0.0f);
        if (!reading) {
            std::ifstream f(out, std::ios::binary);
            f.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(n * n * 4));
        }
        const std::vector<float>& got = reading ? m : file;
        int ranges = 0;
        for (std::uint64_t t = 0; t < 8; ++t) {
            bool complete = true;
            for (std::uint64_t i = t * 2 * n; i < (t + 1) * 2 * n; ++i) complete &= got[i] == static_cast<float>(i + 1);
            ranges += complete;
        }
        return 10 + ranges;
    });
}

TEST_F(IoFiles, ThreadsThatFailToStartAreReportedNotFatal) {
    {
        std::vector<float> v(256);
        for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i + 1);
        io::write_matrix(at("raw_limit_in"), v.data(), 16, 16);
    }
    for (bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "read" : "write");
        std::set<int> outcomes;
        for (std::uint64_t mib = 0; mib <= 96; ++mib) {
            const int rc = transfer_under_limit(reading, mib << 20);
            ASSERT_TRUE(rc == 0 || (rc >= 10 && rc <= 17)) << "child ended with " << rc << " at +" << mib << " MiB";
            outcomes.insert(rc);
        }
        // Some limit let only part of the threads start, and enough room let all run.
        bool partial = false;
        for (int rc : outcomes) partial |= rc >= 11 && rc <= 17;
        EXPECT_TRUE(partial);
        EXPECT_TRUE(outcomes.count(0));
    }
}

}  // namespace
