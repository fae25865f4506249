#include "host/config.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <system_error>

#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/config_file.h"
#include "quillbox/i18n.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;

namespace quillbox::host {

// A TOML basic string, escaped as the format asks.
std::string toml_quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7f)
                    out += fmt::format("\\u{:04X}", c);
                else
                    out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

using Type = ConfigKeyInfo::Type;


std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items) {
        if (!out.empty()) out += ", ";
        out += s;
    }
    return out;
}

std::string number_text(double v) { return fmt::format("{}", v); }

std::vector<ConfigKeyInfo> build_keys() {
    std::vector<ConfigKeyInfo> keys;
    keys.push_back({"pricing_model", Type::choice, "sonnet", join(pricing_model_names()),
                    "Pricing model used for the token estimate and the savings footer"});
    keys.push_back({"cache_enabled", Type::boolean, "true", "true, false",
                    "Answer a repeated read_file with a short cached marker"});
    keys.push_back({"language", Type::choice, "en", "en, zh", "Language of the messages to the agent"});
    keys.push_back({"anchors", Type::choice, "github", "github, gitlab, mkdocs",
                    "How the renderer forms heading anchors: TOC links, link checks and renames follow it"});
    keys.push_back({"log_level", Type::choice, "info", "debug, info, warning, error",
                    "Least severity of the log lines written to stderr"});
    keys.push_back({"allow_outside_root", Type::boolean, "false", "true, false",
                    "Let tools open files outside the project root"});
    keys.push_back({"result_budget_tokens", Type::number, "20000", "a whole number of tokens from 200 up",
                    "Largest answer of one tool call, in estimated tokens (at most 4/5 of "
                    "MAX_MCP_OUTPUT_TOKENS when that is set); longer answers are cut and say how to "
                    "get the rest"});
    keys.push_back({"session.turn_idle_seconds", Type::number, "30", "a number of seconds greater than 0",
                    "A pause this long between tool calls starts a new conversation turn"});
    keys.push_back({"backups.keep_per_file", Type::number, "20", "a whole number, 0 for no limit",
                    "Backups kept per file in .quillbox/backups (the newest ones)"});
    keys.push_back({"backups.max_age_days", Type::number, "30", "a number of days, 0 for no limit",
                    "Backups older than this are removed when the server starts"});
    keys.push_back({"semantic.backend", Type::choice, "local", "local, onnx, openai, none",
                    "Semantic search: the local model (onnx is another name for it), an "
                    "OpenAI-compatible embeddings endpoint, or none (switched off)"});
    keys.push_back({"hook.max_lines", Type::number, "100", "a whole number of lines",
                    "The Write hook denies rewriting an existing .md file longer than this"});
    keys.push_back({"semantic.model", Type::choice, "",
                    join(local_model_names()), "Local embedding model"});
    keys.push_back({"semantic.endpoint", Type::text, "", "an http:// or https:// URL, or empty",
                    "Base URL of the OpenAI-compatible endpoint (…/v1/embeddings is appended)"});
    keys.push_back({"semantic.endpoint_model", Type::text, "", "a model name the endpoint serves",
                    "Model name sent to the endpoint"});
    keys.push_back({"semantic.api_key_env", Type::text, "", "the name of an environment variable, or empty",
                    "Environment variable that holds the endpoint's API key (the key is never stored)"});
    keys.push_back({"semantic.timeout_seconds", Type::number, "60", "a number of seconds greater than 0",
                    "Longest wait for one answer of the embeddings endpoint"});
    keys.push_back({"pricing.currency", Type::text, "$", "1 to 8 characters",
                    "Currency sign written before amounts"});
    // Users override the list prices with `quillbox config set pricing.<model>.input ...`.
    for (const auto& m : PRICING_MODELS) {
        keys.push_back({fmt::format("pricing.{}.input", m.name), Type::number, number_text(m.input),
                        "a number >= 0", fmt::format("Price per million input tokens ({})", m.name)});
        keys.push_back({fmt::format("pricing.{}.output", m.name), Type::number, number_text(m.output),
                        "a number >= 0", fmt::format("Price per million output tokens ({})", m.name)});
    }
    return keys;
}

const ConfigKeyInfo* find_key(std::string_view key) {
    for (const auto& k : config_keys())
        if (k.key == key) return &k;
    return nullptr;
}

std::string valid_key_list() {
    std::vector<std::string> names;
    for (const auto& k : config_keys()) names.push_back(k.key);
    return join(names);
}

[[noreturn]] void throw_bad_key(std::string_view key) {
    // Both spellings of the placeholders, so that either language formats.
    throw ConfigKeyError(get_message("invalid_config_key", {{"config_key", std::string(key)},
                                                            {"key", std::string(key)},
                                                            {"valid_keys", valid_key_list()}}));
}

[[noreturn]] void throw_bad_value(const ConfigKeyInfo& info, std::string_view value) {
    throw ConfigValueError(get_message("invalid_config_value", {{"config_value", std::string(value)},
                                                                {"value", std::string(value)},
                                                                {"config_key", info.key},
                                                                {"key", info.key},
                                                                {"valid_values", info.valid_values}}));
}

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool parse_number(std::string_view text, double& out) {
    auto b = text.data(), e = text.data() + text.size();
    while (b < e && *b == ' ') ++b;
    while (e > b && e[-1] == ' ') --e;
    if (b == e) return false;
    auto [ptr, ec] = std::from_chars(b, e, out);
    return ec == std::errc() && ptr == e && std::isfinite(out);
}


bool bare_key_ok(std::string_view k) {
    if (k.empty()) return false;
    return std::all_of(k.begin(), k.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-';
    });
}

std::string toml_key(std::string_view k) { return bare_key_ok(k) ? std::string(k) : toml_quote(k); }

// Splits a dotted key into its table part and its leaf; the parts are joined back with dots
// as TOML keys (quoted where needed).
std::pair<std::string, std::string> split_dotted(const std::vector<std::string>& parts) {
    std::string table;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (!table.empty()) table += '.';
        table += toml_key(parts[i]);
    }
    return {table, toml_key(parts.back())};
}

std::vector<std::string> split_on_dots(std::string_view key) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        auto dot = key.find('.', start);
        parts.emplace_back(key.substr(start, dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return parts;
}

// A leaf value as TOML text, for keys we keep without understanding them.
std::string raw_toml(const toml::node& node) {
    if (auto s = node.value<std::string>(); s && node.is_string()) return toml_quote(*s);
    std::ostringstream out;
    node.visit([&](const auto& n) { out << n; });
    return out.str();
}

}  // namespace

std::vector<std::string> local_model_names() {
    std::vector<std::string> names;
    for (const auto& [name, spec] : AVAILABLE_MODELS) names.push_back(name);
    return names;
}

const std::vector<std::string>& pricing_model_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const auto& m : PRICING_MODELS) n.emplace_back(m.name);
        return n;
    }();
    return names;
}

const std::vector<ConfigKeyInfo>& config_keys() {
    static const std::vector<ConfigKeyInfo> keys = build_keys();
    return keys;
}

void require_config_key(std::string_view key) {
    if (!find_key(key)) throw_bad_key(key);
}

std::string validate_config_value(std::string_view key, std::string_view value) {
    const ConfigKeyInfo* info = find_key(key);
    if (!info) throw_bad_key(key);
    switch (info->type) {
        case Type::boolean: {
            auto v = lower_ascii(value);
            if (v == "true" || v == "false") return v;
            throw_bad_value(*info, value);
        }
        case Type::number: {
            // Counts become integers in the program: a whole number, and no value beyond 10^15
            // (no setting means anything there, and every whole number below it converts exactly).
            constexpr double MAX_NUMBER = 1e15;
            double d = 0;
            if (!parse_number(value, d) || d < 0 || d > MAX_NUMBER ||
                ((key == "session.turn_idle_seconds" || key == "semantic.timeout_seconds") && d <= 0))
                throw_bad_value(*info, value);
            if (key == "result_budget_tokens" && (d < 200 || d != std::trunc(d))) throw_bad_value(*info, value);
            if ((key == "backups.keep_per_file" || key == "hook.max_lines") && d != std::trunc(d))
                throw_bad_value(*info, value);
            // -0 is 0: written as "-0" it would read back from the saved file as 0.
            return number_text(d + 0.0);
        }
        case Type::choice: {
            std::string_view rest = info->valid_values;
            while (!rest.empty()) {
                auto comma = rest.find(", ");
                auto item = rest.substr(0, comma);
                if (item == value) return std::string(value);
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 2);
            }
            throw_bad_value(*info, value);
        }
        case Type::text: break;
    }
    if (key == "pricing.currency") {
        if (value.empty() || value.size() > 8 || value.find_first_of("\n\r\t") != std::string_view::npos)
            throw_bad_value(*info, value);
    } else if (key == "semantic.endpoint") {
        if (!value.empty() && value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0)
            throw_bad_value(*info, value);
    } else if (key == "semantic.api_key_env") {
        bool ok = std::all_of(value.begin(), value.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        });
        if (!ok || (!value.empty() && value[0] >= '0' && value[0] <= '9')) throw_bad_value(*info, value);
    } else if (value.find_first_of("\n\r") != std::string_view::npos) {
        throw_bad_value(*info, value);
    }
    return std::string(value);
}

Config::Config(const Config& other) {
    std::lock_guard lock(other.mu_);
    values_ = other.values_;
    shared_ = other.shared_;
    unknown_ = other.unknown_;
    warnings_ = other.warnings_;
}

Config& Config::operator=(const Config& other) {
    if (this == &other) return *this;
    std::scoped_lock lock(mu_, other.mu_);
    values_ = other.values_;
    shared_ = other.shared_;
    unknown_ = other.unknown_;
    warnings_ = other.warnings_;
    return *this;
}

Config Config::load(const fs::path& file) {
    Config cfg;
    std::optional<toml::table> root;
    try {
        root = detail::read_config_file(file);
    } catch (const detail::ConfigSyntaxError& e) {
        throw ConfigFileError(e.what());
    }
    if (!root) return cfg;
    detail::for_each_config_value(*root, [&](const std::string& key, const toml::node& node) {
        std::optional<std::string> text;
        if (auto s = node.value<std::string>(); s && node.is_string())
            text = *s;
        else if (node.is_boolean())
            text = *node.value<bool>() ? "true" : "false";
        else if (node.is_integer())
            text = fmt::format("{}", *node.value<int64_t>());
        else if (node.is_floating_point())
            text = number_text(*node.value<double>());
        if (!text || !find_key(key)) {
            cfg.unknown_[key] = Entry{Entry::Kind::raw, raw_toml(node)};
            cfg.warnings_.push_back(
                fmt::format("{}: unknown key '{}' ignored (kept in the file)", file.string(), key));
            return;
        }
        try {
            cfg.values_[key] = validate_config_value(key, *text);
        } catch (const std::invalid_argument& e) {
            cfg.warnings_.push_back(fmt::format("{}: {} (default used)", file.string(), e.what()));
            cfg.unknown_[key] = Entry{Entry::Kind::raw, raw_toml(node)};
        }
    });
    return cfg;
}

void Config::save(const fs::path& file) const {
    // table -> lines of "leaf = value"
    std::map<std::string, std::vector<std::string>> tables;
    {
        std::lock_guard lock(mu_);
        for (const auto& [key, value] : values_) {
            const ConfigKeyInfo* info = find_key(key);
            auto [table, leaf] = split_dotted(split_on_dots(key));
            std::string rendered = (info && (info->type == Type::boolean || info->type == Type::number))
                                       ? value
                                       : toml_quote(value);
            tables[table].push_back(leaf + " = " + rendered);
        }
        for (const auto& [key, entry] : unknown_) {
            if (values_.count(key)) continue;
            auto [table, leaf] = split_dotted(split_on_dots(key));
            tables[table].push_back(leaf + " = " + entry.text);
        }
    }
    std::string out = "# Quillbox configuration. Edit with `quillbox config set KEY VALUE`;\n"
                      "# `quillbox config list` shows every key with its default.\n";
    if (auto it = tables.find(""); it != tables.end()) {
        for (const auto& line : it->second) out += line + "\n";
    }
    for (const auto& [table, lines] : tables) {
        if (table.empty()) continue;
        out += "\n[" + table + "]\n";
        for (const auto& line : lines) out += line + "\n";
    }

    fs::create_directories(file.parent_path());
    try {
        detail::replace_file(file, out);
    } catch (const detail::FileReplaceError& e) {
        if (e.step() == detail::FileReplaceError::Step::rename)
            throw ConfigFileError("cannot replace " + file.string());
        throw ConfigFileError("cannot write " + e.path1().string());
    }
}

std::string Config::get(std::string_view key) const {
    std::lock_guard lock(mu_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    if (auto it = shared_.find(key); it != shared_.end()) return it->second;
    if (key == "semantic.model") {
        // Unset, the local model follows the language of the project.
        std::string_view lang;
        if (auto it = values_.find(std::string_view("language")); it != values_.end())
            lang = it->second;
        else if (auto sit = shared_.find(std::string_view("language")); sit != shared_.end())
            lang = sit->second;
        return lang == "zh" ? "bge-small-zh-v1.5" : "all-MiniLM-L6-v2";
    }
    const ConfigKeyInfo* info = find_key(key);
    return info ? info->default_value : std::string();
}

PricingRates Config::pricing_rates() const {
    std::string model = get("pricing_model");
    if (!find_key("pricing." + model + ".input")) model = "default";
    PricingRates r;
    r.currency = get("pricing.currency");
    r.input = get_number("pricing." + model + ".input");
    r.output = get_number("pricing." + model + ".output");
    return r;
}

void Config::set(std::string_view key, std::string_view value) {
    std::string v = validate_config_value(key, value);
    std::lock_guard lock(mu_);
    values_[std::string(key)] = std::move(v);
    unknown_.erase(std::string(key));
}

void Config::unset(std::string_view key) {
    if (!find_key(key)) throw_bad_key(key);
    std::lock_guard lock(mu_);
    values_.erase(std::string(key));
    unknown_.erase(std::string(key));
}

bool Config::is_set(std::string_view key) const {
    std::lock_guard lock(mu_);
    return values_.count(std::string(key)) > 0 || shared_.count(std::string(key)) > 0;
}

void Config::set_shared(const Config& shared) {
    std::map<std::string, std::string, std::less<>> values;
    {
        std::lock_guard lock(shared.mu_);
        values = shared.values_;
    }
    std::lock_guard lock(mu_);
    shared_ = std::move(values);
}

bool Config::is_shared(std::string_view key) const {
    std::lock_guard lock(mu_);
    return values_.count(std::string(key)) == 0 && shared_.count(std::string(key)) > 0;
}

Config load_project_config(const fs::path& project_root) {
    Config shared = Config::load(shared_config_file_of(project_root));
    Config cfg = Config::load(config_file_of(project_root));
    cfg.set_shared(shared);
    std::vector<std::string> warnings = shared.warnings();
    warnings.insert(warnings.end(), cfg.warnings().begin(), cfg.warnings().end());
    cfg.warnings_ = std::move(warnings);
    return cfg;
}

bool Config::get_bool(std::string_view key) const { return get(key) == "true"; }

double Config::get_number(std::string_view key) const {
    double d = 0;
    std::string text = get(key);
    if (!parse_number(text, d)) return 0.0;
    return d;
}

std::string semantic_model_for(const Config& config) {
    if (const char* env = std::getenv("QUILLBOX_SEMANTIC_MODEL"); env && *env) {
        for (const auto& m : local_model_names())
            if (m == env) return env;
    }
    return config.get("semantic.model");
}

}  // namespace quillbox::host
