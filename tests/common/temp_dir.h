#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it;
// and a scoped change of the working directory.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "files.h"

namespace qbtest {

struct TempDir {
    std::filesystem::path path;

    explicit TempDir(const std::string& prefix = "qbtest") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
        path = std::filesystem::canonical(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path operator/(const std::string& name) const { return path / name; }

    // A file under the directory (parents created); returns its path.
    std::filesystem::path write(const std::string& rel, std::string_view bytes) const {
        return write_file(path / rel, bytes);
    }
    std::string read(const std::string& rel) const { return read_file(path / rel); }
};

struct CurrentDir {
    std::filesystem::path old = std::filesystem::current_path();
    explicit CurrentDir(const std::filesystem::path& p) { std::filesystem::current_path(p); }
    ~CurrentDir() {
        std::error_code ec;
        std::filesystem::current_path(old, ec);
    }
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;
};

}  // namespace qbtest
