#pragma once
// Runs the `quillbox` program once with arguments (and optional stdin), collecting its exit
// code, standard output and standard error.

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/temp_dir.h"

struct CommandResult {
    int code = -1;
    std::string out;
    std::string err;
};

inline CommandResult run_quillbox(const std::vector<std::string>& args, const std::string& input = "",
                                  const std::map<std::string, std::string>& env = {},
                                  const std::filesystem::path& cwd = {}) {
    qbtest::TempDir io("qbcmd");
    const auto in = qbtest::write_file(io / "in", input), out = io / "out", err = io / "err";
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(in.c_str(), "r", stdin) || !std::freopen(out.c_str(), "w", stdout) ||
            !std::freopen(err.c_str(), "w", stderr))
            ::_exit(126);
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(125);
        std::vector<char*> argv{const_cast<char*>(QUILLBOX_EXE)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(QUILLBOX_EXE, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, qbtest::read_file(out), qbtest::read_file(err)};
}
