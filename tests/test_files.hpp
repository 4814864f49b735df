// SPDX-License-Identifier: MIT
// Files for the tests: byte images opened as input, and scratch folders.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <recwav/endian.hpp>

#include "support/record_builder.hpp"

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// An anonymous temporary file holding `bytes`, positioned at its start.
inline FilePtr openBytes(const fixture::Bytes& bytes) {
    FilePtr file(std::tmpfile());
    if (!file || (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())) {
        throw std::runtime_error("cannot write a temporary file");
    }
    std::rewind(file.get());
    return file;
}

inline fixture::Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const fixture::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "recwav-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct ProgramRun {
    int status = -1;  // the exit status, or -1 when the program did not exit
    std::string out;  // what it printed on standard output
    std::string err;  // and on standard error
};

// Runs `program` (a path, or a name found on PATH) in `dir` with `argv` as its
// whole argument vector, and captures what it prints.
inline ProgramRun runCommand(const TempDir& dir, const char* program, std::vector<std::string> argv) {
    const std::filesystem::path base = dir.path().parent_path() / dir.path().filename();
    const std::string outPath = base.string() + ".stdout";
    const std::string errPath = base.string() + ".stderr";
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string workDir = dir.path().string();
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    pid_t pid = 0;
    ProgramRun run;
    if (posix_spawnp(&pid, program, &actions, nullptr, pointers.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    const fixture::Bytes out = readFile(outPath);
    const fixture::Bytes err = readFile(errPath);
    run.out.assign(out.begin(), out.end());
    run.err.assign(err.begin(), err.end());
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return run;
}
