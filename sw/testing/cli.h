// The harness of the command-line tests: runs a built tool in a scratch
// folder and returns its exit status, standard output and standard error.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace cli {

namespace fs = std::filesystem;

// The image sizes as the tests know them, written out here rather than taken
// from the tools' own headers.
inline constexpr std::size_t kPage = 2048;
inline constexpr std::size_t kRecord = 2112;

struct Result {
    int status;  // exit status, or 128 + the signal that ended the tool
    std::string out;
    std::string err;
};

enum class Stdout { File, Closed, BrokenPipe };

struct Streams {
    Stdout out = Stdout::File;
    std::string in;  // file for standard input, relative to the folder; empty: /dev/null
    bool closeIn = false;
};

inline std::string readFile(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path &p, const std::string &bytes)
{
    std::ofstream f(p, std::ios::binary);
    f << bytes;
}

inline std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

// Compares bytes and, on a mismatch, names the first differing offset instead
// of printing kilobytes of binary.
inline testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected)
{
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) {
        i++;
    }
    return testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at offset " << i;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "conv_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }

    void TearDown() override { fs::remove_all(dir); }

    fs::path at(const std::string &name) const { return dir / name; }

    // Runs argv (argv[0] is the program) in the scratch folder.
    Result exec(const std::vector<std::string> &argv, const Streams &streams = {}) const
    {
        const fs::path outPath = dir / ".stdout";
        const fs::path errPath = dir / ".stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) {
                _exit(127);
            }
            redirect(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            if (streams.out == Stdout::File) {
                redirect(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            } else if (streams.out == Stdout::BrokenPipe) {
                int p[2];
                if (pipe(p) != 0) {
                    _exit(127);
                }
                close(p[0]);
                redirect(p[1], STDOUT_FILENO);
            } else {
                close(STDOUT_FILENO);
            }
            if (streams.closeIn) {
                close(STDIN_FILENO);
            } else {
                redirect(open(streams.in.empty() ? "/dev/null" : streams.in.c_str(), O_RDONLY), STDIN_FILENO);
            }
            std::vector<char *> args;
            args.reserve(argv.size() + 1);
            for (const auto &a : argv) {
                args.push_back(const_cast<char *>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        Result r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = readFile(outPath);
        r.err = readFile(errPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return r;
    }

    fs::path dir;

private:
    static void redirect(int fd, int target)
    {
        if (fd < 0 || dup2(fd, target) < 0) {
            _exit(127);
        }
        if (fd != target) {
            close(fd);
        }
    }
};

}  // namespace cli
