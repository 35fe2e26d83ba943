// Helpers shared by the tests: CPUs for tests that start pinned teams (the
// CPUs this process may run on, common/cpus.h, at most eight of them, so that
// tests pass on small machines and under a narrowed affinity mask or a
// container's cpuset), an environment variable set for a scope, the message
// of a thrown exception, float bits, files, scratch directories, numpy
// fixtures and commands run with their output captured.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/cpus.h"

// The first usable CPUs, at most eight: worker i of a team of that size
// starting at the first of them runs on the i-th.
inline std::vector<int> test_cpus() {
    const std::vector<int>& all = usable_cpus();
    return {all.begin(), all.begin() + static_cast<long>(std::min<std::size_t>(all.size(), 8))};
}

inline int test_workers() { return static_cast<int>(test_cpus().size()); }

// First CPU of a test team.
inline int test_cpu_base() { return usable_cpus().front(); }

// The first usable CPU and how many usable CPUs follow it without a gap, at
// most eight: a team that needs consecutive CPU numbers.
inline std::pair<int, int> consecutive_test_cpus() {
    const std::vector<int>& cpus = usable_cpus();
    int count = 1;
    while (count < 8 && count < static_cast<int>(cpus.size()) && cpus[count] == cpus[0] + count) ++count;
    return {cpus[0], count};
}

// The one CPU the calling thread may run on; -1 when it may run on several.
inline int only_cpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pthread_getaffinity_np(pthread_self(), sizeof(set), &set) != 0 || CPU_COUNT(&set) != 1) return -1;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set)) return c;
    return -1;
}

inline std::uint32_t bits_of(float x) {
    std::uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline float from_bits(std::uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// The same length and the same bits in every element.
inline bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

// The message of the E that f throws (any other exception leaves the test);
// "(no exception)" when it throws none.
template <class E = std::exception, class F>
std::string message_of(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

// Sets an environment variable (unsets it for nullptr) until the end of the
// scope, then puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of its scope.
struct ScratchDir {
    std::string path;
    explicit ScratchDir(const std::string& tag)
        : path((std::filesystem::temp_directory_path() / ("korvane_" + tag + "_" + std::to_string(::getpid())))
                   .string()) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string at(const std::string& name) const { return path + "/" + name; }
};

// Status (the exit code, 128 + the signal for a killed process) and output
// of a command.
struct CommandResult {
    int status = -1;
    std::string out, err;
};

// Runs a shell command in dir with its standard output and error captured.
inline CommandResult run_in(const std::string& dir, const std::string& command) {
    const int raw = std::system(("cd '" + dir + "' && " + command + " > cmd.out 2> cmd.err").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), read_file(dir + "/cmd.out"),
            read_file(dir + "/cmd.err")};
}

// run_in for a command that must end within `seconds`: a hung one is
// killed (status 128 + SIGKILL) and its error output says so.
inline CommandResult run_in_bounded(const std::string& dir, const std::string& command, int seconds) {
    CommandResult r = run_in(dir, "timeout -s KILL " + std::to_string(seconds) + " " + command);
    if (r.status == 128 + SIGKILL) r.err += "(killed after " + std::to_string(seconds) + " s: hung)\n";
    return r;
}

// Runs `command` in dir under address-space limits (ulimit -v) from 256 MiB
// up in steps of step_mib, each run killed after hang_seconds, until a run
// succeeds. Returns "" when fault_of accepted every run (it returns "" for an
// acceptable ending, else what went wrong) and some run before the success
// was the program's own allocation failure (own_failure true); otherwise
// what went wrong.
template <class FaultOf, class OwnFailure>
std::string sweep_address_limits(const std::string& dir, const std::string& command, int hang_seconds,
                                 FaultOf fault_of, OwnFailure own_failure, long step_mib = 128) {
    bool own_seen = false;
    for (long cap_mib = 256; cap_mib <= 8192; cap_mib += step_mib) {
        const CommandResult r = run_in(dir, "ulimit -v " + std::to_string(cap_mib * 1024) +
                                                " && exec timeout -s KILL " + std::to_string(hang_seconds) + " " +
                                                command);
        const std::string fault = fault_of(r);
        if (!fault.empty()) return "limit " + std::to_string(cap_mib) + " MiB: " + fault;
        own_seen = own_seen || own_failure(r);
        if (r.status == 0)
            return own_seen ? "" : "no limit below " + std::to_string(cap_mib) + " MiB ended in an allocation failure";
    }
    return "no run succeeded under 8 GiB";
}

// Runs Python code in dir, numpy imported as np, and returns what it
// printed; std::runtime_error (failing the calling test) when Python fails.
inline std::string run_python(const std::string& dir, const std::string& code) {
    write_file(dir + "/fixture.py", "import numpy as np, os, sys\n" + code);
    const CommandResult r = run_in(dir, std::string(KORVANE_PYTHON) + " fixture.py");
    if (r.status != 0) throw std::runtime_error("python failed: " + r.out + r.err);
    return r.out;
}
