#include "common/common.h"

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

bool is_npy_path(const std::string& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".npy") == 0;
}
