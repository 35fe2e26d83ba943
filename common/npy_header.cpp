#include "common/npy_header.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "common/common.h"

NpyHeader read_npy_header(const std::string& path, NpyShortLength short_length) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);

    unsigned char lead[12] = {};
    if (!in.read(reinterpret_cast<char*>(lead), 10) || std::memcmp(lead, "\x93NUMPY", 6) != 0)
        throw std::runtime_error(path + ": not a .npy file");

    // Major version 1 has a u16 length after a 10-byte prefix, every other
    // one a u32 length after a 12-byte prefix.
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

std::uint64_t npy_square_side(const std::string& path, const NpyHeader& header) {
    if (header.text.find("'fortran_order': False") == std::string::npos)
        throw std::runtime_error(path + ": array must be in C (row-major) order");
    const std::size_t at = header.text.find("'shape':");
    unsigned long rows = 0, cols = 0;
    if (at == std::string::npos || std::sscanf(header.text.c_str() + at, "'shape': (%lu, %lu", &rows, &cols) != 2 ||
        rows != cols || rows == 0)
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
