#include "host/tools.h"

#include <SQLiteCpp/Exception.h>
#include <fmt/format.h>

#include <climits>
#include <cmath>
#include <system_error>

#include "host/log.h"
#include "host/tools_common.h"
#include "quillbox/detail/confine.h"
#include "quillbox/decode_error.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/session.h"
#include "quillbox/i18n.h"
#include "quillbox/outline.h"
#include "quillbox/safety.h"
#include "quillbox/blockops/failure_text.h"
#include "quillbox/blockops/budget.h"

namespace quillbox::host {

void ToolRegistry::add(ToolSpec spec) {
    if (spec.name.empty() || !spec.handler) throw std::logic_error("tool spec without name or handler");
    if (find(spec.name)) throw std::logic_error("tool registered twice: " + spec.name);
    // Every writing tool can show its write as a diff instead of making it.
    if (!spec.annotations.read_only && spec.input_schema.is_object() &&
        !spec.input_schema["properties"].contains("dry_run")) {
        spec.input_schema["properties"]["dry_run"] = boolean_property({}, false);
        spec.handler = [inner = std::move(spec.handler)](ToolContext& context, const json& arguments) -> Reply {
            if (!optional_bool(arguments, "dry_run", false)) return inner(context, arguments);
            return dry_run(tools_common::session_of(context), [&] { return inner(context, arguments); });
        };
    }
    tools_.push_back(std::move(spec));
}

const ToolSpec* ToolRegistry::find(std::string_view name) const {
    for (const auto& t : tools_)
        if (t.name == name) return &t;
    return nullptr;
}

json ToolRegistry::describe(const ToolSpec& spec) {
    json schema = spec.input_schema.is_object() ? spec.input_schema : object_schema(json::object(), {});
    // No title: every listed word is paid for on every request, and the name says it.
    return json{{"name", spec.name},
                {"description", spec.description},
                {"inputSchema", schema},
                {"annotations",
                 {{"readOnlyHint", spec.annotations.read_only},
                  {"destructiveHint", spec.annotations.destructive},
                  {"idempotentHint", spec.annotations.idempotent},
                  {"openWorldHint", spec.annotations.open_world}}}};
}

void register_all_tools(ToolRegistry& registry) {
    register_core_tools(registry);
    register_structure_tools(registry);
    register_search_tools(registry);
    register_link_tools(registry);
}

ToolOutcome run_tool(const ToolSpec& spec, ToolContext& context, const json& arguments) {
    auto fail = [&](std::string text, const char* kind, const char* detail) {
        log_line(Level::warning, "tool {} failed ({}): {}", spec.name, kind, detail);
        return ToolOutcome{std::move(text), true};
    };
    try {
        check_argument_names(spec, arguments);
        const Reply reply = spec.handler(context, arguments);
        if (reply.refused())
            log_line(Level::info, "tool {} refused: {}", spec.name, std::string_view(reply).substr(0, reply.find('\n')));
        // The operations keep their own answers under the budget; this is the last guard.
        static const MemoryConfig defaults;
        const ConfigSource& config = context.session ? *context.session->config : defaults;
        const long long budget = result_budget(config);
        return ToolOutcome{fit_to_budget(reply, budget, config.get("pricing_model"), [&](std::size_t) {
                               return get_message("result_cut", {{"budget", budget}});
                           }),
                           reply.refused()};
    } catch (const ToolArgumentError& e) {
        return fail(e.what(), "arguments", e.what());
    } catch (const ToolError& e) {
        return fail(e.what(), "refused", e.what());
    } catch (const PathOutsideRootError& e) {
        return fail(get_message("path_outside_root", {{"error", e.what()}, {"path", e.path()}}), "path", e.what());
    } catch (const detail::OutsideRootError& e) {
        return fail(get_message("path_left_root", {{"path", e.path1()}}), "path", e.what());
    } catch (const SQLite::Exception& e) {
        return fail(get_message("index_failed", {{"error", e.what()}}), "database", e.what());
    } catch (const std::exception& e) {
        // The engines' typed failures get the catalogue's words; anything else is shown as it is.
        if (std::optional<std::string> text = failure_text(e)) return fail(std::move(*text), "failed", e.what());
        return fail(get_message("error_generic", {{"error", e.what()}}), "error", e.what());
    } catch (...) {
        return fail(get_message("operation_failed_unexpectedly"), "unknown", "non-standard exception");
    }
}

namespace {

// The catalogue key of the words for a value's type ("a string", ...).
const char* type_key(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "type_null";
        case json::value_t::boolean: return "type_boolean";
        case json::value_t::string: return "type_string";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned: return "type_integer";
        case json::value_t::number_float: return "type_number";
        case json::value_t::array: return "type_array";
        case json::value_t::object: return "type_object";
        default: return "type_other";
    }
}

constexpr const char* OUT_OF_RANGE_KEY = "\x01number out of range";

const json* lookup(const json& args, std::string_view name) {
    if (!args.is_object()) return nullptr;
    auto it = args.find(std::string(name));
    if (it == args.end() || it->is_null()) return nullptr;
    if (auto token = out_of_range_token(*it))
        throw ToolArgumentError(get_message("arg_out_of_range", {{"name", name}, {"value", *token}}));
    return &*it;
}

// `expected` is the catalogue key of the type wanted.
[[noreturn]] void wrong_type(std::string_view name, const char* expected, const json& got) {
    throw ToolArgumentError(get_message(
        "arg_wrong_type", {{"name", name}, {"expected", get_message(expected)}, {"got", get_message(type_key(got))}}));
}

[[noreturn]] void missing(std::string_view name, const char* expected) {
    throw ToolArgumentError(get_message("arg_missing", {{"name", name}, {"expected", get_message(expected)}}));
}

}  // namespace

json out_of_range_number(std::string token) { return json{{OUT_OF_RANGE_KEY, std::move(token)}}; }

std::optional<std::string> out_of_range_token(const json& value) {
    if (!value.is_object() || value.size() != 1) return std::nullopt;
    auto it = value.find(OUT_OF_RANGE_KEY);
    if (it == value.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void check_argument_names(const ToolSpec& spec, const json& arguments) {
    if (!arguments.is_object()) return;
    const json* properties = nullptr;
    if (spec.input_schema.is_object()) {
        auto it = spec.input_schema.find("properties");
        if (it != spec.input_schema.end() && it->is_object()) properties = &*it;
    }
    std::string refusal;
    bool asked = false;  // the last piece ends in a question
    for (const auto& [name, value] : arguments.items()) {
        if (properties && properties->contains(name)) continue;
        if (!refusal.empty()) refusal += asked ? " " : "; ";
        std::string piece = get_message("arg_unknown_name", {{"name", name}});
        // The closest known name, when it is close enough to be the one meant.
        std::string best;
        double best_ratio = 0.6;
        if (properties)
            for (const auto& [known, schema] : properties->items()) {
                const double ratio = similarity_ratio(name, known);
                if (ratio >= best_ratio) {
                    best_ratio = ratio;
                    best = known;
                }
            }
        asked = !best.empty();
        if (asked) piece = get_message("arg_unknown_name_suggest", {{"name", name}, {"best", best}});
        refusal += piece;
    }
    if (refusal.empty()) return;
    std::string known_names;
    if (properties)
        for (const auto& [known, schema] : properties->items())
            known_names += (known_names.empty() ? "" : ", ") + known;
    if (!asked) refusal += '.';
    throw ToolArgumentError(get_message("arg_unknown", {{"refusal", refusal},
                                                        {"tool", spec.name},
                                                        {"known", known_names.empty() ? get_message("arg_none")
                                                                                      : known_names}}));
}

std::optional<std::string> optional_string(const json& args, std::string_view name) {
    const json* v = lookup(args, name);
    if (!v) return std::nullopt;
    if (!v->is_string()) wrong_type(name, "type_string", *v);
    return v->get<std::string>();
}

std::string require_string(const json& args, std::string_view name) {
    auto v = optional_string(args, name);
    if (!v) missing(name, "type_string");
    return *v;
}

std::optional<long long> optional_integer(const json& args, std::string_view name) {
    const json* v = lookup(args, name);
    if (!v) return std::nullopt;
    if (v->is_number_integer()) return v->get<long long>();
    if (v->is_number_unsigned()) {
        auto u = v->get<unsigned long long>();
        if (u > static_cast<unsigned long long>(LLONG_MAX)) wrong_type(name, "type_integer_in_range", *v);
        return static_cast<long long>(u);
    }
    if (v->is_number_float()) {
        // Only whole reals inside the range of long long convert; casting others is undefined.
        double d = v->get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2233720368547758e18 &&
            d < 9.2233720368547758e18)
            return static_cast<long long>(d);
    }
    wrong_type(name, "type_integer", *v);
}

long long require_integer(const json& args, std::string_view name) {
    auto v = optional_integer(args, name);
    if (!v) missing(name, "type_integer");
    return *v;
}

bool optional_bool(const json& args, std::string_view name, bool fallback) {
    const json* v = lookup(args, name);
    if (!v) return fallback;
    if (!v->is_boolean()) wrong_type(name, "type_boolean", *v);
    return v->get<bool>();
}

const json* optional_object(const json& args, std::string_view name) {
    const json* v = lookup(args, name);
    if (v && !v->is_object()) wrong_type(name, "type_object", *v);
    return v;
}

std::vector<std::string> require_string_array(const json& args, std::string_view name) {
    const json* v = lookup(args, name);
    if (!v) missing(name, "type_string_array");
    if (!v->is_array() || v->empty()) wrong_type(name, "type_nonempty_string_array", *v);
    std::vector<std::string> out;
    for (const auto& item : *v) {
        if (!item.is_string())
            throw ToolArgumentError(
                get_message("arg_item_type", {{"name", name}, {"got", get_message(type_key(item))}}));
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::optional<std::vector<std::string>> optional_string_array(const json& args, std::string_view name) {
    if (!lookup(args, name)) return std::nullopt;
    return require_string_array(args, name);
}

namespace {

json typed(const char* type, std::string_view description) {
    json p{{"type", type}};
    if (!description.empty()) p["description"] = description;
    return p;
}

}  // namespace

json integer_property(std::string_view description, std::optional<long long> minimum) {
    json p = typed("integer", description);
    if (minimum) p["minimum"] = *minimum;
    return p;
}

json boolean_property(std::string_view description, bool fallback) {
    json p = typed("boolean", description);
    p["default"] = fallback;
    return p;
}

json string_property(std::string_view description) {
    return typed("string", description);
}

json object_schema(json properties, std::vector<std::string> required) {
    json schema{{"type", "object"}, {"properties", std::move(properties)}};
    if (!required.empty()) schema["required"] = std::move(required);
    // Unknown names are refused by check_argument_names, with the name probably meant.
    return schema;
}

}  // namespace quillbox::host
