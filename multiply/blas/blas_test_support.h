// Helpers shared by the AOCL backend tests.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cblas.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace blas_test {

// Small integers: every product and partial sum below stays exact in float,
// so any summation order gives bit-identical results.
inline std::vector<float> integer_matrix(std::size_t rows, std::size_t ld, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-2, 2);
    std::vector<float> m(rows * ld);
    for (float& x : m) x = static_cast<float>(dist(gen));
    return m;
}

// OpenBLAS reference: C := alpha·A·B + beta·C (row-major).
inline void openblas_gemm(int m, int n, int k, float alpha, const float* a, int lda, const float* b, int ldb,
                          float beta, float* c, int ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

inline cpu_set_t mask_of(std::initializer_list<int> cpus) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    for (int c : cpus) CPU_SET(c, &mask);
    return mask;
}

inline cpu_set_t current_mask() {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof(mask), &mask) != 0) std::abort();
    return mask;
}

// Runs fn on a new thread pinned to `cpus`; returns the text of the exception
// fn threw, or "" when it returned normally.
inline std::string run_on_thread(std::initializer_list<int> cpus, const std::function<void()>& fn) {
    std::string error;
    const cpu_set_t mask = mask_of(cpus);
    std::thread t([&] {
        if (pthread_setaffinity_np(pthread_self(), sizeof(mask), &mask) != 0) {
            error = "pin failed";
            return;
        }
        try {
            fn();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    t.join();
    return error;
}

// Runs body in a forked child with its standard output sent to a file and
// returns that output; an exception leaving body is printed as
// "UNCAUGHT <text>". The child ends with _exit, so nothing of the parent's
// state is torn down twice.
inline std::string run_in_child(const std::function<void()>& body) {
    char path[] = "/tmp/korvane_blas_child_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(fd, 1);
        close(fd);
        try {
            body();
        } catch (const std::exception& e) {
            std::printf("UNCAUGHT %s\n", e.what());
        }
        std::fflush(stdout);
        _exit(0);
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return text.str() + "CHILD_ABNORMAL_EXIT status=" + std::to_string(status) + "\n";
    return text.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

inline std::vector<std::string> lines_with_prefix(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : lines_of(text))
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

}  // namespace blas_test
