#include "common/npy_header.h"

#include <climits>
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

    // The length field is untrusted. Version 3.0 is UTF-8, up to four bytes a
    // character, the others Latin-1; a text longer than the character limit
    // allows is refused unread, as a truncated header only when the file ends
    // before it does.
    NpyHeader header;
    header.data_offset = prefix + length;
    header.encoding = lead[6] == 3 ? NpyEncoding::utf8 : NpyEncoding::latin1;
    const std::uint64_t most = npy_header_text_limit * (header.encoding == NpyEncoding::utf8 ? 4 : 1);
    if (length > most) {
        char last = 0;
        if (!in.seekg(static_cast<std::streamoff>(prefix + length - 1)) || !in.get(last))
            throw std::runtime_error(path + ": truncated .npy header");
        header.too_long = true;
        return header;
    }
    header.text.resize(static_cast<std::size_t>(length));
    if (!in.read(header.text.data(), static_cast<std::streamsize>(length)))
        throw std::runtime_error(path + ": truncated .npy header");
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
// three); false when it does not end. A line break (LF, CR or CR LF) ends a
// string in one quote unless a backslash stands before it.
bool skip_string(const std::string& t, std::size_t& i) {
    const std::string triple(3, t[i]);
    const bool long_form = t.compare(i, 3, triple) == 0;
    const std::size_t close = long_form ? 3 : 1;
    for (i += close; i < t.size(); ++i) {
        if (t[i] == '\\') {
            if (t.compare(++i, 2, "\r\n") == 0) ++i;
        } else if (long_form ? t.compare(i, 3, triple) == 0 : t[i] == triple[0]) {
            i += close;
            return true;
        } else if (!long_form && (t[i] == '\n' || t[i] == '\r')) {
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

}  // namespace

bool npy_string_literal(const std::string& literal, std::string& value) {
    static constexpr char letters[] = "abfnrtv", controls[] = "\a\b\f\n\r\t\v";
    const char quote = literal.empty() ? '\0' : literal[0];
    std::size_t past = 0;
    if ((quote != '\'' && quote != '"') || !skip_string(literal, past) || past != literal.size()) return false;
    const std::size_t q = literal.size() >= 6 && literal.compare(0, 3, std::string(3, quote)) == 0 ? 3 : 1;
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
        if (e == '\n' || e == '\r') {
            if (literal.compare(i, 2, "\r\n") == 0) ++i;
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
            if (code > 0x10ffff) return false;
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

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_word(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// Moves i past a decimal integer as Python writes one: an optional sign,
// blanks, then digits without leading zeros (064 is refused); false when
// there is none. digits_at: where the digits start.
bool skip_integer(const std::string& t, std::size_t& i, std::size_t& digits_at) {
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) {
        ++i;
        skip_blanks(t, i);
    }
    digits_at = i;
    if (i >= t.size() || !is_digit(t[i]) || (t[i] == '0' && i + 1 < t.size() && is_digit(t[i + 1]))) return false;
    while (i < t.size() && is_digit(t[i])) ++i;
    return true;
}

// How deep the brackets of a header may nest, its own braces included; well
// below where Python's parser gives up (near 200, sooner with some contents).
constexpr int max_nesting = 100;

// Moves i past the literal value that starts at t[i] (of the kinds that
// npy_header_dict names) inside `depth` open brackets; false when there is
// none. hashable: the value may be a set element or a dictionary key (it
// holds no list, set or dictionary).
bool skip_literal(const std::string& t, std::size_t& i, int depth, bool& hashable) {
    hashable = true;
    const char c = i < t.size() ? t[i] : '\0';
    if (c == '\'' || c == '"') {
        const std::size_t at = i;
        std::string chars;
        return skip_string(t, i) && npy_string_literal(t.substr(at, i - at), chars);
    }
    if (c == '-' || c == '+' || is_digit(c)) {
        std::size_t digits_at = 0;
        return skip_integer(t, i, digits_at);
    }
    if (is_word(c)) {
        const std::size_t at = i;
        while (i < t.size() && is_word(t[i])) ++i;
        const std::string word = t.substr(at, i - at);
        return word == "True" || word == "False" || word == "None";
    }
    if ((c != '(' && c != '[' && c != '{') || depth >= max_nesting) return false;
    // A tuple (or a value in parentheses), a list, or a set or dictionary
    // (its first entry tells which), each entry followed by a comma or the
    // closing bracket, the last by either.
    const char closer = c == '(' ? ')' : c == '[' ? ']' : '}';
    bool all_hashable = true, keyed = false;
    for (std::size_t entries = 0;; ++entries) {
        ++i;  // past the opening bracket or a comma
        skip_blanks(t, i);
        if (i < t.size() && t[i] == closer) break;
        bool item_hashable = true;
        if (!skip_literal(t, i, depth + 1, item_hashable)) return false;
        skip_blanks(t, i);
        if (c == '{') {
            const bool has_value = i < t.size() && t[i] == ':';
            if (entries == 0) keyed = has_value;
            if (has_value != keyed || !item_hashable) return false;
            if (has_value) {
                ++i;
                skip_blanks(t, i);
                bool value_hashable = true;
                if (!skip_literal(t, i, depth + 1, value_hashable)) return false;
                skip_blanks(t, i);
            }
        }
        all_hashable = all_hashable && item_hashable;
        if (i < t.size() && t[i] == closer) break;
        if (i >= t.size() || t[i] != ',') return false;
    }
    ++i;
    hashable = c == '(' && all_hashable;
    return true;
}

// True when the value text of a top-level entry is one literal.
bool is_literal(const std::string& value) {
    std::size_t i = 0;
    bool hashable = true;
    return skip_literal(value, i, 1, hashable) && i == value.size();
}

// The number of characters of UTF-8 text, as Python's decoder reads it;
// false when the text is not UTF-8 (a stray or missing continuation byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF).
bool utf8_characters(const std::string& t, std::size_t& count) {
    static constexpr unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    count = 0;
    for (std::size_t i = 0; i < t.size(); ++count) {
        const unsigned char lead = static_cast<unsigned char>(t[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = (lead & 0xe0) == 0xc0 ? 2 : (lead & 0xf0) == 0xe0 ? 3 : (lead & 0xf8) == 0xf0 ? 4 : 0;
        if (n == 0 || t.size() - i < n) return false;
        unsigned long code = lead & (0x7fu >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const unsigned char next = static_cast<unsigned char>(t[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = code << 6 | (next & 0x3fu);
        }
        if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        i += n;
    }
    return true;
}

// The two dimensions of a shape value "(rows, cols)", with any blanks between
// the tokens (a sign and its digits included) and an optional comma after the
// second dimension; false for any other number of dimensions or a dimension
// that is not a decimal integer as Python writes one (skip_integer). A
// negative dimension, which numpy refuses, reads as the largest value, as one
// beyond 64 bits does: no file holds such a shape.
bool two_dimensions(const std::string& v, unsigned long& rows, unsigned long& cols) {
    if (v.size() < 2 || v.front() != '(' || v.back() != ')') return false;
    std::size_t i = 1;
    for (unsigned long* dim : {&rows, &cols}) {
        skip_blanks(v, i);
        const bool negative = v[i] == '-';
        std::size_t digits_at = 0;
        if (!skip_integer(v, i, digits_at)) return false;
        const std::string number = v.substr(digits_at, i - digits_at);
        *dim = negative && number != "0" ? ULONG_MAX : std::strtoul(number.c_str(), nullptr, 10);
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

}  // namespace

NpyDict npy_header_dict(const std::string& t, NpyEncoding encoding) {
    // Python takes no NUL anywhere in the text.
    std::size_t characters = t.size();
    if (t.find('\0') != std::string::npos || (encoding == NpyEncoding::utf8 && !utf8_characters(t, characters)) ||
        characters > npy_header_text_limit)
        return {};
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
        if (!skip_string(t, i) || !npy_string_literal(t.substr(key_at, i - key_at), key)) return {};
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
        // The last value of a key is judged by the rules for that key, but
        // numpy evaluates every value: one it refuses may not be replaced.
        if (!slot->entry.empty() && !is_literal(slot->value)) return {};
        *slot = {t.substr(key_at, end - key_at), t.substr(value_at, end - value_at)};
        if (t[i] == ',') ++i;
    }
}

NpyDict npy_header_dict(const NpyHeader& header) {
    return header.too_long ? NpyDict{} : npy_header_dict(header.text, header.encoding);
}

std::uint64_t npy_square_side(const std::string& path, const NpyHeader& header) {
    const NpyDict dict = npy_header_dict(header);
    if (dict.fortran_order.value != "False") throw std::runtime_error(path + ": array must be in C (row-major) order");
    unsigned long rows = 0, cols = 0;
    if (!two_dimensions(dict.shape.value, rows, cols) || rows != cols || rows == 0)
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
