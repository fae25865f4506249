#pragma once
// One agent session and everything its operations work with: the index, watcher and safety
// engine (long-lived, owned by the host), the session's own state (what it was shown and what
// it read), and the collaborators the host chooses (path resolver, configuration, read cache,
// embedding provider, text-file test). The host makes one Session for each MCP session; tests
// build one with fakes. Only the log sink (quillbox/log.h) is process-wide.
//
// Implemented in the blockops module (blockops/session.cpp).

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/tracker.h"

namespace quillbox {

class Indexer;
class FileWatcher;
class SafetyEngine;
class SemanticIndex;

// ---------------------------------------------------------------------------------------
// Path resolver
// ---------------------------------------------------------------------------------------

// Turns the path text an agent sent into the absolute path that the operations use (its
// text form is the file key of the index). May throw; the calling operation then fails with
// that error.
class PathResolver {
public:
    virtual ~PathResolver() = default;
    virtual std::filesystem::path resolve(std::string_view path_text) const = 0;
};

// Default: relative paths are taken from the current directory, the result is normalised and
// symbolic links are resolved as far as the path exists (weakly_canonical). No restriction.
class CwdPathResolver : public PathResolver {
public:
    std::filesystem::path resolve(std::string_view path_text) const override;
};

// A resolved path that falls outside the project root.
class PathOutsideRootError : public std::invalid_argument {
public:
    PathOutsideRootError(const std::filesystem::path& path, const std::filesystem::path& root);
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// Anchors relative paths at `root`, resolves symbolic links, and refuses (PathOutsideRootError)
// a result outside the root unless `allow_outside`. The root itself is canonicalised once, so
// a root given through a symbolic link still contains its files.
class ProjectPathResolver : public PathResolver {
public:
    explicit ProjectPathResolver(std::filesystem::path root, bool allow_outside = false);
    std::filesystem::path resolve(std::string_view path_text) const override;
    const std::filesystem::path& root() const noexcept { return root_; }

private:
    std::filesystem::path root_;
    bool allow_outside_;
};

// ---------------------------------------------------------------------------------------
// Configuration and pricing
// ---------------------------------------------------------------------------------------

// The models a token estimate and a price can be asked for: tokens per character (`cn` for
// CJK characters, `en` for all others), and list prices per million tokens (USD) at the time of
// writing, which users override in the host's configuration. The last row, "default", stands
// for any other name.
struct PricingModel {
    std::string_view name;
    double cn;
    double en;
    double input;
    double output;
};

inline constexpr std::array<PricingModel, 9> PRICING_MODELS{{
    {"opus", 1.8, 0.25, 15.0, 75.0},
    {"sonnet", 1.7, 0.25, 3.0, 15.0},
    {"haiku", 1.7, 0.25, 0.8, 4.0},
    {"gpt4o", 1.3, 0.22, 2.5, 10.0},
    {"deepseek", 1.4, 0.24, 0.27, 1.1},
    {"qwen", 1.5, 0.25, 0.4, 1.2},
    {"glm", 1.5, 0.25, 0.6, 2.2},
    {"kimi", 1.5, 0.25, 0.6, 2.5},
    {"default", 1.5, 0.25, 3.0, 15.0},
}};

// Prices per one million tokens; `currency` is written directly before an amount.
struct PricingRates {
    std::string currency = "$";
    double input = 3.0;
    double output = 15.0;

    bool operator==(const PricingRates&) const = default;
};

class ConfigSource {
public:
    virtual ~ConfigSource() = default;
    // The value of `key` as text; the empty text for a key the source does not know.
    virtual std::string get(std::string_view key) const = 0;
    virtual PricingRates pricing_rates() const = 0;
};

// In-memory configuration. Defaults: pricing_model "sonnet", cache_enabled "true",
// language "en"; pricing rates "$", 3.0 input and 15.0 output per million tokens (the list
// prices of the default model). Thread-safe; set() and set_pricing_rates() are for the host
// (after reading its own file) and for tests.
class MemoryConfig : public ConfigSource {
public:
    MemoryConfig();
    std::string get(std::string_view key) const override;
    PricingRates pricing_rates() const override;
    void set(std::string key, std::string value);
    void set_pricing_rates(PricingRates rates);

private:
    mutable std::mutex mu_;
    std::map<std::string, std::string, std::less<>> values_;
    PricingRates rates_;
};

// ---------------------------------------------------------------------------------------
// Read cache
// ---------------------------------------------------------------------------------------

// The answer of a read cache for one file. status "hit": the agent already holds the file's
// current content (then content, sha and lines are set); "miss": it does not (content is
// set when the cache read the file). A host cache may use other statuses.
struct CacheResult {
    std::string status;
    std::optional<std::string> content;
    std::string sha;
    long long lines = 0;

    bool operator==(const CacheResult&) const = default;
};

class ReadCache {
public:
    virtual ~ReadCache() = default;
    // Answers for the file and reads it: the content this returns is taken to be delivered
    // to the agent (a whole-file read), so a cache may remember it for the next hit.
    virtual CacheResult check_and_read(std::string_view path_text) = 0;
    // Answers for the file without counting anything as delivered. Block reads use this:
    // they hand the agent one block, not the file, so they must not make the next read of
    // the file look cached.
    virtual CacheResult check(std::string_view path_text) = 0;
};

// Per-session cache: remembers the SHA-256 and line count of the content last delivered for
// each file (by path text); "hit" while the file still has that content. Files are read as
// strict UTF-8 with line ends normalised; read errors propagate. `sha` is the first 12
// hexadecimal characters of the SHA-256 of that text, `lines` its line count. Thread-safe.
class MemoryReadCache : public ReadCache {
public:
    CacheResult check_and_read(std::string_view path_text) override;
    CacheResult check(std::string_view path_text) override;
    void forget(std::string_view path_text);
    void clear();

private:
    struct Entry {
        std::string sha256;
        long long lines = 0;
    };
    CacheResult answer(std::string_view path_text, bool deliver);

    std::mutex mu_;
    std::map<std::string, Entry, std::less<>> entries_;
};

// Whether a file takes part in the read cache. Default: a regular file whose first 8 KiB hold
// no NUL byte and are valid UTF-8 (a sequence cut at the 8 KiB boundary is allowed).
using TextFilePredicate = std::function<bool(std::string_view path_text)>;
bool default_is_text_file(std::string_view path_text);

// ---------------------------------------------------------------------------------------
// Embedding provider
// ---------------------------------------------------------------------------------------
// Turns texts into embedding vectors for the semantic search (for example a remote
// embeddings endpoint). None by default: then the search uses the local SemanticEngine.
class EmbeddingProvider {
public:
    virtual ~EmbeddingProvider() = default;
    // One vector per text, in the order of `texts`. Throws on failure. May be called from
    // several threads at once.
    virtual std::vector<std::vector<double>> encode(const std::vector<std::string>& texts) = 0;
    // What makes the vectors of this provider comparable (for an endpoint: its URL and model).
    // Non-empty: the search keeps the vectors of block titles by text in the data directory
    // and asks only for titles it has not seen under this key. Empty: nothing is kept.
    virtual std::string cache_key() const { return {}; }
};


// ---------------------------------------------------------------------------------------
// The session
// ---------------------------------------------------------------------------------------

// Everything the operations of one agent session use. The index, watcher and safety engine
// outlive the session (the host owns them and shares them between sessions); what the agent
// was shown and read belongs to the session alone, so a new session starts with nothing
// shown. The other collaborators default to those of a plain process: paths taken from the
// working directory, the in-memory configuration defaults, a read cache of its own, no
// embedding provider, the default text-file test, no data directory.
//
// The host sets the collaborators before the first operation and leaves them alone after;
// operations of one session run one at a time.
class Session {
public:
    Session(Indexer& index, FileWatcher& watcher, SafetyEngine& safety);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Indexer& index;
    FileWatcher& watcher;
    SafetyEngine& safety;

    AgentView view;                    // what the agent was shown: blocks, and whole files read
    std::shared_ptr<ReadCache> cache;  // never null

    std::shared_ptr<const ConfigSource> config;     // never null
    std::shared_ptr<const PathResolver> paths;      // never null
    std::shared_ptr<EmbeddingProvider> embeddings;  // null: the local SemanticEngine
    // The server's vectors of the index's sections, embedded in the background; null: a search
    // with the local model embeds what it needs before it answers.
    std::shared_ptr<SemanticIndex> vectors;
    TextFilePredicate is_text_file = default_is_text_file;
    std::filesystem::path data_dir;  // the project's data directory (vectors/); empty: none

    // The agent's path text as the resolver resolves it.
    std::filesystem::path resolve(std::string_view path_text) const { return paths->resolve(path_text); }
    // The configuration's text for `key`.
    std::string setting(std::string_view key) const { return config->get(key); }
};

}  // namespace quillbox
