// Front matter: its top-level keys read, set and removed, every other byte kept; and undo of
// Quillbox's last write to a file.

#include <yaml.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "quillbox/blockops.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/links.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace quillbox {
namespace fs = std::filesystem;

namespace {

std::string_view rstrip(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Where the front matter lies: the 0-based lines of its opening and closing delimiters.
struct FrontMatterLines {
    std::size_t open = 0, close = 0;
    bool toml = false;
};

// Where the parser sees front matter (find_frontmatter_end), so that what this edits is what
// the index and the anchors leave out.
std::optional<FrontMatterLines> locate(const std::vector<std::string>& lines) {
    std::vector<std::string> head(lines.begin(), lines.begin() + static_cast<long>(std::min<std::size_t>(lines.size(), 50)));
    if (!head.empty() && head[0].starts_with("\xEF\xBB\xBF")) head[0].erase(0, 3);
    const int end = find_frontmatter_end(head);
    if (end == 0) return std::nullopt;
    return FrontMatterLines{0, static_cast<std::size_t>(end - 1), rstrip(head[0]).find("+++") != std::string_view::npos};
}

struct YamlEntry {
    std::string key;
    std::size_t key_begin = 0, key_end = 0;      // bytes in the YAML text
    std::size_t value_begin = 0, value_end = 0;
};

struct YamlError {
    std::string problem;
    long line = 0, column = 0;  // 1-based, in the YAML text
};

struct YamlMap {
    std::vector<YamlEntry> entries;
    bool flow = false;
    bool not_a_map = false;
};

// The top-level mapping's keys and where their values lie, or the parser's complaint.
std::variant<YamlMap, YamlError> parse_top_level(const std::string& text) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    std::unique_ptr<yaml_parser_t, void (*)(yaml_parser_t*)> guard(&parser, yaml_parser_delete);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    YamlMap map;
    int depth = 0;          // nesting inside the document
    bool expect_key = true;
    int documents = 0;
    std::size_t value_depth_start = 0;
    bool in_value = false;
    for (;;) {
        yaml_event_t ev;
        if (!yaml_parser_parse(&parser, &ev)) {
            YamlError err;
            err.problem = parser.problem ? parser.problem : "invalid YAML";
            if (parser.context) err.problem = std::string(parser.context) + ", " + err.problem;
            err.line = static_cast<long>(parser.problem_mark.line) + 1;
            err.column = static_cast<long>(parser.problem_mark.column) + 1;
            return err;
        }
        std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)> evg(&ev, yaml_event_delete);
        const auto type = ev.type;
        if (type == YAML_STREAM_END_EVENT) break;
        if (type == YAML_DOCUMENT_START_EVENT) {
            if (++documents > 1) return YamlError{"more than one YAML document", static_cast<long>(ev.start_mark.line) + 1,
                                                  static_cast<long>(ev.start_mark.column) + 1};
            continue;
        }
        if (type == YAML_STREAM_START_EVENT || type == YAML_DOCUMENT_END_EVENT) continue;
        const bool opens = type == YAML_MAPPING_START_EVENT || type == YAML_SEQUENCE_START_EVENT;
        const bool closes = type == YAML_MAPPING_END_EVENT || type == YAML_SEQUENCE_END_EVENT;
        if (depth == 0) {
            if (type == YAML_MAPPING_START_EVENT) {
                map.flow = ev.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                depth = 1;
            } else if (type == YAML_SCALAR_EVENT && ev.data.scalar.length == 0 && ev.data.scalar.plain_implicit) {
                // an empty document
            } else {
                map.not_a_map = true;
                if (opens) ++depth;
            }
            continue;
        }
        if (depth == 1 && !map.not_a_map) {
            if (closes) {
                depth = 0;
                continue;
            }
            if (expect_key) {
                YamlEntry e;
                if (type == YAML_SCALAR_EVENT) e.key.assign(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
                else map.not_a_map = true;  // a complex key: not ours to edit
                e.key_begin = ev.start_mark.index;
                e.key_end = ev.end_mark.index;
                map.entries.push_back(std::move(e));
                if (opens) ++depth;
                expect_key = false;
                continue;
            }
            YamlEntry& e = map.entries.back();
            e.value_begin = ev.start_mark.index;
            e.value_end = ev.end_mark.index;
            expect_key = true;
            if (opens) {
                ++depth;
                in_value = true;
                value_depth_start = 2;
            }
            continue;
        }
        if (opens) ++depth;
        if (closes) {
            --depth;
            if (in_value && static_cast<std::size_t>(depth) + 1 == value_depth_start) {
                map.entries.back().value_end = ev.end_mark.index;
                in_value = false;
            }
        }
    }
    return map;
}

bool plain_safe(std::string_view s) {
    static const std::regex safe(R"(^[A-Za-z_][A-Za-z0-9_ ./-]*$)");
    static const std::regex special(R"(^(true|false|yes|no|on|off|null|y|n|~)$)", std::regex::icase);
    const std::string t(s);
    return !t.empty() && t.back() != ' ' && std::regex_match(t, safe) && !std::regex_match(t, special);
}

std::string json_quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string key_text(std::string_view key) { return plain_safe(key) ? std::string(key) : json_quote(key); }

std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
}

struct Replacement {
    std::size_t begin, end;
    std::string text;
};

}  // namespace

std::string yaml_string_value(std::string_view s) { return plain_safe(s) ? std::string(s) : json_quote(s); }

Reply do_frontmatter(Session& session, std::string_view file_path, const FrontMatterChange& change) {
    const fs::path fp = session.resolve(file_path);
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
    const std::string shown = links::display_path(fp, links::project_root(session));
    std::string raw = detail::read_file_bytes(fp);
    detail::validate_utf8(raw, fp.string());
    const std::string basis = detail::sha256_hex(raw);
    std::vector<std::string> lines = detail::split_lines(detail::normalize_newlines(raw));
    const std::optional<FrontMatterLines> where = locate(lines);
    const bool editing = !change.set.empty() || !change.remove.empty();
    if (where && where->toml) return Reply::refusal(get_message("frontmatter_toml", {{"path", shown}}));

    std::string yaml;
    if (where)
        for (std::size_t i = where->open + 1; i < where->close; ++i) yaml += lines[i] + "\n";
    auto parsed = parse_top_level(yaml);
    if (auto* err = std::get_if<YamlError>(&parsed)) {
        const long file_line = static_cast<long>(where ? where->open + 1 : 0) + err->line;
        return Reply::refusal(get_message("frontmatter_invalid", {{"path", shown},
                                                                  {"problem", err->problem},
                                                                  {"line", static_cast<long long>(file_line)},
                                                                  {"column", static_cast<long long>(err->column)}}));
    }
    const YamlMap& map = std::get<YamlMap>(parsed);
    std::vector<std::string> keys;
    for (const auto& e : map.entries) keys.push_back(e.key);

    if (!editing) {
        if (!where) return get_message("frontmatter_none", {{"path", shown}});
        std::string out = get_message("frontmatter_read", {{"path", shown},
                                                           {"count", static_cast<long long>(keys.size())},
                                                           {"keys", join(keys)},
                                                           {"first", static_cast<long long>(where->open + 1)},
                                                           {"last", static_cast<long long>(where->close + 1)}});
        out += '\n';
        out += yaml;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return links::fit(session, out, [&](std::size_t kept) {
            return get_message("frontmatter_cut", {{"path", shown}, {"offset", static_cast<long long>(kept + where->open)}});
        });
    }
    if (map.flow || map.not_a_map) return Reply::refusal(get_message("frontmatter_not_block_map", {{"path", shown}}));

    // Each change as a byte range of the YAML text; set keys that are new go at its end.
    std::vector<Replacement> reps;
    std::vector<std::string> set_keys, added, removed, absent;
    std::string appended;
    auto line_begin = [&](std::size_t i) {
        while (i > 0 && yaml[i - 1] != '\n') --i;
        return i;
    };
    auto trimmed_end = [&](const YamlEntry& e) {
        std::size_t end = std::max(e.value_end, e.key_end);
        while (end > e.value_begin && end > e.key_end && (yaml[end - 1] == '\n' || yaml[end - 1] == ' ' || yaml[end - 1] == '\t'))
            --end;
        return end;
    };
    for (const auto& entry : change.set) {
        // Named, not bound: lambdas below capture them.
        const auto& key = entry.first;
        const auto& value = entry.second;
        auto it = std::find_if(map.entries.begin(), map.entries.end(), [&](const YamlEntry& e) { return e.key == key; });
        if (it == map.entries.end()) {
            appended += key_text(key) + ": " + value + "\n";
            added.push_back(key);
            continue;
        }
        std::size_t colon = it->key_end;
        while (colon < yaml.size() && (yaml[colon] == ' ' || yaml[colon] == '\t')) ++colon;
        if (colon >= yaml.size() || yaml[colon] != ':')
            return Reply::refusal(get_message("frontmatter_not_block_map", {{"path", shown}}));
        const std::size_t end = trimmed_end(*it);
        const std::string current = yaml.substr(colon + 1, end > colon + 1 ? end - colon - 1 : 0);
        if (std::string(detail::strip_white_space(current)) == value) continue;
        reps.push_back({colon + 1, std::max(end, colon + 1), " " + value});
        set_keys.push_back(key);
    }
    for (const auto& key : change.remove) {
        bool found = false;
        for (const auto& e : map.entries) {
            if (e.key != key) continue;
            found = true;
            std::size_t end = trimmed_end(e);
            while (end < yaml.size() && yaml[end] != '\n') ++end;  // the rest of the line: a comment
            if (end < yaml.size()) ++end;
            reps.push_back({line_begin(e.key_begin), end, ""});
        }
        if (found) removed.push_back(key);
        else absent.push_back(key);
    }
    if (reps.empty() && appended.empty()) return get_message("frontmatter_unchanged", {{"path", shown}});
    std::sort(reps.begin(), reps.end(), [](const Replacement& a, const Replacement& b) { return a.begin > b.begin; });
    for (std::size_t i = 1; i < reps.size(); ++i)
        if (reps[i].end > reps[i - 1].begin)
            return Reply::refusal(get_message("frontmatter_conflict", {{"path", shown}}));
    std::string edited = yaml;
    for (const auto& r : reps) edited.replace(r.begin, r.end - r.begin, r.text);
    if (!edited.empty() && edited.back() != '\n') edited += '\n';
    edited += appended;

    // The result must parse, with every key set where it was asked to be.
    auto check = parse_top_level(edited);
    if (auto* err = std::get_if<YamlError>(&check))
        return Reply::refusal(get_message("frontmatter_value_invalid", {{"problem", err->problem}}));
    for (const auto& entry : change.set) {
        // Named, not bound: the lambda below captures it.
        const auto& key = entry.first;
        const auto& entries = std::get<YamlMap>(check).entries;
        if (std::none_of(entries.begin(), entries.end(), [&](const YamlEntry& e) { return e.key == key; }))
            return Reply::refusal(get_message("frontmatter_value_invalid", {{"problem", key}}));
    }

    std::vector<std::string> new_lines = detail::split_lines(edited);
    long first = 0, last = 0;
    if (where) {
        first = static_cast<long>(where->open) + 2;
        last = static_cast<long>(where->close);
    } else {
        new_lines.insert(new_lines.begin(), "---");
        new_lines.push_back("---");
        first = 1;
        last = 0;
    }
    try {
        session.safety.apply_replace(fp, first, last, new_lines, WriteBasis::file(basis));
    } catch (const FileChangedError&) {
        return Reply::refusal(get_message("file_changed"));
    }
    structure::forget_file_state(session.index, fp);
    std::vector<std::string> parts;
    if (!set_keys.empty() || !added.empty()) {
        std::vector<std::string> all = set_keys;
        all.insert(all.end(), added.begin(), added.end());
        parts.push_back(get_message("frontmatter_part_set", {{"keys", join(all)}}));
    }
    if (!removed.empty()) parts.push_back(get_message("frontmatter_part_removed", {{"keys", join(removed)}}));
    if (!absent.empty()) parts.push_back(get_message("frontmatter_part_absent", {{"keys", join(absent)}}));
    return get_message("frontmatter_updated", {{"path", shown}, {"changes", join(parts)}});
}

Reply do_undo(Session& session, std::string_view file_path) {
    const fs::path fp = session.resolve(file_path);
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
    const std::string shown = links::display_path(fp, links::project_root(session));
    const std::optional<LastWrite> last = session.safety.last_write(fp);
    std::string before;
    if (last) {
        try {
            before = detail::read_file_bytes(last->backup);
        } catch (const std::exception&) {
            return Reply::refusal(get_message("undo_backup_gone", {{"path", shown}, {"backup", last->backup}}));
        }
    }
    if (!last) return Reply::refusal(get_message("undo_none", {{"path", shown}}));
    const std::string now = detail::read_file_bytes(fp);
    const std::string now_sha = detail::sha256_hex(now);
    if (before == now) return get_message("undo_nothing", {{"path", shown}});
    if (now_sha != last->after_sha256) {
        return Reply::refusal(get_message("undo_changed", {{"path", shown},
                                                           {"lines", static_cast<long long>(detail::line_spans(now).size())},
                                                           {"sha", now_sha.substr(0, 12)},
                                                           {"left", last->after_sha256.substr(0, 12)}}));
    }
    try {
        session.safety.apply_bytes(fp, before, WriteBasis::file(now_sha));
    } catch (const FileChangedError&) {
        return Reply::refusal(get_message("file_changed"));
    }
    structure::forget_file_state(session.index, fp);
    return get_message("undo_done", {{"path", shown}, {"lines", static_cast<long long>(detail::line_spans(before).size())}});
}

}  // namespace quillbox
