#pragma once
// A project as the program sees it: the root, the data directory under it, the configuration,
// and the host components installed into the library's registry.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "host/config.h"
#include "quillbox/host.h"

namespace quillbox::host {

// A problem the user must fix before the command can run (bad root, unreadable config, …).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Project {
    std::filesystem::path root;      // canonical
    std::filesystem::path data_dir;  // root/.quillbox
    std::shared_ptr<Config> config;
};

// Resolves `root` (empty: the current directory); it must be an existing directory. Loads
// config.toml (UsageError when it is not valid TOML; unknown keys and bad values are logged
// as warnings and left at their defaults). With `create_data_dir` makes .quillbox/,
// backups/ and vectors/.
Project open_project(const std::filesystem::path& root, bool create_data_dir);

// Installs the project's resolver, configuration, log sink and embedding provider (none unless
// semantic.backend is "openai") into the registry, and sets the language and the log level
// from the configuration.
void install_host_components(const Project& project);

// The read cache of one session. Block reads only get a "hit" while cache_enabled is "true",
// like whole-file reads.
class SessionReadCache : public ReadCache {
public:
    explicit SessionReadCache(std::shared_ptr<const ConfigSource> config) : config_(std::move(config)) {}
    CacheResult check_and_read(std::string_view path_text) override { return inner_.check_and_read(path_text); }
    CacheResult check(std::string_view path_text) override;
    void clear() { inner_.clear(); }

private:
    std::shared_ptr<const ConfigSource> config_;
    MemoryReadCache inner_;
};

// Whether `path` lies inside `dir` (both absolute, lexically normalised).
bool path_is_within(const std::filesystem::path& path, const std::filesystem::path& dir);

}  // namespace quillbox::host
