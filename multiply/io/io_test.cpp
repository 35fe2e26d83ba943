#include "multiply/io/io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/testing/test_support.h"

namespace {

// Fixtures live in one fresh directory per test binary run.
const std::string dir = ::testing::TempDir() + "korvane_io_" + std::to_string(::getpid());

std::string at(const std::string& name) { return dir + "/" + name; }


std::string inspect_failure(const std::string& path, std::uint64_t hint = 0) {
    return message_of<std::runtime_error>([&] { io::inspect_input(path, hint); });
}

// A .npy file with the given major version, header text (taken as it
// stands) and data bytes; length_field overrides the stored header length.
std::string npy_bytes(int major, const std::string& header, const std::string& data, std::int64_t length_field = -1) {
    const std::uint64_t len = length_field < 0 ? header.size() : std::uint64_t(length_field);
    std::string b = "\x93NUMPY" + std::string{char(major), '\0'};
    for (int i = 0; i < (major == 1 ? 2 : 4); ++i) b += char((len >> (8 * i)) & 0xff);
    return b + header + data;
}

std::string shape_header(const std::string& shape) {
    return "{'descr': '<f4', 'fortran_order': False, 'shape': " + shape + ", }\n";
}

const std::string raw_size_msg = ": raw file size is not N*N*4 bytes (give --n N)";

// Reads path into a block with leading dimension ld whose bytes start as
// 0xa5, then compares each row with the raw row-major bytes ref followed by
// untouched padding.
void read_and_expect(const std::string& path, const io::Info& info, std::uint64_t ld, const std::string& ref) {
    const std::uint64_t n = info.side;
    ASSERT_EQ(ref.size(), n * n * 4);
    std::vector<float> block(n * ld);
    char* m = reinterpret_cast<char*>(block.data());
    std::memset(m, 0xa5, n * ld * 4);
    io::read_matrix(path, info, block.data(), ld);
    const std::string pad((ld - n) * 4, '\xa5');
    for (std::uint64_t r = 0; r < n; ++r)
        EXPECT_TRUE(std::string(m + r * ld * 4, ld * 4) == ref.substr(r * n * 4, n * 4) + pad) << "row " << r;
}

class IoFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Every array is random bit patterns (NaNs and subnormals included),
        // so only a byte-exact transfer compares equal. Each x.npy has its
        // row-major bytes in x.ref.
        std::filesystem::remove_all(dir);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        run_python(dir, R"PY(import io
from numpy.lib import format as F
d = '.'
rng = np.random.default_rng(20261208)
def bits(n, m):
    return rng.integers(0, 2**32, size=(n, m), dtype=np.uint32).view(np.float32)
def put(name, data):
    open(os.path.join(d, name), 'wb').write(data)
def keep(name, a, data):
    put(name + '.npy', data)
    a.tofile(os.path.join(d, name + '.ref'))
def saved(a, version=None):
    b = io.BytesIO()
    F.write_array(b, a, version=version)
    return b.getvalue()
for name, n, version in (('v1', 5, None), ('v2', 13, (2, 0)), ('v3', 9, (3, 0)), ('one', 1, None), ('big', 257, None)):
    a = bits(n, n); keep(name, a, saved(a, version))
# Hand-made headers: '|f4' and a shape without blanks.
for name, major, h in (('pipe', 1, b"{'descr':'|f4','fortran_order': False,'shape':(4,4)}\n"),
                       # Entries in another order, one of them given first with a value
                       # whose text looks like entries.
                       ('extra', 1, b"{'shape': (4, 4), 'descr': (\"a}, 'shape': (9, 9)\", ['\\'', {'descr': '<f8'}]), "
                                    b"'fortran_order': False, 'descr': '<f4'}\n")):
    a = bits(4, 4)
    length = len(h).to_bytes(2 if major == 1 else 4, 'little')
    keep(name, a, b'\x93NUMPY' + bytes([major, 0]) + length + h + a.tobytes())
# Headers made by hand around 4 x 4 data: each named 'ok_*' numpy reads as
# that matrix (blanks, tabs, line breaks and form feeds wherever Python's
# literal syntax allows them, trailing commas), every other one numpy refuses
# or reads as something else (versions other than 1.0, 2.0 and 3.0, text
# after the dictionary, a third dimension, a dimension that is no integer or
# has leading zeros, a key beside the three, a text longer than numpy's limit
# of 10 000 characters).
def hand(name, version, h):
    a = bits(4, 4)
    h = h.encode('utf8' if version[0] == 3 else 'latin1')
    length = len(h).to_bytes(2 if version[0] == 1 else 4, 'little')
    keep(name, a, b'\x93NUMPY' + bytes(version) + length + h + a.tobytes())
    try:
        back = np.load(os.path.join(d, name + '.npy'))
        taken = back.shape == (4, 4) and back.dtype == np.float32 and back.tobytes() == a.tobytes()
    except Exception:  # ValueError, or the tokenizer's own error
        taken = False
    assert taken == name.startswith('ok_'), name
numpy_header = "{'descr': '<f4', 'fortran_order': False, 'shape': (4, 4), }"
# 10 000 characters in 13 000 bytes of UTF-8, the euros in a value that the
# second 'descr' replaces.
wide_header = "{'descr': '" + '\u20ac' * 1500 + "', " + numpy_header[1:]
for name, version, h in (
        ('ok_tight', (1, 0), "{'descr':'<f4','fortran_order':False,'shape':(4,4)}"),
        ('ok_loose', (2, 0), "{ 'descr' : '<f4' ,\t'fortran_order'\t:\tFalse ,\n 'shape' : ( + 4 , 4 , ) , }  \n"),
        ('ok_lines', (3, 0), "\r\n{\n'descr':\f'<f4',\r'fortran_order':\r\nFalse,'shape':(\n4,\n4\n)\n}\t\f\r\n"),
        ('major0', (0, 0), numpy_header + '\n'), ('major4', (4, 0), numpy_header + '\n'),
        ('major9', (9, 0), numpy_header + '\n'), ('v3_minor1', (3, 1), numpy_header + '\n'),
        ('text_after', (1, 0), numpy_header + ' x\n'), ('brace_after', (1, 0), numpy_header + '}\n'),
        ('nul_after', (1, 0), numpy_header + '\0'), ('vtab_after', (1, 0), numpy_header + '\v\n'),
        ('vtab_inside', (1, 0), numpy_header.replace(", 'f", ",\v'f") + '\n'),
        ('three_dims', (1, 0), numpy_header.replace('4)', '4, 1)') + '\n'),
        ('three_dims_2', (1, 0), numpy_header.replace('4)', '4, 2)') + '\n'),
        ('float_dim', (1, 0), numpy_header.replace('4)', '4.0)') + '\n'),
        ('two_commas', (1, 0), numpy_header.replace('4)', '4,,)') + '\n'),
        ('zero_led', (1, 0), numpy_header.replace('(4, 4)', '(04, 04)') + '\n'),
        ('zero_led_2', (2, 0), numpy_header.replace('(4, 4)', '(4, 004)') + '\n'),
        ('fourth_key', (1, 0), numpy_header.replace('}', "'x': 1}") + '\n'),
        ('escaped_key', (1, 0), numpy_header.replace("'descr'", "'\\descr'") + '\n'),
        ('ok_longest', (3, 0), numpy_header.ljust(9999) + '\n'),
        ('over_limit', (1, 0), numpy_header.ljust(10000) + '\n'),
        ('ok_wide', (3, 0), wide_header.ljust(9999) + '\n'),
        ('over_limit_wide', (3, 0), wide_header.ljust(10000) + '\n'),
        # Keys and string values in either quote, with escapes.
        ('ok_quotes', (1, 0), '{"descr": "<f4", "fortran_order": False, "shape": (4, 4)}\n'),
        ('ok_escapes', (2, 0),
         "{'\\x64escr': '\\x3cf4', \"fortran_\\\r\norder\": False, 'sh\\U00000061pe': (4, 4)}\n")):
    hand(name, version, h)
a = bits(6, 6); b = bytearray(saved(a)); b[7] = 7; keep('minor7', a, bytes(b))
try:
    np.load(os.path.join(d, 'minor7.npy'))
    assert False, 'minor7'
except ValueError:
    pass
for name, a in (('fortran', np.asfortranarray(bits(4, 4))), ('f64', np.zeros((3, 3))),
                ('big_endian', np.zeros((3, 3), '>f4')), ('rect', np.zeros((3, 4), 'f4')),
                ('zero', np.zeros((0, 0), 'f4')), ('flat', np.zeros(16, 'f4'))):
    np.save(os.path.join(d, name + '.npy'), a)
# A Fortran-order array whose one field is named like the C-order entry.
trick = np.asfortranarray(bits(4, 4).view([("'fortran_order': False", '<f4')]).reshape(4, 4))
assert trick.flags.f_contiguous and not trick.flags.c_contiguous
np.save(os.path.join(d, 'field_named_c_order.npy'), trick)
b = saved(bits(4, 4)); put('short.npy', b[:-1]); put('long.npy', b + b'\0')
put('short_v2.npy', saved(bits(4, 4), (2, 0))[:-1])
# raw files, all written by numpy
for name, n, m in (('raw36', 3, 3), ('raw40', 10, 1), ('empty', 0, 0), ('raw900', 30, 30), ('upper.NPY', 5, 5)):
    bits(n, m).tofile(os.path.join(d, name))
# sources and np.save results for the writer
for n in (0, 1, 17, 130):
    a = bits(n, n); a.tofile(os.path.join(d, 'src%d.ref' % n)); np.save(os.path.join(d, 'saved%d.npy' % n), a)
)PY");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }
};

TEST_F(IoFiles, ReadsNpyVersionsAndVariantsIntoPaddedRows) {
    // v1 files have a 10-byte prefix, v2 and v3 files a 12-byte one.
    const struct { const char* name; std::uint64_t n, offset; } cases[] = {
        {"v1", 5, 128},    {"v2", 13, 128},    {"v3", 9, 128},     {"one", 1, 128},
        {"big", 257, 128}, {"pipe", 4, 10 + 53}, {"extra", 4, 10 + 118},
        {"ok_tight", 4, 10 + 51}, {"ok_loose", 4, 12 + 77}, {"ok_lines", 4, 12 + 66}, {"ok_longest", 4, 12 + 10000},
        {"ok_wide", 4, 12 + 13000}, {"ok_quotes", 4, 10 + 58}, {"ok_escapes", 4, 12 + 76}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = at(std::string(c.name) + ".npy"), ref = read_file(at(std::string(c.name) + ".ref"));
        const io::Info info = io::inspect_input(path, 999);  // the hint is for raw files only
        EXPECT_TRUE(info.npy && info.side == c.n && info.data_offset == c.offset);
        for (std::uint64_t ld : {c.n, c.n + 3}) read_and_expect(path, info, ld, ref);
    }
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
        std::ifstream("/proc/self/statm") >> pages;
        ::getrlimit(RLIMIT_AS, &saved_as_limit);
        rlimit cap = saved_as_limit;
        cap.rlim_cur = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + extra_bytes;
        ::setrlimit(RLIMIT_AS, &cap);
        int rc = 3;
        try { rc = body(); } catch (...) {}
        ::_exit(rc);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST_F(IoFiles, RejectsNpyFilesItCannotTake) {
    const std::string data(4, '\0');
    const char *order = ": array must be in C (row-major) order", *square = ": shape must be a square (N, N)",
               *dtype = ": dtype must be little-endian float32 ('<f4')", *size = ": size does not match its header";
    // Sparse files whose length fields (1 GiB) claim a header longer than
    // 10 000 characters can be, and which hold that many bytes.
    for (const auto& [name, major] : {std::pair{"sparse_v2.npy", 2}, {"sparse_v3.npy", 3}}) {
        write_file(at(name), npy_bytes(major, shape_header("(4, 4)"), "", std::int64_t{1} << 30));
        ASSERT_EQ(::truncate(at(name).c_str(), 12 + (off_t{1} << 30) + 64), 0);
    }
    // Files without bytes here were written by numpy.
    const struct { const char* name; std::string bytes; const char* msg; } cases[] = {
        {"fortran.npy", "", order}, {"f64.npy", "", dtype},   {"big_endian.npy", "", dtype},
        {"rect.npy", "", square},   {"zero.npy", "", square}, {"flat.npy", "", square},
        {"short.npy", "", size},    {"long.npy", "", size},   {"short_v2.npy", "", size},
        {"tiny.npy", "\x93NUMPY\x01", ": not a .npy file"},
        {"wrong_magic.npy", npy_bytes(1, shape_header("(1, 1)"), data).replace(1, 1, "X"), ": not a .npy file"},
        // Long form with its length field cut short.
        {"cut_length.npy", std::string("\x93NUMPY\x02\x00\x10\x00\x00", 11), ": truncated .npy header"},
        // Versions other than 1.0, 2.0 and 3.0.
        {"major0.npy", "", ": not a .npy file"}, {"major4.npy", "", ": not a .npy file"},
        {"major9.npy", "", ": not a .npy file"}, {"minor7.npy", "", ": not a .npy file"},
        {"v3_minor1.npy", "", ": not a .npy file"},
        // Anything but blanks after the dictionary, or a blank that Python
        // does not take, makes the header no dictionary literal.
        {"text_after.npy", "", dtype}, {"brace_after.npy", "", dtype}, {"nul_after.npy", "", dtype},
        {"vtab_after.npy", "", dtype}, {"vtab_inside.npy", "", dtype},
        // Exactly two integer dimensions.
        {"three_dims.npy", "", square}, {"three_dims_2.npy", "", square}, {"float_dim.npy", "", square},
        {"two_commas.npy", "", square}, {"zero_led.npy", "", square}, {"zero_led_2.npy", "", square},
        // Keys beside the three, a text beyond numpy's limit.
        {"fourth_key.npy", "", dtype}, {"escaped_key.npy", "", dtype}, {"over_limit.npy", "", dtype},
        {"over_limit_wide.npy", "", dtype}, {"sparse_v2.npy", "", dtype}, {"sparse_v3.npy", "", dtype},
        // A negative dimension that would wrap around to 64.
        {"negative_64.npy", npy_bytes(1, shape_header("(-18446744073709551552, 64)"), std::string(64 * 64 * 4, '\0')),
         square},
        {"noshape.npy", npy_bytes(1, "{'descr': '<f4', 'fortran_order': False, }\n", data), square},
        // Only the dictionary's own entries count, never text inside a value:
        // a structured dtype (numpy's file, Fortran order) whose field name
        // reads like the C-order entry, and hand-made look-alikes.
        {"field_named_c_order.npy", "", dtype},
        {"order_in_a_string.npy",
         npy_bytes(1, "{'descr': \"'fortran_order': False\", 'descr': '<f4', 'fortran_order': True, 'shape': (1, 1)}\n",
                   data),
         order},
        {"order_given_twice.npy",
         npy_bytes(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (1, 1), 'fortran_order': True}\n", data), order},
        {"dtype_in_a_tuple.npy",
         npy_bytes(1, "{'descr': '<f8', 'shape': ('<f4',), 'fortran_order': False, 'shape': (1, 1)}\n", data), dtype},
        {"shape_in_a_list.npy",
         npy_bytes(1, "{'descr': '<f4', 'fortran_order': ['shape', \"'shape': (1, 1)\"], 'fortran_order': False}\n", data),
         square},
        {"not_a_dict.npy", npy_bytes(1, "'descr': '<f4', 'fortran_order': False, 'shape': (1, 1)\n", data), dtype},
    };
    for (const auto& c : cases) {
        if (!c.bytes.empty()) write_file(at(c.name), c.bytes);
        EXPECT_EQ(inspect_failure(at(c.name)), at(c.name) + c.msg);
    }
    EXPECT_EQ(inspect_failure(at("missing.npy")), "cannot open " + at("missing.npy"));
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "the rest sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory "
                    "cannot run under";
#endif
    // The sparse files' text is never read: 64 MiB of address space to spare do.
    for (const char* name : {"sparse_v2.npy", "sparse_v3.npy"}) {
        const int rc =
            in_capped_child(64ull << 20, [&] { return inspect_failure(at(name)) == at(name) + dtype ? 0 : 2; });
        EXPECT_EQ(rc, 0) << name;
    }
}

// A header length beyond the end of the file is refused before any of it is
// read: the length field alone must not decide how much memory is taken.
TEST_F(IoFiles, HeaderLengthBeyondTheFileIsTruncated) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory cannot run under";
#endif
    const std::string h = shape_header("(1, 1)");
    const struct { const char* name; int major; std::int64_t length; } cases[] = {
        {"huge_v2.npy", 2, 0xFFFFFFF0}, {"max_v3.npy", 3, 0xFFFFFFFF}, {"long_v1.npy", 1, 0xFFFF},
        {"one_past_v1.npy", 1, std::int64_t(h.size() + 4 + 1)},
    };
    for (const auto& c : cases) {
        const std::string path = at(c.name), msg = path + ": truncated .npy header";
        write_file(path, npy_bytes(c.major, h, std::string(4, '\0'), c.length));
        EXPECT_EQ(inspect_failure(path), msg) << c.name;
        // With little memory to spare the answer is the same: no buffer of
        // the claimed length is ever made.
        const int rc = in_capped_child(64ull << 20, [&] {
            try { io::inspect_input(path, 0); } catch (const std::runtime_error& e) { return e.what() == msg ? 0 : 2; }
            return 5;
        });
        EXPECT_EQ(rc, 0) << c.name;
    }
    // A length that ends exactly at the end of the file reads the header
    // (the four bytes after the dictionary count as its padding).
    const std::string exact = at("exact.npy");
    write_file(exact, npy_bytes(2, h, std::string(4, ' '), std::int64_t(h.size() + 4)));
    EXPECT_EQ(inspect_failure(exact), exact + ": size does not match its header");
}

// Shapes whose byte count wraps around in 64 bits must not match a small file.
TEST_F(IoFiles, ShapesThatWrapDoNotMatchTheFileSize) {
    // data: the bytes that the wrapped count would ask for
    const struct { const char* name; const char* shape; std::size_t data; } cases[] = {
        {"wrap_2p32.npy", "(4294967296, 4294967296)", 0},  // N*N = 2^64
        {"wrap_2p31.npy", "(2147483648, 2147483648)", 0},  // N*N*4 = 2^64
        {"wrap_minus1.npy", "(-1, - 1)", 4},               // (2^64-1)^2*4 = 4
        {"wrap_minus_2p64.npy", "(-18446744073709551616, -18446744073709551616)", 4},  // 2^64-1 each
        {"wrap_2p62.npy", "(4611686018427387904, 4611686018427387904)", 0},
        {"wrap_minus_to_64.npy", "(-18446744073709551552, -18446744073709551552)", 64 * 64 * 4},  // 64 each
    };
    for (const auto& c : cases) {
        const std::string path = at(c.name);
        write_file(path, npy_bytes(1, shape_header(c.shape), std::string(c.data, '\0')));
        EXPECT_EQ(inspect_failure(path), path + ": size does not match its header") << c.name;
    }

    // Raw files: a hint whose byte count wraps must not match the file.
    const std::string empty = at("empty"), four = at("four_bytes");
    write_file(four, std::string(4, '\0'));
    for (const auto& [path, hint] : {std::pair{empty, 1ull << 31}, {empty, 1ull << 32}, {four, ~0ull}})
        EXPECT_EQ(inspect_failure(path, hint), path + raw_size_msg) << hint;

    // A reader handed such a side does not start.
    float dummy = 0;
    EXPECT_EQ(message_of<std::runtime_error>(
                  [&] { io::read_matrix(empty, io::Info{true, 128, 1ull << 31}, &dummy, 1ull << 31); }),
              "read failed: " + empty);
}

TEST_F(IoFiles, RawFilesWithAndWithoutTheHint) {
    const std::string raw36 = at("raw36"), raw40 = at("raw40");
    for (const auto& [path, hint] : {std::pair{raw36, 2}, {raw40, 0}, {raw40, 3}, {at("empty"), 0}})
        EXPECT_EQ(inspect_failure(path, hint), path + raw_size_msg);
    EXPECT_EQ(inspect_failure(at("no_such_raw")), "cannot stat " + at("no_such_raw"));

    // Padded reads with and without the hint; the .npy suffix is exact, so
    // an upper-case one is raw.
    const struct { const char* name; std::uint64_t n, hint; } reads[] = {
        {"raw36", 3, 0}, {"raw36", 3, 3}, {"raw900", 30, 0}, {"raw900", 30, 30}, {"upper.NPY", 5, 0}};
    for (const auto& c : reads) {
        SCOPED_TRACE(c.name);
        const io::Info r = io::inspect_input(at(c.name), c.hint);
        EXPECT_TRUE(!r.npy && r.data_offset == 0);
        ASSERT_EQ(r.side, c.n);
        read_and_expect(at(c.name), r, c.n + 7, read_file(at(c.name)));
    }
}

TEST_F(IoFiles, TransferFailuresNameThePath) {
    const std::string gone = at("gone.npy"), raw36 = at("raw36"), nodir = at("no_dir/c.npy");
    std::vector<float> m(16);
    EXPECT_EQ(message_of<std::runtime_error>([&] { io::read_matrix(gone, io::Info{true, 128, 2}, m.data(), 2); }),
              "cannot open " + gone);
    // The file ends before the rows that the info promises.
    EXPECT_EQ(message_of<std::runtime_error>([&] { io::read_matrix(raw36, io::Info{false, 0, 4}, m.data(), 4); }),
              "read failed: " + raw36);
    EXPECT_EQ(message_of<std::runtime_error>([&] { io::write_matrix(nodir, m.data(), 2, 2); }),
              "cannot create " + nodir);

    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // /dev/full refuses every write: the .npy prefix fails first, raw rows after.
    const std::string full_npy = at("full.npy"), full_raw = at("full.raw");
    ASSERT_EQ(::symlink("/dev/full", full_npy.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/full", full_raw.c_str()), 0);
    EXPECT_EQ(message_of<std::runtime_error>([&] { io::write_matrix(full_npy, m.data(), 2, 2); }),
              "write failed: " + full_npy);
    EXPECT_EQ(message_of<std::runtime_error>([&] { io::write_matrix(full_raw, m.data(), 2, 2); }),
              "write failed: " + full_raw);
}

// Names in path's directory that begin with path's file name: the file
// itself and anything a writer left beside it.
std::set<std::string> names_beside(const std::string& path) {
    const std::filesystem::path p(path);
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(p.parent_path()))
        if (e.path().filename().string().rfind(p.filename().string(), 0) == 0) names.insert(e.path().filename());
    return names;
}

// Runs body in a forked child in which no file may grow beyond limit bytes;
// returns the child's exit code, or -100 - signal. The writer itself must
// keep SIGXFSZ from ending the child, so that the write fails as a write.
int in_child_with_file_limit(std::uint64_t limit, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        rlimit lim{};
        ::getrlimit(RLIMIT_FSIZE, &lim);
        lim.rlim_cur = limit;
        int rc = ::setrlimit(RLIMIT_FSIZE, &lim) == 0 ? 3 : 4;
        if (rc == 3) try { rc = body(); } catch (...) {}
        ::_exit(rc);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// A write that fails part-way (here: the file may not grow past a limit, as
// on a full disk) must leave the file it was to replace as it was, even when
// that file is one of the inputs, and nothing beside it; a successful write
// leaves exactly the target, which keeps its permission bits and, behind a
// symbolic link, its link.
TEST_F(IoFiles, FailedWritesLeaveTheTargetAsItWas) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets a file size limit with setrlimit";
#endif
    constexpr std::uint64_t n = 64;
    std::vector<float> m(n * n);
    std::iota(m.begin(), m.end(), 0.5f);
    const std::string old_bytes = read_file(at("v1.npy"));
    // limit: how far the new file may grow; the .npy prefix alone is 128 bytes.
    const struct { const char* name; std::uint64_t limit; bool exists; } cases[] = {
        {"keep.npy", 64, true},  {"keep.npy", 4096, true}, {"keep.raw", 4096, true},
        {"keep.raw", 0, true},   {"new.npy", 4096, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " limit " + std::to_string(c.limit));
        const std::string target = at(c.name), failure = "write failed: " + target;
        ::unlink(target.c_str());
        if (c.exists) write_file(target, old_bytes);
        const int rc = in_child_with_file_limit(c.limit, [&] {
            return message_of<std::runtime_error>([&] { io::write_matrix(target, m.data(), n, n); }) == failure ? 0 : 5;
        });
        EXPECT_EQ(rc, 0);
        if (c.exists) {
            EXPECT_TRUE(read_file(target) == old_bytes);
            EXPECT_EQ(names_beside(target), std::set<std::string>{c.name});
        } else {
            EXPECT_TRUE(names_beside(target).empty());
        }
    }

    // Success: only the target, which replaced the earlier file (whose
    // permission bits it keeps); through a link the linked file is replaced.
    const std::string target = at("keep.npy"), link = at("keep_link.npy");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& path : {target, link}) {
        write_file(target, old_bytes);
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        io::write_matrix(path, m.data(), n, n);
        EXPECT_EQ(read_file(target).size(), 128 + n * n * 4) << path;
        EXPECT_EQ(names_beside(target), std::set<std::string>{"keep.npy"}) << path;
        struct stat st {};
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << path;
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
    }
    ::unlink(link.c_str());
}

// What write() delivers to a pipe that `link`, a symbolic link, names, read
// by a reader that lets the pipe's buffer fill up before it reads; "failed: "
// and the message when the write throws.
std::string written_to_pipe(const std::string& link, const std::function<void()>& write) {
    int ends[2];
    if (::pipe(ends) != 0) return "no pipe";
    ::unlink(link.c_str());
    if (::symlink(("/dev/fd/" + std::to_string(ends[1])).c_str(), link.c_str()) != 0) return "no link";
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        int queued = 0;
        while (!done.load() && (::ioctl(ends[0], FIONREAD, &queued) != 0 || queued == 0))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int ms = 0; ms < 100 && !done.load(); ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        char buf[65536];
        for (ssize_t k; (k = ::read(ends[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(k));
    });
    std::string failure;
    try {
        write();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    done.store(true);
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    ::unlink(link.c_str());
    return failure.empty() ? got : "failed: " + failure;
}

TEST_F(IoFiles, WrittenFilesEqualNumpysBytes) {
    // Largest first into the same paths: each write must also cut the longer
    // file it replaces. A pipe gets the same bytes, in order, however long
    // its reader makes it wait (side 130: more than its 64 KiB buffer).
    for (std::uint64_t n : {130, 17, 1, 0}) {
        SCOPED_TRACE(n);
        const std::string src_bytes = read_file(at("src" + std::to_string(n) + ".ref"));
        ASSERT_EQ(src_bytes.size(), n * n * 4);
        // Sources with a wider leading dimension than the side (rows move one
        // by one) and without one (each thread's rows move as one span).
        for (std::uint64_t ld : {n + 5, n}) {
            std::vector<float> src(std::max<std::uint64_t>(n * ld, 1), -7.0f);
            for (std::uint64_t r = 0; r < n; ++r)
                std::memcpy(src.data() + r * ld, src_bytes.data() + r * n * 4, n * 4);
            io::write_matrix(at("out.npy"), src.data(), n, ld);
            io::write_matrix(at("out.raw"), src.data(), n, ld);
            EXPECT_TRUE(read_file(at("out.npy")) == read_file(at("saved" + std::to_string(n) + ".npy")))
                << "differs from np.save, ld " << ld;
            EXPECT_TRUE(read_file(at("out.raw")) == src_bytes) << "ld " << ld;
            for (const char* name : {"pipe.npy", "pipe.raw"}) {
                const std::string piped =
                    written_to_pipe(at(name), [&] { io::write_matrix(at(name), src.data(), n, ld); });
                EXPECT_TRUE(piped == read_file(at(std::string("out") + (name + 4)))) << name << ", ld " << ld << ": "
                                                                                    << piped.substr(0, 100);
            }
        }
    }
}

// Thread start-up failure: a child process caps its address space so that
// only some (or none) of the transfer threads get a stack. The transfer must
// then join the threads that did start and throw std::bad_alloc (a memory
// shortage), never abort; a write that fails so leaves the file it was to
// replace as it was.
TEST_F(IoFiles, ThreadsThatFailToStartAreReportedNotFatal) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory cannot run under";
#endif
    constexpr std::uint64_t n = 16;  // two rows per thread
    const std::string in = at("raw_limit_in"), out = at("raw_limit_out");
    std::vector<float> v(n * n);
    std::iota(v.begin(), v.end(), 1.0f);
    io::write_matrix(in, v.data(), n, n);
    const std::string earlier_out(100, 'x');
    // Child exit codes: 0 = all threads ran, 10 + k = threw the expected
    // message after k of the eight row ranges were read, 10 = a write threw
    // the expected message and left the earlier file alone, 3 = anything else.
    auto body = [&](bool reading) {
        std::vector<float> m(n * n, 0.0f);
        if (!reading) std::iota(m.begin(), m.end(), 1.0f);
        const std::string msg = message_of<std::exception>([&] {
            reading ? io::read_matrix(in, io::Info{false, 0, n}, m.data(), n) : io::write_matrix(out, m.data(), n, n);
        });
        if (msg == "(no exception)") return 0;
        lift_cap();
        if (msg != std::bad_alloc().what()) return 3;
        if (!reading)
            return read_file(out) == earlier_out && names_beside(out) == std::set<std::string>{"raw_limit_out"} ? 10 : 3;
        int ranges = 0;  // row ranges that arrived whole
        for (std::uint64_t t = 0; t < 8; ++t) {
            bool whole = true;
            for (std::uint64_t i = t * 2 * n; i < (t + 1) * 2 * n; ++i) whole &= m[i] == float(i + 1);
            ranges += whole;
        }
        return 10 + ranges;
    };
    for (bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "read" : "write");
        std::set<int> outcomes;
        for (std::uint64_t mib = 0; mib <= 96; ++mib) {
            if (!reading) write_file(out, earlier_out);
            const int rc = in_capped_child(mib << 20, [&] { return body(reading); });
            ASSERT_TRUE(rc == 0 || (rc >= 10 && rc <= (reading ? 17 : 10)))
                << "child ended with " << rc << " at +" << mib << " MiB";
            outcomes.insert(rc);
        }
        // Enough room let all threads run; for reads some limit let only part of them start.
        EXPECT_TRUE(outcomes.count(0));
        if (reading) EXPECT_TRUE(outcomes.lower_bound(11) != outcomes.end() && *outcomes.lower_bound(11) <= 17);
        else EXPECT_TRUE(outcomes.count(10));
    }
}

}  // namespace
