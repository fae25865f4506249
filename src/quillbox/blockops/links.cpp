// Links across the project: the anchor setting, the project's Markdown files, and the check
// of every relative link and image.

#include "quillbox/blockops/links.h"

#include <unicode/unistr.h>
#include <unicode/locid.h>

#include <algorithm>
#include <map>
#include <regex>
#include <system_error>

#include "quillbox/blockops.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace quillbox {
namespace fs = std::filesystem;

namespace links {

AnchorStyle configured_anchor_style(const Session& session) {
    return anchor_style_from_name(session.setting("anchors")).value_or(AnchorStyle::github);
}

const HeadingAnchor* heading_of(const DocumentAnchors& anchors, const Block& block) {
    for (const auto& h : anchors.headings)
        if (h.level == block.level && h.line <= block.start_line && block.start_line <= std::max(h.line, h.end_line))
            return &h;
    return nullptr;
}

void set_rendered_anchors(std::vector<TocEntry>& entries, const DocumentAnchors& anchors) {
    for (auto& e : entries)
        if (const HeadingAnchor* h = heading_of(anchors, e.block)) e.slug = h->anchor;
}

fs::path project_root(const Session& session) {
    if (auto r = std::dynamic_pointer_cast<const ProjectPathResolver>(session.paths)) return r->root();
    std::error_code ec;
    return fs::current_path(ec);
}

bool is_markdown_path(const fs::path& p) { return p.extension() == ".md"; }

std::string fit(const Session& session, std::string_view text,
                const std::function<std::string(std::size_t kept_lines)>& hint) {
    return fit_to_budget(text, result_budget(*session.config), session.setting("pricing_model"), hint);
}

std::vector<fs::path> project_markdown_files(const fs::path& root) {
    std::vector<fs::path> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        const std::string name = it->path().filename().string();
        if (it->is_directory(e2)) {
            if ((!name.empty() && name[0] == '.') || name == "node_modules") it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(e2) && is_markdown_path(it->path())) out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string display_path(const fs::path& p, const fs::path& root) {
    if (!root.empty()) {
        fs::path rel = p.lexically_relative(root);
        if (!rel.empty() && *rel.begin() != "..") return rel.generic_string();
    }
    return p.string();
}

std::string percent_decode(std::string_view s) {
    std::string out;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace links

namespace {


std::string fold(std::string_view s) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    u.foldCase();
    std::string out;
    u.toUTF8String(out);
    return out;
}

// The existing path that differs from `p` only in letter case, if there is exactly such a
// path: each missing component is looked up among its folder's entries.
std::optional<fs::path> case_insensitive_match(const fs::path& p) {
    fs::path base = p.root_path();
    fs::path rel = p.relative_path();
    fs::path cur = base;
    for (const auto& part : rel) {
        std::error_code ec;
        fs::path next = cur / part;
        if (fs::exists(fs::symlink_status(next, ec))) {
            cur = next;
            continue;
        }
        const std::string want = fold(part.string());
        std::optional<fs::path> found;
        for (fs::directory_iterator it(cur, ec), end; !ec && it != end; it.increment(ec)) {
            if (fold(it->path().filename().string()) == want) {
                found = it->path();
                break;
            }
        }
        if (!found) return std::nullopt;
        cur = *found;
    }
    return cur;
}

struct Problem {
    std::string file;
    int line = 0;
    std::string text;
};

class LinkChecker {
public:
    LinkChecker(fs::path root, AnchorStyle style) : root_(std::move(root)), style_(style) {}

    void check_file(const fs::path& file) {
        std::string text;
        try {
            text = detail::read_file_bytes(file);
            detail::validate_utf8(text, file.string());
        } catch (const std::exception&) {
            return;  // unreadable or not text: nothing to check in it
        }
        ++files_;
        own_[file] = text;
        for (const MarkdownLink& link : document_links(text)) check_link(file, link);
    }

    std::size_t files() const { return files_; }
    std::size_t links() const { return links_; }
    const std::vector<Problem>& problems() const { return problems_; }

private:
    void report(const fs::path& file, int line, std::string text) {
        problems_.push_back({links::display_path(file, root_), line, std::move(text)});
    }

    const DocumentAnchors* anchors_of(const fs::path& target) {
        auto it = anchors_.find(target);
        if (it != anchors_.end()) return &it->second;
        std::string text;
        auto own = own_.find(target);
        if (own != own_.end()) {
            text = own->second;
        } else {
            try {
                text = detail::read_file_bytes(target);
                detail::validate_utf8(text, target.string());
            } catch (const std::exception&) {
                return nullptr;
            }
        }
        return &anchors_.emplace(target, document_anchors(text, style_)).first->second;
    }

    void check_link(const fs::path& file, const MarkdownLink& link) {
        static const std::regex scheme(R"(^[A-Za-z][A-Za-z0-9+.\-]*:)");
        std::string dest(detail::strip_white_space(link.destination));
        if (dest.empty() || dest.starts_with("//") || std::regex_search(dest, scheme)) return;
        ++links_;
        std::string path_part = dest, fragment;
        bool has_fragment = false;
        if (auto hash = dest.find('#'); hash != std::string::npos) {
            path_part = dest.substr(0, hash);
            fragment = links::percent_decode(dest.substr(hash + 1));
            has_fragment = true;
        }
        if (auto q = path_part.find('?'); q != std::string::npos) path_part.erase(q);
        path_part = links::percent_decode(path_part);

        fs::path target = file;
        if (!path_part.empty()) {
            target = path_part.front() == '/' ? root_ / path_part.substr(1) : file.parent_path() / path_part;
            target = target.lexically_normal();
            std::error_code ec;
            if (!fs::exists(fs::status(target, ec))) {
                if (auto actual = case_insensitive_match(target)) {
                    report(file, link.line, get_message("link_case_mismatch",
                                                        {{"target", dest}, {"actual", links::display_path(*actual, root_)}}));
                } else {
                    report(file, link.line, get_message("link_missing_file", {{"target", dest}}));
                }
                return;
            }
        }
        if (!has_fragment || fragment.empty()) return;
        std::error_code ec;
        if (!links::is_markdown_path(target) || !fs::is_regular_file(target, ec)) return;
        const DocumentAnchors* anchors = anchors_of(target);
        if (!anchors || anchors->has(fragment)) return;
        const std::vector<std::string> all = anchors->all();
        const std::string folded = fold(fragment);
        for (const auto& a : all) {
            if (fold(a) == folded) {
                report(file, link.line, get_message("link_anchor_case", {{"target", dest}, {"anchor", a}}));
                return;
            }
        }
        std::string nearest;
        double best = 0.0;
        for (const auto& a : all) {
            double r = similarity_ratio(fragment, a);
            if (r > best) {
                best = r;
                nearest = a;
            }
        }
        if (nearest.empty()) report(file, link.line, get_message("link_missing_anchor", {{"target", dest}}));
        else
            report(file, link.line,
                   get_message("link_missing_anchor_near", {{"target", dest}, {"anchor", nearest}}));
    }

    fs::path root_;
    AnchorStyle style_;
    std::size_t files_ = 0, links_ = 0;
    std::vector<Problem> problems_;
    std::map<fs::path, std::string> own_;
    std::map<fs::path, DocumentAnchors> anchors_;
};

}  // namespace

Reply do_check_links(Session& session, std::string_view file_path, long long offset) {
    const fs::path root = links::project_root(session);
    std::vector<fs::path> files;
    if (!file_path.empty()) {
        fs::path fp = session.resolve(file_path);
        if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
        files.push_back(fp);
    } else {
        files = links::project_markdown_files(root);
    }
    LinkChecker checker(root, links::configured_anchor_style(session));
    for (const auto& f : files) checker.check_file(f);
    const auto& problems = checker.problems();
    if (problems.empty())
        return get_message("links_ok", {{"files", static_cast<long long>(checker.files())},
                                        {"links", static_cast<long long>(checker.links())}});
    const std::size_t first = static_cast<std::size_t>(std::clamp<long long>(offset, 0, static_cast<long long>(problems.size())));
    std::string out = get_message("links_problems", {{"count", static_cast<long long>(problems.size())},
                                                     {"files", static_cast<long long>(checker.files())},
                                                     {"links", static_cast<long long>(checker.links())}});
    for (std::size_t i = first; i < problems.size(); ++i) {
        out += '\n';
        out += problems[i].file + ":" + std::to_string(problems[i].line) + ": " + problems[i].text;
    }
    return links::fit(session, out, [&](std::size_t kept_lines) {
        const std::size_t shown = kept_lines > 0 ? kept_lines - 1 : 0;
        return get_message("links_more", {{"next", static_cast<long long>(first + shown)},
                                          {"rest", static_cast<long long>(problems.size() - first - shown)}});
    });
}

}  // namespace quillbox
