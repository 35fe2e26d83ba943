// Both programs' output targets, run as a user runs them: C over an existing
// file under a file size limit, a signal while the new file exists, names of
// the new file planted beforehand, a rename or close that fails, dangling
// symbolic links, a C that cannot be created, a pipe and a FIFO, readers that
// leave early, threads that cannot start, and the modular program's
// buffers that cannot be allocated. A failed write must end in the program's
// own failure line with C as it was and nothing left beside it. Last, the
// signal arrangements of an output file itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/output_file.h"
#include "common/testing/test_support.h"

namespace {

// A run that does not end within this many seconds counts as hung; a run at
// side 96 takes a fraction of a second.
constexpr int kHangSeconds = 60;

struct Program {
    const char* name;
    std::string binary, a, b, options;
    // How a memory shortage ends the run: its status and last line.
    int shortage_status;
    std::string shortage_line;
};

const Program kPrograms[] = {
    {"Multiply", KORVANE_BINARY_DIR "/multiply/cli/korvane_multiply", "a.npy", "b.npy", "--workers 2", 2,
     "FAILED std::bad_alloc"},
    {"Modp", KORVANE_BINARY_DIR "/modp/korvane_multiply_modp", "ia.npy", "ib.npy", "--p 65521 --workers 2", 1,
     "alloc failed"},
};

const std::string kEarlier = "what C held before the run\n";

std::string last_line(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

class OutputTarget : public ::testing::TestWithParam<int> {
protected:
    static inline ScratchDir* dir = nullptr;

    static void SetUpTestSuite() {
        dir = new ScratchDir("output_target");
        run_python(dir->path,
                   "rng = np.random.default_rng(11)\n"
                   "np.save('a.npy', rng.standard_normal((96, 96), dtype=np.float32))\n"
                   "np.save('b.npy', rng.standard_normal((96, 96), dtype=np.float32))\n"
                   "np.save('ia.npy', rng.integers(-1000, 1000, (96, 96), dtype=np.int32))\n"
                   "np.save('ib.npy', rng.integers(-1000, 1000, (96, 96), dtype=np.int32))\n"
                   "np.save('a256.npy', rng.standard_normal((256, 256), dtype=np.float32))\n"
                   "np.save('b256.npy', rng.standard_normal((256, 256), dtype=np.float32))\n"
                   "np.save('ia256.npy', rng.integers(-1000, 1000, (256, 256), dtype=np.int32))\n"
                   "np.save('ib256.npy', rng.integers(-1000, 1000, (256, 256), dtype=np.int32))\n");
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override {
        if (std::system("timeout --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "timeout is not installed";
        // Whatever an earlier case left beside C does not count against this one.
        for (const std::string& name : names_beside("c.npy")) std::filesystem::remove(at(name));
        // What each program writes to an ordinary new file, .npy and raw.
        for (const char* ref : {"ref.npy", "ref.raw"}) ASSERT_EQ(run(ref).status, 0) << ref;
    }

    const Program& program() const { return kPrograms[GetParam()]; }

    // The program's command line with C = target, ended after kHangSeconds
    // unless `bounded` is false; side 256 instead of 96 for a C of 256 KiB.
    std::string command(const std::string& target, bool bounded = true, bool side256 = false) const {
        const Program& p = program();
        auto input = [&](const std::string& name) {
            return side256 ? name.substr(0, name.size() - 4) + "256.npy" : name;
        };
        return (bounded ? "timeout -s KILL " + std::to_string(kHangSeconds) + " '" : "'") + p.binary + "' " +
               input(p.a) + " " + input(p.b) + " " + target + " " + p.options;
    }

    // Runs the program with C = target, `before` in front of the command
    // (environment settings, a limit).
    CommandResult run(const std::string& target, const std::string& before = "") const {
        return run_in(dir->path, before + command(target));
    }

    static std::string at(const std::string& name) { return dir->at(name); }

    // Names in the directory (or its subdirectory sub) that begin with
    // `name`: the file itself and anything a writer left beside it.
    static std::set<std::string> names_beside(const std::string& name, const std::string& sub = ".") {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(at(sub)))
            if (e.path().filename().string().rfind(name, 0) == 0) names.insert(e.path().filename());
        return names;
    }

    // C that held kEarlier is as it was, with nothing beside it.
    static void expect_unchanged(const std::string& name) {
        EXPECT_TRUE(read_file(at(name)) == kEarlier) << name << " changed";
        EXPECT_EQ(names_beside(name), std::set<std::string>{name});
    }

    static void expect_write_failure(const CommandResult& r, const std::string& name) {
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(last_line(r.err), "FAILED write failed: " + name) << r.err;
    }
};

std::string preload(const std::string& settings) {
    return "env LD_PRELOAD='" KORVANE_FAULT_SHIM "' " + settings + " ";
}

// Starts `line` in /bin/sh with the signals a user's shell gives a command
// (none blocked, default actions) and, when `out` is given, that descriptor
// as its standard output; returns its process id.
pid_t spawn(const std::string& line, int out = -1) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGPIPE}) ::signal(s, SIG_DFL);
        if (out >= 0 && ::dup2(out, STDOUT_FILENO) < 0) ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Waits until `marker` exists (the program under the fault shim waits there)
// or the process ends; true in the first case.
bool waits_at(const std::string& marker, pid_t pid, int& status) {
    pid_t ended = 0;
    while (::access(marker.c_str(), F_OK) != 0 && (ended = ::waitpid(pid, &status, WNOHANG)) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ended == 0;
}

bool has_line_starting(const std::string& text, const std::string& head) {
    return text.rfind(head, 0) == 0 || text.find("\n" + head) != std::string::npos;
}

#ifdef KORVANE_SANITIZER_BUILD
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "preloads a library, which a sanitizer runtime must precede"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

}  // namespace

// A C larger than the file size limit: the write fails as a write (the
// programs ignore SIGXFSZ), whether C existed or not, and names C also when
// not even the .npy header fits.
TEST_P(OutputTarget, FileSizeLimitFailsTheWrite) {
    write_file(at("c.npy"), kEarlier);
    for (const char* name : {"c.npy", "new.raw"}) {
        SCOPED_TRACE(name);
        // 16 blocks are 8 or 16 KiB, as the shell counts them; C is 36 KiB.
        const CommandResult r = run_in(dir->path, "sh -c \"ulimit -f 16; exec " + command(name) + "\"");
        expect_write_failure(r, name);
    }
    expect_unchanged("c.npy");
    EXPECT_TRUE(names_beside("new.raw").empty());

    // No byte at all: the report lines go through a pipe, as a file could
    // not take them either.
    const CommandResult r =
        run_in(dir->path, "(sh -c \"ulimit -f 0; exec " + command("c.npy") + "\" 2>&1; echo status $?) | cat");
    EXPECT_EQ(r.out.substr(r.out.rfind("FAILED")), "FAILED write failed: c.npy\nstatus 2\n") << r.out;
    expect_unchanged("c.npy");
}

// SIGINT, SIGTERM, SIGHUP or SIGABRT (an abort) while the new file exists,
// from the moment it is created (here held just after its creation), which
// comes before A is read (held at the first read of A), to its rename (held
// just before): the new file is removed and the process ends by that signal.
TEST_P(OutputTarget, SignalWhileTheNewFileExistsRemovesIt) {
    SKIP_UNDER_SANITIZERS();
    const std::string marker = at("waiting");
    for (const char* fault : {"KORVANE_FAULT_CREATED", "KORVANE_FAULT_READ", "KORVANE_FAULT_RENAME"}) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT}) {
            SCOPED_TRACE(std::string(fault) + ", " + strsignal(sig));
            for (const std::string& name : names_beside("c.npy")) std::filesystem::remove(at(name));
            write_file(at("c.npy"), kEarlier);
            ::unlink(marker.c_str());
            const pid_t pid = spawn("cd '" + dir->path + "' && ulimit -c 0 && exec " +
                                    preload(std::string(fault) + "='" + marker + "'") + command("c.npy", false) +
                                    " > /dev/null 2>&1");
            ASSERT_GE(pid, 0);
            int status = 0;
            ASSERT_TRUE(waits_at(marker, pid, status)) << "the program ended before the wait, status " << status;
            EXPECT_EQ(names_beside("c.npy").size(), 2u) << "no new file beside C";
            ASSERT_EQ(::kill(pid, sig), 0);
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
            expect_unchanged("c.npy");
        }
    }
}

// Someone else's file at a name that the new file would take
// (<C>.<pid>.0.tmp, planted before the program starts), here a symbolic link
// to a file elsewhere: the new file takes the next name, and neither the
// planted link nor the file it points to is touched, whether the run writes
// C or ends by SIGTERM while the new file exists.
TEST_P(OutputTarget, NamesPlantedBesideCAreLeftAlone) {
    const std::string marker = at("waiting"), go = at("go");
    for (bool signalled : {false, true}) {
        if (signalled) SKIP_UNDER_SANITIZERS();
        SCOPED_TRACE(signalled ? "SIGTERM while the new file exists" : "a run that writes C");
        for (const std::string& name : names_beside("c.npy")) std::filesystem::remove(at(name));
        write_file(at("c.npy"), kEarlier);
        write_file(at("elsewhere"), kEarlier);
        ::unlink(marker.c_str());
        ::unlink(go.c_str());
        // The shell waits for `go`, then becomes the program (same pid).
        const pid_t pid =
            spawn("cd '" + dir->path + "' && while [ ! -e go ]; do sleep 0.01; done && exec " +
                  (signalled ? preload("KORVANE_FAULT_CREATED='" + marker + "'") : std::string()) +
                  command("c.npy", false) + " > planted.log 2>&1");
        ASSERT_GE(pid, 0);
        const std::string planted = "c.npy." + std::to_string(pid) + ".0.tmp";
        EXPECT_EQ(::symlink("elsewhere", at(planted).c_str()), 0);
        write_file(go, "");  // whatever happened above: the shell must not wait for ever
        int status = 0;
        if (signalled) {
            ASSERT_TRUE(waits_at(marker, pid, status)) << "status " << status << ": " << read_file(at("planted.log"));
            ASSERT_EQ(::kill(pid, SIGTERM), 0);
        }
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (signalled) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
            EXPECT_TRUE(read_file(at("c.npy")) == kEarlier);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(at("planted.log"));
            EXPECT_TRUE(read_file(at("c.npy")) == read_file(at("ref.npy")));
        }
        EXPECT_TRUE(read_file(at("elsewhere")) == kEarlier) << "written through the planted link";
        struct stat st {};
        EXPECT_TRUE(::lstat(at(planted).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << planted << " is gone";
        EXPECT_EQ(names_beside("c.npy"), (std::set<std::string>{"c.npy", planted}));
    }
}

// A rename or a close that fails fails the write.
TEST_P(OutputTarget, FailedRenameOrCloseFailsTheWrite) {
    SKIP_UNDER_SANITIZERS();
    for (const char* fault : {"KORVANE_FAULT_RENAME=fail", "KORVANE_FAULT_CLOSE_SUFFIX=.tmp"}) {
        SCOPED_TRACE(fault);
        write_file(at("c.npy"), kEarlier);
        expect_write_failure(run("c.npy", preload(fault)), "c.npy");
        expect_unchanged("c.npy");
    }
}

// A symbolic link to a file that does not exist stays a link, and the file
// it names (beside the link for a relative name; at the end of a chain, each
// link read from its own directory) is created, whole or not at all: a write
// that fails leaves the links as they were and nothing where they point.
TEST_P(OutputTarget, DanglingLinkKeepsTheLinkAndCreatesItsTarget) {
    struct Chain {
        std::string made;  // where the file is made
        std::vector<std::pair<std::string, std::string>> links;  // C first: name, text
    };
    const Chain chains[] = {{"made.npy", {{"link.npy", "made.npy"}}},
                            {"sub/made.npy", {{"sub/link.npy", "made.npy"}}},
                            {"d2/made.npy", {{"d1/l1.npy", "../d2/l2.npy"}, {"d2/l2.npy", "made.npy"}}}};
    for (const Chain& chain : chains) {
        const std::string& link = chain.links.front().first;
        SCOPED_TRACE(link);
        for (const char* sub : {"sub", "d1", "d2"}) std::filesystem::remove_all(at(sub));
        for (const char* sub : {"sub", "d1", "d2"}) std::filesystem::create_directory(at(sub));
        ::unlink(at("link.npy").c_str());
        ::unlink(at("made.npy").c_str());
        for (const auto& [name, text] : chain.links) ASSERT_EQ(::symlink(text.c_str(), at(name).c_str()), 0);
        auto links_kept = [&] {
            for (const auto& l : chain.links) {
                struct stat st {};
                EXPECT_TRUE(::lstat(at(l.first).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << l.first;
            }
        };
        // made.npy nowhere but at `expected` ("" for nowhere), and nothing beside it.
        auto made_only_at = [&](const std::string& expected) {
            for (const std::string sub : {".", "sub", "d1", "d2"}) {
                const std::string here = sub == "." ? "made.npy" : sub + "/made.npy";
                EXPECT_EQ(names_beside("made.npy", sub),
                          here == expected ? std::set<std::string>{"made.npy"} : std::set<std::string>{})
                    << sub;
            }
        };
        expect_write_failure(run_in(dir->path, "sh -c \"ulimit -f 8; exec " + command(link) + "\""), link);
        links_kept();
        made_only_at("");

        ASSERT_EQ(run(link).status, 0);
        links_kept();
        made_only_at(chain.made);
        EXPECT_TRUE(read_file(at(chain.made)) == read_file(at("ref.npy")));
    }
}

// A C that cannot be created (its directory missing, a directory, a FIFO
// that no process reads, a name longer than a file name may be, the empty
// name) ends the run before the product, after the start line, with nothing
// left behind.
TEST_P(OutputTarget, TargetThatCannotBeCreatedEndsTheRunBeforeTheProduct) {
    std::filesystem::create_directories(at("adir"));
    const std::string fifo = at("lonely.npy");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string too_long = std::string(252, 'x') + ".npy";  // 256 bytes
    for (const std::string target : {"missing_dir/c.npy", "adir", "lonely.npy", too_long.c_str(), ""}) {
        SCOPED_TRACE(target.substr(0, 40));
        const CommandResult r = run("'" + target + "'");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(last_line(r.err), std::string("FAILED cannot create ") + target);
        const std::string start = std::filesystem::path(program().binary).filename().string() + ": N = 96 ";
        EXPECT_TRUE(has_line_starting(r.out, start)) << r.out;
        EXPECT_FALSE(has_line_starting(r.out, "multiply: ")) << "found only after the product:\n" << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(at("missing_dir")));
    EXPECT_TRUE(std::filesystem::is_empty(at("adir")));
    EXPECT_EQ(names_beside("lonely.npy"), std::set<std::string>{"lonely.npy"});
    EXPECT_TRUE(names_beside("xxxx").empty());
    EXPECT_TRUE(names_beside(".").empty()) << "a new file for the empty name";
}

// A reader that leaves early. C's (a pipe to a reader that takes one byte of
// a C of 256 KiB and goes) fails the write: the failure line, status 2.
// Standard output's (a pipe that no process reads) only loses the progress
// lines: C is written and the run succeeds.
TEST_P(OutputTarget, ReaderThatLeavesEarly) {
    ASSERT_EQ(run_in(dir->path, command("ref256.npy", true, true)).status, 0);
    for (bool of_c : {true, false}) {
        SCOPED_TRACE(of_c ? "C's reader" : "standard output's reader");
        ::unlink(at("c.npy").c_str());
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        const std::string redirect = of_c ? " 3>&1 > /dev/null 2> left.log" : " 2> left.log";
        const pid_t pid = spawn("cd '" + dir->path + "' && exec " +
                                    command(of_c ? "/dev/fd/3" : "c.npy", true, true) + redirect,
                                ends[1]);
        ASSERT_GE(pid, 0);
        ::close(ends[1]);
        char byte = 0;
        if (of_c) {
            EXPECT_EQ(::read(ends[0], &byte, 1), 1);  // C's first byte came: the reader goes
        }
        ::close(ends[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const std::string log = read_file(at("left.log"));
        if (of_c) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "status " << status << ": " << log;
            EXPECT_EQ(last_line(log), "FAILED write failed: /dev/fd/3");
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << log;
            EXPECT_TRUE(read_file(at("c.npy")) == read_file(at("ref256.npy")));
        }
    }
}

// Targets that cannot seek get the same bytes in order: a pipe, and a FIFO
// that a reader has open (a FIFO without one: the test above), also when C
// is larger than the pipe's buffer and the reader lets it fill up before it
// reads: the writes wait for the reader.
TEST_P(OutputTarget, PipesAndFifosGetTheBytesInOrder) {
    const CommandResult piped = run_in(
        dir->path, "( (" + command("/dev/fd/3") + " 3>&1 > piped.log; echo $? > piped.status) | cat > piped.raw )");
    EXPECT_EQ(read_file(at("piped.status")), "0\n") << piped.err;
    EXPECT_TRUE(read_file(at("piped.raw")) == read_file(at("ref.raw")));

    const std::string fifo = at("fifo.npy");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // The reader opens first; all of C (36 KiB) fits in the pipe's buffer.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const CommandResult r = run("fifo.npy");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    EXPECT_TRUE(got == read_file(at("ref.npy"))) << got.size() << " bytes";

    // 256 KiB to a reader that starts reading only a while after the first
    // bytes came.
    ASSERT_EQ(run_in(dir->path, command("ref256.npy", true, true)).status, 0);
    const pid_t pid = spawn("cd '" + dir->path + "' && exec " + command("fifo.npy", true, true) + " > slow.log 2>&1");
    ASSERT_GE(pid, 0);
    int queued = 0, status = 0;
    pid_t ended = 0;
    while ((::ioctl(reader, FIONREAD, &queued) != 0 || queued == 0) && (ended = ::waitpid(pid, &status, WNOHANG)) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);  // reads now wait for the writer, up to its end
    got.clear();
    for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    ::close(reader);
    if (ended == 0) {
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << ": " << read_file(at("slow.log"));
    EXPECT_TRUE(got == read_file(at("ref256.npy"))) << got.size() << " bytes";
}

// Threads that cannot start, from the k-th on for every k until a run
// succeeds (the program's own workers, the readers, the writers), for want
// of the resources a thread needs (EAGAIN) or of memory (ENOMEM): each run
// ends as a memory shortage, with C as it was.
TEST_P(OutputTarget, ThreadsThatCannotStartAreAMemoryShortage) {
    SKIP_UNDER_SANITIZERS();
    for (const std::string error : {"EAGAIN", "ENOMEM"}) {
        int shortages = 0;
        for (int k = 1; k <= 256; ++k) {
            SCOPED_TRACE("threads fail with " + error + " from the " + std::to_string(k) + "-th");
            write_file(at("c.npy"), kEarlier);
            const CommandResult r = run("c.npy", preload("KORVANE_FAULT_THREAD_ERROR=" + error +
                                                         " KORVANE_FAULT_THREAD_FROM=" + std::to_string(k)));
            if (r.status == 0) {
                EXPECT_TRUE(read_file(at("c.npy")) == read_file(at("ref.npy")));
                break;
            }
            ++shortages;
            EXPECT_EQ(r.status, program().shortage_status) << r.err;
            EXPECT_EQ(last_line(r.err), program().shortage_line) << r.err;
            expect_unchanged("c.npy");
            if (HasFailure()) return;
        }
        EXPECT_GE(shortages, 2) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, OutputTarget, ::testing::Range(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return kPrograms[info.param].name; });

// The modular program reads and writes through a row buffer per task: when
// one cannot be allocated, the run ends as the memory shortage it is, with
// C as it was, not as a failed read or write. Side 97, int64 inputs: a file
// row is 776 bytes, a written row 388. So does a matrix that cannot be
// allocated (internal side 2^27), which ends the process at once.
TEST(ModpRowBuffers, ABufferThatCannotBeAllocatedIsAMemoryShortage) {
    SKIP_UNDER_SANITIZERS();
    ScratchDir dir("modp_row_buffers");
    run_python(dir.path,
               "rng = np.random.default_rng(5)\n"
               "for f in ('a.npy', 'b.npy'): np.save(f, rng.integers(-9, 9, (97, 97), dtype=np.int64))\n");
    const char* const program = "timeout -s KILL 60 '" KORVANE_BINARY_DIR "/modp/korvane_multiply_modp' a.npy b.npy c.npy";
    for (const char* bytes : {"776", "388", ""}) {
        SCOPED_TRACE(*bytes ? std::string("allocations of ") + bytes + " bytes fail" : "a matrix of side 2^27");
        write_file(dir.at("c.npy"), kEarlier);
        const CommandResult r =
            *bytes ? run_in(dir.path, preload(std::string("KORVANE_FAULT_NEW_BYTES=") + bytes) + program +
                                          " --p 65521 --workers 2")
                   : run_in(dir.path, std::string(program) + " --p 2 --block 67108864 --mode fmm --workers 2");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(last_line(r.err), "alloc failed") << r.err;
        EXPECT_TRUE(read_file(dir.at("c.npy")) == kEarlier);
        std::set<std::string> beside;  // c.npy and whatever a writer left next to it
        for (const auto& e : std::filesystem::directory_iterator(dir.path))
            if (e.path().filename().string().rfind("c.npy", 0) == 0) beside.insert(e.path().filename());
        EXPECT_EQ(beside, std::set<std::string>{"c.npy"});
    }
}

// While an output file exists, SIGXFSZ is ignored and SIGINT, SIGTERM,
// SIGHUP and SIGABRT remove its new file, but only where they would end the
// process: one that is ignored (SIGHUP under nohup) or handled elsewhere
// stays so. Once the file is committed, or dropped without a commit, every
// disposition is back.
TEST(OutputFileSignals, DispositionsReturnOnceTheFileIsCommittedOrDropped) {
    using Handler = void (*)(int);
    ScratchDir dir("output_file_signals");
    constexpr int kSignals[] = {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGABRT};
    struct sigaction saved[5];
    for (int i = 0; i < 5; ++i) ::sigaction(kSignals[i], nullptr, &saved[i]);
    // The handlers of SIGXFSZ, SIGINT, SIGTERM, SIGHUP and SIGABRT.
    auto handlers = [&] {
        std::vector<Handler> h;
        for (int sig : kSignals) {
            struct sigaction a {};
            ::sigaction(sig, nullptr, &a);
            h.push_back(a.sa_handler);
        }
        return h;
    };
    const Handler elsewhere = [](int) {};
    for (bool defaults : {true, false}) {
        for (bool commit : {true, false}) {
            SCOPED_TRACE(std::string(defaults ? "default actions" : "SIGTERM handled, SIGHUP ignored") +
                         (commit ? ", committed" : ", dropped"));
            for (int sig : kSignals) ::signal(sig, SIG_DFL);
            if (!defaults) {
                ::signal(SIGTERM, elsewhere);
                ::signal(SIGHUP, SIG_IGN);
            }
            const std::vector<Handler> before = handlers();
            {
                OutputFile file(dir.at("c.raw"));
                const std::vector<Handler> live = handlers();
                const Handler removal = live[1];
                EXPECT_TRUE(removal != SIG_DFL && removal != SIG_IGN);
                EXPECT_EQ(live, (defaults ? std::vector<Handler>{SIG_IGN, removal, removal, removal, removal}
                                          : std::vector<Handler>{SIG_IGN, removal, elsewhere, SIG_IGN, removal}));
                if (commit) {
                    ASSERT_TRUE(file.commit());
                    EXPECT_EQ(handlers(), before);
                }
            }
            EXPECT_EQ(handlers(), before);
        }
    }
    for (int i = 0; i < 5; ++i) ::sigaction(kSignals[i], &saved[i], nullptr);
}
