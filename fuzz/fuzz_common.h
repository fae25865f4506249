#pragma once
// What the fuzz targets share: a scratch directory of their own, and writing the input to a file
// for the loaders that read from disk.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace qbfuzz {

// A directory for this process, removed at exit.
inline const std::filesystem::path& scratch() {
    static const std::filesystem::path dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qb-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        std::filesystem::path p = std::filesystem::canonical(tmpl);
        static const std::filesystem::path keep = p;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(keep, ec);
        });
        return p;
    }();
    return dir;
}

inline std::filesystem::path put(const std::string& name, std::string_view data) {
    std::filesystem::path p = scratch() / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return p;
}

// Aborts with a message: a broken property is a finding.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "property broken: %s\n", what.c_str());
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace qbfuzz
