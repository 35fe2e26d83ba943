// Inspection, reading and writing of integer matrix files; numpy writes the
// fixtures and reads the written files back.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "modp/matrix_io.h"
#include "modp/tests/test_util.h"

namespace {

using modp_test::expect_error;
using modp_test::read_file;
using std::string;

class ModpMatrixFiles : public modp_test::ModpTest {
protected:
    // Expects the file refused with exactly message by inspection or, for
    // float64 values that are not integers, by reading (files of side 4).
    void expect_refused(const string& file, size_t hint, const string& message) {
        expect_error([&] {
            const torvik::Info info = torvik::inspect_integer_input(path(file), hint);
            std::vector<double> m(16);
            if (info.n <= 4) torvik::read_matrix(*pool_, path(file), info, m.data(), 4, 1000);
        }, message);
    }
};

TEST_F(ModpMatrixFiles, EveryAcceptedTypeReadsAsResidues) {
    // Python's exact integer residues are the oracle; the uint16 file has a
    // version 2.0 header, two int64 files headers spaced by hand.
    py(R"(import shutil
r = np.random.default_rng(5)
p, n = 1000003, 37
def ints(lo, hi, t): return r.integers(lo, hi, (n, n), dtype=np.int64).astype(t)
vals = {'i4': ints(-2**31, 2**31, '<i4'), 'i8': ints(-2**63, 2**63 - 1, '<i8'), 'u2': ints(0, 2**16, '<u2'),
        'u4': ints(0, 2**32, '<u4'), 'f8': ints(-9 * 10**15, 9 * 10**15, '<f8')}
vals['i4'][0, :3] = [-2**31, 2**31 - 1, -1]
vals['i8'][0, :3] = [-2**63, 2**63 - 1, -1]
vals['u4'][0, :2] = [0, 2**32 - 1]
vals['f8'][0, :5] = [9e15, -9e15, -1.0, 0.0, -0.0]
for k, v in vals.items():
    np.lib.format.write_array(open(k + '.npy', 'wb'), v, version=(2, 0) if k == 'u2' else (1, 0))
    np.array([[int(x) % p for x in row] for row in v.tolist()], dtype='<f8').tofile(k + '.res')
# Headers spaced by hand as Python's literal syntax allows, in double quotes,
# and of 10 000 characters in 13 000 bytes of UTF-8, over the int64 data;
# numpy reads each of them.
for k, version, h in (('tight', (1, 0), "{'descr':'<i8','fortran_order':False,'shape':(37,37)}"),
                      ('loose', (3, 0), "\n{ 'descr' :\t'<i8' ,\r\n'fortran_order'\f:\nFalse ,'shape' : (\n37 ,\t37 , ) ,}\t \n"),
                      ('quoted', (1, 0), '{"descr": "<i8", "fortran_order": False, "shape": (37, 37)}'),
                      ('wide', (3, 0), ("{'descr': '" + '\u20ac' * 1500 + "', 'descr': '<i8', 'fortran_order': False, "
                                        "'shape': (37, 37)}").ljust(10000))):
    h = h.encode()
    open(k + '.npy', 'wb').write(b'\x93NUMPY' + bytes(version) + len(h).to_bytes(2 if version[0] == 1 else 4, 'little')
                                 + h + vals['i8'].tobytes())
    assert (np.load(k + '.npy') == vals['i8']).all(), k
    shutil.copy('i8.res', k + '.res')
)");
    const size_t n = 37, ld = 45;
    for (const string kind : {"i4", "i8", "u2", "u4", "f8", "tight", "loose", "quoted", "wide"}) {
        const torvik::Info info = torvik::inspect_integer_input(path(kind + ".npy"), 99);  // hint: raw only
        ASSERT_EQ(info.n, n) << kind;
        std::vector<double> got(n * ld, -1.0), want(n * n);
        torvik::read_matrix(*pool_, path(kind + ".npy"), info, got.data(), ld, 1000003);
        const string res = read_file(path(kind + ".res"));
        ASSERT_EQ(res.size(), n * n * 8);
        std::memcpy(want.data(), res.data(), res.size());
        size_t wrong = 0;  // padding cells must stay untouched
        for (size_t i = 0; i < n * ld; ++i) wrong += got[i] != (i % ld < n ? want[i / ld * n + i % ld] : -1.0);
        EXPECT_EQ(wrong, 0u) << kind;
    }
}

TEST_F(ModpMatrixFiles, RefusedFiles) {
    py(R"(
for name, t in (('be', '>i4'), ('u1', '|u1'), ('f4', '<f4')): np.save(name + '.npy', np.zeros((4, 4), dtype=t))
for name, a in (('fortran', np.asfortranarray(np.arange(16).reshape(4, 4))), ('rect', np.zeros((3, 4))),
                ('vec', np.zeros(16)), ('empty', np.zeros((0, 0))), ('short', np.zeros((4, 4))), ('long', np.zeros((4, 4)))):
    np.save(name + '.npy', a.astype('<i4'))
open('short.npy', 'r+b').truncate(os.path.getsize('short.npy') - 4)
open('long.npy', 'ab').write(b'1234')
open('magic.npy', 'wb').write(b'\x93NUMPX\x01\x00\x10\x00' + b' ' * 16)
open('tiny.npy', 'wb').write(b'\x93NUM')
open('trunc.npy', 'wb').write(b'\x93NUMPY\x01\x00\x00\x01' + b'{}')
def crafted(name, shape):
    h = ("{'descr': '<i4', 'fortran_order': False, %s}" % shape).encode()
    open(name, 'wb').write(b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h)
# N*N*4 wraps to 0 in 64 bits for N = 2^31 and N = 2^32.
crafted('wrap4.npy', "'shape': (2147483648, 2147483648), ")
crafted('wrap8.npy', "'shape': (4294967296, 4294967296), ")
crafted('neg.npy', "'shape': (-1, -1), ")
crafted('noshape.npy', '')
for size in (0, 16, 20): open('raw%d.bin' % size, 'wb').write(b'\0' * size)
# Only the dictionary's own entries count: a Fortran-order array of a
# structured dtype whose field name reads like the C-order entry, and
# hand-made look-alikes (4 x 4 int32 data).
trick = np.asfortranarray(np.arange(16, dtype='<i4').view([("'fortran_order': False", '<i4')]).reshape(4, 4))
assert trick.flags.f_contiguous and not trick.flags.c_contiguous
np.save('field_named_c_order.npy', trick)
for name, h in (('order_in_a_string', "{'descr': \"'fortran_order': False\", 'descr': '<i4', 'fortran_order': True, 'shape': (4, 4)}"),
                ('dtype_in_a_list', "{'descr': '<i2', 'shape': ['<i4'], 'fortran_order': False, 'shape': (4, 4)}")):
    open(name + '.npy', 'wb').write(b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h.encode() + bytes(64))
# Headers that numpy refuses, or reads as no 4 x 4 matrix, over 4 x 4 int32
# data: versions other than 1.0, 2.0 and 3.0, text after the dictionary, a
# third dimension, leading zeros, a key beside the three, a text longer than
# numpy's limit of 10 000 characters.
good = "{'descr': '<i4', 'fortran_order': False, 'shape': (4, 4), }"
for name, version, h in (('major0', (0, 0), good), ('major9', (9, 0), good), ('minor1', (1, 1), good),
                         ('v2_minor1', (2, 1), good), ('text_after', (1, 0), good + ' x\n'),
                         ('nul_after', (1, 0), good + '\0'), ('three_dims', (1, 0), good.replace('4)', '4, 1)')),
                         ('three_dims_2', (1, 0), good.replace('4)', '4, 2)')),
                         ('zero_led', (1, 0), good.replace('(4, 4)', '(04, 04)')),
                         ('fourth_key', (3, 0), good.replace('}', "'x': 1}")),
                         ('over_limit', (1, 0), good.ljust(10001)),
                         ('over_limit_wide', (3, 0),
                          ("{'descr': '" + '\u20ac' * 1500 + "', " + good[1:]).ljust(10001))):
    h = h.encode()
    open(name + '.npy', 'wb').write(b'\x93NUMPY' + bytes(version) + len(h).to_bytes(2 if version[0] == 1 else 4, 'little')
                                    + h + np.arange(16, dtype='<i4').tobytes())
    try:
        taken = np.load(name + '.npy').shape == (4, 4)
    except Exception:
        taken = False
    assert not taken, name
# Negative dimensions that would wrap around to 64, over 64 x 64 data.
for name, shape in (('negative_64', '(-18446744073709551552, 64)'),
                    ('negatives_64', '(-18446744073709551552, -18446744073709551552)')):
    h = good.replace('(4, 4)', shape).encode()
    open(name + '.npy', 'wb').write(b'\x93NUMPY\x01\x00' + len(h).to_bytes(2, 'little') + h + bytes(64 * 64 * 4))
    try:
        np.load(name + '.npy')
        assert False, name
    except (ValueError, OverflowError):
        pass
# Sparse files whose length fields (1 GiB) claim a header longer than 10 000
# characters can be, and which hold that many bytes.
for name, major in (('sparse_v2', 2), ('sparse_v3', 3)):
    with open(name + '.npy', 'wb') as f:
        f.write(b'\x93NUMPY' + bytes([major, 0]) + (2**30).to_bytes(4, 'little') + good.encode())
        f.truncate(12 + 2**30 + 64)
)");
    const string dtype = ": dtype must be int32, int64, uint16, uint32 or float64 (little-endian)";
    const string square = ": shape must be a square (N, N)", size = ": size does not match its header";
    const string raw = ": raw file size is not N*N*4 bytes (int32; give --n N)";
    struct Case { string file; size_t hint; string message; };
    const Case cases[] = {
        {"be.npy", 0, dtype}, {"u1.npy", 0, dtype}, {"f4.npy", 0, dtype},
        {"fortran.npy", 0, ": array must be in C (row-major) order"},
        {"rect.npy", 0, square}, {"vec.npy", 0, square}, {"empty.npy", 0, square}, {"noshape.npy", 0, square},
        {"short.npy", 0, size}, {"long.npy", 0, size}, {"wrap4.npy", 0, size}, {"wrap8.npy", 0, size},
        {"neg.npy", 0, size},
        {"field_named_c_order.npy", 0, dtype}, {"order_in_a_string.npy", 0, ": array must be in C (row-major) order"},
        {"dtype_in_a_list.npy", 0, dtype},
        {"magic.npy", 0, ": not a .npy file"}, {"tiny.npy", 0, ": not a .npy file"},
        {"trunc.npy", 0, ": truncated .npy header"},
        {"major0.npy", 0, ": not a .npy file"}, {"major9.npy", 0, ": not a .npy file"},
        {"minor1.npy", 0, ": not a .npy file"}, {"v2_minor1.npy", 0, ": not a .npy file"},
        {"text_after.npy", 0, dtype}, {"nul_after.npy", 0, dtype},
        {"three_dims.npy", 0, square}, {"three_dims_2.npy", 0, square}, {"zero_led.npy", 0, square},
        {"fourth_key.npy", 0, dtype}, {"over_limit.npy", 0, dtype}, {"over_limit_wide.npy", 0, dtype},
        {"sparse_v2.npy", 0, dtype}, {"sparse_v3.npy", 0, dtype},
        {"negative_64.npy", 0, square}, {"negatives_64.npy", 0, size},
        {"raw20.bin", 0, raw}, {"raw0.bin", 0, raw}, {"raw16.bin", 3, raw},
        // N*N*4 wraps to 0 for N = 2^31 and to 16 for N = 2^62 + 2: an empty
        // or 16-byte file must not pass as such a matrix.
        {"raw0.bin", size_t{1} << 31, raw}, {"raw16.bin", (size_t{1} << 62) + 2, raw},
    };
    for (const Case& c : cases) expect_refused(c.file, c.hint, path(c.file) + c.message);
    expect_refused("missing.npy", 0, "cannot open " + path("missing.npy"));
    expect_refused("missing.bin", 0, "cannot stat " + path("missing.bin"));
    for (size_t hint : {0, 2}) {
        const torvik::Info info = torvik::inspect_integer_input(path("raw16.bin"), hint);
        EXPECT_EQ(info.n, 2u);
        EXPECT_FALSE(info.npy);
    }
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "the rest sets an address-space limit (RLIMIT_AS), which a sanitizer's shadow memory "
                    "cannot run under";
#endif
    // The sparse files' text is never read: 64 MiB of address space to spare
    // do, in a forked child.
    for (const string file : {"sparse_v2.npy", "sparse_v3.npy"}) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            rlimit cap{};
            getrlimit(RLIMIT_AS, &cap);
            cap.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
            if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(4);
            try {
                torvik::inspect_integer_input(path(file), 0);
            } catch (const std::runtime_error& e) {
                _exit(e.what() == path(file) + dtype ? 0 : 5);
            } catch (...) {
                _exit(6);
            }
            _exit(7);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << file << ": status " << status;
    }
}

TEST_F(ModpMatrixFiles, Float64MustHoldIntegers) {
    // NaN fails every comparison: it must be refused like any non-integer.
    py(R"(
for k, v in {'half': 3.5, 'nan': np.nan, 'inf': np.inf, 'ninf': -np.inf, 'big': 1e16,
             'above': np.nextafter(9e15, 1e17), 'tiny': 5e-324}.items():
    a = np.arange(16, dtype='<f8').reshape(4, 4); a[3, 3] = v; np.save(k + '.npy', a)
)");
    for (const string k : {"half", "nan", "inf", "ninf", "big", "above", "tiny"})
        expect_refused(k + ".npy", 0, path(k + ".npy") + ": float64 input contains non-integer values");
}

TEST_F(ModpMatrixFiles, ReadFailuresAreReportedNotThrownFromTasks) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "a sanitizer's operator new aborts on a failed allocation instead of throwing std::bad_alloc";
#endif
    modp_test::write_file(path("raw.bin"), string(64, '\0'));
    const torvik::Info info = torvik::inspect_integer_input(path("raw.bin"), 0);
    std::vector<double> m(16);
    // A file that shrank after inspection: the reads reach its end early.
    modp_test::write_file(path("raw.bin"), string(20, '\0'));
    expect_error([&] { torvik::read_matrix(*pool_, path("raw.bin"), info, m.data(), 4, 7); },
                 "read failed: " + path("raw.bin"));
    // A row buffer that cannot be allocated inside a task is a memory
    // shortage, reported on the calling thread, not an exception escaping the
    // worker nor a failed read.
    const torvik::Info huge{false, 0, size_t{1} << 57, 'i', 8};
    EXPECT_THROW(torvik::read_matrix(*pool_, path("raw.bin"), huge, m.data(), 4, 7), std::bad_alloc);
    expect_error([&] { torvik::read_matrix(*pool_, path("absent.npy"), info, m.data(), 4, 7); },
                 "cannot open " + path("absent.npy"));
}

TEST_F(ModpMatrixFiles, WrittenFilesReadBackInNumpy) {
    // More rows than write tasks (300) and fewer (100), each .npy and raw;
    // the padding beyond column n must not leak into the file.
    for (size_t n : {100u, 300u}) {
        const size_t ld = n + 16;
        std::vector<double> src(n * ld, -5.0);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) src[i * ld + j] = static_cast<double>((i * 7919 + j * 104729) % 2147483647);
        const string name = "c" + std::to_string(n);
        torvik::write_matrix(*pool_, path(name + ".npy"), src.data(), ld, n);
        torvik::write_matrix(*pool_, path(name + ".bin"), src.data(), ld, n);
        EXPECT_EQ(read_file(path(name + ".bin")).size(), n * n * 4);
        EXPECT_EQ(py("n = " + std::to_string(n) + R"(
c = np.load('c%d.npy' % n)
raw = np.fromfile('c%d.bin' % n, dtype='<i4').reshape(n, n)
i, j = np.indices((n, n))
want = (i * 7919 + j * 104729) % 2147483647
print(c.dtype, c.shape, bool((c == want).all()), bool((raw == want).all()), c.flags['C_CONTIGUOUS'])
)"),
                  "int32 (" + std::to_string(n) + ", " + std::to_string(n) + ") True True True\n");
    }
    expect_error([&] { torvik::write_matrix(*pool_, path("no/such/dir.npy"), nullptr, 1, 1); },
                 "cannot create " + path("no/such/dir.npy"));
    // Nothing but the written files is left in the directory.
    std::set<string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.insert(e.path().filename());
    for (const string name : {"c100.bin", "c100.npy", "c300.bin", "c300.npy"}) names.erase(name);
    for (const string name : {"fixture.py", "cmd.out", "cmd.err"}) names.erase(name);
    EXPECT_TRUE(names.empty()) << *names.begin();
}

// A write that fails part-way (the file may not grow past a limit, as on a
// full disk) leaves the file it was to replace as it was, even when that file
// is an input, and nothing beside it. The limit is set in a forked child,
// which runs the write on a pool of its own.
TEST_F(ModpMatrixFiles, FailedWritesLeaveTheTargetAsItWas) {
#ifdef KORVANE_SANITIZER_BUILD
    GTEST_SKIP() << "sets a file size limit with setrlimit";
#endif
    const size_t n = 64;
    std::vector<double> src(n * n);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<double>(i % 1000);
    const string earlier(5000, 'e');
    struct Case { const char* name; rlim_t limit; string failure; };
    const Case cases[] = {{"c.npy", 64, "write failed: " + path("c.npy")}, {"c.npy", 4096, "write failed: " + path("c.npy")},
                          {"c.bin", 0, "write failed: " + path("c.bin")}, {"c.bin", 4096, "write failed: " + path("c.bin")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(string(c.name) + " limit " + std::to_string(c.limit));
        modp_test::write_file(path(c.name), earlier);
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // SIGXFSZ keeps its default action: the writer must keep it from
            // ending the process.
            rlimit lim{};
            getrlimit(RLIMIT_FSIZE, &lim);
            lim.rlim_cur = c.limit;
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(4);
            torvik::Pool pool;
            pool.start(2, 0);
            const string message =
                ::message_of<std::runtime_error>([&] { torvik::write_matrix(pool, path(c.name), src.data(), n, n); });
            pool.stop();
            _exit(message == c.failure ? 0 : 5);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(read_file(path(c.name)) == earlier);
        size_t entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            entries += e.path().filename().string().rfind(c.name, 0) == 0;
        EXPECT_EQ(entries, 1u);
    }
}

}  // namespace
