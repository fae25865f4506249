#pragma once
// Interfaces of the host components that blockops calls (path resolver, configuration and
// pricing, read cache, logger sink, embedding provider), with a process-wide registry of
// working defaults. The operations keep their plain signatures and
// reach these through the free functions below; the host installs its own implementations
// at start-up with the set_* functions, tests install fakes the same way.
//
// The registry is thread-safe: getters hand out shared_ptr copies, so a component swapped
// while an operation runs stays alive until that operation is done with it.
//
// Implemented in the blockops module (blockops/host.cpp).

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

namespace quillbox {

class SessionView;

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

void set_path_resolver(std::shared_ptr<const PathResolver> resolver);  // nullptr: the default
std::shared_ptr<const PathResolver> get_path_resolver();

// The agent's path text, resolved by the installed resolver.
std::filesystem::path _resolve_path(std::string_view path_text);

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

void set_config_source(std::shared_ptr<const ConfigSource> source);  // nullptr: the default
std::shared_ptr<const ConfigSource> get_config_source();

std::string get_config(std::string_view key);
PricingRates get_pricing_rates();

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
bool is_text_file(std::string_view path_text);
using TextFilePredicate = std::function<bool(std::string_view path_text)>;
void set_text_file_predicate(TextFilePredicate predicate);  // empty: the default
bool default_is_text_file(std::string_view path_text);

// ---------------------------------------------------------------------------------------
// Logger "quillbox"
// ---------------------------------------------------------------------------------------

enum class LogLevel { debug = 10, info = 20, warning = 30, error = 40 };

// One record: the logger name, the printf-style template as written at the call site and the
// message formatted from it with the record's arguments.
struct LogRecord {
    LogLevel level;
    std::string_view logger;  // always "quillbox"
    const char* templ;
    std::string message;
};

using LogSink = std::function<void(const LogRecord&)>;

// The default sink writes "quillbox WARNING: message" lines to stderr (never stdout, which
// may carry a protocol). The default level is warning.
void set_log_sink(LogSink sink);  // empty: the default sink
void set_log_level(LogLevel level);
LogLevel get_log_level();
bool log_enabled(LogLevel level);
const char* log_level_name(LogLevel level);

void log_debug(const char* templ, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* templ, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* templ, ...) __attribute__((format(printf, 1, 2)));

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

void set_embedding_provider(std::shared_ptr<EmbeddingProvider> provider);  // nullptr: none
// The installed provider, or nullptr when none is configured.
std::shared_ptr<EmbeddingProvider> get_provider();

// ---------------------------------------------------------------------------------------
// Session view
// ---------------------------------------------------------------------------------------
// What the agent session being served was last shown of each block (tracker.h). A server
// serves one session, so the default is one view for the process; a host serving several
// sessions installs the current one.
void set_session_view(std::shared_ptr<SessionView> view);  // nullptr: a fresh default view
std::shared_ptr<SessionView> get_session_view();

// ---------------------------------------------------------------------------------------

// Restores every default of this registry (resolver, configuration, text-file predicate,
// log sink and level, no embedding provider, a fresh session view). For tests.
void reset_host_defaults();

}  // namespace quillbox
