#include "common/common.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <sys/stat.h>

std::string next_value(int& i, int argc, char** argv, const std::string& option) {
    if (i + 1 >= argc) throw std::runtime_error("missing value after " + option);
    ++i;
    return std::string(argv[i]);
}

std::uint64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
    return static_cast<std::uint64_t>(st.st_size);
}

bool square_matrix_bytes(std::uint64_t n, std::uint64_t elem_size, std::uint64_t& bytes) {
    std::uint64_t elements = 0;
    return !__builtin_mul_overflow(n, n, &elements) && !__builtin_mul_overflow(elements, elem_size, &bytes);
}

bool is_npy_path(const std::string& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".npy") == 0;
}

int run_reporting_failure(int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "FAILED %s\n", e.what());
        return 2;
    }
}
