// Helpers for the modular multiplier's tests: scratch directories, numpy
// fixtures through the configured Python, and running the real program.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace modp_test {

inline std::string make_temp_dir() {
    char tmpl[] = "/tmp/korvane_modp_test_XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

inline void remove_dir(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs Python code (numpy available as np) in dir; returns its stdout.
// Fails the calling test through an exception when Python fails.
inline std::string run_python(const std::string& dir, const std::string& code) {
    const std::string script = dir + "/fixture.py";
    write_file(script, "import numpy as np\nimport os\nos.chdir(" + std::string("'") + dir + "')\n" + code);
    const std::string out = dir + "/fixture.out";
    std::string cmd = std::string(KORVANE_PYTHON) + " '" + script + "' > '" + out + "' 2>&1";
    int rc = std::system(cmd.c_str());
    std::string text = read_file(out);
    if (rc != 0) throw std::runtime_error("python failed: " + text);
    return text;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string program_path() {
    return std::string(KORVANE_BINARY_DIR) + "/modp/korvane_multiply_modp";
}

// Runs the program with the given argument text (already shell-quoted) in dir,
// with an optional environment prefix such as "KORVANE_CPUS=0-3".
inline RunResult run_program(const std::string& dir, const std::string& args,
                             const std::string& env = "") {
    RunResult r;
    const std::string out = dir + "/prog.out", err = dir + "/prog.err";
    std::string cmd = "cd '" + dir + "' && " + env + (env.empty() ? "" : " ") + "'" +
                      program_path() + "' " + args + " > '" + out + "' 2> '" + err + "'";
    int rc = std::system(cmd.c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

}  // namespace modp_test
