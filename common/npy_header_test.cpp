// The shared .npy header reader: refusals in both wordings of a cut-short
// length field and the size check (the prefix forms and the shape rule are
// covered through the readers in multiply/io and modp).
#include "common/npy_header.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/testing/test_support.h"

namespace {

ScratchDir* dir = nullptr;
std::string at(const std::string& name) { return dir->at(name); }
void put(const std::string& name, const std::string& bytes) { write_file(at(name), bytes); }
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
    static void SetUpTestSuite() { dir = new ScratchDir("npy_header"); }
    static void TearDownTestSuite() { delete dir; }
};

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
        // Format versions other than 1.0, 2.0 and 3.0, whatever follows.
        {"v0.npy", std::string("\x93NUMPY\x00\x00\x03\x00\x00\x00{}\n", 15), ": not a .npy file", ": not a .npy file"},
        {"v4.npy", std::string("\x93NUMPY\x04\x00\x03\x00\x00\x00{}\n", 15), ": not a .npy file", ": not a .npy file"},
        {"v1_1.npy", std::string("\x93NUMPY\x01\x01\x03\x00{}\n", 13), ": not a .npy file", ": not a .npy file"},
        {"v3_1.npy", std::string("\x93NUMPY\x03\x01\x03\x00\x00\x00{}\n", 15), ": not a .npy file",
         ": not a .npy file"},
        {"v9_cut.npy", std::string("\x93NUMPY\x09\x00\x10\x00", 10), ": not a .npy file", ": not a .npy file"},
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

// Only top-level keys count; values are skipped whole, whatever strings,
// brackets, commas or colons they hold; text that is not a dictionary
// literal has no entries.
TEST(NpyHeaderDict, TopLevelEntriesOnly) {
    const NpyDict numpy = npy_header_dict("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 3), }    \n");
    EXPECT_EQ(numpy.descr.entry, "'descr': '<f4'");
    EXPECT_EQ(numpy.descr.value, "'<f4'");
    EXPECT_EQ(numpy.fortran_order.entry, "'fortran_order': False");
    EXPECT_EQ(numpy.shape.value, "(3, 3)");

    // A structured dtype with a field named like an entry, keys with double
    // quotes, nested containers and strings of every kind (in values that a
    // later entry of the same key replaces).
    const NpyDict nested = npy_header_dict(
        R"x({'descr': 'it\'s, }', "descr" :[("'fortran_order': False", '<f4'), ('}', ('{', "'shape': (1, 1)"))] ,)x"
        R"x('shape': {'descr': '<i4', 'y': [1, (2, ']')]}, 'fortran_order': '''a 'shape': (5, 5)''',)x"
        R"x('shape':(7,7),'fortran_order': True})x");
    EXPECT_EQ(nested.descr.value, R"x([("'fortran_order': False", '<f4'), ('}', ('{', "'shape': (1, 1)"))])x");
    EXPECT_EQ(nested.descr.entry.substr(0, 10), R"x("descr" :[)x");
    EXPECT_EQ(nested.fortran_order.entry, "'fortran_order': True");
    EXPECT_EQ(nested.shape.entry, "'shape':(7,7)");

    // Blanks Python takes (not a vertical tab) may stand between any tokens
    // and after the dictionary.
    const NpyDict spaced = npy_header_dict("\n{ 'shape' :\r\n( 3 ,3, ) ,\f'fortran_order'\t:False}\t \f\r\n");
    EXPECT_EQ(spaced.shape.entry, "'shape' :\r\n( 3 ,3, )");
    EXPECT_EQ(spaced.shape.value, "( 3 ,3, )");
    EXPECT_EQ(spaced.fortran_order.value, "False");

    // The last of a repeated key counts, however its string is written; a
    // missing key is empty.
    const NpyDict twice = npy_header_dict("{'fortran_order': False, 'fortran_order': True}");
    EXPECT_EQ(twice.fortran_order.value, "True");
    EXPECT_EQ(twice.descr.entry, "");
    const NpyDict escaped = npy_header_dict(
        R"x({'descr': 1, 'd\x65scr': 2, 'shape': 3, 'sh\141p\u0065': 4, "fortran_\)x" "\n"
        R"x(order": 5, '''shape''': 6, 'fortran\x5forder': 7, '\U00000064escr': 8, 'fortran_\)x" "\r\n"
        R"x(order': 9})x");
    EXPECT_EQ(escaped.descr.value, "8");
    EXPECT_EQ(escaped.shape.value, "6");
    EXPECT_EQ(escaped.fortran_order.value, "9");
    // Every entry takes its key in either quote.
    EXPECT_EQ(npy_square_side("k", with_text(R"({"descr": "<f4", "fortran_order": False, "sh\x61pe": (4, 4)})")), 4u);

    // numpy takes a header text of up to 10 000 characters.
    std::string longest = "{'descr': '<f4'}";
    longest.resize(10000, ' ');
    longest.back() = '\n';
    EXPECT_EQ(npy_header_dict(longest).descr.value, "'<f4'");
    EXPECT_EQ(npy_header_dict(" " + longest).descr.entry, "");
    // Characters, not bytes: in UTF-8 (version 3.0) one takes up to four.
    std::string wide = "{'descr': '";
    for (int k = 0; k < 1500; ++k) wide += "\u20ac";
    wide += "', 'descr': '<f4'}";
    wide.resize(13000, ' ');
    wide.back() = '\n';
    EXPECT_EQ(npy_header_dict(wide, NpyEncoding::utf8).descr.value, "'<f4'");
    EXPECT_EQ(npy_header_dict(" " + wide, NpyEncoding::utf8).descr.entry, "");
    EXPECT_EQ(npy_header_dict(wide).descr.entry, "");
    // Text that is not UTF-8 is no header in version 3.0, even in a value
    // that a later copy of its key replaces.
    for (const char* bytes : {"\xff", "\xe2\x82", "\xc0\xa4", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80"}) {
        const std::string text = std::string("{'descr': '") + bytes + "', 'descr': '<f4'}";
        EXPECT_EQ(npy_header_dict(text, NpyEncoding::utf8).descr.entry, "") << text;
        EXPECT_EQ(npy_header_dict(text).descr.value, "'<f4'") << text;
    }

    // Earlier copies of a key may hold any literal of the kinds read here.
    const NpyDict literals = npy_header_dict(
        R"x({'descr': {None: [True, -1], (1, ('a',)): {2, 'b',}, - 3: (), '': {}}, 'descr': + 0, 'descr': (False),)x"
        "'descr': '''a\r\nb''', 'descr': 'a\\\rb', 'descr': 123456789012345678901234567890, 'descr': '<f4'}");
    EXPECT_EQ(literals.descr.value, "'<f4'");
    const std::string deepest = "{'descr': " + std::string(99, '[') + std::string(99, ']') + ", 'descr': '<f4'}";
    EXPECT_EQ(npy_header_dict(deepest).descr.value, "'<f4'");
    // Deeper nesting is refused (Python's parser stops near 200 levels).
    EXPECT_EQ(npy_header_dict("{'descr': [" + deepest.substr(10, 198) + "], 'descr': '<f4'}").descr.entry, "");

    for (const char* bad : {"", "'descr': '<f4'", "{'descr': '<f4'", "{'descr': ('<f4', }", "{'descr': ['<f4')}",
                            "{'descr' '<f4'}", "{descr: '<f4'}", "{'descr': }", "{'descr': '<f4}",
                            "{'descr': '<f4' 'shape': (1, 1)}", "{'descr': 'a': 'b'}", "x{'descr': '<f4'}",
                            "{'descr': '<f4'} x\n", "{'descr': '<f4'}}", "{'descr': '<f4'}{}", "{'descr': '<f4'}\v\n",
                            "{\v'descr': '<f4'}", "\v{'descr': '<f4'}", "{'descr': '<f4'}\n# note\n",
                            // Any key but the three: numpy takes exactly these.
                            "{'descr': '<f4', 'x': 1}", "{'descr': '<f4', 'shape ': 1}", R"({'\descr': '<f4'})",
                            R"({'descr': '<f4', 'descr\t': 1})", R"({'descr': '<f4', 'desc\x7': 1})",
                            // Values numpy refuses, also where a later copy of the key replaces
                            // them, and literals this reader does not take (named characters,
                            // integers other than plain decimal, floats).
                            "{'descr': (64 64), 'descr': '<f4'}", "{'descr': Flase, 'descr': '<f4'}",
                            "{'descr': __import__('os'), 'descr': '<f4'}", R"({'descr': '\xZZ', 'descr': '<f4'})",
                            R"({'descr': '\U00110000', 'descr': '<f4'})",
                            R"({'descr': '\N{DIGIT ONE}', 'descr': '<f4'})",
                            "{'descr': 'a\rb', 'descr': '<f4'}", "{'descr': {[1]: 2}, 'descr': '<f4'}",
                            "{'descr': {1, [2]}, 'descr': '<f4'}", "{'descr': {1: 2, 3}, 'descr': '<f4'}",
                            "{'descr': --1, 'descr': '<f4'}", "{'descr': -'a', 'descr': '<f4'}",
                            "{'descr': (,), 'descr': '<f4'}", "{'descr': 0x40, 'descr': '<f4'}",
                            "{'descr': 6_4, 'descr': '<f4'}", "{'descr': 00, 'descr': '<f4'}",
                            "{'descr': 1.5, 'descr': '<f4'}", "{'descr': (1)(2), 'descr': '<f4'}",
                            "{'descr': Truex, 'descr': '<f4'}"}) {
        const NpyDict d = npy_header_dict(bad);
        EXPECT_TRUE(d.descr.entry.empty() && d.shape.entry.empty() && d.fortran_order.entry.empty()) << bad;
    }
    EXPECT_TRUE(npy_header_dict(std::string("{'descr': '<f4'}\0", 17)).descr.entry.empty());
    EXPECT_TRUE(npy_header_dict(std::string("{'descr': 'a\0b', 'descr': '<f4'}", 32)).descr.entry.empty());
}

}  // namespace
