// Natural-language edit: instruction patterns, section scoring, the three-step substitution
// and the direct block replacement behind it.

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <variant>

#include "quillbox/blockops.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/write_answer.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"
#include "quillbox/blockops/rewrite.h"
#include "quillbox/blockops/edit.h"
#include "quillbox/blockops/failure_text.h"
#include "quillbox/safety.h"

namespace quillbox {

namespace structure {

std::string lower(std::string_view s) {
    bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

}  // namespace structure

namespace {

using detail::is_white_space;
using detail::strip_white_space;
using structure::lower;

// ---------------------------------------------------------------------------------------
// Unicode helpers
// ---------------------------------------------------------------------------------------

icu::UnicodeString to_ustr(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string from_ustr(const icu::UnicodeString& u) {
    std::string out;
    u.toUTF8String(out);
    return out;
}

// Words separated by runs of white space; no empty words.
std::vector<std::string> split_words(std::string_view s) {
    std::vector<std::string> words;
    std::size_t i = 0;
    std::size_t start = std::string_view::npos;
    while (i < s.size()) {
        std::size_t at = i;
        char32_t cp = detail::next_code_point(s, i);
        if (is_white_space(cp)) {
            if (start != std::string_view::npos) words.emplace_back(s.substr(start, at - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = at;
        }
    }
    if (start != std::string_view::npos) words.emplace_back(s.substr(start));
    return words;
}

// ---------------------------------------------------------------------------------------
// Instruction patterns
// ---------------------------------------------------------------------------------------

// White space of the patterns, and "any character but a line feed" for their dots.
#define QB_WS "[\\t\\n\\x{0B}\\f\\r\\x{1C}-\\x{1F}\\x{85}\\p{Z}]"
#define QB_ANY "[^\\n]"

constexpr std::array<const char*, 3> INSTRUCTION_PATTERNS{
    "(?:change|replace|swap|update|set|modify)" QB_WS "+(?:the" QB_WS "+)?(" QB_ANY "+?)" QB_WS
    "+(?:to|with|into|as)" QB_WS "+(" QB_ANY "+)",
    "(" QB_ANY "+?)" QB_WS "*(?:→|->|⇒)" QB_WS "*(" QB_ANY "+)",
    "(?:把|将)(" QB_ANY "+?)" QB_WS "*(?:改为|改成|替换为|更新为|设置为|变为)" QB_WS "*(" QB_ANY "+)",
};

#undef QB_WS
#undef QB_ANY

// Work limit of one pattern search, in units of the regex engine's internal time slices
// (ten thousand steps each, well under a second in all). A match costs a few steps per
// character, so even megabyte instructions stay far below it; only inputs that backtrack
// quadratically (thousands of verbs and no connector word) reach it.
constexpr int32_t PATTERN_TIME_LIMIT = 1000;

struct CompiledPatterns {
    std::array<std::unique_ptr<icu::RegexPattern>, 3> patterns;
};

const CompiledPatterns& compiled_patterns() {
    static const CompiledPatterns compiled = [] {
        CompiledPatterns c;
        for (std::size_t i = 0; i < INSTRUCTION_PATTERNS.size(); ++i) {
            UErrorCode status = U_ZERO_ERROR;
            UParseError perr;
            c.patterns[i].reset(icu::RegexPattern::compile(to_ustr(INSTRUCTION_PATTERNS[i]),
                                                           UREGEX_CASE_INSENSITIVE, perr, status));
            if (U_FAILURE(status))
                throw std::logic_error(std::string("instruction pattern does not compile: ") +
                                       u_errorName(status));
        }
        return c;
    }();
    return compiled;
}

// A pattern can only match when its fixed connector text occurs; checking that first keeps
// long instructions without it away from the regex engine.
bool may_match(std::size_t index, std::string_view instruction) {
    auto has = [&](std::string_view needle) { return instruction.find(needle) != std::string_view::npos; };
    switch (index) {
        case 1:
            return has("→") || has("->") || has("⇒");
        case 2:
            return (has("把") || has("将")) &&
                   (has("改为") || has("改成") || has("替换为") || has("更新为") || has("设置为") ||
                    has("变为"));
        default:
            return true;
    }
}

// The phrase inside one pair of quotes around all of it (`change "A." to "B."`), else as is.
std::string unquoted(std::string phrase) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> QUOTES{{
        {"\"", "\""}, {"'", "'"}, {"`", "`"}, {"“", "”"}, {"‘", "’"}, {"「", "」"}, {"『", "』"}}};
    for (const auto& [open, close] : QUOTES) {
        if (phrase.size() < open.size() + close.size() + 1 || !phrase.starts_with(open) || !phrase.ends_with(close))
            continue;
        std::string inner = phrase.substr(open.size(), phrase.size() - open.size() - close.size());
        // Two phrases quoted apart ("a" and "b") are not one quoted phrase.
        if (inner.find(open) != std::string::npos || inner.find(close) != std::string::npos) continue;
        return inner;
    }
    return phrase;
}

// ---------------------------------------------------------------------------------------
// Replacement templates (case-insensitive step)
// ---------------------------------------------------------------------------------------

struct Group0 {};
using TemplatePiece = std::variant<std::u32string, Group0>;

struct TemplateParse {
    enum class Status { ok, error, named_group } status = Status::ok;
    std::vector<TemplatePiece> pieces;
    std::string group_name;  // for named_group
};

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_octal_digit(char32_t c) { return c >= '0' && c <= '7'; }

bool is_identifier(std::u32string_view name) {
    if (name.empty()) return false;
    auto start_ok = [](char32_t c) {
        return c == '_' || u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_START);
    };
    auto continue_ok = [](char32_t c) {
        return c == '_' || u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_CONTINUE);
    };
    if (!start_ok(name[0])) return false;
    return std::all_of(name.begin() + 1, name.end(), continue_ok);
}

// A group reference "\\g<...>" at t[i]: group 0 (the only one a literal search has), a name
// (which a literal search cannot have), or malformed. `end`: just past the '>'.
struct GroupRef {
    enum Kind { zero, named, bad } kind = bad;
    std::u32string_view name;
    std::size_t end = 0;
};

GroupRef read_group_ref(std::u32string_view t, std::size_t i) {
    GroupRef ref;
    if (i + 2 >= t.size() || t[i + 2] != U'<') return ref;
    const std::size_t close = t.find(U'>', i + 3);
    if (close == std::u32string_view::npos) return ref;
    ref.name = t.substr(i + 3, close - (i + 3));
    ref.end = close + 1;
    if (ref.name.empty()) return ref;
    if (std::all_of(ref.name.begin(), ref.name.end(), is_ascii_digit)) {
        if (std::all_of(ref.name.begin(), ref.name.end(), [](char32_t x) { return x == U'0'; }))
            ref.kind = GroupRef::zero;
    } else if (is_identifier(ref.name)) {
        ref.kind = GroupRef::named;
    }
    return ref;
}

// The character a backslash and `d` stand for ("\\n" a line feed); 0 when none.
char32_t control_escape(char32_t d) {
    switch (d) {
        case U'n': return U'\n';
        case U't': return U'\t';
        case U'r': return U'\r';
        case U'f': return U'\f';
        case U'v': return U'\v';
        case U'a': return U'\a';
        case U'b': return U'\b';
        case U'\\': return U'\\';
        default: return 0;
    }
}

TemplateParse parse_template(std::u32string_view t) {
    TemplateParse out;
    std::u32string literal;
    auto flush = [&] {
        if (!literal.empty()) out.pieces.emplace_back(std::move(literal));
        literal.clear();
    };
    auto fail = [&] {
        out.status = TemplateParse::Status::error;
        out.pieces.clear();
        return out;
    };
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        char32_t c = t[i];
        if (c != U'\\') {
            literal.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 >= n) return fail();  // lone backslash at the end
        char32_t d = t[i + 1];
        if (d == U'g') {
            const GroupRef ref = read_group_ref(t, i);
            if (ref.kind == GroupRef::bad) return fail();
            if (ref.kind == GroupRef::named) {
                out.status = TemplateParse::Status::named_group;
                out.group_name = detail::to_utf8(ref.name);
                out.pieces.clear();
                return out;
            }
            flush();
            out.pieces.emplace_back(Group0{});
            i = ref.end;
        } else if (d == U'0') {
            std::size_t j = i + 2;
            unsigned value = 0;
            while (j < n && j < i + 4 && is_octal_digit(t[j])) value = value * 8 + (t[j++] - U'0');
            literal.push_back(static_cast<char32_t>(value & 0xFF));
            i = j;
        } else if (is_ascii_digit(d)) {
            // Three octal digits form a character; anything else is a group reference.
            if (i + 3 < n && is_octal_digit(d) && is_octal_digit(t[i + 2]) && is_octal_digit(t[i + 3])) {
                unsigned value = (d - U'0') * 64 + (t[i + 2] - U'0') * 8 + (t[i + 3] - U'0');
                if (value > 0377) return fail();
                literal.push_back(static_cast<char32_t>(value));
                i += 4;
            } else {
                return fail();
            }
        } else {
            if (const char32_t ctl = control_escape(d); ctl != 0) {
                literal.push_back(ctl);
            } else if (is_ascii_letter(d)) {
                return fail();
            } else {
                literal.push_back(U'\\');
                literal.push_back(d);
            }
            i += 2;
        }
    }
    flush();
    return out;
}

[[noreturn]] void throw_named_group(const std::string& name) {
    throw ReplacementGroupNameError(get_message("edit_named_group", {{"name", name}}));
}

// Simple (one-to-one) lower-case mapping of every code point.
std::u32string simple_lower(std::u32string_view s) {
    std::u32string out(s);
    for (char32_t& c : out) c = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
    return out;
}

// Step 2: every case-insensitive occurrence, or nullopt when there is none or the template
// is unusable (then the line step runs).
std::optional<std::string> replace_case_insensitive(std::string_view content, const EditRequest& parsed) {
    const std::u32string text = detail::to_u32(content);
    const std::u32string needle = simple_lower(detail::to_u32(parsed.target));
    const std::u32string haystack = simple_lower(text);

    std::vector<std::size_t> hits;
    for (std::size_t pos = haystack.find(needle); pos != std::u32string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        hits.push_back(pos);
    if (hits.empty()) return std::nullopt;

    TemplateParse tpl = parse_template(detail::to_u32(parsed.replacement));
    if (tpl.status == TemplateParse::Status::named_group) throw_named_group(tpl.group_name);
    if (tpl.status == TemplateParse::Status::error) return std::nullopt;

    std::u32string out;
    out.reserve(text.size());
    std::size_t last = 0;
    for (std::size_t pos : hits) {
        out.append(text, last, pos - last);
        for (const auto& piece : tpl.pieces) {
            if (const auto* lit = std::get_if<std::u32string>(&piece))
                out += *lit;
            else
                out.append(text, pos, needle.size());
        }
        last = pos + needle.size();
    }
    out.append(text, last, std::u32string::npos);
    return detail::to_utf8(out);
}

// Where `needle` (lower case) first occurs in `line` compared in lower case, as a byte range of
// `line`. Each character is lowered alone, so a match maps back to whole characters of the
// line even where lowering changes the length (İ becomes i and a combining dot).
std::optional<std::pair<std::size_t, std::size_t>> find_lowered(std::string_view line, std::string_view needle) {
    std::string lowered;
    std::vector<std::size_t> origin;  // for each byte of `lowered`, the byte of `line` its character starts at
    for (std::size_t i = 0; i < line.size();) {
        const std::size_t len = std::min(detail::sequence_length(static_cast<unsigned char>(line[i])), line.size() - i);
        const std::string piece = lower(line.substr(i, len));
        lowered += piece;
        origin.insert(origin.end(), piece.size(), i);
        i += len;
    }
    const std::size_t at = lowered.find(needle);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t begin = origin[at];
    const std::size_t last = origin[at + needle.size() - 1];
    return std::pair{begin, std::min(line.size(), last + detail::sequence_length(static_cast<unsigned char>(line[last])))};
}

// Step 3: in the first line that holds the target in any letter case, its first occurrence
// replaced literally; the rest of the line stays as it was.
std::optional<std::string> replace_in_first_line(std::string_view content, const EditRequest& parsed) {
    const std::string needle = lower(parsed.target);
    if (needle.empty()) return std::nullopt;
    std::string out;
    out.reserve(content.size() + parsed.replacement.size());
    bool done = false;
    std::size_t start = 0;
    while (true) {
        std::size_t nl = content.find('\n', start);
        std::string_view line = content.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        std::optional<std::pair<std::size_t, std::size_t>> hit;
        if (!done) hit = find_lowered(line, needle);
        if (hit) {
            out += line.substr(0, hit->first);
            out += parsed.replacement;
            out += line.substr(hit->second);
            done = true;
        } else {
            out += line;
        }
        if (nl == std::string_view::npos) break;
        out.push_back('\n');
        start = nl + 1;
    }
    if (!done) return std::nullopt;
    return out;
}

std::string replace_all_literal(std::string_view content, std::string_view target, std::string_view repl) {
    std::string out;
    out.reserve(content.size());
    std::size_t last = 0;
    for (std::size_t pos = content.find(target); pos != std::string_view::npos;
         pos = content.find(target, pos + target.size())) {
        out.append(content.substr(last, pos - last));
        out.append(repl);
        last = pos + target.size();
    }
    out.append(content.substr(last));
    return out;
}

// Whether the replacement would abort the edit at the case-insensitive step.
bool has_named_group(std::string_view replacement) {
    if (replacement.find("\\g<") == std::string_view::npos) return false;
    return parse_template(detail::to_u32(replacement)).status == TemplateParse::Status::named_group;
}

// ---------------------------------------------------------------------------------------
// Section scoring
// ---------------------------------------------------------------------------------------

const std::unordered_set<std::string>& stop_words() {
    static const std::unordered_set<std::string> words{
        "change", "replace", "update", "set", "modify", "the", "to", "with",
        "改为", "改成", "替换为", "把", "将"};
    return words;
}

std::vector<Block> best_blocks(const std::vector<Block>& blocks, std::string_view instruction) {
    std::set<std::string> instr_words;
    for (const auto& w : split_words(instruction))
        if (detail::code_point_count(w) > 2) instr_words.insert(lower(w));
    for (const auto& sw : stop_words()) instr_words.erase(sw);

    std::vector<Block> best;
    std::size_t best_score = 0;
    for (const auto& block : blocks) {
        std::set<std::string> title_words;
        for (const auto& w : split_words(lower(block.title))) title_words.insert(w);
        std::size_t overlap = 0;
        for (const auto& w : instr_words) overlap += title_words.count(w);
        if (overlap > best_score) {
            best_score = overlap;
            best.assign(1, block);
        } else if (overlap == best_score && overlap > 0) {
            best.push_back(block);
        }
    }
    if (best.empty()) {
        const Block* widest = &blocks.front();
        for (const auto& block : blocks)
            if (block.end_line - block.start_line > widest->end_line - widest->start_line) widest = &block;
        best.assign(1, *widest);
    }
    return best;
}

// The innermost sections whose text holds `target` exactly (a section holding one of them
// holds the text only through it); all of `blocks` when none does.
std::vector<Block> holding_text(const std::vector<Block>& blocks, std::string_view target);

// The block's current text. When an earlier rewrite in the same call moved it, its recorded
// lines hold other text; it is then taken from where its content now stands.
std::string current_block_content(const Block& block) {
    std::string content = detail::join_lines(read_lines(block.file_path, block.start_line, block.end_line));
    if (block.content_hash.empty() || compute_hash(content) == block.content_hash) return content;
    auto moved = find_block_by_content_hash(block.file_path, block.content_hash,
                                            block.end_line - block.start_line + 1, block.start_line);
    if (!moved) return content;
    return detail::join_lines(read_lines(block.file_path, moved->first, moved->second));
}

std::vector<Block> holding_text(const std::vector<Block>& blocks, std::string_view target) {
    if (target.empty() || blocks.empty()) return blocks;
    // One read of the file: the index was just brought up to date, so the recorded lines hold
    // each section's text.
    int last = 0;
    for (const auto& b : blocks) last = std::max(last, b.end_line);
    const std::vector<std::string> lines = read_lines(blocks.front().file_path, 1, last);
    std::vector<Block> holding;
    for (const auto& b : blocks) {
        const auto from = static_cast<std::size_t>(std::max(b.start_line, 1) - 1);
        const auto to = std::min(static_cast<std::size_t>(std::max(b.end_line, 0)), lines.size());
        if (from >= to) continue;
        const std::vector<std::string> part(lines.begin() + static_cast<std::ptrdiff_t>(from),
                                            lines.begin() + static_cast<std::ptrdiff_t>(to));
        if (detail::join_lines(part).find(target) != std::string::npos) holding.push_back(b);
    }
    std::vector<Block> inner;
    for (const auto& b : holding) {
        const bool encloses = std::any_of(holding.begin(), holding.end(), [&](const Block& o) {
            return o.uuid != b.uuid && b.start_line <= o.start_line && o.end_line <= b.end_line;
        });
        if (!encloses) inner.push_back(b);
    }
    return inner.empty() ? blocks : inner;
}

// `room`: the tokens the shown content may take; a longer section shows its first lines and
// says where to read on.
std::string suggestion_entry(const Block& block, const std::string& content, long long room,
                             std::string_view model) {
    std::string shown = content;
    std::string rest;
    if (budget_tokens(content, model) > room) {
        const std::vector<std::string> lines = detail::split_lines(content);
        const std::size_t fit = lines_that_fit(TokenTally(model), lines, 0, lines.size(), room);
        shown = detail::join_lines(lines, 0, fit);
        const long next = block.start_line + static_cast<long>(fit);
        rest = get_message("edit_suggestion_rest", {{"next", next}, {"end", block.end_line}, {"block_id", block.uuid}});
    }
    return get_message("edit_suggestion", {{"title", block.title},
                                           {"start", block.start_line},
                                           {"end", block.end_line},
                                           {"block_id", block.uuid},
                                           {"content", shown},
                                           {"rest", rest}});
}

std::string failure_entry(const Block& block, const std::string& error) {
    return get_message("edit_failed_entry", {{"title", block.title}, {"error", error}, {"block_id", block.uuid}});
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public functions
// ---------------------------------------------------------------------------------------

std::optional<EditRequest> _parse_instruction(std::string_view instruction) {
    detail::validate_utf8(instruction, "instruction");
    const auto& compiled = compiled_patterns();
    icu::UnicodeString input;
    bool converted = false;
    for (std::size_t i = 0; i < compiled.patterns.size(); ++i) {
        if (!may_match(i, instruction)) continue;
        if (!converted) {
            input = to_ustr(instruction);
            converted = true;
        }
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> m(compiled.patterns[i]->matcher(input, status));
        if (U_SUCCESS(status)) m->setTimeLimit(PATTERN_TIME_LIMIT, status);
        bool found = U_SUCCESS(status) && m->find(status);
        if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW)
            throw InstructionTooComplexError(
                get_message("edit_too_complex", {{"chars", detail::code_point_count(instruction)}}));
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("instruction pattern search failed: ") + u_errorName(status));
        if (!found) continue;

        icu::UnicodeString g1 = m->group(1, status);
        icu::UnicodeString g2 = m->group(2, status);
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("instruction pattern groups failed: ") + u_errorName(status));
        std::string target(strip_white_space(from_ustr(g1)));
        static constexpr std::string_view DE = "的";
        while (target.size() >= DE.size() && target.compare(target.size() - DE.size(), DE.size(), DE) == 0)
            target.erase(target.size() - DE.size());
        return EditRequest{"replace", unquoted(std::move(target)),
                           unquoted(std::string(strip_white_space(from_ustr(g2))))};
    }
    return std::nullopt;
}

std::optional<std::string> _apply_pattern(std::string_view content, const EditRequest& parsed) {
    // An empty target would match between every two characters: treated as not found.
    if (parsed.target.empty()) return std::nullopt;
    if (content.find(parsed.target) != std::string_view::npos)
        return replace_all_literal(content, parsed.target, parsed.replacement);
    if (auto r = replace_case_insensitive(content, parsed)) return r;
    return replace_in_first_line(content, parsed);
}

std::string _do_replace_direct(Session& session, std::string_view block_id, std::string_view new_content) {
    Indexer& indexer = session.index;
    auto found = indexer.get_block(block_id);
    if (!found) throw std::invalid_argument("Block " + std::string(block_id) + " not found");
    const Block& block = *found;
    const std::filesystem::path& fp = block.file_path;

    session.watcher.wait_for_reindex(fp, 3.0);

    // Checked against what the session was last shown of the block, if anything: at its
    // stored lines, else where that content now stands nearest to them.
    const std::string expected = expected_hash(session.view, block);
    auto at = locate_block(session, block);
    if (!at) throw FileChangedError(fp);
    const int first = at->first;
    const int last = at->second;

    // The block's own blank lines at its end stay, as for a replace.
    const std::vector<std::string> old_lines = read_lines(fp, first, last);
    std::vector<std::string> new_lines = block_lines(new_content, old_lines);
    if (new_lines == old_lines) return {};
    const std::string changes = change_lines(old_lines, new_lines, first);
    // A FileChangedError propagates: the caller tells the agent to read the block again.
    const WriteOutcome written =
        session.safety.apply_replace(fp, first, last, new_lines, WriteBasis::range(expected));
    session.view.record(block.uuid, compute_hash(detail::join_lines(new_lines)));
    session.view.reset_file(fp.string());

    // The figures from the text read: the agent sent an instruction, not the section, and read
    // nothing first.
    const auto [edit_old, edit_new] = changed_texts(old_lines, new_lines);
    const std::string model = session.setting("pricing_model");
    const std::string full_before = detail::normalize_newlines(written.before);
    const TokenSavings savings = route_savings(
        model, {full_before, first, {}, edit_old, edit_new, edit_new, answer_tokens({}, changes, model)},
        session.config->pricing_rates());
    const Indexer::OperationRecord op{today_local_date(), "replace_block", fp.string(), std::string(block_id),
                                      savings.tokens_saved};

    // The index follows the write now, as after a replace: the touched rows only when that
    // gives what a whole pass would, else the whole file.
    try {
        indexer.index_file({.file = fp,
                            .watcher = &session.watcher,
                            .at_rest = true,
                            .rewritten = {{std::string(block_id), first}},
                            .splice = splice_of(written, first, last),
                            .op = op});
        return changes;
    } catch (const std::exception& e) {
        log_warning("Re-index after md_edit failed for %s: %s", fp.c_str(), e.what());
    }
    // The other blocks' stored ranges may have moved: make the next freshness check re-index.
    structure::forget_file_state(indexer, fp);
    indexer.update_block_lines(block_id, first, first + static_cast<int>(new_lines.size()) - 1);
    indexer.record_operation(op.date, op.op_type, op.file_path, op.block_id, op.tokens_saved);
    return changes;
}

namespace {

// Writes `new_content` as the section's content. True with the line saying it was updated, or
// false with the line saying why it was not.
std::pair<bool, std::string> rewrite_section(Session& session, const Block& block, const std::string& new_content) {
    try {
        const std::string changes = _do_replace_direct(session, block.uuid, new_content);
        return {true, "✅ Updated **" + shortened(block.title, 200) + "** (lines " + std::to_string(block.start_line) +
                          "-" + std::to_string(block.end_line) + ")" + (changes.empty() ? "" : "\n" + changes)};
    } catch (const FileChangedError&) {
        return {false, failure_entry(block, get_message("edit_file_changed"))};
    } catch (const std::exception& e) {
        return {false, failure_entry(block, failure_text(e).value_or(e.what()))};
    }
}

// A section the instruction did not change, shown so the agent can edit it. The sections
// shown share the result budget, less room for the other texts.
std::string show_section(Session& session, const Block& block, const std::string& content, std::size_t sections) {
    const long long share = (result_budget(*session.config) - 200 * static_cast<long long>(sections)) /
                            static_cast<long long>(std::max<std::size_t>(sections, 1));
    const long long room = std::max(share, 50LL);
    const std::string model = session.setting("pricing_model");
    std::string entry = suggestion_entry(block, content, room, model);
    // Shown in full, the section counts as seen.
    if (budget_tokens(content, model) <= room) session.view.record(block.uuid, compute_hash(content));
    return entry;
}

// Lines of `text` nearest to `phrase`: those sharing the most of its three-character pieces
// (compared in lower case), best first, in at most EDIT_MISS_CHARS characters.
constexpr std::size_t EDIT_MISS_LINES = 5, EDIT_MISS_LINE_CHARS = 280, EDIT_MISS_CHARS = 1500;

std::string nearest_lines(std::string_view text, std::string_view phrase) {
    const std::u32string needle = detail::to_u32(lower(phrase));
    std::set<std::u32string> pieces;
    const std::size_t width = std::min<std::size_t>(3, needle.size());
    for (std::size_t i = 0; width > 0 && i + width <= needle.size(); ++i) pieces.insert(needle.substr(i, width));
    const std::vector<std::string> lines = detail::split_lines(text);
    std::vector<std::pair<std::size_t, std::size_t>> scored;  // (shared pieces, line index)
    for (std::size_t l = 0; l < lines.size(); ++l) {
        if (is_blank_line(lines[l])) continue;
        const std::u32string hay = detail::to_u32(lower(lines[l]));
        std::size_t shared = 0;
        for (const auto& piece : pieces) shared += hay.find(piece) != std::u32string::npos;
        if (shared > 0) scored.emplace_back(shared, l);
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (scored.size() > EDIT_MISS_LINES) scored.resize(EDIT_MISS_LINES);
    std::sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    std::string out;
    for (const auto& [shared, l] : scored) {
        std::string line = "  " + std::to_string(l + 1) + ": " + shortened(lines[l], EDIT_MISS_LINE_CHARS);
        if (detail::code_point_count(out) + detail::code_point_count(line) + 1 > EDIT_MISS_CHARS) break;
        if (!out.empty()) out += '\n';
        out += line;
    }
    return out;
}

Reply md_edit_answer(const std::vector<std::string>& entries, int edits_made, int failures, std::size_t matched) {
    std::string result;
    if (edits_made > 0) {
        result = get_message("edit_done", {{"count", edits_made}});
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i) result += "\n";
            result += entries[i];
        }
    } else {
        result = get_message("edit_not_done", {{"count", matched}});
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i) result += "\n\n";
            result += entries[i];
        }
    }
    // Every rewrite that was tried failed: nothing changed, and the agent has to act.
    if (edits_made == 0 && failures > 0) return Reply::refusal(std::move(result));
    return result;
}

}  // namespace

Reply do_md_edit(Session& session, std::string_view file_path, std::string_view instruction) {
    detail::validate_utf8(instruction, "instruction");
    std::filesystem::path fp = session.resolve(file_path);
    log_debug("md_edit: %s", fp.c_str());
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);

    std::vector<Block> blocks = _ensure_fresh_index(session.index, session.watcher, fp);
    if (blocks.empty()) return Reply::refusal(get_message("no_sections", {{"path", fp}}));

    std::optional<EditRequest> parsed = _parse_instruction(instruction);
    // A phrase that is nowhere in the file, in any letter case: nothing to change, and no
    // section to show in its place.
    if (parsed && !parsed->target.empty()) {
        const std::string text = detail::read_text_file(fp);
        if (text.find(parsed->target) == std::string::npos && lower(text).find(lower(parsed->target)) == std::string::npos) {
            const std::string near = nearest_lines(text, parsed->target);
            return Reply::refusal(get_message(near.empty() ? "edit_phrase_missing" : "edit_phrase_missing_near",
                                              {{"phrase", shortened(parsed->target, 200)}, {"path", fp}, {"lines", near}}));
        }
    }
    // The sections that hold the text to change, when any does, before heading words.
    std::vector<Block> best = best_blocks(parsed ? holding_text(blocks, parsed->target) : blocks, instruction);

    // A replacement naming a group fails the whole call; find that out before writing.
    if (parsed && has_named_group(parsed->replacement))
        for (const auto& block : best) (void)_apply_pattern(current_block_content(block), *parsed);

    std::vector<std::string> entries;
    int edits_made = 0;
    int failures = 0;
    bool wrote = false;
    for (const auto& block : best) {
        std::string block_content = current_block_content(block);
        std::optional<std::string> new_content;
        if (parsed) {
            try {
                new_content = _apply_pattern(block_content, *parsed);
            } catch (const ReplacementGroupNameError& e) {
                // Only reachable when an earlier rewrite of this call changed the block.
                if (!wrote) throw;
                ++failures;
                entries.push_back(failure_entry(block, e.what()));
                continue;
            }
        }
        if (new_content && !new_content->empty() && *new_content != block_content) {
            wrote = true;
            auto [updated, entry] = rewrite_section(session, block, *new_content);
            ++(updated ? edits_made : failures);
            entries.push_back(std::move(entry));
        } else {
            entries.push_back(show_section(session, block, block_content, best.size()));
        }
    }
    return md_edit_answer(entries, edits_made, failures, best.size());
}

}  // namespace quillbox
