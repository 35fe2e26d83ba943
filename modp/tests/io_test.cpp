// Inspection, reading and writing of integer matrix files; numpy writes the
// fixtures and reads the written files back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "modp/matrix_io.h"
#include "modp/pool.h"
#include "modp/tests/test_util.h"

namespace {

using modp_test::read_file;
using modp_test::run_python;
using modp_test::write_file;

class ModpMatrixFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pool_ = new torvik::Pool;
        pool_->start(4, 0);
    }
    static void TearDownTestSuite() {
        pool_->stop();
        delete pool_;
    }
    void SetUp() override { dir_ = modp_test::make_temp_dir(); }
    void TearDown() override { modp_test::remove_dir(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Expects inspect_integer_input to throw exactly message.
    void expect_refused(const std::string& file, size_t hint, const std::string& message) {
        try {
            torvik::inspect_integer_input(file, hint);
            ADD_FAILURE() << file << " was accepted, expected: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }

    // Reads file (side n) into a padded matrix of residues mod p.
    std::vector<double> read(const std::string& file, size_t n, long p, size_t ld) {
        torvik::Info info = torvik::inspect_integer_input(file, 0);
        EXPECT_EQ(info.n, n);
        std::vector<double> m(n * ld, -1.0);
        torvik::read_matrix(*pool_, file, info, m.data(), ld, p);
        return m;
    }

    static torvik::Pool* pool_;
    std::string dir_;
};
torvik::Pool* ModpMatrixFiles::pool_ = nullptr;

TEST_F(ModpMatrixFiles, EveryAcceptedTypeReadsAsResidues) {
    // Each fixture holds values whose residues numpy computes independently.
    run_python(dir_, R"(
r = np.random.default_rng(5)
p = 1000003
n = 37
vals = {
  'i4': r.integers(-2**31, 2**31, (n, n), dtype=np.int64).astype('<i4'),
  'i8': r.integers(-2**63, 2**63 - 1, (n, n), dtype=np.int64).astype('<i8'),
  'u2': r.integers(0, 2**16, (n, n)).astype('<u2'),
  'u4': r.integers(0, 2**32, (n, n), dtype=np.uint64).astype('<u4'),
  'f8': r.integers(-9 * 10**15, 9 * 10**15, (n, n), dtype=np.int64).astype('<f8'),
}
vals['i4'][0, :3] = [-2**31, 2**31 - 1, -1]
vals['i8'][0, :3] = [-2**63, 2**63 - 1, -1]
vals['u4'][0, :2] = [0, 2**32 - 1]
vals['f8'][0, :4] = [9e15, -9e15, -1.0, 0.0]
for k, v in vals.items():
    np.save(k + '.npy', v)
    exact = [[int(x) % p for x in row] for row in v.tolist()]
    np.save(k + '_res.npy', np.array(exact, dtype=np.int64))
)");
    const size_t n = 37, ld = 45;
    for (const char* kind : {"i4", "i8", "u2", "u4", "f8"}) {
        std::vector<double> got = read(path(std::string(kind) + ".npy"), n, 1000003, ld);
        // The residue fixture is an int64 .npy with a version-1 header.
        const std::string res = read_file(path(std::string(kind) + "_res.npy"));
        const size_t off = 10 + (static_cast<unsigned char>(res[8]) | (static_cast<unsigned char>(res[9]) << 8));
        size_t wrong = 0;
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < n; ++j) {
                std::int64_t want;
                std::memcpy(&want, res.data() + off + (i * n + j) * 8, 8);
                if (got[i * ld + j] != static_cast<double>(want)) ++wrong;
            }
            for (size_t j = n; j < ld; ++j) EXPECT_EQ(got[i * ld + j], -1.0);  // untouched
        }
        EXPECT_EQ(wrong, 0u) << kind;
    }
}

TEST_F(ModpMatrixFiles, InspectionOfHeaders) {
    run_python(dir_, R"(
np.save('v1.npy', np.full((3, 3), -1, dtype='<i8'))
np.lib.format.write_array(open('v2.npy', 'wb'), np.arange(16, dtype='<u2').reshape(4, 4), version=(2, 0))
)");
    torvik::Info v1 = torvik::inspect_integer_input(path("v1.npy"), 99);  // hint ignored
    EXPECT_TRUE(v1.npy);
    EXPECT_EQ(v1.n, 3u);
    EXPECT_EQ(v1.kind, 'i');
    EXPECT_EQ(v1.elem_size, 8u);
    EXPECT_EQ(v1.data_offset % 64, 0u);
    std::vector<double> m = read(path("v1.npy"), 3, 7, 3);
    for (double x : m) EXPECT_EQ(x, 6.0);  // -1 mod 7

    torvik::Info v2 = torvik::inspect_integer_input(path("v2.npy"), 0);
    EXPECT_EQ(v2.kind, 'u');
    EXPECT_EQ(v2.elem_size, 2u);
    EXPECT_EQ(v2.data_offset, read_file(path("v2.npy")).size() - 32);
    std::vector<double> m2 = read(path("v2.npy"), 4, 5, 4);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(m2[i], static_cast<double>(i % 5));
}

TEST_F(ModpMatrixFiles, RefusedFiles) {
    run_python(dir_, R"(
n = 4
np.save('be.npy', np.zeros((n, n), dtype='>i4'))
np.save('u1.npy', np.zeros((n, n), dtype='|u1'))
np.save('f4.npy', np.zeros((n, n), dtype='<f4'))
np.save('fortran.npy', np.asfortranarray(np.arange(16, dtype='<i4').reshape(4, 4)))
np.save('rect.npy', np.zeros((3, 4), dtype='<i4'))
np.save('vec.npy', np.zeros(16, dtype='<i4'))
np.save('empty.npy', np.zeros((0, 0), dtype='<i4'))
a = np.zeros((n, n), dtype='<i4')
np.save('short.npy', a)
open('short.npy', 'r+b').truncate(len(open('short.npy', 'rb').read()) - 4)
np.save('long.npy', a)
open('long.npy', 'ab').write(b'1234')
open('magic.npy', 'wb').write(b'\x93NUMPX\x01\x00\x10\x00' + b' ' * 16)
open('tiny.npy', 'wb').write(b'\x93NUM')
open('trunc.npy', 'wb').write(b'\x93NUMPY\x01\x00\x00\x01' + b'{}')
def crafted(name, header, data=b''):
    h = header.encode()
    open(name, 'wb').write(b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h + data)
# N*N*8 wraps to 0 in 64 bits: N = 2^32 (and 2^31 with elem_size 4 wraps to 2^64 -> 0).
crafted('wrap8.npy', "{'descr': '<i8', 'fortran_order': False, 'shape': (4294967296, 4294967296), }")
crafted('wrap4.npy', "{'descr': '<i4', 'fortran_order': False, 'shape': (2147483648, 2147483648), }")
crafted('neg.npy', "{'descr': '<i4', 'fortran_order': False, 'shape': (-1, -1), }")
crafted('noshape.npy', "{'descr': '<i4', 'fortran_order': False, }")
open('raw20.bin', 'wb').write(b'\0' * 20)
open('raw16.bin', 'wb').write(b'\0' * 16)
open('raw0.bin', 'wb').write(b'')
)");
    const std::string dtype = ": dtype must be int32, int64, uint16, uint32 or float64 (little-endian)";
    expect_refused(path("be.npy"), 0, path("be.npy") + dtype);
    expect_refused(path("u1.npy"), 0, path("u1.npy") + dtype);
    expect_refused(path("f4.npy"), 0, path("f4.npy") + dtype);
    expect_refused(path("fortran.npy"), 0, path("fortran.npy") + ": array must be in C (row-major) order");
    expect_refused(path("rect.npy"), 0, path("rect.npy") + ": shape must be a square (N, N)");
    expect_refused(path("vec.npy"), 0, path("vec.npy") + ": shape must be a square (N, N)");
    expect_refused(path("empty.npy"), 0, path("empty.npy") + ": shape must be a square (N, N)");
    expect_refused(path("noshape.npy"), 0, path("noshape.npy") + ": shape must be a square (N, N)");
    expect_refused(path("short.npy"), 0, path("short.npy") + ": size does not match its header");
    expect_refused(path("long.npy"), 0, path("long.npy") + ": size does not match its header");
    expect_refused(path("wrap8.npy"), 0, path("wrap8.npy") + ": size does not match its header");
    expect_refused(path("wrap4.npy"), 0, path("wrap4.npy") + ": size does not match its header");
    expect_refused(path("neg.npy"), 0, path("neg.npy") + ": size does not match its header");
    expect_refused(path("magic.npy"), 0, path("magic.npy") + ": not a .npy file");
    expect_refused(path("tiny.npy"), 0, path("tiny.npy") + ": not a .npy file");
    expect_refused(path("trunc.npy"), 0, path("trunc.npy") + ": truncated .npy header");
    expect_refused(path("missing.npy"), 0, "cannot open " + path("missing.npy"));
    expect_refused(path("missing.bin"), 0, "cannot stat " + path("missing.bin"));

    const std::string raw = ": raw file size is not N*N*4 bytes (int32; give --n N)";
    expect_refused(path("raw20.bin"), 0, path("raw20.bin") + raw);
    expect_refused(path("raw0.bin"), 0, path("raw0.bin") + raw);
    expect_refused(path("raw16.bin"), 3, path("raw16.bin") + raw);
    // N*N*4 wraps to 0 for N = 2^31 and to 16 for N = 2^62 + 2: an empty or
    // 16-byte file must not pass as such a matrix.
    expect_refused(path("raw0.bin"), size_t{1} << 31, path("raw0.bin") + raw);
    expect_refused(path("raw16.bin"), (size_t{1} << 62) + 2, path("raw16.bin") + raw);
    EXPECT_EQ(torvik::inspect_integer_input(path("raw16.bin"), 0).n, 2u);
    EXPECT_EQ(torvik::inspect_integer_input(path("raw16.bin"), 2).n, 2u);
    EXPECT_FALSE(torvik::inspect_integer_input(path("raw16.bin"), 2).npy);
}

TEST_F(ModpMatrixFiles, Float64MustHoldIntegers) {
    run_python(dir_, R"(
base = np.arange(16, dtype='<f8').reshape(4, 4)
bad = {'half': 3.5, 'nan': float('nan'), 'inf': float('inf'), 'ninf': -float('inf'),
       'big': 1e16, 'above': np.nextafter(9e15, 1e17), 'tiny': 5e-324}
for k, v in bad.items():
    a = base.copy(); a[3, 3] = v; np.save(k + '.npy', a)
ok = base.copy(); ok[0, 0] = 9e15; ok[0, 1] = -9e15; ok[0, 2] = 3.0; ok[0, 3] = -0.0
np.save('ok.npy', ok)
)");
    for (const char* k : {"half", "nan", "inf", "ninf", "big", "above", "tiny"}) {
        const std::string f = path(std::string(k) + ".npy");
        torvik::Info info = torvik::inspect_integer_input(f, 0);
        std::vector<double> m(16);
        try {
            torvik::read_matrix(*pool_, f, info, m.data(), 4, 1000);
            ADD_FAILURE() << k << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), f + ": float64 input contains non-integer values") << k;
        }
    }
    std::vector<double> m = read(path("ok.npy"), 4, 1000, 4);
    EXPECT_EQ(m[0], 0.0);   // 9e15 mod 1000
    EXPECT_EQ(m[1], 0.0);
    EXPECT_EQ(m[2], 3.0);
    EXPECT_EQ(m[3], 0.0);
    EXPECT_EQ(m[15], 15.0);
}

TEST_F(ModpMatrixFiles, ReadFailuresAreReportedNotThrownFromTasks) {
    write_file(path("raw.bin"), std::string(64, '\0'));
    torvik::Info info = torvik::inspect_integer_input(path("raw.bin"), 0);
    std::vector<double> m(16);
    // A file that shrank after inspection: the reads reach its end early.
    write_file(path("raw.bin"), std::string(20, '\0'));
    try {
        torvik::read_matrix(*pool_, path("raw.bin"), info, m.data(), 4, 7);
        ADD_FAILURE() << "short file accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "read failed: " + path("raw.bin"));
    }
    // A row buffer that cannot be allocated inside a task is a read failure
    // of that task, not an exception escaping the worker.
    torvik::Info huge = info;
    huge.n = size_t{1} << 57;
    huge.elem_size = 8;
    huge.kind = 'i';
    try {
        torvik::read_matrix(*pool_, path("raw.bin"), huge, m.data(), 4, 7);
        ADD_FAILURE() << "impossible row accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "read failed: " + path("raw.bin"));
    }
    try {
        torvik::read_matrix(*pool_, path("absent.npy"), info, m.data(), 4, 7);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open " + path("absent.npy"));
    }
}

TEST_F(ModpMatrixFiles, WrittenFilesReadBackInNumpy) {
    // N = 4: the dictionary up to its brace is 59 characters, then 58 spaces
    // and a newline; data start at 128.
    const std::string header = torvik::npy_int32_header(4);
    ASSERT_EQ(header.size(), 128u);
    EXPECT_EQ(header.substr(10, 59), "{'descr': '<i4', 'fortran_order': False, 'shape': (4, 4), }");
    EXPECT_EQ(header.substr(69, 58), std::string(58, ' '));
    EXPECT_EQ(header.back(), '\n');
    EXPECT_EQ(static_cast<unsigned char>(header[8]) | (static_cast<unsigned char>(header[9]) << 8), 118);

    // N = 300 (more rows than tasks) and N = 100 (fewer), each .npy and raw.
    for (size_t n : {100u, 300u}) {
        const size_t ld = n + 16;
        std::vector<double> src(n * ld, -5.0);  // padding must not leak into the file
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) src[i * ld + j] = static_cast<double>((i * 7919 + j * 104729) % 2147483647);
        const std::string npy = path("c" + std::to_string(n) + ".npy");
        const std::string raw = path("c" + std::to_string(n) + ".bin");
        torvik::write_matrix(*pool_, npy, src.data(), ld, n);
        torvik::write_matrix(*pool_, raw, src.data(), ld, n);
        EXPECT_EQ(read_file(raw).size(), n * n * 4);
        EXPECT_EQ(read_file(npy).size() % 64, (n * n * 4) % 64);
        const std::string out = run_python(dir_, "n = " + std::to_string(n) + R"(
c = np.load('c%d.npy' % n)
raw = np.fromfile('c%d.bin' % n, dtype='<i4').reshape(n, n)
i, j = np.indices((n, n))
want = (i * 7919 + j * 104729) % 2147483647
print(c.dtype, c.shape, bool((c == want).all()), bool((raw == want).all()), c.flags['C_CONTIGUOUS'])
)");
        EXPECT_EQ(out, "int32 (" + std::to_string(n) + ", " + std::to_string(n) + ") True True True\n");
    }
    try {
        torvik::write_matrix(*pool_, path("no/such/dir.npy"), nullptr, 1, 1);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot create " + path("no/such/dir.npy"));
    }
}

}  // namespace
