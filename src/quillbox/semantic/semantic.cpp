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
// The engine

namespace {

// Replaced in one step, so a crash mid-write never leaves a half-written file.
void write_file(const fs::path& p, const std::string& text) { detail::replace_file(p, text); }

// The model the JSON store of earlier releases was made by, as its model_info.json names it;
// none when it names none (such stores were taken to be the configured model's).
std::optional<std::string> json_store_model(const fs::path& vectors_dir) {
    std::error_code ec;
    const fs::path info = vectors_dir / "model_info.json";
    if (!fs::exists(info, ec)) return std::nullopt;
    try {
        const auto j = nlohmann::json::parse(detail::read_file_bytes(info));
        if (j.is_object() && j.contains("model_name") && j["model_name"].is_string()) {
            auto name = j["model_name"].get<std::string>();
            if (AVAILABLE_MODELS.count(name)) return name;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

}  // namespace

fs::path SemanticEngine::store_file(const fs::path& vectors_dir, std::string_view model_name) {
    return vectors_dir / (std::string(model_name) + ".qbv");
}

SemanticEngine::SemanticEngine(fs::path vectors_dir, std::optional<std::string> model_name, BatchEncoder encoder)
    : vectors_dir_(std::move(vectors_dir)), encoder_(std::move(encoder)) {
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
    store_ = std::make_unique<VectorStore>(store_file(vectors_dir_, model_name_), dim());
    // The JSON store goes into the store of the model that made it, once.
    const std::string made_by = json_store_model(vectors_dir_).value_or(model_name_);
    if (made_by == model_name_) {
        migrated_ = migrate_json_vectors(vectors_dir_, *store_);
    } else {
        VectorStore other(store_file(vectors_dir_, made_by), static_cast<std::size_t>(AVAILABLE_MODELS.at(made_by).dim));
        migrate_json_vectors(vectors_dir_, other);
    }
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

bool SemanticEngine::model_at_hand() const { return encoder_ || find_model_dir(model_name_).has_value(); }

SentenceEncoder& SemanticEngine::_get_model() {
    std::lock_guard lk(model_mu_);
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

std::vector<float> SemanticEngine::encode(std::string_view text) {
    if (encoder_) {
        auto v = encoder_({std::string(text)});
        if (v.size() != 1) throw std::runtime_error("the encoder gave " + std::to_string(v.size()) + " vectors for 1 text");
        return std::move(v.front());
    }
    return _get_model().encode(text);
}

std::vector<std::vector<float>> SemanticEngine::encode_batch(const std::vector<std::string>& texts) {
    if (texts.empty()) return {};
    auto v = encoder_ ? encoder_(texts) : _get_model().encode_batch(texts);
    if (v.size() != texts.size())
        throw std::runtime_error("the encoder gave " + std::to_string(v.size()) + " vectors for " +
                                 std::to_string(texts.size()) + " texts");
    return v;
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
