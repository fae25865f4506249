#pragma once
// Per-test temporary directory, and a scoped change of the working directory.
#include <filesystem>

#include "common/temp_dir.h"

using qbtest::TempDir;

struct CurrentDir {
    std::filesystem::path old = std::filesystem::current_path();
    explicit CurrentDir(const std::filesystem::path& p) { std::filesystem::current_path(p); }
    ~CurrentDir() { std::error_code ec; std::filesystem::current_path(old, ec); }
};
