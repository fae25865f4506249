#pragma once
// The project configuration: `config.toml` in the data directory, read with toml++.
// Only keys the user set are stored in the file; everything else takes its default, so a
// newer release can change a default without rewriting anyone's file.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/session.h"

namespace quillbox::host {

// A key that is not part of the configuration; what() is the catalogue's invalid_config_key.
class ConfigKeyError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};
// A value a key does not accept; what() is the catalogue's invalid_config_value.
class ConfigValueError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};
// config.toml exists but cannot be read or parsed.
class ConfigFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names of the pricing models (the rows of the token-estimate table).
const std::vector<std::string>& pricing_model_names();

// The names of the local embedding models, in the order the semantic engine lists them.
std::vector<std::string> local_model_names();

struct ConfigKeyInfo {
    enum class Type { choice, boolean, number, text };
    std::string key;
    Type type = Type::text;
    std::string default_value;
    std::string valid_values;  // shown in invalid_config_value
    std::string description;
};

// Every key, in display order.
const std::vector<ConfigKeyInfo>& config_keys();

// Throws ConfigKeyError (invalid_config_key) for a key that is not part of the configuration.
void require_config_key(std::string_view key);

// Checks `value` for `key` and returns its stored text form (booleans in lower case, numbers
// in their shortest decimal form). Throws ConfigKeyError or ConfigValueError with the
// catalogue texts.
std::string validate_config_value(std::string_view key, std::string_view value);

class Config;

// The local embedding model a project uses: $QUILLBOX_SEMANTIC_MODEL when it names a known
// model, else semantic.model (which, unset, follows the language: zh bge-small-zh-v1.5,
// otherwise all-MiniLM-L6-v2).
std::string semantic_model_for(const Config& config);

// The data directory of a project and the files in it.
inline std::filesystem::path data_dir_of(const std::filesystem::path& project_root) {
    return project_root / ".quillbox";
}
inline std::filesystem::path config_file_of(const std::filesystem::path& project_root) {
    return data_dir_of(project_root) / "config.toml";
}
// The settings a team commits: quillbox.toml at the root, read before the data directory's
// config.toml, which overrides it on this machine.
inline std::filesystem::path shared_config_file_of(const std::filesystem::path& project_root) {
    return project_root / "quillbox.toml";
}

// A project's settings: quillbox.toml under .quillbox/config.toml. Throws ConfigFileError
// naming the file that is not TOML.
Config load_project_config(const std::filesystem::path& project_root);

class Config : public ConfigSource {
public:
    Config() = default;
    Config(const Config& other);
    Config& operator=(const Config& other);

    // Reads `file` (a missing file gives the defaults). Throws ConfigFileError for a file
    // that is not TOML. Entries with unknown keys or invalid values are kept out of effect
    // and reported by warnings(); unknown keys survive a save().
    static Config load(const std::filesystem::path& file);

    // Writes the explicitly set keys (and preserved unknown ones) through a temporary file.
    void save(const std::filesystem::path& file) const;

    // ConfigSource: the effective value (set or default); "" for an unknown key.
    std::string get(std::string_view key) const override;
    PricingRates pricing_rates() const override;

    // Validated; throws ConfigKeyError / ConfigValueError.
    void set(std::string_view key, std::string_view value);
    // Back to the default. Throws ConfigKeyError for an unknown key.
    void unset(std::string_view key);
    bool is_set(std::string_view key) const;

    // Typed views used by the host.
    bool get_bool(std::string_view key) const;
    double get_number(std::string_view key) const;

    const std::vector<std::string>& warnings() const { return warnings_; }

    // The team's settings under this file's own: a key this file does not set takes the
    // value `shared` sets. save() writes this file's keys only.
    void set_shared(const Config& shared);
    // Whether `key`'s value comes from the shared settings.
    bool is_shared(std::string_view key) const;

private:
    friend Config load_project_config(const std::filesystem::path& project_root);
    struct Entry {
        enum class Kind { string, raw } kind = Kind::string;  // raw: TOML text as read
        std::string text;
    };
    mutable std::mutex mu_;
    std::map<std::string, std::string, std::less<>> values_;  // set, validated keys
    std::map<std::string, std::string, std::less<>> shared_;  // set in the shared file
    std::map<std::string, Entry, std::less<>> unknown_;       // kept as read
    std::vector<std::string> warnings_;
};

// A TOML basic string, quoted and escaped: for values written into a TOML file by hand.
std::string toml_quote(std::string_view s);

}  // namespace quillbox::host
