// The shared .npy header reader: prefix forms against files numpy writes,
// refusals in both wordings of a cut-short length field, the shape rule and
// the size check.
#include "common/npy_header.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/test_support.h"

namespace {

ScratchDir* dir = nullptr;
std::string at(const std::string& name) { return dir->at(name); }
void put(const std::string& name, const std::string& bytes) { write_file(at(name), bytes); }
std::string slurp(const std::string& name) { return read_file(at(name)); }
template <class F>
std::string failure(F f) {
    return message_of<std::runtime_error>(f);
}

// A header record with the given text, as if read from a file.
NpyHeader with_text(const std::string& text) {
    NpyHeader h;
    h.data_offset = 10 + text.size();
    h.text = text;
    return h;
}

class NpyHeaderFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new ScratchDir("npy_header");
        // numpy's own files: version 1.0, 2.0 and 3.0 prefixes; the data start
        // where numpy says (file size minus the data bytes).
        write_file(at("offsets"), run_python(dir->path, R"PY(
a = np.arange(30, dtype='<i2').reshape(5, 6)
for name, version in (('v1', (1, 0)), ('v2', (2, 0)), ('v3', (3, 0))):
    with open(name + '.npy', 'wb') as f:
        np.lib.format.write_array(f, a, version=version)
    print(name, os.path.getsize(name + '.npy') - a.nbytes)
)PY"));
    }
    static void TearDownTestSuite() { delete dir; }
};

TEST_F(NpyHeaderFiles, ReadsThePrefixAndTextOfEveryVersion) {
    std::istringstream offsets(slurp("offsets"));
    int files = 0;
    for (std::string name; offsets >> name; ++files) {
        std::uint64_t offset = 0;
        offsets >> offset;
        SCOPED_TRACE(name);
        const NpyHeader h = read_npy_header(at(name + ".npy"), NpyShortLength::not_npy);
        EXPECT_EQ(h.data_offset, offset);
        const std::uint64_t prefix = name == "v1" ? 10 : 12;
        EXPECT_EQ(h.text, slurp(name + ".npy").substr(prefix, offset - prefix));
        EXPECT_TRUE(h.text.starts_with("{'descr': '<i2'") && h.text.ends_with("\n"));
    }
    EXPECT_EQ(files, 3);
    // Any major version other than 1, even 0, takes the long form; the minor
    // version is not looked at.
    put("major0.npy", std::string("\x93NUMPY\x00\x07\x03\x00\x00\x00{}\n", 15));
    put("minor9.npy", std::string("\x93NUMPY\x01\x09\x03\x00{}\n", 13));
    EXPECT_EQ(read_npy_header(at("major0.npy"), NpyShortLength::truncated_header).data_offset, 15u);
    EXPECT_EQ(read_npy_header(at("minor9.npy"), NpyShortLength::truncated_header).text, "{}\n");
}

// Every refusal reads the same in both wordings except a long-form length
// field that the file cuts short.
TEST_F(NpyHeaderFiles, RefusedPrefixes) {
    const struct { const char* name; std::string bytes; const char *as_truncated, *as_not_npy; } cases[] = {
        {"nine.npy", std::string("\x93NUMPY\x01\x00\x00", 9), ": not a .npy file", ": not a .npy file"},
        {"magic.npy", std::string("\x93NUMPX\x01\x00\x02\x00{}", 12), ": not a .npy file", ": not a .npy file"},
        {"cut_length.npy", std::string("\x93NUMPY\x02\x00\x10\x00\x00", 11), ": truncated .npy header",
         ": not a .npy file"},
        {"cut_text_v1.npy", std::string("\x93NUMPY\x01\x00\x05\x00{}\n", 13), ": truncated .npy header",
         ": truncated .npy header"},
        // A length far beyond the file: refused without a buffer of that size.
        {"huge_v3.npy", std::string("\x93NUMPY\x03\x00\xff\xff\xff\xff{}", 14), ": truncated .npy header",
         ": truncated .npy header"},
    };
    for (const auto& c : cases) {
        put(c.name, c.bytes);
        const std::string path = at(c.name);
        EXPECT_EQ(failure([&] { read_npy_header(path, NpyShortLength::truncated_header); }), path + c.as_truncated);
        EXPECT_EQ(failure([&] { read_npy_header(path, NpyShortLength::not_npy); }), path + c.as_not_npy);
    }
    EXPECT_EQ(failure([] { read_npy_header(at("missing.npy"), NpyShortLength::not_npy); }),
              "cannot open " + at("missing.npy"));
}

// The order check comes first; the shape is read by its first two numbers,
// with or without blanks.
TEST(NpyHeader, SquareSideFromTheHeaderText) {
    const std::string order = "p: array must be in C (row-major) order", square = "p: shape must be a square (N, N)";
    const struct { const char* text; const char* result; } cases[] = {
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (4, 4), }", "4"},
        {"{'descr':'|f4','fortran_order': False,'shape':(7,7)}", "7"},
        {"{'fortran_order': False, 'shape': (2, 2, 5), }", "2"},
        {"{'fortran_order': False, 'shape': (3, 4), }", nullptr},
        {"{'fortran_order': False, 'shape': (0, 0), }", nullptr},
        {"{'fortran_order': False, 'shape': (16,), }", nullptr},
        {"{'fortran_order': False, }", nullptr},
        {"{'fortran_order': True, 'shape': (4, 4), }", ""},
        {"{'fortran_order':False, 'shape': (4, 4), }", ""},  // only the exact spacing counts
        {"{'fortran_order': True, 'shape': (3, 4), }", ""},
    };
    for (const auto& c : cases) {
        const NpyHeader h = with_text(c.text);
        if (c.result == nullptr) {
            EXPECT_EQ(failure([&] { npy_square_side("p", h); }), square) << c.text;
        } else if (*c.result == '\0') {
            EXPECT_EQ(failure([&] { npy_square_side("p", h); }), order) << c.text;
        } else {
            EXPECT_EQ(npy_square_side("p", h), std::stoull(c.result)) << c.text;
        }
    }
}

TEST_F(NpyHeaderFiles, SizeMatchesOnlyTheExactFileSize) {
    put("size.npy", std::string(10 + 6 + 3 * 3 * 8, '\0'));  // offset 16, a 3 x 3 float64 matrix
    NpyHeader h = with_text("{...}\n");
    EXPECT_TRUE(npy_size_matches(at("size.npy"), h, 3, 8));
    EXPECT_FALSE(npy_size_matches(at("size.npy"), h, 3, 4));
    h.data_offset = 17;
    EXPECT_FALSE(npy_size_matches(at("size.npy"), h, 3, 8));
    h.data_offset = 16 + 3 * 3 * 6;
    EXPECT_TRUE(npy_size_matches(at("size.npy"), h, 3, 2));
    // Byte counts that wrap around in 64 bits (n·n, n·n·size, offset + bytes)
    // never match, and the file is not even looked at.
    const std::string missing = at("missing.npy");
    EXPECT_FALSE(npy_size_matches(missing, h, std::uint64_t{1} << 32, 1));
    EXPECT_FALSE(npy_size_matches(missing, h, std::uint64_t{1} << 31, 4));
    h.data_offset = ~std::uint64_t{0} - 3;
    EXPECT_FALSE(npy_size_matches(missing, h, 1, 4));
    h.data_offset = 16;
    EXPECT_EQ(failure([&] { npy_size_matches(missing, h, 3, 8); }), "cannot stat " + missing);
}

}  // namespace
