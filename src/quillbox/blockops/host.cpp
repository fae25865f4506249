// Default host components and the registry through which the operations reach them.

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <type_traits>
#include <utility>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/host.h"
#include "quillbox/tracker.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

struct Registry {
    std::mutex mu;
    std::shared_ptr<const PathResolver> resolver;
    std::shared_ptr<const ConfigSource> config;
    TextFilePredicate text_file;
    LogSink sink;
    LogLevel level = LogLevel::warning;
    std::shared_ptr<SessionView> view = std::make_shared<SessionView>();
};

Registry& registry() {
    static Registry r;
    return r;
}

// One registry slot, written or copied under the lock.
template <class T>
void put(T Registry::*slot, std::type_identity_t<T> value) {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    r.*slot = std::move(value);
}

template <class T>
T take(T Registry::*slot) {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    return r.*slot;
}

const std::shared_ptr<const PathResolver>& default_resolver() {
    static const std::shared_ptr<const PathResolver> r = std::make_shared<CwdPathResolver>();
    return r;
}

const std::shared_ptr<const ConfigSource>& default_config() {
    static const std::shared_ptr<const ConfigSource> c = std::make_shared<MemoryConfig>();
    return c;
}


}  // namespace

// ---- Path resolver ----------------------------------------------------------------------

fs::path CwdPathResolver::resolve(std::string_view path_text) const {
    fs::path p{std::string(path_text)};
    if (p.empty()) p = fs::current_path();
    return detail::file_key(p);
}

PathOutsideRootError::PathOutsideRootError(const fs::path& path, const fs::path& root)
    : std::invalid_argument("Path " + path.string() + " is outside the project root " + root.string()),
      path_(path) {}

ProjectPathResolver::ProjectPathResolver(fs::path root, bool allow_outside)
    : root_(detail::file_key(root)), allow_outside_(allow_outside) {}

fs::path ProjectPathResolver::resolve(std::string_view path_text) const {
    fs::path p{std::string(path_text)};
    fs::path full = p.empty() ? root_ : (p.is_absolute() ? p : root_ / p);
    fs::path resolved = detail::file_key(full);
    if (!allow_outside_ && !detail::path_within(resolved, root_)) throw PathOutsideRootError(resolved, root_);
    return resolved;
}

void set_path_resolver(std::shared_ptr<const PathResolver> resolver) { put(&Registry::resolver, std::move(resolver)); }

std::shared_ptr<const PathResolver> get_path_resolver() {
    auto resolver = take(&Registry::resolver);
    return resolver ? resolver : default_resolver();
}

fs::path _resolve_path(std::string_view path_text) { return get_path_resolver()->resolve(path_text); }

// ---- Configuration ----------------------------------------------------------------------

MemoryConfig::MemoryConfig()
    : values_{{"pricing_model", "sonnet"}, {"cache_enabled", "true"}, {"language", "en"}} {}

std::string MemoryConfig::get(std::string_view key) const {
    std::lock_guard lk(mu_);
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

PricingRates MemoryConfig::pricing_rates() const {
    std::lock_guard lk(mu_);
    return rates_;
}

void MemoryConfig::set(std::string key, std::string value) {
    std::lock_guard lk(mu_);
    values_[std::move(key)] = std::move(value);
}

void MemoryConfig::set_pricing_rates(PricingRates rates) {
    std::lock_guard lk(mu_);
    rates_ = std::move(rates);
}

void set_config_source(std::shared_ptr<const ConfigSource> source) { put(&Registry::config, std::move(source)); }

std::shared_ptr<const ConfigSource> get_config_source() {
    auto source = take(&Registry::config);
    return source ? source : default_config();
}

std::string get_config(std::string_view key) { return get_config_source()->get(key); }
PricingRates get_pricing_rates() { return get_config_source()->pricing_rates(); }

// ---- Read cache -------------------------------------------------------------------------

CacheResult MemoryReadCache::answer(std::string_view path_text, bool deliver) {
    if (!deliver) {
        // Nothing delivered for this file yet: a miss, without reading it.
        std::lock_guard lk(mu_);
        if (entries_.find(path_text) == entries_.end()) return CacheResult{"miss", std::nullopt, "", 0};
    }
    std::string content = detail::read_text_file(fs::path{std::string(path_text)});
    std::string sha = detail::sha256_hex(content);
    long long lines = static_cast<long long>(detail::split_lines(content).size());
    CacheResult res;
    res.sha = sha.substr(0, 12);
    res.lines = lines;
    std::lock_guard lk(mu_);
    auto it = entries_.find(path_text);
    if (it != entries_.end() && it->second.sha256 == sha && it->second.lines == lines) {
        res.status = "hit";
    } else {
        res.status = "miss";
        if (deliver) entries_.insert_or_assign(std::string(path_text), Entry{sha, lines});
    }
    res.content = std::move(content);
    return res;
}

CacheResult MemoryReadCache::check_and_read(std::string_view path_text) { return answer(path_text, true); }
CacheResult MemoryReadCache::check(std::string_view path_text) { return answer(path_text, false); }

void MemoryReadCache::forget(std::string_view path_text) {
    std::lock_guard lk(mu_);
    auto it = entries_.find(path_text);
    if (it != entries_.end()) entries_.erase(it);
}

void MemoryReadCache::clear() {
    std::lock_guard lk(mu_);
    entries_.clear();
}

bool default_is_text_file(std::string_view path_text) {
    fs::path p{std::string(path_text)};
    detail::FileHandle fd;
    try {
        fd = detail::open_regular_for_reading(p);
    } catch (const std::exception&) {
        return false;
    }
    std::string head(8192, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        ssize_t n = ::read(fd.get(), head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    if (head.find('\0') != std::string::npos) return false;
    std::size_t bad = detail::find_invalid_utf8(head);
    if (bad == std::string_view::npos) return true;
    // A multi-byte sequence cut by the 8 KiB limit is not a fault of the file.
    return head.size() == 8192 && head.size() - bad < 4 &&
           (static_cast<unsigned char>(head[bad]) & 0xC0) == 0xC0;
}

bool is_text_file(std::string_view path_text) {
    TextFilePredicate pred = take(&Registry::text_file);
    return pred ? pred(path_text) : default_is_text_file(path_text);
}

void set_text_file_predicate(TextFilePredicate predicate) { put(&Registry::text_file, std::move(predicate)); }

// ---- Logger -----------------------------------------------------------------------------

const char* log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return "DEBUG";
        case LogLevel::info: return "INFO";
        case LogLevel::warning: return "WARNING";
        case LogLevel::error: return "ERROR";
    }
    return "LOG";
}

void set_log_sink(LogSink sink) { put(&Registry::sink, std::move(sink)); }

void set_log_level(LogLevel level) { put(&Registry::level, level); }

LogLevel get_log_level() { return take(&Registry::level); }

bool log_enabled(LogLevel level) { return static_cast<int>(level) >= static_cast<int>(get_log_level()); }

namespace {

void vlog(LogLevel level, const char* templ, va_list ap) {
    LogSink sink;
    {
        auto& r = registry();
        std::lock_guard lk(r.mu);
        if (static_cast<int>(level) < static_cast<int>(r.level)) return;
        sink = r.sink;
    }
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, templ, ap2);
    va_end(ap2);
    std::string msg;
    if (n > 0) {
        msg.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(msg.data(), msg.size(), templ, ap);
        msg.resize(static_cast<std::size_t>(n));
    }
    LogRecord rec{level, "quillbox", templ, std::move(msg)};
    if (sink) {
        try {
            sink(rec);
        } catch (...) {
            // A failing sink must not turn a log call into an operation failure.
        }
        return;
    }
    std::fprintf(stderr, "quillbox %s: %s\n", log_level_name(level), rec.message.c_str());
}

}  // namespace

#define QUILLBOX_LOG_AT(name, lvl)                 \
    void name(const char* templ, ...) {            \
        va_list ap;                                \
        va_start(ap, templ);                       \
        vlog(lvl, templ, ap);                      \
        va_end(ap);                                \
    }
QUILLBOX_LOG_AT(log_debug, LogLevel::debug)
QUILLBOX_LOG_AT(log_info, LogLevel::info)
QUILLBOX_LOG_AT(log_warning, LogLevel::warning)
#undef QUILLBOX_LOG_AT

// ---- Session view ------------------------------------------------------------------------

void set_session_view(std::shared_ptr<SessionView> view) {
    put(&Registry::view, view ? std::move(view) : std::make_shared<SessionView>());
}

std::shared_ptr<SessionView> get_session_view() { return take(&Registry::view); }

void reset_host_defaults() {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    r.resolver.reset();
    r.config.reset();
    r.text_file = nullptr;
    r.sink = nullptr;
    r.level = LogLevel::warning;
    r.view = std::make_shared<SessionView>();
    set_embedding_provider(nullptr);
}

}  // namespace quillbox
