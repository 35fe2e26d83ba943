// The header of a NumPy .npy file, as both programs read it: the magic and
// version, the header length and dictionary text, the C-order and square-shape
// checks and the size check against the file. Each program checks the element
// type itself. Also the header both programs write.
#pragma once

#include <cstdint>
#include <string>

// How a header text is encoded: Latin-1 (one byte a character) before format
// version 3.0, UTF-8 in it.
enum class NpyEncoding { latin1, utf8 };

struct NpyHeader {
    std::uint64_t data_offset = 0;  // prefix (10 or 12 bytes) + header length: element (0, 0)
    std::string text;               // the dictionary text, padding and line feed included
    NpyEncoding encoding = NpyEncoding::latin1;
    // The length is more bytes than npy_header_text_limit characters can
    // take in this encoding; the text was not read (it is left empty).
    bool too_long = false;
};

// One top-level entry of a header dictionary: the whole entry as written,
// from the key's opening quote to the end of its value (e.g.
// "'fortran_order': False"), and the value alone (e.g. "False", "'<f4'",
// "(4, 4)"); both without surrounding blanks, empty when the key is absent.
struct NpyEntry {
    std::string entry, value;
};

// The longest header text numpy reads without being told to trust the file.
constexpr std::size_t npy_header_text_limit = 10000;

// The entries 'descr', 'fortran_order' and 'shape' of a header dictionary.
// Keys are taken only at the top level of the literal: text inside strings,
// tuples, lists and nested dictionaries (a structured dtype's field names,
// say) is never taken for a key. A key is a string literal (see
// npy_string_literal). A key given twice counts with its last value, which
// the caller judges, but numpy evaluates every value, so one that a later
// copy replaces must be a literal of these kinds: a string, a decimal
// integer without leading zeros, True, False or None, or a tuple, list, set
// or dictionary of them (set elements and keys of a nested dictionary
// holding no list, set or dictionary), nested at most 100 brackets deep
// with the header's own braces. Text that is not a dictionary literal, that
// has anything but blanks after it, that has any other key (numpy takes
// these three and no more), that replaces a value of another kind, that
// holds a NUL, that is not UTF-8 where the encoding says so, or that has
// more than npy_header_text_limit characters has none of them. Blanks are
// the white space Python takes between tokens: space, tab, line feed,
// carriage return and form feed (no comments, no backslash joining lines).
struct NpyDict {
    NpyEntry descr, fortran_order, shape;
};
NpyDict npy_header_dict(const std::string& text, NpyEncoding encoding = NpyEncoding::latin1);
// The same for the text read from a file; a header too long to read has none.
NpyDict npy_header_dict(const NpyHeader& header);

// The characters of a Python string literal (e.g. an entry's value): one
// quote or three, either kind, its escapes read as Python reads them (an
// escape Python does not know keeps its backslash, a line break after a
// backslash is dropped); a character beyond ASCII stands as 0x80, as it can
// only make the text differ from the names compared with it. False for
// anything else: a prefix (r, b, u), two literals in a row, an escape Python
// refuses, and a named character (\N{...}), which is not looked up.
bool npy_string_literal(const std::string& literal, std::string& chars);

// How a long-form length field (major version other than 1) that the file cuts
// short is reported: the float32 reader calls it a truncated header, the
// integer reader a file that is not .npy.
enum class NpyShortLength { truncated_header, not_npy };

// Opens path and reads its prefix and header text; a length too long for a
// header numpy reads leaves the text unread (too_long). std::runtime_error:
// "cannot open " + path, path + ": not a .npy file" (fewer than 10 bytes, wrong
// magic, a format version other than 1.0, 2.0 and 3.0), path + ": truncated
// .npy header" (text cut short, whatever its length).
NpyHeader read_npy_header(const std::string& path, NpyShortLength short_length);

// N of a C-order (N, N) array, N > 0, from the header's top-level entries
// 'fortran_order' (the value False) and 'shape' (a tuple of exactly two
// decimal integers without leading zeros, neither negative); blanks may stand
// between any two tokens, and the tuple may end with a comma.
// std::runtime_error: path + ": array must be in C (row-major) order",
// path + ": shape must be a square (N, N)".
std::uint64_t npy_square_side(const std::string& path, const NpyHeader& header);

// True when the file holds exactly data_offset + n·n·elem_size bytes; a byte
// count that wraps around in 64 bits never matches, and then the file is not
// examined. std::runtime_error "cannot stat " + path.
bool npy_size_matches(const std::string& path, const NpyHeader& header, std::uint64_t n,
                      std::uint64_t elem_size);

// The header np.save writes for a C-order (n, n) array of element type descr
// (e.g. "<f4", "<i4"): version 1.0, the dictionary padded with blanks and ended
// by a line feed so that the data start on a 64-byte boundary right after it.
std::string npy_square_header(const char* descr, std::uint64_t n);
