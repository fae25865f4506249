#pragma once
// Reading config.toml, the project's configuration file in the data directory. The host's
// configuration and the semantic engine's choice of model read it through this one parser,
// so both agree on what the file says. Header-only (toml++ is too) so that the engine needs
// no link to the host.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <toml++/toml.h>

namespace quillbox::detail {

// The file is not TOML. what() is "<file>:<line>:<column>: <what the parser found>".
class ConfigSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file's table; none when there is no such file. Throws ConfigSyntaxError.
inline std::optional<toml::table> read_config_file(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return std::nullopt;
    try {
        return toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
        const auto& where = e.source().begin;
        throw ConfigSyntaxError(file.string() + ":" + std::to_string(where.line) + ":" +
                                std::to_string(where.column) + ": " + std::string(e.description()));
    }
}

// Calls visit(key, node) for every value that is not a table, in the table's order, with its
// dotted key ("semantic.model" for `model` in `[semantic]`).
template <class Visit>
void for_each_config_value(const toml::table& table, const Visit& visit, const std::string& prefix = {}) {
    for (const auto& [k, node] : table) {
        std::string key = prefix.empty() ? std::string(k.str()) : prefix + "." + std::string(k.str());
        if (const auto* sub = node.as_table())
            for_each_config_value(*sub, visit, key);
        else
            visit(key, node);
    }
}

}  // namespace quillbox::detail
