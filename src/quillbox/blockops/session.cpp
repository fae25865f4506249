// The session and the default collaborators.

#include "quillbox/session.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "quillbox/detail/file_key.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"

namespace fs = std::filesystem;

namespace quillbox {

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

// ---- Session ----------------------------------------------------------------------------

Session::Session(Indexer& index_, FileWatcher& watcher_, SafetyEngine& safety_)
    : index(index_),
      watcher(watcher_),
      safety(safety_),
      cache(std::make_shared<MemoryReadCache>()),
      config(std::make_shared<MemoryConfig>()),
      paths(std::make_shared<CwdPathResolver>()) {}

}  // namespace quillbox
