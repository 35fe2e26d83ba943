// Helpers shared by the AOCL backend tests.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cblas.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/test_support.h"

namespace blas_test {

// The test CPUs up to the first that shares a physical core with an earlier
// one: the CPUs an AOCL backend may be configured for, worker i on the i-th
// (the loader refuses SMT siblings).
inline std::vector<int> aocl_test_cpus() {
    std::vector<int> cpus;
    std::set<std::pair<int, int>> cores;
    for (int cpu : test_cpus()) {
        const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        int package = -1, core = -1;
        std::ifstream(dir + "physical_package_id") >> package;
        std::ifstream(dir + "core_id") >> core;
        if (package < 0 || core < 0 || !cores.insert({package, core}).second) break;
        cpus.push_back(cpu);
    }
    return cpus;
}

// Small integers: every product and partial sum below stays exact in float,
// so any summation order gives bit-identical results.
inline std::vector<float> integer_matrix(std::size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-2, 2);
    std::vector<float> m(count);
    for (float& x : m) x = static_cast<float>(dist(gen));
    return m;
}

// OpenBLAS reference: C := alpha·A·B + beta·C (row-major).
inline void openblas_gemm(int m, int n, int k, float alpha, const float* a, int lda, const float* b, int ldb,
                          float beta, float* c, int ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

inline cpu_set_t mask_of(const std::vector<int>& cpus) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    for (int c : cpus) CPU_SET(c, &mask);
    return mask;
}

inline cpu_set_t current_mask() {
    cpu_set_t mask = mask_of({});
    if (sched_getaffinity(0, sizeof(mask), &mask) != 0) throw std::runtime_error("sched_getaffinity failed");
    return mask;
}

// The text of the exception fn throws, or "" when it returns normally.
inline std::string error_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// error_of(fn) on a new thread pinned to `cpus`.
inline std::string run_on_thread(const std::vector<int>& cpus, const std::function<void()>& fn) {
    std::string error = "pin failed";
    const cpu_set_t mask = mask_of(cpus);
    std::thread t([&] {
        if (pthread_setaffinity_np(pthread_self(), sizeof(mask), &mask) == 0) error = error_of(fn);
    });
    t.join();
    return error;
}

// Runs body in a forked child with its standard output sent to a file and
// returns that output; an exception leaving body is printed as
// "UNCAUGHT <text>". The child ends with _exit, so nothing of the parent's
// state is torn down twice.
inline std::string run_in_child(const std::function<void()>& body) {
    std::FILE* out = std::tmpfile();
    if (out == nullptr) throw std::runtime_error("tmpfile failed");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(fileno(out), 1);
        const std::string error = error_of(body);
        if (!error.empty()) std::printf("UNCAUGHT %s\n", error.c_str());
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string text;
    std::rewind(out);
    for (int ch; (ch = std::fgetc(out)) != EOF;) text += static_cast<char>(ch);
    std::fclose(out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        text += "CHILD_ABNORMAL_EXIT status=" + std::to_string(status) + "\n";
    return text;
}

// The lines of text that start with prefix (all lines for "").
inline std::vector<std::string> lines_with_prefix(const std::string& text, const std::string& prefix = "") {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) out.push_back(line);
    return out;
}

}  // namespace blas_test
