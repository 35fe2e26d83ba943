#include "common/npy_header.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "common/common.h"

NpyHeader read_npy_header(const std::string& path, NpyShortLength short_length) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);

    // numpy knows the format versions 1.0, 2.0 and 3.0 only.
    unsigned char lead[12] = {};
    if (!in.read(reinterpret_cast<char*>(lead), 10) || std::memcmp(lead, "\x93NUMPY", 6) != 0 || lead[6] < 1 ||
        lead[6] > 3 || lead[7] != 0)
        throw std::runtime_error(path + ": not a .npy file");

    // Version 1.0 has a u16 length after a 10-byte prefix, 2.0 and 3.0 a u32
    // length after a 12-byte prefix.
    std::uint64_t length = static_cast<std::uint64_t>(lead[8]) | (static_cast<std::uint64_t>(lead[9]) << 8);
    std::uint64_t prefix = 10;
    if (lead[6] != 1) {
        if (!in.read(reinterpret_cast<char*>(lead + 10), 2))
            throw std::runtime_error(path + (short_length == NpyShortLength::not_npy ? ": not a .npy file"
                                                                                      : ": truncated .npy header"));
        length |= (static_cast<std::uint64_t>(lead[10]) << 16) | (static_cast<std::uint64_t>(lead[11]) << 24);
        prefix = 12;
    }

    // The length field is untrusted: the text is read in pieces, so a length
    // beyond the end of the file fails before any buffer of that size exists.
    NpyHeader header;
    header.data_offset = prefix + length;
    char chunk[65536];
    for (std::uint64_t left = length; left > 0;) {
        const std::size_t want = left < sizeof(chunk) ? static_cast<std::size_t>(left) : sizeof(chunk);
        if (!in.read(chunk, static_cast<std::streamsize>(want)))
            throw std::runtime_error(path + ": truncated .npy header");
        header.text.append(chunk, want);
        left -= want;
    }
    return header;
}

namespace {

// The white space Python takes between the tokens of a literal (no
// vertical tab).
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

void skip_blanks(const std::string& t, std::size_t& i) {
    while (i < t.size() && is_blank(t[i])) ++i;
}

// Moves i past the string literal whose opening quote is t[i] (one quote or
// three); false when it does not end.
bool skip_string(const std::string& t, std::size_t& i) {
    const std::string triple(3, t[i]);
    const bool long_form = t.compare(i, 3, triple) == 0;
    const std::size_t close = long_form ? 3 : 1;
    for (i += close; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;
        } else if (long_form ? t.compare(i, 3, triple) == 0 : t[i] == triple[0]) {
            i += close;
            return true;
        } else if (!long_form && t[i] == '\n') {
            return false;
        }
    }
    return false;
}

// Moves i past one value, to the ',' or '}' that ends it at the top level;
// false when the brackets do not balance or the text ends first.
bool skip_value(const std::string& t, std::size_t& i) {
    std::string closers;  // the brackets still open, innermost last
    while (i < t.size()) {
        const char c = t[i];
        if (c == '\'' || c == '"') {
            if (!skip_string(t, i)) return false;
            continue;
        }
        if (c == '(' || c == '[' || c == '{') {
            closers += c == '(' ? ')' : c == '[' ? ']' : '}';
        } else if (c == ')' || c == ']' || c == '}') {
            if (closers.empty()) return c == '}';
            if (closers.back() != c) return false;
            closers.pop_back();
        } else if (closers.empty() && (c == ',' || c == ':')) {
            return c == ',';  // a second ':' at the top level is no value
        }
        ++i;
    }
    return false;
}

// The value of a hexadecimal digit, or -1.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The characters of a string literal in one quote or three (as skip_string
// takes it), its escapes read as Python reads them; an escape Python does
// not know keeps its backslash, and a character beyond ASCII stands as 0x80
// (it can only make the value differ from a key). False for anything else,
// for an escape Python refuses, and for a named character (\N{...}), which
// is not looked up.
bool string_value(const std::string& literal, std::string& value) {
    static constexpr char letters[] = "abfnrtv", controls[] = "\a\b\f\n\r\t\v";
    const char quote = literal.empty() ? '\0' : literal[0];
    const std::size_t q = literal.size() >= 6 && literal.compare(0, 3, std::string(3, quote)) == 0 ? 3 : 1;
    if ((quote != '\'' && quote != '"') || literal.size() < 2 * q || literal.back() != quote) return false;
    value.clear();
    const std::size_t end = literal.size() - q;
    for (std::size_t i = q; i < end; ++i) {
        if (literal[i] != '\\') {
            value += literal[i];
            continue;
        }
        if (++i == end) return false;
        const char e = literal[i];
        const char* letter = e != '\0' ? std::strchr(letters, e) : nullptr;
        unsigned long code = 0;
        if (e == '\n') {
            continue;  // the line goes on
        } else if (e == '\\' || e == '\'' || e == '"') {
            code = static_cast<unsigned char>(e);
        } else if (letter != nullptr) {
            code = static_cast<unsigned char>(controls[letter - letters]);
        } else if (e >= '0' && e <= '7') {
            code = static_cast<unsigned long>(e - '0');
            for (int k = 1; k < 3 && i + 1 < end && literal[i + 1] >= '0' && literal[i + 1] <= '7'; ++k)
                code = code * 8 + static_cast<unsigned long>(literal[++i] - '0');
        } else if (e == 'x' || e == 'u' || e == 'U') {
            for (int k = 0, digits = e == 'x' ? 2 : e == 'u' ? 4 : 8; k < digits; ++k) {
                if (++i == end || hex_digit(literal[i]) < 0) return false;
                code = code * 16 + static_cast<unsigned long>(hex_digit(literal[i]));
            }
        } else if (e == 'N') {
            return false;
        } else {
            value += '\\';
            code = static_cast<unsigned char>(e);
        }
        value += code < 0x80 ? static_cast<char>(code) : '\x80';
    }
    return true;
}

// The two dimensions of a shape value "(rows, cols)", with any blanks between
// the tokens (a sign and its digits included) and an optional comma after the
// second dimension; false for any other number of dimensions or a dimension
// that is not a decimal integer as Python writes one (no leading zeros: 064
// is refused). The sign and digits read as strtoul reads them (a negative
// dimension wraps around).
bool two_dimensions(const std::string& v, unsigned long& rows, unsigned long& cols) {
    if (v.size() < 2 || v.front() != '(' || v.back() != ')') return false;
    std::size_t i = 1;
    for (unsigned long* dim : {&rows, &cols}) {
        skip_blanks(v, i);
        std::string number;
        if (v[i] == '-' || v[i] == '+') {
            number += v[i++];
            skip_blanks(v, i);
        }
        if (v[i] < '0' || v[i] > '9') return false;
        if (v[i] == '0' && v[i + 1] >= '0' && v[i + 1] <= '9') return false;
        while (v[i] >= '0' && v[i] <= '9') number += v[i++];
        *dim = std::strtoul(number.c_str(), nullptr, 10);
        skip_blanks(v, i);
        if (v[i] == ',') {
            ++i;
        } else if (dim == &rows) {
            return false;
        }
    }
    skip_blanks(v, i);
    return i == v.size() - 1;
}

// True when the entry is written with exactly this quoted key.
bool keyed(const NpyEntry& e, const char* quoted_key) { return e.entry.rfind(quoted_key, 0) == 0; }

}  // namespace

NpyDict npy_header_dict(const std::string& t) {
    if (t.size() > npy_header_text_limit) return {};
    NpyDict dict;
    std::size_t i = 0;
    skip_blanks(t, i);
    if (i >= t.size() || t[i] != '{') return {};
    ++i;
    for (;;) {
        skip_blanks(t, i);
        if (i >= t.size()) return {};
        if (t[i] == '}') {
            // Only blanks (the padding and its line feed) may follow.
            ++i;
            skip_blanks(t, i);
            return i == t.size() ? dict : NpyDict{};
        }
        if (t[i] != '\'' && t[i] != '"') return {};
        const std::size_t key_at = i;
        std::string key;
        if (!skip_string(t, i) || !string_value(t.substr(key_at, i - key_at), key)) return {};
        skip_blanks(t, i);
        if (i >= t.size() || t[i] != ':') return {};
        ++i;
        skip_blanks(t, i);
        const std::size_t value_at = i;
        if (!skip_value(t, i)) return {};
        std::size_t end = i;
        while (end > value_at && is_blank(t[end - 1])) --end;
        if (end == value_at) return {};
        NpyEntry* slot = key == "descr" ? &dict.descr
                         : key == "fortran_order" ? &dict.fortran_order
                         : key == "shape" ? &dict.shape : nullptr;
        if (slot == nullptr) return {};
        *slot = {t.substr(key_at, end - key_at), t.substr(value_at, end - value_at)};
        if (t[i] == ',') ++i;
    }
}

std::uint64_t npy_square_side(const std::string& path, const NpyHeader& header) {
    const NpyDict dict = npy_header_dict(header.text);
    if (!keyed(dict.fortran_order, "'fortran_order'") || dict.fortran_order.value != "False")
        throw std::runtime_error(path + ": array must be in C (row-major) order");
    unsigned long rows = 0, cols = 0;
    if (!keyed(dict.shape, "'shape'") || !two_dimensions(dict.shape.value, rows, cols) || rows != cols || rows == 0)
        throw std::runtime_error(path + ": shape must be a square (N, N)");
    return rows;
}

bool npy_size_matches(const std::string& path, const NpyHeader& header, std::uint64_t n, std::uint64_t elem_size) {
    std::uint64_t bytes = 0, end = 0;
    if (!square_matrix_bytes(n, elem_size, bytes) || __builtin_add_overflow(header.data_offset, bytes, &end))
        return false;
    return end == file_size(path);
}

std::string npy_square_header(const char* descr, std::uint64_t n) {
    std::string dict = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(n) + ", " + std::to_string(n) + "), }";
    while ((dict.size() + 11) % 64 != 0) dict += ' ';
    dict += '\n';
    const std::size_t len = dict.size();  // at most 118 for a 3-character descr and any 64-bit n
    std::string prefix = "\x93NUMPY";
    prefix += '\x01';
    prefix += '\x00';
    prefix += static_cast<char>(len & 0xff);
    prefix += static_cast<char>((len >> 8) & 0xff);
    return prefix + dict;
}
