#include "quillbox/rulefile.h"

#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>

namespace quillbox {
namespace fs = std::filesystem;

namespace {

std::function<void(const fs::path&)>& write_hook() {
    static std::function<void(const fs::path&)> hook;
    return hook;
}

[[noreturn]] void fail(const std::string& what, const fs::path& p, int err) {
    throw fs::filesystem_error(what, p, std::error_code(err, std::generic_category()));
}

// Whether `p` names an existing file system entry. Errors other than "not there" (for
// example no permission to search the directory) are raised, not taken for absence.
bool file_exists(const fs::path& p) {
    std::error_code ec;
    auto st = fs::status(p, ec);
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
        throw fs::filesystem_error("Cannot check CLAUDE.md", p, ec);
    return fs::exists(st);
}

std::string read_text(const fs::path& p) { return detail::read_text_file(p); }

// Where the section's heading starts, in either language; npos when there is none.
std::size_t find_section(std::string_view text) {
    return std::min(text.find(SECTION_MARKER), text.find(SECTION_MARKER_EN));
}

bool holds_marker(std::string_view line) {
    return line.find(SECTION_MARKER) != std::string_view::npos ||
           line.find(SECTION_MARKER_EN) != std::string_view::npos;
}

std::optional<std::string> detect_version(std::string_view text) {
    if (find_section(text) == std::string_view::npos) return std::nullopt;
    std::size_t pos = text.find(VERSION_MARKER);
    // A section whose version comment was deleted counts as outdated.
    if (pos == std::string_view::npos) return "v0.0";
    std::size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);

    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError pe;
        std::unique_ptr<icu::RegexPattern> p(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8("v(\\d+\\.\\d+)"), 0, pe, status));
        if (U_FAILURE(status)) throw std::runtime_error("cannot compile the version pattern");
        return p;
    }();
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString uline = icu::UnicodeString::fromUTF8(
        icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
    std::unique_ptr<icu::RegexMatcher> m(pattern->matcher(uline, status));
    if (U_FAILURE(status)) throw std::runtime_error("cannot match the version pattern");
    if (m->find(status) && U_SUCCESS(status)) {
        icu::UnicodeString g = m->group(status);
        std::string out;
        g.toUTF8String(out);
        return out;
    }
    return "v0.0";
}

// The raw bytes of the file, strict UTF-8; line ends as they are.
std::string read_raw(const fs::path& p) {
    std::string bytes = detail::read_file_bytes(p);
    detail::validate_utf8(bytes, p.string());
    return bytes;
}

// The line end the file uses (its first one), LF for a file without any.
std::string_view line_end_of(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (std::size_t len = detail::line_end_length(text, i)) return text.substr(i, len);
    return "\n";
}

// `section` with `eol` for its line ends.
std::string section_with(std::string_view section, std::string_view eol) {
    if (eol == "\n") return std::string(section);
    std::string out;
    for (char c : section) {
        if (c == '\n') out += eol;
        else out += c;
    }
    return out;
}

bool is_blank(std::string_view line) { return detail::strip_white_space(line).empty(); }

// Bytes [begin, end) of the section in `text`; nothing without one. It runs from its version
// comment (when that stands just above the heading) to its last line: all of the current
// section's lines when they are there unchanged, else up to its closing line, the next level-1
// or level-2 heading or the end of the text, whichever comes first, without the blank lines
// at its end. What the user wrote after the section (Claude Code appends its memories there)
// is not the section's.
std::optional<std::pair<std::size_t, std::size_t>> section_range(std::string_view text) {
    const auto spans = detail::line_spans(text);
    const std::size_t n = spans.size();
    auto line = [&](std::size_t i) { return text.substr(spans[i].begin, spans[i].len); };
    std::size_t heading = 0;
    while (heading < n && !holds_marker(line(heading))) ++heading;
    if (heading == n) return std::nullopt;
    std::size_t first = heading;
    for (std::size_t i = heading; i-- > 0;) {
        if (is_blank(line(i))) continue;
        if (line(i).find(VERSION_MARKER) != std::string_view::npos) first = i;
        break;
    }

    static const std::array<std::vector<std::string>, 2> known = {detail::split_lines(QUILLBOX_SECTION),
                                                                   detail::split_lines(QUILLBOX_SECTION_EN)};
    auto matches = [&](const std::vector<std::string>& ours) {
        std::size_t same = 0;
        while (same < ours.size() && first + same < n && line(first + same) == ours[same]) ++same;
        return same == ours.size();
    };
    auto closing = [&](std::string_view l) { return l == known[0].back() || l == known[1].back(); };
    std::size_t last = n;  // one past the section's last line
    if (matches(known[0]) || matches(known[1])) {
        last = first + (matches(known[0]) ? known[0] : known[1]).size();
    } else {
        for (std::size_t i = heading + 1; i < n; ++i) {
            const std::string_view l = line(i);
            if (closing(l)) {
                last = i + 1;
                break;
            }
            const bool top_heading = l.substr(0, 3) == "## " || l.substr(0, 2) == "# ";
            if (top_heading && !holds_marker(l)) {
                last = i;
                break;
            }
        }
        while (last > heading + 1 && is_blank(line(last - 1))) --last;
    }
    const std::size_t begin = spans[first].begin;
    const std::size_t end = last < n ? spans[last].begin : text.size();
    return std::pair{begin, end};
}

// The text without the section and the empty line that install put before it; every other
// byte as it was. Empty when nothing but white space remains. Nothing when there is no
// section.
std::optional<std::string> without_section(std::string_view text) {
    const auto range = section_range(text);
    if (!range) return std::nullopt;
    std::string before(text.substr(0, range->first));
    std::string_view after = text.substr(range->second);
    if (detail::strip_white_space(before).empty() && detail::strip_white_space(after).empty()) return std::string();
    // The empty line install writes before the section, or after it in a file it created.
    if (before.empty()) {
        if (!after.empty() && detail::line_end_length(after, 0) > 0) after.remove_prefix(detail::line_end_length(after, 0));
        return std::string(after);
    }
    const auto spans = detail::line_spans(before);
    if (spans.size() >= 2 && spans.back().len == 0 && spans[spans.size() - 2].end_len > 0)
        before.resize(spans.back().begin);
    before += after;
    return before;
}

// Replaces the file's content in one step (a synced temporary file in the same directory,
// given the file's permission bits, renamed over it). A symbolic link stays a link: the file
// it points to is written. A failure at any point leaves the old file as it was and removes
// the temporary file.
void write_text_atomically(const fs::path& path, std::string_view data) {
    const fs::path target = detail::link_target(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail("Cannot write CLAUDE.md: is a directory", target, EISDIR);
        if (::access(target.c_str(), W_OK) != 0) fail("Cannot write CLAUDE.md", target, errno);
    } else if (errno != ENOENT) {
        fail("Cannot write CLAUDE.md", target, errno);
    }

    using Step = detail::FileReplaceError::Step;
    try {
        detail::PendingReplace pending(target, data);
        if (auto& hook = write_hook()) hook(pending.temporary());
        pending.commit();
    } catch (const detail::FileReplaceError& e) {
        static constexpr const char* what[] = {
            "Cannot create a temporary file for CLAUDE.md", "Cannot write the temporary file for CLAUDE.md",
            "Cannot set permissions on the temporary file", "Cannot set times on the temporary file",
            "Cannot sync the temporary file for CLAUDE.md", "Cannot close the temporary file for CLAUDE.md",
            "Cannot replace CLAUDE.md"};
        fail(what[static_cast<int>(e.step())], e.step() == Step::create ? target : e.path1(), e.code().value());
    }
}

}  // namespace

void _set_rulefile_write_hook(std::function<void(const fs::path&)> hook) {
    write_hook() = std::move(hook);
}

std::optional<std::string> _detect_version(const fs::path& path) {
    if (!file_exists(path)) return std::nullopt;
    return detect_version(read_text(path));
}

bool has_quillbox_section(const fs::path& path) {
    if (!file_exists(path)) return false;
    return find_section(read_text(path)) != std::string::npos;
}

bool is_current_version(const fs::path& path) {
    auto v = _detect_version(path);
    return v && *v == RULES_VERSION;
}

bool add_quillbox_section(const fs::path& path) { return add_quillbox_section(path, "zh"); }

bool add_quillbox_section(const fs::path& path, std::string_view language) {
    const std::string_view section = quillbox_section(language);
    if (!file_exists(path)) {
        std::string text(section);
        text += '\n';
        write_text_atomically(path, text);
        return true;
    }
    std::string text = read_raw(path);
    auto version = detect_version(detail::normalize_newlines(text));
    const std::string eol(line_end_of(text));
    if (version && *version == RULES_VERSION) {
        // The English text is reworded within a version when the tools change; the Chinese one
        // is fixed for it.
        const auto range = section_range(text);
        if (!range) return false;
        const std::string shown = detail::normalize_newlines(text.substr(range->first, range->second - range->first));
        const bool english = shown.find(SECTION_MARKER_EN) != std::string::npos;
        if (!english || shown == QUILLBOX_SECTION_EN || shown + "\n" == QUILLBOX_SECTION_EN) return false;
        text.replace(range->first, range->second - range->first, section_with(QUILLBOX_SECTION_EN, eol));
        write_text_atomically(path, text);
        return true;
    }
    // An outdated section is replaced where it stands, in a single write, so a failure cannot
    // leave the file without any section; the bytes around it stay as they are.
    if (version) {
        if (auto range = section_range(text)) {
            text.replace(range->first, range->second - range->first, section_with(section, eol));
            write_text_atomically(path, text);
            return true;
        }
    }
    if (!text.empty() && text.back() != '\n' && text.back() != '\r') text += eol;
    if (!text.empty()) text += eol;
    text += section_with(section, eol);
    write_text_atomically(path, text);
    return true;
}

bool remove_quillbox_section(const fs::path& path) {
    if (!file_exists(path)) return false;
    auto text = without_section(read_raw(path));
    if (!text) return false;
    write_text_atomically(path, *text);
    return true;
}

}  // namespace quillbox
