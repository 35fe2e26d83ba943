// Loader scenarios of the AOCL backend. The library handle is process-wide and
// never cleared, so every scenario that loads runs in a forked child and
// reports through its standard output.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <tuple>

#include "korvane_aocl_config.h"
#include "korvane_stand_in_variants.h"
#include "multiply/blas/aocl_backend.h"
#include "multiply/blas/blas_test_support.h"
#include "multiply/blas/leaf_route.h"

namespace {

using namespace blas_test;
namespace fs = std::filesystem;

const std::string kOnce = "AOCL backend: initialize must be called exactly once, before external workers";
const std::string kNotPinned = "AOCL backend: external AOCL caller is not pinned to one configured CPU";
const std::string kInvalid = "AOCL backend: invalid thread setting or uninitialized backend";

// The whole environment, as NAME=value entries.
std::set<std::string> env_snapshot() {
    std::set<std::string> snap;
    for (char** entry = environ; *entry != nullptr; ++entry) snap.insert(*entry);
    return snap;
}

// A mix of set and absent variables, so that restoring must both set and unset.
void preset_environment() {
    for (const auto& [name, value] : {std::pair{"OMP_PLACES", "junk"}, {"BLIS_JC_NT", "3"}, {"OMP_NUM_THREADS", ""}})
        setenv(name, value, 1);
    for (const char* name : {"BLIS_NUM_THREADS", "OMP_PROC_BIND", "GOMP_SPINCOUNT"}) unsetenv(name);
}

// Child side: prints "<tag> <error>" ("" when fn returned).
void say(const char* tag, const std::function<void()>& fn) { std::printf("%s %s\n", tag, error_of(fn).c_str()); }

// Child side: prints "<tag> env=same|changed mask=same|changed ok|<error>".
void attempt(const char* tag, const std::function<void()>& fn) {
    const std::set<std::string> env = env_snapshot();
    const cpu_set_t mask = current_mask();
    const std::string error = error_of(fn);
    const cpu_set_t after = current_mask();
    std::printf("%s env=%s mask=%s %s\n", tag, env_snapshot() == env ? "same" : "changed",
                CPU_EQUAL(&mask, &after) ? "same" : "changed", error.empty() ? "ok" : error.c_str());
}

void print_counters() {
    std::printf("AUDITED %lu NATIVE %lu FAILURES %lu\n", aocl_backend::external_audited_calls.load(),
                aocl_backend::native_guarded_calls.load(), aocl_backend::affinity_failures.load());
}

std::string variant(const char* name) {
    return std::string(KORVANE_STAND_IN_VARIANT_DIR) + "/" + name + "/libblis-mt.so.5.3.2";
}

// The CPUs a backend starting at CPU 0 may be configured for, or a skip.
#define REQUIRE_AOCL_CPUS(cpus, n)                                                              \
    const std::vector<int> cpus = aocl_test_cpus();                                             \
    if (cpus.size() < (n)) GTEST_SKIP() << "needs " << (n) << " usable CPUs on distinct physical cores"

// Fake sysfs trees <name>/cpu<N>/topology/{core_id,physical_package_id} under
// one temporary root, each from (cpu, core, package) triples.
struct FakeTopologies {
    const fs::path root = fs::temp_directory_path() / ("korvane_topology_" + std::to_string(getpid()));
    ~FakeTopologies() { fs::remove_all(root); }
    std::string add(const std::string& name, std::initializer_list<std::tuple<int, int, int>> cpus) const {
        for (const auto& [cpu, core, package] : cpus) {
            const fs::path dir = root / name / ("cpu" + std::to_string(cpu)) / "topology";
            fs::create_directories(dir);
            std::ofstream(dir / "core_id") << core << "\n";
            std::ofstream(dir / "physical_package_id") << package << "\n";
        }
        return (root / name / "cpu").string();
    }
};

TEST(AoclLoader, ScopedEnvironmentListRestoresInReverseOrder) {
    setenv("KORVANE_BLAS_T1", "old", 1);
    unsetenv("KORVANE_BLAS_T2");
    std::vector<aocl_backend::SavedVariable> list;
    aocl_backend::update_environment(list, "KORVANE_BLAS_T1", "new");
    aocl_backend::update_environment(list, "KORVANE_BLAS_T2", "x");
    aocl_backend::update_environment(list, "KORVANE_BLAS_T1", nullptr);  // second change of one name
    EXPECT_EQ(std::getenv("KORVANE_BLAS_T1"), nullptr);
    aocl_backend::restore_environment(list);
    EXPECT_STREQ(std::getenv("KORVANE_BLAS_T1"), "old");
    EXPECT_EQ(std::getenv("KORVANE_BLAS_T2"), nullptr);

    EXPECT_EQ(error_of([&] { aocl_backend::update_environment(list, "KORVANE=BAD", "1"); }),  // setenv refuses '='
              "AOCL backend: environment update failed");
    unsetenv("KORVANE_BLAS_T1");
}

// One initialize per row, each in a fresh process, then a second one with the
// real library and topology: a refusal before the load leaves the backend
// loadable; after any load, good or bad, a second call is refused.
TEST(AoclLoader, InitializeOutcomesLeaveEnvironmentAndMaskUnchanged) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const int u0 = cpus[0], u1 = cpus[1];  // a team of two from CPU 0 runs on these
    const FakeTopologies fake;
    const std::string only_first = fake.add("first", {{u0, 0, 0}});  // none for u1
    const std::string smt = fake.add("smt", {{u0, 0, 0}, {u1, 0, 0}});  // u1 shares u0's core
    const std::string two_packages = fake.add("packages", {{u0, 0, 0}, {u1, 0, 1}});  // one core id, two packages
    const std::string empty = fake.add("empty", {});
    const std::string range = "AOCL backend: invalid CPU range";
    const std::string outside = "AOCL backend: requested CPU is outside caller's initial affinity";
    const std::string no_shim = "/nonexistent/korvane/libkorvane_aocl_key_shim.so";
    // topology, library and shim "" are the real ones (with only_first the caller runs on u0 alone); a
    // result ending in ": " is followed by the loader's own text; symbols: AOCL_SYMBOL lines of the first call.
    struct Case { int count, base; std::string topology, library, result; std::size_t symbols; std::string shim = ""; };
    const Case cases[] = {
        {0, 0, "", "", range, 0},
        {1, -1, "", "", range, 0},
        {2, 1023, "", "", range, 0},
        {1024, 0, "", "", outside, 0},  // in range, but there are not that many usable CPUs
        {2, 0, only_first, "", outside, 0},  // refused before u1's topology is read
        {2, 0, smt, "", "AOCL backend: requested CPUs contain SMT siblings", 0},
        {2, 0, empty, "", "AOCL backend: cannot read physical CPU topology", 0},
        {2, 0, "", "/nonexistent/korvane/libblis-mt.so.5.3.2",
         "AOCL backend: /nonexistent/korvane/libblis-mt.so.5.3.2: cannot open shared object file: ", 0},
        {2, 0, "", "", "AOCL backend: " + no_shim + ": cannot open shared object file: ", 0, no_shim},
        {2, 0, "", variant("wrong_version"), "AOCL backend: unexpected library version: 5.3.20", 16},
        {2, 0, "", variant("null_version"), "AOCL backend: unexpected library version: null", 16},
        {2, 0, "", variant("int32"), "AOCL backend: installed native/CBLAS integer ABI mismatch", 16},
        {2, 0, "", variant("missing_symbol"), "AOCL backend: missing symbol bli_thread_get_ir_nt: ", 9},
        // A long version text containing the release is accepted.
        {2, 0, two_packages, variant("long_version"), "ok", 16},
    };
    for (const Case& c : cases) {
        const std::string out = run_in_child([&] {
            preset_environment();
            const cpu_set_t all = current_mask(), first = mask_of({u0});
            if (c.topology == only_first) sched_setaffinity(0, sizeof(first), &first);
            if (!c.topology.empty()) aocl_backend::testing::set_topology_root(c.topology);
            aocl_backend::testing::set_library_path(c.library);
            aocl_backend::testing::set_key_shim_path(c.shim);
            attempt("FIRST", [&] { aocl_backend::initialize(c.count, c.base); });
            std::printf("READY %d\n", aocl_backend::state.ready ? 1 : 0);
            aocl_backend::testing::set_topology_root("/sys/devices/system/cpu/cpu");
            aocl_backend::testing::set_library_path("");
            aocl_backend::testing::set_key_shim_path("");
            sched_setaffinity(0, sizeof(all), &all);
            attempt("SECOND", [] { aocl_backend::initialize(2, 0); });
        });
        SCOPED_TRACE(std::to_string(c.count) + " " + std::to_string(c.base) + " " + c.library + c.shim + "\n" + out);
        const std::size_t split = out.find("FIRST ");
        ASSERT_NE(split, std::string::npos);
        const std::string first_load = out.substr(0, split);
        const bool ok = c.result == "ok";
        EXPECT_EQ(lines_with_prefix(first_load, "AOCL_SYMBOL ").size(), c.symbols);
        EXPECT_EQ(lines_with_prefix(first_load, "AOCL_BACKEND ").size(), ok ? 1u : 0u);
        EXPECT_EQ(ok, first_load.find("AOCL_BACKEND version=AMD AOCL-BLAS 5.3.2 Build ") != std::string::npos);
        const auto rest = lines_with_prefix(out.substr(split));
        ASSERT_GE(rest.size(), 3u);
        const std::string first = "FIRST env=same mask=same " + c.result;
        EXPECT_TRUE(c.result.ends_with(": ") ? rest[0].starts_with(first) : rest[0] == first) << rest[0];
        EXPECT_EQ(rest[1], ok ? "READY 1" : "READY 0");
        EXPECT_EQ(rest.back(), "SECOND env=same mask=same " + (c.symbols > 0 ? kOnce : "ok"));
    }
}

// The records of a successful start-up, field by field and in order: the
// sixteen bound symbols, the library and its recorded digest, the runtime
// settings with one OpenMP place per worker, and the native team's audit.
TEST(AoclLoader, StartUpRecordsNameEverySettingAndTeamMember) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const int count = static_cast<int>(std::min<std::size_t>(cpus.size(), 3));
    const std::string out = run_in_child([&] {
        unsetenv("AOCL_AUDIT_EVERY_CALL");
        attempt("INIT", [&] { aocl_backend::initialize(count, 0); });
    });
    SCOPED_TRACE(out);
    const std::vector<std::string> lines = lines_with_prefix(out, "AOCL_");
    ASSERT_EQ(lines.size(), 16u + 2u + static_cast<std::size_t>(count) + 1u);

    const char* const symbols[] = {
        "cblas_sgemm", "bli_thread_set_num_threads_local", "bli_thread_set_num_threads", "bli_thread_set_ways",
        "bli_thread_get_num_threads", "bli_thread_get_jc_nt", "bli_thread_get_pc_nt", "bli_thread_get_ic_nt",
        "bli_thread_get_jr_nt", "bli_thread_get_ir_nt", "bli_info_get_version_str", "bli_info_get_int_type_size",
        "bli_info_get_blas_int_type_size", "GOMP_parallel", "omp_get_num_threads", "omp_get_thread_num"};
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(std::string("AOCL_SYMBOL name=") + symbols[i] +
                                                          " file=/\\S+ address=0x[0-9a-f]+")))
            << lines[i];
    // The stand-in's own entry points come from the configured file.
    EXPECT_NE(lines[0].find(std::string(" file=") + KORVANE_AOCL_LIBRARY_PATH + " "), std::string::npos) << lines[0];

    const std::string digest = KORVANE_AOCL_LIBRARY_SHA256;
    EXPECT_TRUE(std::regex_match(digest, std::regex("[0-9a-f]{64}"))) << digest;
    const std::string backend = lines[16];
    const std::string head = "AOCL_BACKEND version=5.3.2 namespace=";
    const std::string tail = std::string(" library=") + KORVANE_AOCL_LIBRARY_PATH + " recorded_sha256=" + digest +
                             " hash_checked_at_init=0";
    ASSERT_TRUE(backend.starts_with(head) && backend.ends_with(tail)) << backend;
    const std::string ns = backend.substr(head.size(), backend.size() - head.size() - tail.size());
    EXPECT_TRUE(std::regex_match(ns, std::regex("[1-9][0-9]*"))) << ns;  // not the base namespace 0

    std::string places, workers;
    for (int i = 0; i < count; ++i) {
        places += (i ? ",{" : "{") + std::to_string(cpus[i]) + "}";
        workers += "AOCL_NATIVE_WORKER id=" + std::to_string(i) + " team=" + std::to_string(count) +
                   " cpu=" + std::to_string(cpus[i]) + " affinity_count=1 valid=1\n";
    }
    EXPECT_EQ(lines[17], "AOCL_RUNTIME BLIS_NUM_THREADS=1 OMP_NUM_THREADS=" + std::to_string(count) +
                             " OMP_PLACES=" + places +
                             " OMP_PROC_BIND=close OMP_WAIT_POLICY=PASSIVE GOMP_SPINCOUNT=0 "
                             "external_affinity_audit=first_call_per_thread");
    std::string audit;
    for (std::size_t i = 18; i < lines.size(); ++i) audit += lines[i] + "\n";
    const std::string n = std::to_string(count);
    EXPECT_EQ(audit, workers + "AOCL_NATIVE_AUDIT workers=" + n + " distinct_cpus=" + n +
                         " distinct_physical_cores=" + n + " pass=1\n");
    EXPECT_NE(out.find("INIT env=same mask=same ok\n"), std::string::npos);
}

// A library whose OpenMP team is short by one member, whose members are not
// pinned to one CPU each, or whose members share one CPU: the members'
// records show what is wrong, the audit fails, and initialize refuses with
// the environment and mask restored.
TEST(AoclLoader, NativeTeamAuditRefusesFaultyTeams) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const std::string refused =
        "AOCL backend: native OpenMP team/affinity audit failed; use a separately linked comparator";
    const std::string workers_short = "AOCL_NATIVE_WORKER id=0 team=1 cpu=" + std::to_string(cpus[0]) +
                                      " affinity_count=1 valid=0\n"
                                      "AOCL_NATIVE_WORKER id=1 team=0 cpu=-1 affinity_count=0 valid=0\n";
    // Unpinned members may each run on both CPUs of the team.
    const std::string unpinned = "team=2 cpu=(" + std::to_string(cpus[0]) + "|" + std::to_string(cpus[1]) +
                                 ") affinity_count=2 valid=0\n";
    const std::regex workers_unpinned("AOCL_NATIVE_WORKER id=0 " + unpinned + "AOCL_NATIVE_WORKER id=1 " + unpinned);
    // Members that share a CPU are each valid; the team is not.
    const std::string one_cpu = "team=2 cpu=" + std::to_string(cpus[0]) + " affinity_count=1 valid=1\n";
    const std::string workers_one_cpu = "AOCL_NATIVE_WORKER id=0 " + one_cpu + "AOCL_NATIVE_WORKER id=1 " + one_cpu;
    for (const char* team : {"short_team", "unpinned_team", "one_cpu_team"}) {
        const std::string out = run_in_child([&] {
            preset_environment();
            aocl_backend::testing::set_library_path(variant(team));
            attempt("FIRST", [] { aocl_backend::initialize(2, 0); });
            std::printf("READY %d\n", aocl_backend::state.ready ? 1 : 0);
        });
        SCOPED_TRACE(std::string(team) + "\n" + out);
        std::string records;
        for (const std::string& line : lines_with_prefix(out, "AOCL_NATIVE_")) records += line + "\n";
        const std::string name = team, distinct = name == "one_cpu_team" ? "1" : "0";
        const std::string audit = "AOCL_NATIVE_AUDIT workers=2 distinct_cpus=" + distinct +
                                  " distinct_physical_cores=" + distinct + " pass=0\n";
        ASSERT_TRUE(records.ends_with(audit)) << records;
        const std::string members = records.substr(0, records.size() - audit.size());
        if (name == "short_team")
            EXPECT_EQ(members, workers_short);
        else if (name == "unpinned_team")
            EXPECT_TRUE(std::regex_match(members, workers_unpinned)) << members;
        else
            EXPECT_EQ(members, workers_one_cpu);
        // The records come before the refusal, which leaves nothing changed.
        EXPECT_TRUE(out.ends_with(audit + "FIRST env=same mask=same " + refused + "\nREADY 0\n"));
    }
}

// Only the exact text "1" audits every one-thread call; otherwise each thread's
// first call is audited and later ones are not.
TEST(AoclLoader, AuditEveryCallNeedsTheExactTextOne) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const std::pair<const char*, bool> cases[] = {
        {"1", true}, {"", false}, {"01", false}, {"1x", false}, {nullptr, false}};
    for (const auto& [value, every] : cases) {
        const std::string out = run_in_child([&] {
            if (value) setenv("AOCL_AUDIT_EVERY_CALL", value, 1);
            else unsetenv("AOCL_AUDIT_EVERY_CALL");
            aocl_backend::initialize(2, 0);
            std::vector<float> a = integer_matrix(64, 3), b = integer_matrix(64, 4), c(64);
            std::printf("CALLS %s\n", run_on_thread({cpus[0]}, [&] {
                            for (int i = 0; i < 3; ++i)
                                aocl_backend::sgemm_one_thread(8, 8, 8, a.data(), 8, b.data(), 8, c.data(), 8);
                        }).c_str());
            print_counters();
        });
        SCOPED_TRACE(std::string(value ? value : "<unset>") + "\n" + out);
        const auto runtime = lines_with_prefix(out, "AOCL_RUNTIME ");
        ASSERT_EQ(runtime.size(), 1u);
        EXPECT_TRUE(runtime[0].ends_with(every ? "=every_call" : "=first_call_per_thread")) << runtime[0];
        EXPECT_NE(out.find(std::string("CALLS \nAUDITED ") + (every ? "3" : "1") + " NATIVE 0 FAILURES 0\n"),
                  std::string::npos);
    }
}

// The library ignores per-thread counts: start-up reads back the global count
// 1 and passes; the first per-thread count above 1 is refused and leaves the
// thread's count and mask alone.
TEST(AoclLoader, IgnoredLocalThreadSettingIsRefused) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const std::string out = run_in_child([] {
        aocl_backend::testing::set_library_path(variant("ignored_local"));
        attempt("INIT", [] { aocl_backend::initialize(2, 0); });
        attempt("SET", [] { aocl_backend::set_threads(2); });
        std::printf("THREADS %d\n", aocl_backend::thread_state.threads);
    });
    EXPECT_NE(out.find("INIT env=same mask=same ok\n"
                       "SET env=same mask=same AOCL backend: AOCL local thread setting was not accepted\nTHREADS 1\n"),
              std::string::npos)
        << out;
}

// Before initialize the OpenBLAS leaf route works and everything AOCL refuses.
TEST(AoclLoader, CallsBeforeInitialize) {
    const std::string out = run_in_child([] {
        openblas_set_num_threads(1);
        float a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8}, c[4] = {1, 1, 1, 1};
        say("SET", [] { aocl_backend::set_threads(1); });
        say("ONE", [&] { aocl_backend::sgemm_one_thread(2, 2, 2, a, 2, b, 2, c, 2); });
        say("LEAF_SGEMM", [&] { aocl_backend::leaf_sgemm(2, 2, 2, a, 2, b, 2, c, 2); });
        say("GEMM", [&] { aocl_backend::sgemm(101, 111, 111, 2, 2, 2, 1, a, 2, b, 2, 0, c, 2); });
        leaf_routing::pan_leaf_side = 2;
        leaf_routing::aocl_corrections = false;
        say("ROUTE_OPENBLAS", [&] { leaf_routing::route_leaf_sgemm(a, 2, b, 2, c, 2, -1.0f, 1.0f); });
        std::printf("C %g %g %g %g COUNTER %llu\n", c[0], c[1], c[2], c[3],
                    static_cast<unsigned long long>(leaf_routing::pan_leaf_counter.load()));
        leaf_routing::aocl_corrections = true;
        say("ROUTE_AOCL", [&] { leaf_routing::route_leaf_sgemm(a, 2, b, 2, c, 2, 1.0f, 0.0f); });
        std::printf("COUNTER %llu\n", static_cast<unsigned long long>(leaf_routing::pan_leaf_counter.load()));
    });
    EXPECT_EQ(out, "SET " + kInvalid + "\nONE " + kInvalid + "\nLEAF_SGEMM " + kInvalid +
                       "\nGEMM AOCL backend: set_threads in every calling worker before SGEMM\n"
                       "ROUTE_OPENBLAS \nC -18 -21 -42 -49 COUNTER 1\n"  // c = 1 - [[19, 22], [43, 50]]
                       "ROUTE_AOCL " + kInvalid + "\nCOUNTER 1\n");
}

// Placement guard of one-thread calls with a backend configured for the first
// usable CPU alone; the second one is outside.
TEST(AoclLoader, OneThreadCallerMustBePinnedToOneConfiguredCpu) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    std::string out = run_in_child([&] {
        aocl_backend::initialize(1, 0);
        std::vector<float> a = integer_matrix(256, 1), b = integer_matrix(256, 2), c(256), ref(256);
        openblas_gemm(16, 16, 16, 1, a.data(), 16, b.data(), 16, 0, ref.data(), 16);
        auto call = [&] { aocl_backend::sgemm_one_thread(16, 16, 16, a.data(), 16, b.data(), 16, c.data(), 16); };
        std::printf("OUTSIDE %s\n", run_on_thread({cpus[1]}, call).c_str());
        std::printf("TWO %s\n", run_on_thread({cpus[0], cpus[1]}, call).c_str());
        std::printf("UNTOUCHED %d\n", c == std::vector<float>(256) ? 1 : 0);
        print_counters();
        std::printf("PINNED %s\n", run_on_thread({cpus[0]}, [&] {
                                      for (int i = 0; i < 3; ++i) call();  // audited once, then verified
                                  }).c_str());
        std::printf("EQUAL %d\n", c == ref ? 1 : 0);
        attempt("MAIN", call);  // the main thread still spans all CPUs
        print_counters();
    });
    EXPECT_NE(out.find("OUTSIDE " + kNotPinned + "\nTWO " + kNotPinned +
                       "\nUNTOUCHED 1\nAUDITED 0 NATIVE 0 FAILURES 0\nPINNED \nEQUAL 1\n"
                       "MAIN env=same mask=same " + kNotPinned + "\nAUDITED 1 NATIVE 0 FAILURES 0\n"),
              std::string::npos)
        << out;

    // A library that moves its caller to another CPU during a one-thread call
    // (played by the call observer) is caught, counted and undone.
    static int other_cpu;
    other_cpu = cpus[1];
    out = run_in_child([&] {
        aocl_backend::initialize(2, 0);
        aocl_backend::testing::sgemm_observer = [](int, int, int, float, float, int) {
            const cpu_set_t other = mask_of({other_cpu});
            sched_setaffinity(0, sizeof(other), &other);
        };
        float a = 2, b = 3, c = 0;
        run_on_thread({cpus[0]}, [&] {
            attempt("CALL", [&] { aocl_backend::sgemm_one_thread(1, 1, 1, &a, 1, &b, 1, &c, 1); });
        });
        print_counters();
    });
    EXPECT_NE(out.find("CALL env=same mask=same AOCL backend: AOCL one-thread GEMM changed external-worker affinity\n"
                       "AUDITED 0 NATIVE 0 FAILURES 1\n"),
              std::string::npos)
        << out;
}

// libgomp creates a thread key when it loads and sets it on every thread that
// starts a team. Loaded into a namespace of its own, it would take that key
// from the namespace's libc, whose key table starts empty while the values
// live in the thread itself: its value would overwrite the value of the
// program's key of the same number. The loader's key shim sends every key
// call of the namespace to the program's table. The no_key_shim variant has
// no key functions of its own, so without the shim the collision shows (the
// checks below can fail); the stand-in carries them and is safe either way.
TEST(AoclLoader, ProgramThreadKeysSurviveTheLibrarysTeams) {
    REQUIRE_AOCL_CPUS(cpus, 2u);
    const struct { const char* library; bool shim, safe; } cases[] = {
        {"no_key_shim", true, true}, {"no_key_shim", false, false}, {"", true, true}, {"", false, true}};
    for (const auto& c : cases) {
        const std::string out = run_in_child([&] {
            if (*c.library != '\0') aocl_backend::testing::set_library_path(variant(c.library));
            aocl_backend::testing::use_key_shim(c.shim);
            constexpr int kKeys = 8;
            static int values[kKeys];
            static std::atomic<int> ours{0}, foreign{0};
            pthread_key_t keys[kKeys];
            for (pthread_key_t& key : keys)
                pthread_key_create(&key, [](void* v) { ++(v >= &values[0] && v < &values[kKeys] ? ours : foreign); });
            auto set_all = [&] {
                for (int i = 0; i < kKeys; ++i) pthread_setspecific(keys[i], &values[i]);
            };
            auto clobbered = [&] {
                int n = 0;
                for (int i = 0; i < kKeys; ++i) n += pthread_getspecific(keys[i]) != &values[i];
                return n;
            };
            set_all();
            say("INIT", [] { aocl_backend::initialize(2, 0); });  // the audit starts a team from here
            int lost = clobbered();
            std::thread([&] {  // a thread of ours that starts a team through a native call
                set_all();
                float a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8}, r[4] = {};
                aocl_backend::set_threads(2);
                aocl_backend::sgemm(101, 111, 111, 2, 2, 2, 1, a, 2, b, 2, 0, r, 2);
                aocl_backend::set_threads(1);
                lost += clobbered();
            }).join();  // its exit runs the destructors of its keys
            std::printf("CLOBBERED %d OURS %d FOREIGN %d\n", lost, ours.load(), foreign.load());
        });
        SCOPED_TRACE(std::string(c.library) + (c.shim ? " with the key shim\n" : " without the key shim\n") + out);
        const std::size_t init = out.find("INIT ");
        if (c.safe) {
            ASSERT_NE(init, std::string::npos);
            EXPECT_EQ(out.substr(init), "INIT \nCLOBBERED 0 OURS 8 FOREIGN 0\n");
        } else {  // a value or destructor of ours goes astray, or the process dies of it
            int lost = 0, ours = 0, foreign = 0;
            const bool died = out.find("CHILD_ABNORMAL_EXIT") != std::string::npos;
            const bool astray = init != std::string::npos &&
                                std::sscanf(out.c_str() + out.find("CLOBBERED"), "CLOBBERED %d OURS %d FOREIGN %d",
                                            &lost, &ours, &foreign) == 3 && lost + foreign > 0;
            EXPECT_TRUE(died || astray) << "no collision without the shim: the checks above prove less";
        }
    }
}

}  // namespace
