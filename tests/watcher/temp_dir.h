#pragma once
// Per-test temporary directory, and a scoped change of the working directory.
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "qbtest-XXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
        path_ = std::filesystem::canonical(t);
    }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct CurrentDir {
    std::filesystem::path old = std::filesystem::current_path();
    explicit CurrentDir(const std::filesystem::path& p) { std::filesystem::current_path(p); }
    ~CurrentDir() { std::error_code ec; std::filesystem::current_path(old, ec); }
};
