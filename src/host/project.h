#pragma once
// A project as the program sees it: the root, the data directory under it, the configuration;
// the process-wide settings it gives, and the sessions opened on it.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "host/config.h"
#include "quillbox/session.h"

namespace quillbox::host {

// A problem the user must fix before the command can run (bad root, unreadable config, …).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The data folder, or one of Quillbox's own entries in it, is a symbolic link leading out of the
// project (a cloned repository can carry one): never followed; what() says how to fix it.
class DataFolderOutsideError : public UsageError {
public:
    using UsageError::UsageError;
};

// Refuses (DataFolderOutsideError) a data folder under `root` that is, or holds in place of one
// of Quillbox's own entries (backups/, locks/, vectors/, the index's journals, install_secret,
// config.toml, install.json), a symbolic link whose target lies outside the project or does not
// exist. A link to index.db itself is left to the index, which moves it aside.
void check_data_folder(const std::filesystem::path& root, const std::filesystem::path& data_dir);

struct Project {
    std::filesystem::path root;      // canonical
    std::filesystem::path data_dir;  // root/.quillbox
    std::shared_ptr<Config> config;
};

// Resolves `root` (empty: the current directory); it must be an existing directory. Loads
// config.toml (UsageError when it is not valid TOML; unknown keys and bad values are logged
// as warnings and left at their defaults). With `create_data_dir` makes .quillbox/,
// backups/ and vectors/. A data folder that leads outside the project is refused first
// (check_data_folder).
Project open_project(const std::filesystem::path& root, bool create_data_dir);

// Sets what is process-wide from the configuration: the log sink and level, the language, and
// the root that every opened file must stay inside (none with allow_outside_root).
void install_process_settings(const Project& project);

// The embedding provider of the configuration: none unless semantic.backend is "openai". Logs
// where it embeds, or what is missing.
std::shared_ptr<EmbeddingProvider> project_embedding_provider(const Project& project);

// A new session on the project: paths anchored at the root (confined to it unless
// allow_outside_root), the project's configuration, a SessionReadCache of its own, the
// shared `embeddings`, and the data directory.
std::unique_ptr<Session> open_session(const Project& project, Indexer& index, FileWatcher& watcher,
                                      SafetyEngine& safety, std::shared_ptr<EmbeddingProvider> embeddings);

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
