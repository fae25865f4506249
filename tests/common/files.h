#pragma once
// Whole-file write and read for the tests, byte for byte.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace qbtest {

// Writes `bytes` to `p`, creating missing parent directories; returns `p`.
inline std::filesystem::path write_file(const std::filesystem::path& p, std::string_view bytes) {
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
}

// The file's bytes; empty when it cannot be opened.
inline std::string read_file(const std::filesystem::path& p) {
    std::stringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    return ss.str();
}

}  // namespace qbtest
