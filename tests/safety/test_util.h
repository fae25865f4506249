#pragma once
// Temporary directories and small file helpers for the safety tests.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/temp_dir.h"

namespace qbtest {

namespace fs = std::filesystem;

inline void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string slurp(const fs::path& p) {
    std::stringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    return ss.str();
}

}  // namespace qbtest
