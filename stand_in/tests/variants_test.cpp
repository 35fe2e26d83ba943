// The test-only variants that the loader's failure-path tests load: each
// must differ from the stand-in in exactly the documented way.
#include <string>

#include <gtest/gtest.h>

#include "korvane_stand_in_variants.h"
#include "stand_in/tests/stand_in_loader.h"

using namespace stand_in_test;

namespace {

StandIn load_variant(const char* name)
{
    return load_stand_in(std::string(KORVANE_STAND_IN_VARIANT_DIR) + "/" + name +
                         "/libblis-mt.so.5.3.2");
}

}  // namespace

TEST(StandInVariants, WrongVersion)
{
    StandIn s = load_variant("wrong_version");
    EXPECT_STREQ(s.version(), "5.3.20");
    EXPECT_EQ(s.int_size(), 64);
}

TEST(StandInVariants, LongVersionNamesTheRelease)
{
    StandIn s = load_variant("long_version");
    ASSERT_NE(s.version(), nullptr);
    std::string v = s.version();
    EXPECT_NE(v, "5.3.2");
    EXPECT_NE(v.find("AOCL-BLAS 5.3.2"), std::string::npos) << v;
}

TEST(StandInVariants, NullVersion)
{
    StandIn s = load_variant("null_version");
    EXPECT_EQ(s.version(), nullptr);
}

TEST(StandInVariants, Int32NativeIntegers)
{
    StandIn s = load_variant("int32");
    EXPECT_STREQ(s.version(), "5.3.2");
    EXPECT_EQ(s.int_size(), 32);
    EXPECT_EQ(s.blas_int_size(), 32);
}

TEST(StandInVariants, MissingSymbolIsNotFoundAnywhereInTheNamespace)
{
    StandIn s = load_variant("missing_symbol");
    EXPECT_EQ(s.find("bli_thread_get_ir_nt"), nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(s.get_way[i], nullptr) << i;
    EXPECT_STREQ(s.version(), "5.3.2");
}

TEST(StandInVariants, IgnoredLocalSettingTripsTheReadBack)
{
    StandIn s = load_variant("ignored_local");
    // start-up sequence: still reads 1, since the process-wide count is 1
    s.set_global(1);
    s.set_local(1);
    EXPECT_EQ(s.get_threads(), 1);
    // a per-thread change is not read back
    s.set_local(2);
    EXPECT_EQ(s.get_threads(), 1);
    s.set_global(3);
    s.set_local(1);
    EXPECT_EQ(s.get_threads(), 3);
}
