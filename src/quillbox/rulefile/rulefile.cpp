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

std::string_view strip_right(std::string_view s) {
    return detail::trim_right_code_points(s, detail::is_white_space);
}

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

// The text without the section, trimmed and ended by one line feed (or empty); nothing when
// the text has no section.
std::optional<std::string> without_section(std::string_view text) {
    std::size_t start = find_section(text);
    if (start == std::string_view::npos) return std::nullopt;

    // Take the version comment line above the heading with it (blank lines in between).
    std::string_view before = strip_right(text.substr(0, start));
    std::size_t nl = before.rfind('\n');
    std::string_view last_line = nl == std::string_view::npos ? before : before.substr(nl + 1);
    if (last_line.find(VERSION_MARKER) != std::string_view::npos)
        start = nl == std::string_view::npos ? 0 : nl + 1;

    // The section ends before the next level-1 or level-2 heading that is not its own.
    std::string_view rest = text.substr(start);
    std::size_t length = rest.size();
    for (std::size_t lf = rest.find('\n'); lf != std::string_view::npos;) {
        std::size_t next = rest.find('\n', lf + 1);
        std::string_view line = rest.substr(lf + 1, next == std::string_view::npos ? next : next - lf - 1);
        bool heading = line.substr(0, 3) == "## " || line.substr(0, 2) == "# ";
        if (heading && !holds_marker(line)) {
            length = lf;
            break;
        }
        lf = next;
    }

    std::string remaining(text.substr(0, start));
    remaining += rest.substr(length);
    std::string_view trimmed = detail::strip_white_space(remaining);
    if (trimmed.empty()) return std::string();
    std::string out(trimmed);
    out += '\n';
    return out;
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
    std::string text = read_text(path);
    auto version = detect_version(text);
    if (version && *version == RULES_VERSION) return false;
    // An outdated section is removed and the current one appended, in a single write, so a
    // failure cannot leave the file without any section.
    if (version) text = *without_section(text);
    if (!text.empty() && text.back() != '\n') text += '\n';
    if (!text.empty()) text += '\n';
    text += section;
    write_text_atomically(path, text);
    return true;
}

bool remove_quillbox_section(const fs::path& path) {
    if (!file_exists(path)) return false;
    auto text = without_section(read_text(path));
    if (!text) return false;
    write_text_atomically(path, *text);
    return true;
}

}  // namespace quillbox
