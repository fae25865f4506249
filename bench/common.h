#pragma once
// What the benchmarks share: a temporary directory, documents built of numbered sections, and
// a project (index, watcher not started, safety engine, tracker) around one document.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/common/temp_dir.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/freshness.h"

namespace qbbench {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
using qbtest::TempDir;

inline void write_file(const fs::path& p, const std::string& s) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << s;
}

// `sections` sections, each the line heading(i) and then the lines body(i, k) for k in
// [0, body_lines). Every line ends in '\n'.
template <class Heading, class Body>
std::string sectioned_doc(int sections, int body_lines, Heading&& heading, Body&& body) {
    std::string out;
    for (int i = 0; i < sections; ++i) {
        out += heading(i);
        out += '\n';
        for (int k = 0; k < body_lines; ++k) {
            out += body(i, k);
            out += '\n';
        }
    }
    return out;
}

// The quillbox program beside the bench, or $QUILLBOX_EXE.
inline std::string server_exe() {
    if (const char* env = std::getenv("QUILLBOX_EXE"); env && *env) return env;
    return (fs::read_symlink("/proc/self/exe").parent_path() / "quillbox").string();
}

// A figure of /proc/<pid>/status (this process's without `pid`), such as "VmRSS" or "VmHWM",
// in MiB; -1 when it cannot be read.
inline double status_mib(const char* key, long pid = 0) {
    std::ifstream in(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
    const std::string field = std::string(key) + ":";
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;
    return -1;
}

// A random vector of `dim` components on the unit sphere.
template <class T>
std::vector<T> random_unit(std::mt19937& rng, std::size_t dim) {
    std::normal_distribution<T> d;
    std::vector<T> v(dim);
    T norm = 0;
    for (auto& x : v) {
        x = d(rng);
        norm += x * x;
    }
    for (auto& x : v) x /= std::sqrt(norm);
    return v;
}

inline std::string hashes(int level) { return std::string(static_cast<std::size_t>(level), '#'); }

// One document in a temporary project, indexed once, with quiet logs.
struct Project {
    TempDir dir;
    fs::path root;
    fs::path file;
    std::string text;
    std::unique_ptr<quillbox::FileWatcher> watcher;
    std::unique_ptr<quillbox::Indexer> indexer;
    std::unique_ptr<quillbox::SafetyEngine> safety;
    std::unique_ptr<quillbox::Session> session;

    Project(const std::string& prefix, std::string document) : dir(prefix), root(dir.path) {
        quillbox::set_log_level(quillbox::LogLevel::error);
        file = root / "doc.md";
        text = std::move(document);
        write_file(file, text);
        // A document last saved an hour ago: its freshness record is not racily clean, so the
        // fast paths are the ones measured.
        fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
        watcher = std::make_unique<quillbox::FileWatcher>(root, [](const fs::path&) {});
        indexer = std::make_unique<quillbox::Indexer>(root / "index.db");
        safety = std::make_unique<quillbox::SafetyEngine>(root / "backups", &watcher->file_writes());
        session = std::make_unique<quillbox::Session>(*indexer, *watcher, *safety);
        quillbox::_ensure_fresh_index(*indexer, *watcher, file);
    }
    // Members go in reverse order: the engine, index and watcher before their directory.
};

}  // namespace qbbench
