// Heading anchors as renderers form them (GitHub, GitLab, MkDocs), the explicit ids a
// document declares, and the relative links it makes.

#include <cmark.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <regex>

#include "quillbox/detail/lines.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/outline.h"

namespace quillbox {
namespace {

icu::UnicodeString to_icu(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

// GitHub keeps letters (Alphabetic, which takes in circled and squared letters), marks,
// decimal digits, letter numbers, connector punctuation and the hyphen-minus; each space
// becomes a hyphen and nothing is merged or trimmed.
std::string github_base(std::string_view text) {
    icu::UnicodeString s = to_icu(text);
    s.toLower(icu::Locale::getRoot());
    std::string out;
    for (int32_t i = 0; i < s.length();) {
        UChar32 c = s.char32At(i);
        i += U16_LENGTH(c);
        if (c == ' ') {
            out.push_back('-');
            continue;
        }
        const auto gc = U_GET_GC_MASK(c);
        if (c == '-' || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
            (gc & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_NL_MASK | U_GC_PC_MASK)) != 0)
            detail::append_utf8(out, static_cast<char32_t>(c));
    }
    return out;
}

bool is_word_char(UChar32 c) {
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
}

// GitLab: lower case, non-word characters but spaces and hyphens removed, spaces to
// hyphens, runs of hyphens merged; white space at the ends dropped first.
std::string gitlab_base(std::string_view text) {
    icu::UnicodeString s = to_icu(text);
    s.trim();
    s.toLower(icu::Locale::getRoot());
    std::string out;
    for (int32_t i = 0; i < s.length();) {
        UChar32 c = s.char32At(i);
        i += U16_LENGTH(c);
        if (c == ' ' || c == '-') {
            if (out.empty() || out.back() != '-') out.push_back('-');
        } else if (is_word_char(c)) {
            detail::append_utf8(out, static_cast<char32_t>(c));
        }
    }
    return out;
}

// MkDocs (Python-Markdown's toc): NFKD, ASCII only, [^\w\s-] removed, white space at the
// ends dropped, lower case, runs of hyphens and white space to one hyphen.
std::string mkdocs_base(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU NFKD normaliser unavailable");
    icu::UnicodeString norm = nfkd->normalize(to_icu(text), status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU NFKD normalisation failed");
    std::string kept;
    for (int32_t i = 0; i < norm.length();) {
        UChar32 c = norm.char32At(i);
        i += U16_LENGTH(c);
        if (c >= 0x80) continue;
        const char ch = static_cast<char>(c);
        const bool space = ch == ' ' || (ch >= '\t' && ch <= '\r');
        if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' || space) kept.push_back(ch);
    }
    auto is_space = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); };
    std::size_t b = 0, e = kept.size();
    while (b < e && is_space(kept[b])) ++b;
    while (e > b && is_space(kept[e - 1])) --e;
    std::string out;
    bool run = false;
    for (std::size_t i = b; i < e; ++i) {
        char ch = kept[i];
        if (ch == '-' || is_space(ch)) {
            run = true;
            continue;
        }
        if (run) out.push_back('-');
        run = false;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    }
    if (run) out.push_back('-');
    return out;
}

// Collects a heading's rendered text: text and code content, link text; no markup, no
// image (its alt text is an attribute, not text). Raw HTML contributes its ids.
void rendered_text(cmark_node* node, std::string& out, std::vector<std::string>* ids);

std::vector<std::string> html_ids(std::string_view html) {
    static const std::regex re(R"re(<a\s[^>]*?\b(?:id|name)\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))re",
                               std::regex::icase);
    std::vector<std::string> out;
    std::string s(html);
    for (auto it = std::sregex_iterator(s.begin(), s.end(), re); it != std::sregex_iterator(); ++it) {
        for (int g = 1; g <= 3; ++g)
            if ((*it)[g].matched) out.push_back((*it)[g].str());
    }
    return out;
}

void rendered_text(cmark_node* node, std::string& out, std::vector<std::string>* ids) {
    for (cmark_node* c = cmark_node_first_child(node); c; c = cmark_node_next(c)) {
        switch (cmark_node_get_type(c)) {
            case CMARK_NODE_TEXT:
            case CMARK_NODE_CODE:
                if (const char* lit = cmark_node_get_literal(c)) out += lit;
                break;
            case CMARK_NODE_SOFTBREAK:
            case CMARK_NODE_LINEBREAK:
                out += '\n';
                break;
            case CMARK_NODE_HTML_INLINE:
                if (ids)
                    if (const char* lit = cmark_node_get_literal(c))
                        for (auto& id : html_ids(lit)) ids->push_back(std::move(id));
                break;
            case CMARK_NODE_IMAGE:
                break;
            default:
                rendered_text(c, out, ids);
        }
    }
}

// "Title {#id}": the attribute list of Python-Markdown, kramdown and Pandoc.
std::optional<std::string> trailing_explicit_id(std::string& text) {
    static const std::regex re(R"re(\s*\{\s*#([A-Za-z0-9_:.\-]+)[^{}]*\}\s*$)re");
    std::smatch m;
    if (!std::regex_search(text, m, re)) return std::nullopt;
    std::string id = m[1].str();
    text.erase(static_cast<std::size_t>(m.position(0)));
    return id;
}

struct ParsedDoc {
    std::string text;  // front matter blanked
    std::unique_ptr<cmark_node, void (*)(cmark_node*)> doc{nullptr, cmark_node_free};
};

// The text with its front matter turned into empty lines, so that line numbers stay.
std::string without_frontmatter(std::string_view text) {
    std::vector<std::string> lines = detail::split_lines(std::string(text.substr(0, std::min<std::size_t>(text.size(), 1 << 16))), true);
    std::vector<std::string> bare;
    bare.reserve(std::min<std::size_t>(lines.size(), 51));
    for (std::size_t i = 0; i < lines.size() && i < 51; ++i) {
        std::string l = lines[i];
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        bare.push_back(std::move(l));
    }
    const int end = find_frontmatter_end(bare);
    std::string out(text);
    if (end <= 0) return out;
    std::size_t pos = 0;
    for (int i = 0; i < end; ++i) {
        const std::size_t len = lines[static_cast<std::size_t>(i)].size();
        for (std::size_t k = pos; k < pos + len; ++k)
            if (out[k] != '\n' && out[k] != '\r') out[k] = ' ';
        pos += len;
    }
    return out;
}

// Calls `enter(node)` for each node of the tree as the walk enters it; a true result skips the
// node's children.
template <class Enter>
void walk_entered(cmark_node* root, Enter&& enter) {
    std::unique_ptr<cmark_iter, void (*)(cmark_iter*)> it(cmark_iter_new(root), cmark_iter_free);
    for (cmark_event_type ev; (ev = cmark_iter_next(it.get())) != CMARK_EVENT_DONE;) {
        if (ev != CMARK_EVENT_ENTER) continue;
        cmark_node* node = cmark_iter_get_node(it.get());
        if (enter(node)) cmark_iter_reset(it.get(), node, CMARK_EVENT_EXIT);
    }
}

ParsedDoc parse(std::string_view text) {
    ParsedDoc p;
    p.text = without_frontmatter(text);
    p.doc.reset(cmark_parse_document(p.text.data(), p.text.size(), CMARK_OPT_DEFAULT));
    return p;
}

}  // namespace

std::optional<AnchorStyle> anchor_style_from_name(std::string_view name) {
    if (name == "github" || name.empty()) return AnchorStyle::github;
    if (name == "gitlab") return AnchorStyle::gitlab;
    if (name == "mkdocs") return AnchorStyle::mkdocs;
    return std::nullopt;
}

std::string anchor_base(std::string_view rendered, AnchorStyle style) {
    switch (style) {
        case AnchorStyle::gitlab: return gitlab_base(rendered);
        case AnchorStyle::mkdocs: return mkdocs_base(rendered);
        case AnchorStyle::github: break;
    }
    return github_base(rendered);
}

std::string AnchorSlugger::slug(std::string_view rendered) { return unique(anchor_base(rendered, style_)); }

std::string AnchorSlugger::unique(std::string base) {
    if (style_ == AnchorStyle::mkdocs) {
        // Python-Markdown: an id taken (or empty) gains "_1", a taken "x_1" becomes "x_2".
        static const std::regex counted(R"(^(.*)_([0-9]+)$)");
        std::string id = std::move(base);
        while (id.empty() || used_.count(id)) {
            std::smatch m;
            if (std::regex_match(id, m, counted)) id = m[1].str() + "_" + std::to_string(std::stoull(m[2].str()) + 1);
            else id += "_1";
        }
        used_[id] = 0;
        return id;
    }
    // GitHub and GitLab: the base's own counter, raised until the id is free.
    std::string id = base;
    while (used_.count(id)) {
        long& n = used_[base];
        ++n;
        id = base + "-" + std::to_string(n);
    }
    used_.emplace(id, 0);
    return id;
}

void AnchorSlugger::reserve(const std::string& id) { used_.emplace(id, 0); }

bool DocumentAnchors::has(std::string_view id) const {
    for (const auto& h : headings)
        if (h.anchor == id) return true;
    return std::find(extra.begin(), extra.end(), id) != extra.end();
}

std::vector<std::string> DocumentAnchors::all() const {
    std::vector<std::string> out;
    for (const auto& h : headings) out.push_back(h.anchor);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

DocumentAnchors document_anchors(std::string_view text, AnchorStyle style) {
    ParsedDoc p = parse(text);
    DocumentAnchors out;
    if (!p.doc) return out;
    struct Pending {
        HeadingAnchor h;
        std::optional<std::string> id;
    };
    std::vector<Pending> pending;
    walk_entered(p.doc.get(), [&](cmark_node* node) {
        const auto type = cmark_node_get_type(node);
        if (type == CMARK_NODE_HEADING) {
            Pending ph;
            ph.h.level = cmark_node_get_heading_level(node);
            ph.h.line = cmark_node_get_start_line(node);
            ph.h.end_line = cmark_node_get_end_line(node);
            std::vector<std::string> ids;
            rendered_text(node, ph.h.text, &ids);
            ph.id = trailing_explicit_id(ph.h.text);
            for (auto& id : ids) out.extra.push_back(std::move(id));
            pending.push_back(std::move(ph));
            return true;  // its text is read whole above
        }
        if (type == CMARK_NODE_HTML_BLOCK || type == CMARK_NODE_HTML_INLINE) {
            if (const char* lit = cmark_node_get_literal(node))
                for (auto& id : html_ids(lit)) out.extra.push_back(std::move(id));
        }
        return false;
    });
    AnchorSlugger slugger(style);
    for (const auto& id : out.extra) slugger.reserve(id);
    for (const auto& ph : pending)
        if (ph.id) slugger.reserve(*ph.id);
    for (auto& ph : pending) {
        if (ph.id) {
            ph.h.anchor = *ph.id;
            ph.h.explicit_id = true;
        } else {
            ph.h.anchor = slugger.slug(ph.h.text);
        }
        out.headings.push_back(std::move(ph.h));
    }
    return out;
}

std::string toc_entry_title(std::string_view source) {
    // Link markup goes: [text](dest), [text][ref] and [text][] keep their text; <url> its url.
    std::string out;
    std::size_t i = 0;
    const std::size_t n = source.size();
    auto closing = [&](std::size_t from, char open, char close) -> std::size_t {
        int depth = 0;
        for (std::size_t k = from; k < n; ++k) {
            char c = source[k];
            if (c == '\\') {
                ++k;
                continue;
            }
            if (c == '`') {  // a code span hides brackets
                std::size_t run = 0;
                while (k + run < n && source[k + run] == '`') ++run;
                std::size_t end = source.find(std::string(run, '`'), k + run);
                if (end == std::string_view::npos) return std::string_view::npos;
                k = end + run - 1;
                continue;
            }
            if (c == open) ++depth;
            else if (c == close && --depth == 0) return k;
        }
        return std::string_view::npos;
    };
    while (i < n) {
        char c = source[i];
        if (c == '\\' && i + 1 < n) {
            out.append(source.substr(i, 2));
            i += 2;
            continue;
        }
        if (c == '`') {
            std::size_t run = 0;
            while (i + run < n && source[i + run] == '`') ++run;
            std::size_t end = source.find(std::string(run, '`'), i + run);
            if (end == std::string_view::npos) {
                out.append(source.substr(i, run));
                i += run;
            } else {
                out.append(source.substr(i, end + run - i));
                i = end + run;
            }
            continue;
        }
        if (c == '<') {
            std::size_t end = source.find('>', i);
            static const std::regex autolink(R"(^<[A-Za-z][A-Za-z0-9+.\-]{1,31}:[^<>\s]*>$)");
            if (end != std::string_view::npos &&
                std::regex_match(std::string(source.substr(i, end - i + 1)), autolink)) {
                out.append(source.substr(i + 1, end - i - 1));
                i = end + 1;
                continue;
            }
        }
        if (c == '[' && !(i > 0 && source[i - 1] == '!')) {
            std::size_t close = closing(i, '[', ']');
            if (close != std::string_view::npos && close + 1 < n &&
                (source[close + 1] == '(' || source[close + 1] == '[')) {
                const char open2 = source[close + 1];
                std::size_t close2 = closing(close + 1, open2, open2 == '(' ? ')' : ']');
                if (close2 != std::string_view::npos) {
                    out += toc_entry_title(source.substr(i + 1, close - i - 1));
                    i = close2 + 1;
                    continue;
                }
            }
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

std::vector<MarkdownLink> document_links(std::string_view text) {
    ParsedDoc p = parse(text);
    std::vector<MarkdownLink> out;
    if (!p.doc) return out;
    // Lines of code and HTML blocks hold no definitions; a paragraph's lines only up to its
    // first line that is not one.
    std::vector<std::string_view> lines;
    for (std::size_t b = 0; b <= p.text.size();) {
        std::size_t e = p.text.find('\n', b);
        if (e == std::string::npos) e = p.text.size();
        std::string_view l(p.text.data() + b, e - b);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        lines.push_back(l);
        if (e == p.text.size()) break;
        b = e + 1;
    }
    std::vector<std::size_t> line_begin;
    for (const auto& l : lines) line_begin.push_back(static_cast<std::size_t>(l.data() - p.text.data()));
    // The destination's bytes: searched backwards within the link's source.
    auto locate = [&](int sl, int sc, int el, int ec, const std::string& url) -> std::size_t {
        if (sl < 1 || el < sl || static_cast<std::size_t>(el) > lines.size() || url.empty()) return std::string::npos;
        const std::size_t b = line_begin[static_cast<std::size_t>(sl) - 1] + static_cast<std::size_t>(std::max(sc, 1) - 1);
        const std::size_t e = std::min(p.text.size(), line_begin[static_cast<std::size_t>(el) - 1] + static_cast<std::size_t>(std::max(ec, 0)));
        if (b >= e) return std::string::npos;
        const std::size_t at = std::string_view(p.text).substr(b, e - b).rfind(url);
        return at == std::string_view::npos ? std::string::npos : b + at;
    };
    std::vector<char> blocked(lines.size() + 2, 0);
    std::vector<std::pair<int, int>> paragraphs;
    walk_entered(p.doc.get(), [&](cmark_node* node) {
        const auto type = cmark_node_get_type(node);
        const int sl = cmark_node_get_start_line(node), el = cmark_node_get_end_line(node);
        if (type == CMARK_NODE_CODE_BLOCK || type == CMARK_NODE_HTML_BLOCK) {
            for (int l = std::max(sl, 1); l <= el && static_cast<std::size_t>(l) < blocked.size(); ++l)
                blocked[static_cast<std::size_t>(l)] = 1;
        } else if (type == CMARK_NODE_PARAGRAPH || type == CMARK_NODE_HEADING) {
            paragraphs.push_back({sl, el});
        } else if (type == CMARK_NODE_LINK || type == CMARK_NODE_IMAGE) {
            const char* url = cmark_node_get_url(node);
            const int line = sl, col = cmark_node_get_end_column(node);
            // A reference link's destination is checked at its definition.
            bool inline_link = true;
            if (line >= 1 && static_cast<std::size_t>(cmark_node_get_end_line(node)) <= lines.size()) {
                std::string_view l = lines[static_cast<std::size_t>(cmark_node_get_end_line(node)) - 1];
                if (col >= 1 && static_cast<std::size_t>(col) <= l.size()) {
                    char last = l[static_cast<std::size_t>(col) - 1];
                    inline_link = last == ')' || last == '>';
                }
            }
            if (url && inline_link)
                out.push_back({line, url, type == CMARK_NODE_IMAGE, false,
                               locate(sl, cmark_node_get_start_column(node), el, col, url)});
        }
        return false;
    });
    static const std::regex def(R"re(^ {0,3}(?:>\s?)*\[((?:[^\]\\]|\\.)+)\]:[ \t]*(?:<([^<>\n]*)>|(\S+)))re");
    for (auto [sl, el] : paragraphs) {
        for (int l = sl; l <= el; ++l) {
            if (l < 1 || static_cast<std::size_t>(l) > lines.size()) break;
            if (!std::regex_search(std::string(lines[static_cast<std::size_t>(l) - 1]), def)) break;
            blocked[static_cast<std::size_t>(l)] = 2;  // a definition the paragraph began with
        }
        for (int l = sl; l <= el && l >= 1 && static_cast<std::size_t>(l) < blocked.size(); ++l)
            if (blocked[static_cast<std::size_t>(l)] == 0) blocked[static_cast<std::size_t>(l)] = 1;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (blocked[i + 1] == 1) continue;
        std::smatch m;
        std::string line(lines[i]);
        if (!std::regex_search(line, m, def)) continue;
        const int g = m[2].matched ? 2 : 3;
        out.push_back({static_cast<int>(i + 1), m[g].str(), false, true,
                       line_begin[i] + static_cast<std::size_t>(m.position(g))});
    }
    std::stable_sort(out.begin(), out.end(), [](const MarkdownLink& a, const MarkdownLink& b) { return a.line < b.line; });
    return out;
}

}  // namespace quillbox
