// Small helpers shared by korvane_multiply and korvane_multiply_modp.
#pragma once

#include <cstdint>
#include <string>

// Returns the value of the option at argv[i] and advances i past it.
// Throws std::runtime_error "missing value after <option>" when none follows.
std::string next_value(int& i, int argc, char** argv, const std::string& option);

// Size in bytes of the file at path; std::runtime_error "cannot stat <path>".
std::uint64_t file_size(const std::string& path);

// Sets bytes to n·n·elem_size, the byte count of an n x n matrix, and returns
// true; returns false when that product does not fit in 64 bits.
bool square_matrix_bytes(std::uint64_t n, std::uint64_t elem_size, std::uint64_t& bytes);

// True when path ends in ".npy" (exact case).
bool is_npy_path(const std::string& path);

// Runs body(argc, argv) and returns its status. A std::exception ends the
// run with standard output flushed, the line "FAILED <what>" on standard
// error and status 2.
int run_reporting_failure(int (*body)(int, char**), int argc, char** argv);
