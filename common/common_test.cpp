#include "common/common.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

TEST(Common, NextValueAdvancesOrNamesTheOption) {
    char a0[] = "prog", a1[] = "--workers", a2[] = "8";
    char* argv[] = {a0, a1, a2};
    int i = 1;
    EXPECT_EQ(next_value(i, 3, argv, "--workers"), "8");
    EXPECT_EQ(i, 2);
    try {
        next_value(i, 3, argv, "--workers");
        FAIL() << "no throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "missing value after --workers");
    }
    EXPECT_EQ(i, 2);
}

TEST(Common, FileSizeAndNpySuffix) {
    std::string path = ::testing::TempDir() + "common_size.bin";
    { std::ofstream f(path, std::ios::binary); f << std::string(1234, 'x'); }
    EXPECT_EQ(file_size(path), 1234u);
    std::remove(path.c_str());
    try {
        file_size(path);
        FAIL() << "no throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot stat " + path);
    }
    EXPECT_TRUE(is_npy_path("a.npy"));
    EXPECT_TRUE(is_npy_path(".npy"));
    EXPECT_FALSE(is_npy_path("npy"));
    EXPECT_FALSE(is_npy_path("a.NPY"));
    EXPECT_FALSE(is_npy_path("a.npy.bin"));
}
