// End-to-end tests of korvane_multiply, run as a subprocess on numpy-made files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(KORVANE_BINARY_DIR) + "/multiply/cli/korvane_multiply";

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class MultiplyCli : public ::testing::Test {
protected:
    static fs::path dir;

    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("korvane_cli_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        // Inputs: random float32 matrices, and sparse raw files whose size alone matters.
        python(
            "import numpy as np\n"
            "rng = np.random.default_rng(7)\n"
            "for n in (100, 512, 513, 1001, 2048):\n"
            "    np.save(f'a{n}.npy', rng.standard_normal((n, n), dtype=np.float32))\n"
            "    np.save(f'b{n}.npy', rng.standard_normal((n, n), dtype=np.float32))\n"
            "np.load('a2048.npy').tofile('a2048.raw')\n"
            "np.load('b2048.npy').tofile('b2048.raw')\n"
            "for n in (8192, 10000):\n"
            "    with open(f'sparse{n}.raw', 'wb') as f: f.truncate(n * n * 4)\n");
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static void python(const std::string& code) {
        fs::path script = dir / "script.py";
        std::ofstream(script) << code;
        std::string cmd = "cd '" + dir.string() + "' && " KORVANE_PYTHON " '" + script.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << code;
    }

    static Result run(const std::string& args) {
        Result r;
        std::string cmd = "cd '" + dir.string() + "' && '" + kProgram + "' " + args + " >out.txt 2>err.txt";
        int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = slurp(dir / "out.txt");
        r.err = slurp(dir / "err.txt");
        return r;
    }

    // Largest relative error of C against numpy's float64 product.
    static void expect_product(const std::string& c_expr) {
        python("import numpy as np\n"
               "a = np.load('a2048.npy').astype(np.float64)\n"
               "b = np.load('b2048.npy').astype(np.float64)\n"
               "c = " + c_expr + "\n"
               "assert c.dtype == np.float32 and c.shape == (2048, 2048), (c.dtype, c.shape)\n"
               "r = a @ b\n"
               "err = np.linalg.norm(c - r) / np.linalg.norm(r)\n"
               "assert err < 1e-6, err\n");
    }
};
fs::path MultiplyCli::dir;

std::string start_line(const Result& r) { return r.out.substr(0, r.out.find('\n')); }

}  // namespace

TEST_F(MultiplyCli, UsageAndOptionErrors) {
    for (const char* args : {"", "a100.npy b100.npy", "a100.npy b100.npy c.npy d.npy"}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: "), std::string::npos);
        EXPECT_NE(r.err.find("A_file B_file C_file [--mode safe|accurate|fast|large|classical]"), std::string::npos);
    }
    struct Case {
        const char* args;
        const char* err;
    } cases[] = {
        {"a100.npy --bogus", "FAILED unknown option --bogus\n"},
        {"a100.npy b100.npy c.npy --mode=fast", "FAILED unknown option --mode=fast\n"},
        {"a100.npy b100.npy c.npy --workers", "FAILED missing value after --workers\n"},
        {"a100.npy b100.npy c.npy --mode", "FAILED missing value after --mode\n"},
        {"a100.npy b100.npy c.npy --workers 0", "FAILED invalid --workers or --leaf\n"},
        {"a100.npy b100.npy c.npy --workers -3", "FAILED invalid --workers or --leaf\n"},
        {"a100.npy b100.npy c.npy --leaf 0", "FAILED invalid --workers or --leaf\n"},
        {"a512.npy b513.npy c.npy", "FAILED A and B must be square matrices of the same size\n"},
        {"a100.npy b100.npy c.npy --leaf 536870912", "FAILED matrix too large\n"},
        {"sparse8192.raw sparse8192.raw c.npy --mode turbo", "FAILED unknown mode turbo\n"},
    };
    for (const auto& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
}

TEST_F(MultiplyCli, RouteChoiceAndStartLine) {
    // Small inputs run dense whatever the mode; the suffix says so unless the mode is classical.
    Result r = run("a100.npy b100.npy c100.npy --mode large --workers 500");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(start_line(r),
              "korvane_multiply: N = 100 (internal 100), mode large -> classical (matrix too small for the "
              "fast routes), 8 workers, leaf 1024");
    EXPECT_EQ(r.out.find("phases:"), std::string::npos);
    r = run("a100.npy b100.npy c100.npy --mode classical --workers 2");
    EXPECT_EQ(start_line(r), "korvane_multiply: N = 100 (internal 100), mode classical, 2 workers, leaf 1024");
    r = run("a100.npy b100.npy c100.npy --mode whatever --workers 2");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(start_line(r).find("mode whatever -> classical"), std::string::npos);

    // Large sides: the route shows in the start line before any product runs.
    r = run("sparse8192.raw sparse8192.raw c.raw --workers 8");
    EXPECT_EQ(start_line(r), "korvane_multiply: N = 8192 (internal 8192), mode safe, 8 workers, leaf 1024");
    r = run("sparse10000.raw sparse10000.raw c.raw --mode large --workers 8");
    EXPECT_EQ(start_line(r),
              "korvane_multiply: N = 10000 (internal 10240), mode large -> safe (matrix too small for the "
              "large route: fewer than 30 blocks per side), 8 workers, leaf 1024");
}

TEST_F(MultiplyCli, OddSideOnTheDenseRouteIsRefused) {
    Result r = run("a1001.npy b1001.npy c.npy --workers 4");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "FAILED shape/depth incompatible\n");
    EXPECT_FALSE(fs::exists(dir / "c.npy"));
}

TEST_F(MultiplyCli, ClassicalProductsMatchNumpy) {
    Result r = run("a2048.npy b2048.npy c2048.npy --mode classical --workers 8 --check");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("phases:"), std::string::npos);
    EXPECT_NE(r.out.find("multiply: "), std::string::npos);
    EXPECT_NE(r.out.find("non-finite entries 0\n"), std::string::npos);
    // The check line directly follows the multiply line; the sampled-row error
    // of a float32 product of side 2048 is a few 1e-7.
    const std::string check_head = "\ncheck: relative error against FP64 on sampled rows ";
    const std::size_t check = r.out.find(check_head);
    ASSERT_NE(check, std::string::npos) << r.out;
    const double rows_error = std::stod(r.out.substr(check + check_head.size()));
    EXPECT_GT(rows_error, 1e-8);
    EXPECT_LT(rows_error, 1e-6);
    EXPECT_NE(r.out.find("wrote c2048.npy (2048 x 2048 float32) in "), std::string::npos);
    expect_product("np.load('c2048.npy')");

    // Raw inputs (side inferred) and a raw output (path without .npy).
    r = run("a2048.raw b2048.raw c2048.out --workers 5");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir / "c2048.out"), 2048u * 2048u * 4u);
    expect_product("np.fromfile('c2048.out', dtype=np.float32).reshape(2048, 2048)");
}

TEST_F(MultiplyCli, CheckReportsNonFiniteEntries) {
    // One NaN in A spoils one row of C: 512 non-finite entries.
    python("import numpy as np\n"
           "a = np.load('a512.npy'); a[3, 7] = np.nan; np.save('a512_nan.npy', a)\n");
    Result r = run("a512_nan.npy b512.npy c512.npy --workers 4 --check");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("non-finite entries 512\n"), std::string::npos) << r.out;
}

TEST_F(MultiplyCli, FailuresAfterStartUpEndInTheFailedLine) {
    Result r = run("a512.npy b512.npy missing_dir/c.npy --workers 8");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "FAILED cannot create missing_dir/c.npy\n");

    // A route whose engine this build lacks fails cleanly, after the pools started.
    r = run("sparse8192.raw sparse8192.raw c.raw --mode accurate --workers 8");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("FAILED ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(dir / "c.raw"));
}

// The safe (centred Pan) and fast (Strassen over Pan) routes on numpy-made
// inputs whose rows partly get centring offsets of both signs: C within
// float32 tolerance of numpy's FP64 product, and the input files untouched.
TEST_F(MultiplyCli, SafeAndFastRoutesMatchNumpyAt8192) {
    python("import numpy as np, hashlib\n"
           "rng = np.random.default_rng(11)\n"
           "n = 8192\n"
           "a = rng.standard_normal((n, n), dtype=np.float32)\n"
           "b = rng.standard_normal((n, n), dtype=np.float32)\n"
           "a[::2] = rng.uniform(1.0, 2.0, (n // 2, n)).astype(np.float32)\n"
           "b[::3] = rng.uniform(-3.0, -2.0, (len(range(0, n, 3)), n)).astype(np.float32)\n"
           "np.save('big_a.npy', a)\n"
           "np.save('big_b.npy', b)\n"
           "with open('big_sums.txt', 'w') as f:\n"
           "    for p in ('big_a.npy', 'big_b.npy'): f.write(hashlib.sha256(open(p, 'rb').read()).hexdigest() + '\\n')\n");
    for (const char* mode : {"safe", "fast"}) {
        Result r = run(std::string("big_a.npy big_b.npy big_c_") + mode + ".npy --mode " + mode + " --workers 8");
        ASSERT_EQ(r.status, 0) << mode << ": " << r.err;
        EXPECT_NE(start_line(r).find(std::string("mode ") + mode + ", 8 workers"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nphases: conditioning "), std::string::npos) << r.out;
    }
    python("import numpy as np, hashlib\n"
           "sums = open('big_sums.txt').read().split()\n"
           "for p, s in zip(('big_a.npy', 'big_b.npy'), sums):\n"
           "    assert hashlib.sha256(open(p, 'rb').read()).hexdigest() == s, p\n"
           "a = np.load('big_a.npy').astype(np.float64)\n"
           "ref = a @ np.load('big_b.npy').astype(np.float64)\n"
           "del a\n"
           "for mode in ('safe', 'fast'):\n"
           "    c = np.load(f'big_c_{mode}.npy')\n"
           "    assert c.dtype == np.float32 and c.shape == ref.shape, (c.dtype, c.shape)\n"
           "    err = np.linalg.norm(c - ref) / np.linalg.norm(ref)\n"
           "    worst = np.max(np.abs(c - ref)) / np.max(np.abs(ref))\n"
           "    print(mode, err, worst)\n"
           "    assert err < 1e-5 and worst < 1e-4, (mode, err, worst)\n");
}
