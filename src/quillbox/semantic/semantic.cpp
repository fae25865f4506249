#include "quillbox/semantic.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <system_error>
#include <unordered_set>

#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/config_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/safety.h"

namespace quillbox {

namespace fs = std::filesystem;

const std::map<std::string, ModelSpec> AVAILABLE_MODELS = {
    {"all-MiniLM-L6-v2", {384, "en", "sentence-transformers/all-MiniLM-L6-v2"}},
    {"bge-small-zh-v1.5", {512, "zh", "BAAI/bge-small-zh-v1.5"}},
    {"multilingual-e5-small", {384, "multi", "intfloat/multilingual-e5-small"}},
};

// ---------------------------------------------------------------------------------------------
// JSON output compatible with Python's json.dumps defaults.

namespace semantic_json {

namespace {
void append_u16(std::string& out, unsigned v) {
    static const char* hex = "0123456789abcdef";
    out += "\\u";
    for (int s = 12; s >= 0; s -= 4) out.push_back(hex[(v >> s) & 0xF]);
}
}  // namespace

void append_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                default:
                    if (c < 0x20 || c == 0x7F) append_u16(out, c);
                    else out.push_back(static_cast<char>(c));
            }
            continue;
        }
        char32_t cp;
        std::size_t bad = detail::find_invalid_utf8(s.substr(i, std::min<std::size_t>(4, s.size() - i)));
        if (bad == 0) {
            cp = 0xFFFD;  // not UTF-8: keep the file valid
            ++i;
        } else {
            cp = detail::next_code_point(s, i);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            append_u16(out, 0xD800 + static_cast<unsigned>(cp >> 10));
            append_u16(out, 0xDC00 + static_cast<unsigned>(cp & 0x3FF));
        } else {
            append_u16(out, static_cast<unsigned>(cp));
        }
    }
    out.push_back('"');
}

void append_number(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-Infinity" : "Infinity";
        return;
    }
    if (std::signbit(v)) {
        out.push_back('-');
        v = -v;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t epos = sci.find('e');
    std::string digits;
    for (char ch : sci.substr(0, epos))
        if (ch != '.') digits.push_back(ch);
    int exp = std::atoi(std::string(sci.substr(epos + 1)).c_str());
    const int n = static_cast<int>(digits.size());
    if (exp >= -4 && exp < 16) {
        if (exp >= 0) {
            if (n <= exp + 1) {
                out += digits;
                out.append(static_cast<std::size_t>(exp + 1 - n), '0');
                out += ".0";
            } else {
                out.append(digits, 0, static_cast<std::size_t>(exp + 1));
                out.push_back('.');
                out.append(digits, static_cast<std::size_t>(exp + 1));
            }
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp - 1), '0');
            out += digits;
        }
    } else {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out.push_back(exp < 0 ? '-' : '+');
        int a = std::abs(exp);
        if (a < 10) out.push_back('0');
        out += std::to_string(a);
    }
}

}  // namespace semantic_json

// ---------------------------------------------------------------------------------------------
// Store files

namespace {

// Replaced in one step, so a crash mid-write never leaves a half-written store file that
// would stop the next start.
void write_file(const fs::path& p, const std::string& text) { detail::replace_file(p, text); }

nlohmann::ordered_json read_store_json(const fs::path& p) {
    std::string text = detail::read_file_bytes(p);
    try {
        return nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error("vector store file " + p.string() + " is not valid JSON: " + e.what());
    }
}

// First `n` code points of valid UTF-8 (bytes, when not valid).
std::string first_chars(std::string_view s, std::size_t n) {
    std::size_t count = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == n) break;
            ++count;
        }
    }
    return std::string(s.substr(0, i));
}

double round4(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return std::strtod(buf, nullptr);
}

}  // namespace

SemanticEngine::SemanticEngine(fs::path vectors_dir, std::optional<std::string> model_name)
    : vectors_dir_(std::move(vectors_dir)) {
    fs::create_directories(vectors_dir_);
    if (model_name && !model_name->empty()) {
        if (!AVAILABLE_MODELS.count(*model_name)) {
            std::string names;
            for (const auto& [k, v] : AVAILABLE_MODELS) names += (names.empty() ? "" : ", ") + k;
            throw std::invalid_argument("unknown semantic model \"" + *model_name + "\" (available: " +
                                        names + ")");
        }
        model_name_ = *model_name;
    } else {
        model_name_ = _load_config(vectors_dir_);
    }
    model_dim_ = AVAILABLE_MODELS.at(model_name_).dim;
    _load_vectors();
    _check_model_consistency();
}

SemanticEngine::~SemanticEngine() = default;

std::string SemanticEngine::_load_config(const fs::path& vectors_dir) {
    if (const char* env = std::getenv("QUILLBOX_SEMANTIC_MODEL"); env && *env && AVAILABLE_MODELS.count(env))
        return env;
    fs::path dir = vectors_dir;
    if (!dir.empty() && !dir.has_filename()) dir = dir.parent_path();  // trailing separator
    if (auto config = detail::read_config_file(dir.parent_path() / "config.toml")) {
        // semantic.model as `quillbox config set` writes it; a top-level "model" as older
        // hand-written files have it.
        for (const char* key : {"semantic.model", "model"}) {
            auto name = config->at_path(key).value<std::string>();
            if (name && AVAILABLE_MODELS.count(*name)) return *name;
        }
    }
    return "bge-small-zh-v1.5";
}

SentenceEncoder& SemanticEngine::_get_model() {
    if (!model_) {
        try {
            fs::path dir = ensure_model(model_name_, terminal_progress());
            auto enc = std::make_unique<SentenceEncoder>(dir);
            if (static_cast<int>(enc->dim()) != model_dim_)
                throw ModelError("the model in " + dir.string() + " gives vectors of " +
                                 std::to_string(enc->dim()) + " numbers, expected " +
                                 std::to_string(model_dim_));
            model_ = std::move(enc);
        } catch (const std::exception& e) {
            std::throw_with_nested(SemanticModelError(model_name_, e.what()));
        } catch (...) {
            std::throw_with_nested(SemanticModelError(model_name_, "unknown error"));
        }
    }
    return *model_;
}

std::vector<double> SemanticEngine::encode(std::string_view text) {
    auto v = _get_model().encode(text);
    return {v.begin(), v.end()};
}

namespace {

// Streams a store file of the form {"id": [...], ...} straight into the maps: a DOM of an
// ordered JSON object costs a linear key search per entry, far too slow for large stores.
class StoreReader {
public:
    using json = nlohmann::json;
    enum class Kind { vectors, metadata };
    StoreReader(Kind kind, OrderedMap<std::vector<double>>* vectors, OrderedMap<BlockMeta>* metadata)
        : kind_(kind), vectors_(vectors), metadata_(metadata) {}

    bool null() { return fail("holds null"); }
    bool boolean(bool) { return fail("holds a boolean"); }
    bool number_integer(json::number_integer_t v) { return number(static_cast<double>(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return number(static_cast<double>(v)); }
    bool number_float(json::number_float_t v, const std::string&) { return number(v); }
    bool string(std::string& v) {
        if (kind_ != Kind::metadata || depth_ != 2) return fail("holds an unexpected string");
        strings_.push_back(std::move(v));
        return true;
    }
    bool binary(json::binary_t&) { return fail("holds binary data"); }
    bool start_object(std::size_t) {
        if (depth_ != 0) return fail("holds a nested object");
        ++depth_;
        return true;
    }
    bool key(std::string& k) {
        key_ = std::move(k);
        return true;
    }
    bool end_object() {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) {
        if (depth_ != 1) return fail(depth_ == 0 ? "is not a JSON object" : "holds a nested list");
        ++depth_;
        numbers_.clear();
        strings_.clear();
        return true;
    }
    bool end_array() {
        --depth_;
        if (kind_ == Kind::vectors) {
            (*vectors_)[key_] = std::move(numbers_);
            numbers_ = {};
        } else {
            if (strings_.size() != 3) return fail("is not [title, snippet, content hash]");
            (*metadata_)[key_] = BlockMeta{std::move(strings_[0]), std::move(strings_[1]), std::move(strings_[2])};
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        error_ = std::string("is not valid JSON: ") + e.what();
        return false;
    }
    const std::string& error() const { return error_; }

private:
    bool number(double v) {
        if (kind_ != Kind::vectors || depth_ != 2) return fail("holds an unexpected number");
        numbers_.push_back(v);
        return true;
    }
    bool fail(const char* what) {
        error_ = depth_ == 0 ? std::string("is not a JSON object") : "entry " + key_ + " " + what;
        return false;
    }

    Kind kind_;
    OrderedMap<std::vector<double>>* vectors_;
    OrderedMap<BlockMeta>* metadata_;
    int depth_ = 0;
    std::string key_;
    std::vector<double> numbers_;
    std::vector<std::string> strings_;
    std::string error_;
};

// The common shape of vectors.json (plain ids, arrays of numbers) read directly; anything else
// (escapes in ids, odd layout, errors) is left to the general reader. False: not handled here.
bool read_vectors_fast(std::string_view t, OrderedMap<std::vector<double>>& out) {
    const std::size_t n = t.size();
    std::size_t i = 0;
    auto ws = [&] {
        while (i < n && (t[i] == ' ' || t[i] == '\n' || t[i] == '\r' || t[i] == '\t')) ++i;
    };
    auto at = [&](char c) { return i < n && t[i] == c; };
    ws();
    if (!at('{')) return false;
    ++i;
    ws();
    if (at('}')) {
        ++i;
        ws();
        return i == n;
    }
    for (;;) {
        ws();
        if (!at('"')) return false;
        const std::size_t ks = ++i;
        bool ascii = true;
        while (i < n && t[i] != '"' && t[i] != '\\' && static_cast<unsigned char>(t[i]) >= 0x20) {
            ascii = ascii && static_cast<unsigned char>(t[i]) < 0x80;
            ++i;
        }
        if (!at('"')) return false;
        std::string key(t.substr(ks, i - ks));
        if (!ascii && detail::find_invalid_utf8(key) != std::string_view::npos) return false;
        ++i;
        ws();
        if (!at(':')) return false;
        ++i;
        ws();
        if (!at('[')) return false;
        ++i;
        ws();
        std::vector<double> v;
        if (at(']')) {
            ++i;
        } else {
            for (;;) {
                ws();
                double d;
                auto r = std::from_chars(t.data() + i, t.data() + n, d);
                if (r.ec != std::errc()) return false;
                i = static_cast<std::size_t>(r.ptr - t.data());
                v.push_back(d);
                ws();
                if (at(',')) {
                    ++i;
                    continue;
                }
                if (at(']')) {
                    ++i;
                    break;
                }
                return false;
            }
        }
        out[key] = std::move(v);
        ws();
        if (at(',')) {
            ++i;
            continue;
        }
        if (at('}')) {
            ++i;
            ws();
            return i == n;
        }
        return false;
    }
}

void read_store(const fs::path& p, StoreReader::Kind kind, OrderedMap<std::vector<double>>* vectors,
                OrderedMap<BlockMeta>* metadata) {
    std::string text = detail::read_file_bytes(p);
    if (kind == StoreReader::Kind::vectors) {
        if (read_vectors_fast(text, *vectors)) return;
        vectors->clear();
    }
    StoreReader reader(kind, vectors, metadata);
    bool ok = nlohmann::json::sax_parse(text, &reader);
    if (!ok) {
        if (vectors) vectors->clear();
        if (metadata) metadata->clear();
        throw std::runtime_error("vector store file " + p.string() + " " +
                                 (reader.error().empty() ? "is not a JSON object" : reader.error()));
    }
}

}  // namespace

void SemanticEngine::_load_vectors() {
    const fs::path vf = vectors_dir_ / "vectors.json", mf = vectors_dir_ / "metadata.json";
    if (fs::exists(vf)) read_store(vf, StoreReader::Kind::vectors, &vectors_, nullptr);
    if (fs::exists(mf)) read_store(mf, StoreReader::Kind::metadata, nullptr, &metadata_);
}

void SemanticEngine::_check_model_consistency() {
    const fs::path info = vectors_dir_ / "model_info.json";
    if (!fs::exists(info)) return;
    auto j = read_store_json(info);
    bool same = j.is_object() && j.contains("model_name") && j["model_name"].is_string() &&
                j["model_name"].get<std::string>() == model_name_ && j.contains("vector_dim") &&
                j["vector_dim"].is_number() && j["vector_dim"].get<double>() == model_dim_;
    if (!same) {
        vectors_.clear();
        metadata_.clear();
        fs::remove(info);
    }
}

bool SemanticEngine::index_block(const std::string& block_id, const std::string& title, std::string_view content,
                                 const std::string& content_hash) {
    if (const auto* m = metadata_.find(block_id); m && m->content_hash == content_hash) return false;
    std::string snippet = first_chars(content, 200);
    auto vec = encode(title + " " + snippet);
    vectors_[block_id] = std::move(vec);
    metadata_[block_id] = BlockMeta{title, std::move(snippet), content_hash};
    return true;
}

std::size_t SemanticEngine::index_blocks(const std::vector<BlockToIndex>& blocks) {
    // Decide first, exactly as index_block one after another would: a block repeated in the
    // batch is compared with the hash its earlier occurrence is about to store.
    struct Pending {
        const BlockToIndex* block;
        std::string snippet;
    };
    std::vector<Pending> todo;
    std::unordered_map<std::string, const std::string*> planned_hash;
    for (const auto& b : blocks) {
        const std::string* stored = nullptr;
        if (auto it = planned_hash.find(b.block_id); it != planned_hash.end())
            stored = it->second;
        else if (const auto* m = metadata_.find(b.block_id))
            stored = &m->content_hash;
        if (stored && *stored == b.content_hash) continue;
        planned_hash[b.block_id] = &b.content_hash;
        todo.push_back({&b, first_chars(b.content, 200)});
    }
    // Chunks bound the memory of one encoder call; each is stored before the next is encoded,
    // so a failure keeps what was already encoded, as the one-by-one path would.
    constexpr std::size_t chunk = 256;
    for (std::size_t start = 0; start < todo.size(); start += chunk) {
        const std::size_t end = std::min(todo.size(), start + chunk);
        std::vector<std::string> texts;
        texts.reserve(end - start);
        for (std::size_t i = start; i < end; ++i) texts.push_back(todo[i].block->title + " " + todo[i].snippet);
        // Packed batches are much faster. They change only the rounding of the matrix
        // products (about 1e-8 per component), far below what a similarity can tell apart.
        auto vecs = _get_model().encode_batch(texts, 32);
        for (std::size_t i = start; i < end; ++i) {
            const BlockToIndex& b = *todo[i].block;
            const auto& v = vecs[i - start];
            vectors_[b.block_id] = std::vector<double>(v.begin(), v.end());
            metadata_[b.block_id] = BlockMeta{b.title, std::move(todo[i].snippet), b.content_hash};
        }
    }
    return todo.size();
}

void SemanticEngine::remove_block(const std::string& block_id) {
    vectors_.erase(block_id);
    metadata_.erase(block_id);
}

std::vector<SearchResult> SemanticEngine::search(std::string_view query, long top_k) {
    if (vectors_.empty()) return {};
    auto q = encode(query);
    struct Scored {
        const std::string* id;
        double score;
    };
    std::vector<Scored> scored;
    scored.reserve(vectors_.size());
    for (const auto& [id, v] : vectors_) {
        const std::size_t n = std::min(q.size(), v.size());
        double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += q[i] * v[i];
        scored.push_back({&id, s});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
    const std::size_t k = top_k <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(top_k), scored.size());
    std::vector<SearchResult> out;
    out.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        SearchResult r;
        r.block_id = *scored[i].id;
        r.score = round4(scored[i].score);
        if (const auto* m = metadata_.find(r.block_id)) {
            r.title = m->title;
            r.snippet = detail::code_point_count(m->snippet) > 100 ? first_chars(m->snippet, 100) + "..." : m->snippet;
        }
        out.push_back(std::move(r));
    }
    return out;
}

namespace {

// The lines of one file, read once for all of its blocks (blocks come file by file).
class FileLines {
public:
    // The block's lines joined with "\n", its range clamped as read_lines clamps it; none when
    // the file cannot be read (gone since it was indexed, no longer valid UTF-8, too large).
    std::optional<std::string> content(const Block& b) {
        if (!loaded_ || b.file_path != file_) {
            file_ = b.file_path;
            loaded_ = true;
            try {
                lines_ = read_lines(b.file_path, 1, LONG_MAX);
                readable_ = true;
            } catch (const std::exception&) {
                lines_.clear();
                readable_ = false;
            }
        }
        if (!readable_) return std::nullopt;
        const std::size_t n = lines_.size();
        std::size_t first = b.start_line <= 1 ? 0 : static_cast<std::size_t>(b.start_line - 1);
        const std::size_t last = b.end_line <= 0 ? 0 : std::min(static_cast<std::size_t>(b.end_line), n);
        if (first > last) first = last;
        std::string out;
        for (std::size_t i = first; i < last; ++i) {
            if (i > first) out.push_back('\n');
            out += lines_[i];
        }
        return out;
    }

private:
    bool loaded_ = false;
    bool readable_ = false;
    fs::path file_;
    std::vector<std::string> lines_;
};

}  // namespace

ReindexStats SemanticEngine::_update(const std::vector<Block>& blocks, bool& changed) {
    ReindexStats stats;
    std::unordered_set<std::string_view> current;
    for (const auto& b : blocks) current.insert(b.uuid);
    std::vector<std::string> gone;
    for (const auto& [id, v] : vectors_)
        if (!current.count(id)) gone.push_back(id);
    for (const auto& id : gone) {
        vectors_.erase(id);
        metadata_.erase(id);
        ++stats.deleted;
    }
    // A half-written store (a vector without its record or the other way round) is mended by
    // encoding the block again.
    std::vector<std::string> orphans;
    for (const auto& [id, m] : metadata_)
        if (!vectors_.contains(id)) orphans.push_back(id);
    for (const auto& [id, v] : vectors_)
        if (!metadata_.contains(id)) orphans.push_back(id);
    for (const auto& id : orphans) remove_block(id);

    // Only the blocks to encode are read; groups keep the read contents small.
    constexpr std::size_t group = 512;
    FileLines source;
    std::vector<BlockToIndex> batch;
    std::unordered_map<std::string_view, const std::string*> planned;
    auto flush = [&] {
        stats.encoded += static_cast<int>(index_blocks(batch));
        batch.clear();
    };
    for (const auto& b : blocks) {
        // A block repeated in the list is compared with what its earlier occurrence stores.
        const std::string* stored = nullptr;
        if (auto it = planned.find(b.uuid); it != planned.end())
            stored = it->second;
        else if (const auto* m = metadata_.find(b.uuid))
            stored = &m->content_hash;
        if (stored && *stored == b.content_hash) {
            ++stats.skipped;
            continue;
        }
        auto content = source.content(b);
        if (!content) {
            // Its text is unknown: an older vector would describe text that is no longer there.
            if (vectors_.erase(b.uuid)) ++stats.deleted;
            metadata_.erase(b.uuid);
            continue;
        }
        planned[b.uuid] = &b.content_hash;
        batch.push_back({b.uuid, b.title, std::move(*content), b.content_hash});
        if (batch.size() == group) flush();
    }
    flush();
    changed = stats.encoded || stats.deleted || !orphans.empty();
    return stats;
}

ReindexStats SemanticEngine::reindex_all(const std::vector<Block>& blocks) {
    bool changed = false;
    ReindexStats stats = _update(blocks, changed);
    _save_vectors();
    return stats;
}

ReindexStats SemanticEngine::sync(const std::vector<Block>& blocks) {
    bool changed = false;
    ReindexStats stats = _update(blocks, changed);
    if (changed) _save_vectors();
    return stats;
}

void SemanticEngine::_mark_model_used() {
    std::string out = "{\"model_name\": ";
    semantic_json::append_string(out, model_name_);
    out += ", \"vector_dim\": " + std::to_string(model_dim_) + "}";
    write_file(vectors_dir_ / "model_info.json", out);
}

void SemanticEngine::_save_vectors() {
    _mark_model_used();
    std::string out = "{";
    bool first = true;
    for (const auto& [id, v] : vectors_) {
        if (!first) out += ", ";
        first = false;
        semantic_json::append_string(out, id);
        out += ": [";
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            semantic_json::append_number(out, v[i]);
        }
        out += "]";
    }
    out += "}";
    write_file(vectors_dir_ / "vectors.json", out);
    out = "{";
    first = true;
    for (const auto& [id, m] : metadata_) {
        if (!first) out += ", ";
        first = false;
        semantic_json::append_string(out, id);
        out += ": [";
        semantic_json::append_string(out, m.title);
        out += ", ";
        semantic_json::append_string(out, m.snippet);
        out += ", ";
        semantic_json::append_string(out, m.content_hash);
        out += "]";
    }
    out += "}";
    write_file(vectors_dir_ / "metadata.json", out);
}

}  // namespace quillbox

namespace quillbox {

// ---------------------------------------------------------------------------------------------
// Provider vectors by text

TextVectorCache::TextVectorCache(fs::path file, std::string provider_key)
    : file_(std::move(file)), provider_key_(std::move(provider_key)) {
    std::error_code ec;
    if (!fs::exists(file_, ec)) return;
    try {
        auto j = nlohmann::json::parse(detail::read_file_bytes(file_));
        if (!j.is_object() || j.value("provider", std::string()) != provider_key_) return;
        const auto it = j.find("vectors");
        if (it == j.end() || !it->is_object()) return;
        for (auto& [text, v] : it->items()) {
            if (!v.is_array()) continue;
            std::vector<double> vec;
            vec.reserve(v.size());
            bool numbers = true;
            for (const auto& x : v) {
                if (!x.is_number()) {
                    numbers = false;
                    break;
                }
                vec.push_back(x.get<double>());
            }
            if (numbers) vectors_.emplace(text, std::move(vec));
        }
    } catch (const std::exception&) {
        vectors_.clear();  // unreadable: start over, the provider is asked again
    }
}

const std::vector<double>* TextVectorCache::find(const std::string& text) const {
    auto it = vectors_.find(text);
    return it == vectors_.end() ? nullptr : &it->second;
}

void TextVectorCache::put(const std::string& text, std::vector<double> vector) {
    auto [it, added] = vectors_.try_emplace(text);
    if (!added && it->second == vector) return;
    it->second = std::move(vector);
    changed_ = true;
}

void TextVectorCache::retain(const std::vector<std::string>& keep) {
    std::unordered_set<std::string_view> wanted(keep.begin(), keep.end());
    for (auto it = vectors_.begin(); it != vectors_.end();) {
        if (wanted.count(it->first)) {
            ++it;
        } else {
            it = vectors_.erase(it);
            changed_ = true;
        }
    }
}

void TextVectorCache::save() {
    if (!changed_) return;
    // Sorted by text, so the same cache always gives the same file.
    std::vector<const std::pair<const std::string, std::vector<double>>*> entries;
    entries.reserve(vectors_.size());
    for (const auto& e : vectors_) entries.push_back(&e);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string out = "{\"provider\": ";
    semantic_json::append_string(out, provider_key_);
    out += ", \"vectors\": {";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) out += ", ";
        semantic_json::append_string(out, entries[i]->first);
        out += ": [";
        const auto& v = entries[i]->second;
        for (std::size_t k = 0; k < v.size(); ++k) {
            if (k) out += ", ";
            semantic_json::append_number(out, v[k]);
        }
        out += "]";
    }
    out += "}}";
    fs::create_directories(file_.parent_path());
    write_file(file_, out);
    changed_ = false;
}

}  // namespace quillbox
