// Markdown files to heading blocks: file checks, the CommonMark parse and the raw heading text,
// block ends, content hashes and identifiers.

#include "quillbox/outline.h"

#include <cmark.h>
#include <openssl/rand.h>
#include <unicode/uchar.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "quillbox/detail/file_key.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"

namespace quillbox {
namespace {

// ---------------------------------------------------------------------------------------------
// Text helpers

// White space for trimming titles and front-matter lines: Unicode White_Space plus the
// information separators U+001C..U+001F.
bool is_trim_space(char32_t c) {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    return u_isUWhiteSpace(static_cast<UChar32>(c));
}

std::string_view trim_space(std::string_view s) { return detail::trim_code_points(s, is_trim_space); }

inline bool is_blank_char(char c) { return c == ' ' || c == '\t'; }

bool is_blank(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return is_blank_char(c); });
}

// ---------------------------------------------------------------------------------------------
// Line maps: the parser's lines and the block model's lines, offsets into the same text. On
// a text without CR both count the same lines, as the shared rule ends lines at LF, CR and
// CRLF only.

struct LineMap {
    std::string_view text;
    std::vector<std::uint32_t> lf_begin;   // parser lines
    std::vector<std::uint32_t> begin, end; // model lines, [begin, end) without the terminator
    bool bom = false;

    std::size_t parser_lines() const { return lf_begin.size(); }

    // Parser line `n` (1-based) without its line feed; line 1 without a byte-order mark, as
    // the parser skips it and counts columns after it.
    std::string_view parser_line(long n) const {
        if (n < 1 || static_cast<std::size_t>(n) > lf_begin.size()) return {};
        std::size_t b = lf_begin[n - 1];
        std::size_t e = static_cast<std::size_t>(n) < lf_begin.size() ? lf_begin[n] - 1 : text.size();
        if (e > b && text[e - 1] == '\n') --e;  // last line with its final line feed
        if (n == 1 && bom) b = std::min(e, b + 3);
        return text.substr(b, e - b);
    }
};

// Builds both line maps of a text without CR.
LineMap build_line_map(std::string_view text) {
    LineMap m;
    m.text = text;
    m.bom = text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0;
    if (text.empty()) return m;
    const std::size_t n = text.size();
    m.lf_begin.reserve(n / 40 + 1);
    m.begin.reserve(n / 40 + 1);
    m.end.reserve(n / 40 + 1);
    m.lf_begin.push_back(0);
    std::size_t line_start = 0;
    // The text holds no CR here, so every line feed is a line end of the model too.
    detail::for_each_line_end(text, [&](std::size_t at, std::size_t len) {
        m.begin.push_back(static_cast<std::uint32_t>(line_start));
        m.end.push_back(static_cast<std::uint32_t>(at));
        line_start = at + len;
        if (text[at] == '\n' && at + 1 < n) m.lf_begin.push_back(static_cast<std::uint32_t>(at + 1));
    });
    if (line_start < n) {
        m.begin.push_back(static_cast<std::uint32_t>(line_start));
        m.end.push_back(static_cast<std::uint32_t>(n));
    }
    return m;
}

// SHA-256 of model lines [first, last] joined by line feeds. Runs of lines that already sit
// in the text separated by single line feeds are hashed in one piece.
std::string hash_line_range(detail::Sha256& sha, const LineMap& m, std::size_t first, std::size_t last) {
    if (m.begin.empty() || first >= m.begin.size() || last < first) return sha.hex();
    last = std::min(last, m.begin.size() - 1);
    std::size_t seg = m.begin[first];
    for (std::size_t i = first; i < last; ++i) {
        if (m.text[m.end[i]] == '\n' && m.begin[i + 1] == m.end[i] + 1) continue;
        sha.update(m.text.substr(seg, m.end[i] - seg));
        sha.update("\n");
        seg = m.begin[i + 1];
    }
    sha.update(m.text.substr(seg, m.end[last] - seg));
    return sha.hex();
}

// ---------------------------------------------------------------------------------------------
// Container markers: a heading's text lines inside block quotes and list items start after the
// markers of those containers; a lazy continuation line lacks them.

struct Container {
    bool quote = false;
    cmark_node* node = nullptr;
    // List item, computed on demand: columns of content indentation of its continuation
    // lines, and where the content starts on the marker line (byte offset and column).
    long indent = -1;
    long line = 0;
    std::size_t content_pos = 0;
    long content_col = 0;
};

struct Strip {
    std::size_t pos = 0;  // byte offset of the text after the markers
    bool all = true;      // every container matched (false: lazy continuation line)
};

inline long advance_col(char c, long col) { return c == '\t' ? (col / 4 + 1) * 4 : col + 1; }

Strip strip_containers(long ln, std::vector<Container>& cs, std::size_t depth, const LineMap& m);

// Content indentation of a list item, in columns relative to the content of its parent.
long item_indent(std::vector<Container>& cs, std::size_t idx, const LineMap& m) {
    Container& item = cs[idx];
    if (item.indent >= 0) return item.indent;
    item.line = cmark_node_get_start_line(item.node);
    std::string_view line = m.parser_line(item.line);
    Strip outer = strip_containers(item.line, cs, idx, m);
    std::size_t marker = static_cast<std::size_t>(std::max(1, cmark_node_get_start_column(item.node)) - 1);
    marker = std::clamp(marker, outer.pos, line.size());
    long col = 0, outer_col = 0;
    for (std::size_t i = 0; i < marker; ++i) {
        if (i == outer.pos) outer_col = col;
        col = advance_col(line[i], col);
    }
    if (marker == outer.pos) outer_col = col;
    std::size_t q = marker;
    if (q < line.size() && std::isdigit(static_cast<unsigned char>(line[q]))) {
        while (q < line.size() && std::isdigit(static_cast<unsigned char>(line[q]))) ++q;
    }
    if (q < line.size()) ++q;  // bullet or delimiter
    long width = static_cast<long>(q - marker);
    long after = col + width, c = after;
    std::size_t r = q;
    while (r < line.size() && is_blank_char(line[r])) c = advance_col(line[r++], c);
    long spaces = c - after;
    bool wide = r == line.size() || spaces > 4 || spaces < 1;
    long padding = wide ? width + 1 : width + spaces;
    item.indent = (col - outer_col) + padding;
    item.content_pos = wide ? std::min(q + 1, line.size()) : r;
    item.content_col = wide ? after + 1 : c;
    return item.indent;
}

// Where the text of parser line `ln` starts after the markers of the first `depth` containers.
Strip strip_containers(long ln, std::vector<Container>& cs, std::size_t depth, const LineMap& m) {
    std::string_view line = m.parser_line(ln);
    Strip s;
    long col = 0;
    for (std::size_t k = 0; k < depth; ++k) {
        if (!cs[k].quote) {
            item_indent(cs, k, m);
            if (ln == cs[k].line) {  // the marker line itself
                s.pos = std::max(s.pos, cs[k].content_pos);
                col = cs[k].content_col;
                continue;
            }
        }
        std::size_t i = s.pos;
        long c = col;
        if (cs[k].quote) {
            while (i < line.size() && is_blank_char(line[i]) && advance_col(line[i], c) - col <= 3)
                c = advance_col(line[i++], c);
            if (i >= line.size() || line[i] != '>') {
                s.all = false;
                return s;
            }
            c = advance_col(line[i++], c);
            if (i < line.size() && is_blank_char(line[i])) c = advance_col(line[i++], c);
        } else {
            long need = item_indent(cs, k, m);
            while (i < line.size() && is_blank_char(line[i]) && c - col < need)
                c = advance_col(line[i++], c);
            if (c - col < need && !is_blank(line.substr(i))) {
                s.pos = i;  // a lazy line loses its (short) indentation
                s.all = false;
                return s;
            }
        }
        s.pos = i;
        col = c;
    }
    return s;
}

bool is_setext_underline(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && i < 3 && s[i] == ' ') ++i;
    if (i >= s.size() || (s[i] != '=' && s[i] != '-')) return false;
    char ch = s[i];
    while (i < s.size() && s[i] == ch) ++i;
    return is_blank(s.substr(i));
}

// ---------------------------------------------------------------------------------------------
// Parser memory: the syntax tree is thrown away as a whole after the walk, so the parser
// allocates from a per-parse pool instead of the heap; freeing the tree node by node would
// cost about a third of the parse. Freed blocks go to size-class free lists and are reused,
// which keeps the pool (and the page faults of fresh memory) small. Large blocks come from
// the heap directly. cmark's allocator hooks carry no context, hence the per-thread current
// pool. The pool's chunks outlive the parse: the thread keeps them for its next parse, whose
// pages are then already mapped.

class ParseArena;
// Initial-exec: one pointer of static TLS, reached without a lookup on every allocation.
__attribute__((tls_model("initial-exec"))) thread_local ParseArena* current_arena = nullptr;

// Chunks of finished parses, kept per thread up to a bound (a 5 MB file uses about 40).
class SpareChunks {
public:
    static constexpr std::size_t kKeep = 64;
    SpareChunks() = default;
    SpareChunks(const SpareChunks&) = delete;
    SpareChunks& operator=(const SpareChunks&) = delete;
    ~SpareChunks() {
        for (void* c : chunks_) std::free(c);
    }
    void* take() {
        if (chunks_.empty()) return nullptr;
        void* c = chunks_.back();
        chunks_.pop_back();
        return c;
    }
    void give(void* c) {
        if (chunks_.size() < kKeep) {
            chunks_.push_back(c);
        } else {
            std::free(c);
        }
    }

private:
    std::vector<void*> chunks_;
};

SpareChunks& spare_chunks() {
    thread_local SpareChunks spare;
    return spare;
}

class ParseArena {
public:
    ParseArena() : prev_(current_arena), spare_(spare_chunks()) { current_arena = this; }
    ~ParseArena() {
        current_arena = prev_;
        for (void* c : chunks_) spare_.give(c);
        for (void* b : large_) std::free(b);
    }
    ParseArena(const ParseArena&) = delete;
    ParseArena& operator=(const ParseArena&) = delete;

    static cmark_mem* allocator() {
        static cmark_mem mem{&ParseArena::s_calloc, &ParseArena::s_realloc, &ParseArena::s_free};
        return &mem;
    }

private:
    static constexpr std::size_t kAlign = 16;
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    static constexpr std::size_t kSmallMax = 512;          // exact classes of 16 bytes up to here
    static constexpr std::size_t kPooledMax = kChunk / 8;  // power-of-two classes up to here
    static constexpr std::size_t kLarge = ~std::size_t{0};

    struct Header {
        std::size_t size;  // bytes asked for
        std::size_t cls;   // size class, or kLarge
    };
    static_assert(sizeof(Header) == kAlign);

    static std::size_t class_of(std::size_t size) {
        if (size <= kSmallMax) return size <= kAlign ? 0 : (size - 1) / kAlign;
        std::size_t cls = kSmallMax / kAlign, cap = kSmallMax * 2;
        while (cap < size) {
            cap *= 2;
            ++cls;
        }
        return cls;
    }
    static std::size_t capacity_of(std::size_t cls) {
        if (cls < kSmallMax / kAlign) return (cls + 1) * kAlign;
        return kSmallMax << (cls - kSmallMax / kAlign + 1);
    }
    static constexpr std::size_t kClasses = 64;

    static Header* header(void* p) { return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header)); }

    void* allocate(std::size_t size) {
        if (size > (std::size_t{1} << 40)) std::abort();  // cmark's own allocator aborts too
        if (size > kPooledMax) {
            auto* h = static_cast<Header*>(std::malloc(sizeof(Header) + size));
            if (!h) std::abort();
            h->size = size;
            h->cls = kLarge;
            large_.insert(h);
            return h + 1;
        }
        const std::size_t cls = class_of(size);
        if (void* p = free_[cls]) {
            std::memcpy(&free_[cls], p, sizeof(void*));
            header(p)->size = size;
            return p;
        }
        const std::size_t need = sizeof(Header) + capacity_of(cls);
        if (need > left_) {
            cur_ = static_cast<char*>(spare_.take());
            if (!cur_) cur_ = static_cast<char*>(std::malloc(kChunk));
            if (!cur_) std::abort();
            chunks_.push_back(cur_);
            left_ = kChunk;
        }
        auto* h = reinterpret_cast<Header*>(cur_);
        cur_ += need;
        left_ -= need;
        h->size = size;
        h->cls = cls;
        return h + 1;
    }

    void release(void* p) {
        if (!p) return;
        Header* h = header(p);
        if (h->cls == kLarge) {
            large_.erase(h);
            std::free(h);
            return;
        }
        std::memcpy(p, &free_[h->cls], sizeof(void*));
        free_[h->cls] = p;
    }

    void* reallocate(void* p, std::size_t size) {
        if (!p) return allocate(size);
        Header* h = header(p);
        if (h->cls != kLarge && size <= capacity_of(h->cls)) {
            h->size = size;
            return p;
        }
        void* q = allocate(size);
        std::memcpy(q, p, std::min(h->size, size));
        release(p);
        return q;
    }

    static void* s_calloc(std::size_t n, std::size_t size) {
        if (size && n > SIZE_MAX / size) std::abort();
        void* p = current_arena->allocate(n * size);
        std::memset(p, 0, n * size);
        return p;
    }
    static void* s_realloc(void* p, std::size_t size) { return current_arena->reallocate(p, size); }
    static void s_free(void* p) { current_arena->release(p); }

    ParseArena* prev_;
    SpareChunks& spare_;
    std::vector<void*> chunks_;
    std::unordered_set<void*> large_;
    std::array<void*, kClasses> free_{};
    char* cur_ = nullptr;
    std::size_t left_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Heading text

struct RawHeading {
    int level;
    long start;  // 0-based parser line of the first text line
    std::string title;
};

std::string atx_title(const LineMap& m, cmark_node* node, int level,
                      std::vector<Container>& cs) {
    std::string_view line = m.parser_line(cmark_node_get_start_line(node));
    std::size_t pos = static_cast<std::size_t>(std::max(1, cmark_node_get_start_column(node)) - 1);
    if (pos >= line.size() || line[pos] != '#') {
        // Not where the parser said: look for the opening run after the container markers.
        pos = strip_containers(cmark_node_get_start_line(node), cs, cs.size(), m).pos;
        while (pos < line.size() && line[pos] != '#') ++pos;
    }
    for (int k = 0; k < level && pos < line.size() && line[pos] == '#'; ++k) ++pos;
    std::string_view rest = line.substr(std::min(pos, line.size()));
    // Optional closing run of '#': only after a space or tab, or making up the whole content.
    std::size_t e = rest.size();
    while (e > 0 && is_blank_char(rest[e - 1])) --e;
    std::size_t h = e;
    while (h > 0 && rest[h - 1] == '#') --h;
    if (h < e && (h == 0 || is_blank_char(rest[h - 1]))) e = h;
    return std::string(trim_space(rest.substr(0, e)));
}

bool parses_to_nothing(const std::string& text) {
    cmark_node* doc = cmark_parse_document(text.data(), text.size(), CMARK_OPT_DEFAULT);
    if (!doc) return false;
    bool empty = cmark_node_first_child(doc) == nullptr;
    cmark_node_free(doc);
    return empty;
}

// A setext heading: the parser's start line may be that of link reference definitions that
// preceded the text, and its end line is the line after the underline unless the heading
// ends the document. `next_start` is the start line of the next block (0 if none).
RawHeading setext_heading(const LineMap& m, cmark_node* node, int level,
                          std::vector<Container>& cs, long next_start) {
    const long n = static_cast<long>(m.parser_lines());
    const long s = cmark_node_get_start_line(node);
    const long el = cmark_node_get_end_line(node);
    const std::size_t depth = cs.size();
    auto text_of = [&](long ln) {
        std::string_view line = m.parser_line(ln);
        Strip st = strip_containers(ln, cs, depth, m);
        return line.substr(std::min(st.pos, line.size()));
    };
    long u;
    if (el < n) {
        u = el - 1;
    } else if (next_start == n) {
        u = n - 1;
    } else {
        std::string_view line = m.parser_line(n);
        Strip st = strip_containers(n, cs, depth, m);
        u = (st.all && is_setext_underline(line.substr(std::min(st.pos, line.size())))) ? n : n - 1;
    }
    if (u <= s) u = std::min(n, s + 1);

    // Skip leading link reference definitions. Over the whole rest of the text, the largest
    // cut whose lines the parser reads as nothing but definitions is the first text line.
    // Long runs of definitions are taken a window at a time; a cut inside the rest is only
    // trusted before a line that opens another definition, since a shorter text can end a
    // definition early (a title on the next line).
    auto opens_definition = [&](long ln) {
        std::string_view t = text_of(ln);
        std::size_t i = 0;
        while (i < t.size() && is_blank_char(t[i])) ++i;
        return i < t.size() && t[i] == '[';
    };
    auto only_definitions = [&](long from, long to) {  // parser lines [from, to)
        std::string probe;
        for (long ln = from; ln < to; ++ln) {
            probe += text_of(ln);
            probe += '\n';
        }
        return parses_to_nothing(probe);
    };
    constexpr long kWindow = 32;
    long first = s;
    while (first < u - 1 && opens_definition(first)) {
        const long top = std::min(u - 1, first + kWindow);
        long found = 0;
        if (top < u - 1) {
            for (long k = top; k > first && !found; --k)
                if (opens_definition(k) && only_definitions(first, k)) found = k;
            if (found) {
                first = found;
                continue;
            }
        }
        // The rest fits the window, or one definition is longer than it: take the largest
        // cut within it.
        for (long k = top; k > first && !found; --k)
            if (only_definitions(first, k)) found = k;
        if (found) first = found;
        break;
    }

    std::string joined;
    for (long ln = first; ln < u; ++ln) {
        if (ln > first) joined += '\n';
        joined += text_of(ln);
    }
    return {level, first - 1, std::string(trim_space(joined))};
}

// Front matter at the top of the file is data, not Markdown: the parser gets it as blank lines
// (spaces, so that every line keeps its number and its bytes their offsets), and its lines are
// never a heading, a thematic break or the opening of a fence that runs on.
std::string without_front_matter(const LineMap& m) {
    std::vector<std::string> head;
    for (long n = 1; n <= static_cast<long>(std::min<std::size_t>(m.parser_lines(), 51)); ++n)
        head.emplace_back(m.parser_line(n));
    const int fm = find_frontmatter_end(head);
    if (fm == 0) return {};
    std::string masked(m.text);
    const std::size_t from = m.bom ? 3 : 0;
    const std::size_t to = static_cast<std::size_t>(fm) < m.lf_begin.size() ? m.lf_begin[fm] : masked.size();
    for (std::size_t i = from; i < to; ++i)
        if (masked[i] != '\n') masked[i] = ' ';
    return masked;
}

std::vector<RawHeading> collect_headings(const LineMap& m) {
    std::vector<RawHeading> out;
    ParseArena arena;  // owns the tree and everything the parser allocates
    cmark_node* doc = nullptr;
    {
        const std::string masked = without_front_matter(m);
        const std::string_view feed = masked.empty() ? m.text : std::string_view(masked);
        cmark_parser* parser = cmark_parser_new_with_mem(CMARK_OPT_DEFAULT, ParseArena::allocator());
        cmark_parser_feed(parser, feed.data(), feed.size());
        doc = cmark_parser_finish(parser);
        cmark_parser_free(parser);
    }
    if (!doc) throw std::runtime_error("Markdown parser failed");
    std::unique_ptr<cmark_iter, void (*)(cmark_iter*)> it(cmark_iter_new(doc), cmark_iter_free);
    std::vector<Container> cs;
    // A setext heading waits for the start line of the next block to settle its underline.
    cmark_node* pending = nullptr;
    int pending_level = 0;
    std::vector<Container> pending_cs;
    auto flush = [&](long next_start) {
        if (!pending) return;
        out.push_back(setext_heading(m, pending, pending_level, pending_cs, next_start));
        pending = nullptr;
    };
    cmark_event_type ev;
    while ((ev = cmark_iter_next(it.get())) != CMARK_EVENT_DONE) {
        cmark_node* node = cmark_iter_get_node(it.get());
        cmark_node_type type = cmark_node_get_type(node);
        if (ev == CMARK_EVENT_EXIT) {
            if ((type == CMARK_NODE_BLOCK_QUOTE || type == CMARK_NODE_ITEM) && !cs.empty()) cs.pop_back();
            continue;
        }
        if (type == CMARK_NODE_DOCUMENT) continue;
        flush(cmark_node_get_start_line(node));
        switch (type) {
            case CMARK_NODE_BLOCK_QUOTE:
                cs.push_back({true, node, -1});
                break;
            case CMARK_NODE_ITEM:
                cs.push_back({false, node, -1});
                break;
            case CMARK_NODE_LIST:
                break;
            case CMARK_NODE_HEADING: {
                int level = cmark_node_get_heading_level(node);
                if (level >= 1 && level <= 4) {
                    std::string_view line = m.parser_line(cmark_node_get_start_line(node));
                    std::size_t col = static_cast<std::size_t>(std::max(1, cmark_node_get_start_column(node)) - 1);
                    bool atx = col < line.size() && line[col] == '#';
                    // An ATX heading is one line; a line starting with '#' that is a setext
                    // heading's text is caught by the end line.
                    if (atx && cmark_node_get_end_line(node) == cmark_node_get_start_line(node)) {
                        out.push_back({level, cmark_node_get_start_line(node) - 1,
                                       atx_title(m, node, level, cs)});
                    } else {
                        pending = node;
                        pending_level = level;
                        pending_cs = cs;
                    }
                }
                cmark_iter_reset(it.get(), node, CMARK_EVENT_EXIT);
                break;
            }
            default:
                // Leaf blocks: their inline content is of no interest.
                cmark_iter_reset(it.get(), node, CMARK_EVENT_EXIT);
                break;
        }
    }
    flush(0);
    return out;
}

// The whole file, refusing one over MAX_FILE_SIZE bytes before reading it (the size of the
// opened file, so symbolic links are followed).
std::string read_limited(const std::filesystem::path& file_path) {
    // Only a regular file, opened without blocking (a FIFO would hang the reader).
    struct stat sb {};
    const detail::FileHandle handle = detail::open_regular_for_reading(file_path, &sb);
    const int fd = handle.get();
    if (static_cast<std::uintmax_t>(sb.st_size) > MAX_FILE_SIZE) throw FileTooLargeError();
    std::string data;
    // One byte more than allowed shows a file that grew after the size check.
    std::size_t cap = S_ISREG(sb.st_mode) ? static_cast<std::size_t>(sb.st_size) + 1 : 65536;
    data.resize(std::min<std::size_t>(cap, MAX_FILE_SIZE + 1));
    std::size_t got = 0;
    for (;;) {
        if (got == data.size()) {
            if (data.size() > MAX_FILE_SIZE) break;
            data.resize(std::min<std::size_t>(data.size() * 2, MAX_FILE_SIZE + 1));
        }
        ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::filesystem::filesystem_error("Read error", file_path,
                                                    std::error_code(errno, std::generic_category()));
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (got > MAX_FILE_SIZE) throw FileTooLargeError();
    data.resize(got);
    return data;
}

// Strict UTF-8 (the error names the byte offset in the file), CRLF and CR to LF, and the
// line maps of the resulting text. `content` is changed in place; the map points into it.
LineMap check_text(std::string& content, const std::filesystem::path& file_path) {
    detail::validate_utf8(content, file_path.string());
    if (std::memchr(content.data(), '\r', content.size()) != nullptr)
        content = detail::normalize_newlines(content);
    return build_line_map(content);
}

std::vector<std::string> make_uuids(std::size_t n) {
    std::vector<unsigned char> raw(16 * n);
    if (n && RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw std::runtime_error("No random bytes available for block identifiers");
    std::vector<std::string> out;
    out.reserve(n);
    static const char* hex = "0123456789abcdef";
    for (std::size_t k = 0; k < n; ++k) {
        unsigned char* b = raw.data() + 16 * k;
        b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
        b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
        std::string s;
        s.reserve(36);
        for (int i = 0; i < 16; ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
            s.push_back(hex[b[i] >> 4]);
            s.push_back(hex[b[i] & 0xF]);
        }
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

namespace {

// The blocks of `content`, the bytes of `file_path`; `path` is the blocks' file_path.
std::vector<Block> blocks_of_text(std::string& content, const std::filesystem::path& file_path,
                                  const std::filesystem::path& path, std::vector<ByteRange>* ranges = nullptr) {
    // Without CR the model's line offsets are the file's byte offsets.
    const bool raw_offsets = std::memchr(content.data(), '\r', content.size()) == nullptr;
    const LineMap m = check_text(content, file_path);
    const std::size_t nlines = m.begin.size();
    if (nlines > MAX_FILE_LINES) throw FileTooLargeError();

    std::vector<RawHeading> heads = collect_headings(m);
    if (heads.empty()) return {};

    // Ends: a heading ends before the next heading of the same or a higher rank.
    std::vector<long> ends(heads.size(), static_cast<long>(nlines) - 1);
    std::vector<std::size_t> open;
    for (std::size_t k = 0; k < heads.size(); ++k) {
        while (!open.empty() && heads[open.back()].level >= heads[k].level) {
            ends[open.back()] = heads[k].start - 1;
            open.pop_back();
        }
        open.push_back(k);
    }

    std::vector<std::string> ids = make_uuids(heads.size());
    detail::Sha256 sha;  // one context for every block's hash
    std::vector<Block> blocks;
    blocks.reserve(heads.size());
    for (std::size_t k = 0; k < heads.size(); ++k) {
        RawHeading& h = heads[k];
        long end = std::max(ends[k], h.start);
        Block b;
        b.uuid = std::move(ids[k]);
        b.file_path = path;
        b.start_line = static_cast<int>(h.start + 1);
        b.end_line = static_cast<int>(end + 1);
        b.heading_path = _slug(h.title);
        b.title = std::move(h.title);
        b.level = h.level;
        b.content_hash = hash_line_range(sha, m, static_cast<std::size_t>(h.start), static_cast<std::size_t>(end));
        blocks.push_back(std::move(b));
        if (ranges) {
            ByteRange r;
            const auto first = static_cast<std::size_t>(h.start), last = static_cast<std::size_t>(end);
            if (raw_offsets && last < m.begin.size()) r = {m.begin[first], m.end[last]};
            ranges->push_back(r);
        }
    }
    return blocks;
}

}  // namespace

std::vector<Block> parse_markdown_to_blocks(const std::filesystem::path& file_path) {
    std::string content = read_limited(file_path);
    return blocks_of_text(content, file_path, detail::file_key(file_path));
}

ParsedFile parse_markdown_file(const std::filesystem::path& file_key) {
    return parse_markdown_bytes(read_limited(file_key), file_key);
}

ParsedFile parse_markdown_bytes(std::string content, const std::filesystem::path& file_key) {
    if (content.size() > MAX_FILE_SIZE) throw FileTooLargeError();
    ParsedFile out;
    out.file_hash = detail::sha256_hex(content);  // of the raw bytes, before any newline change
    out.blocks = blocks_of_text(content, file_key, file_key, &out.byte_ranges);
    out.byte_ranges.resize(out.blocks.size());
    out.text = std::move(content);
    return out;
}

namespace {

// A line at `at` that opens an ATX heading in its first column. Whatever was open before it
// (a paragraph, a list, a block quote) it closes, as it can neither continue a container nor
// be a lazy line, and after it nothing is left open: the parse from there on depends on the
// text that follows alone.
bool opens_atx_in_first_column(std::string_view text, std::size_t at) {
    std::size_t i = at;
    while (i < text.size() && text[i] == '#' && i - at < 7) ++i;
    const std::size_t run = i - at;
    if (run < 1 || run > 6) return false;
    return i == text.size() || text[i] == ' ' || text[i] == '\t' || text[i] == '\n';
}

}  // namespace

std::optional<ReplacedBlocks> reparse_replaced(std::string_view before, std::string_view after,
                                               const std::vector<PlacedBlock>& region,
                                               const std::optional<PlacedBlock>& next,
                                               const std::vector<PlacedBlock>& holders) {
    if (region.empty()) return std::nullopt;
    // Byte ranges count the lines only in a text without CR.
    if (std::memchr(before.data(), '\r', before.size()) || std::memchr(after.data(), '\r', after.size()))
        return std::nullopt;
    for (const PlacedBlock& b : region)
        if (!b.bytes.known()) return std::nullopt;
    const auto r0 = static_cast<std::size_t>(region.front().bytes.begin);
    const auto r1 = static_cast<std::size_t>(region.front().bytes.end);
    if (r1 > before.size() || after.size() + r1 < before.size() + r0) return std::nullopt;
    const std::size_t tail = before.size() - r1;  // the bytes after the region, its line end first
    const std::size_t new_r1 = after.size() - tail;

    // Only the region changed.
    if (before.substr(0, r0) != after.substr(0, r0) || before.substr(r1) != after.substr(new_r1))
        return std::nullopt;
    // Before the region the parse is at the top level with nothing open, in both texts.
    if (!opens_atx_in_first_column(before, r0) || !opens_atx_in_first_column(after, r0)) return std::nullopt;

    // The region and the next heading's line: if that still opens the same heading on the
    // line after the region, nothing the region left open reaches beyond it, and after it
    // (an ATX heading in the first column) the rest of the file parses as before.
    std::size_t piece_end = after.size();
    if (next) {
        if (!next->bytes.known()) return std::nullopt;
        const auto ns = static_cast<std::size_t>(next->bytes.begin);
        if (ns != r1 + 1 || ns >= before.size() || before[r1] != '\n' || !opens_atx_in_first_column(before, ns))
            return std::nullopt;
        const std::size_t ne = std::min(before.find('\n', ns), before.size());
        piece_end = ne + new_r1 - r1;
    } else if (tail > 1 || (tail == 1 && before[r1] != '\n')) {
        return std::nullopt;  // the region is not the end of the file
    }
    std::string piece(after.substr(r0, piece_end - r0));
    std::vector<ByteRange> ranges;
    const std::vector<Block> parsed = blocks_of_text(piece, {}, {}, &ranges);

    if (parsed.size() != region.size() + (next ? 1 : 0) || ranges.size() != parsed.size()) return std::nullopt;
    const auto new_lines = static_cast<int>(std::count(after.begin() + static_cast<std::ptrdiff_t>(r0),
                                                       after.begin() + static_cast<std::ptrdiff_t>(new_r1), '\n')) + 1;
    // The region's first block spans it: in `after` it must end where the unchanged rest
    // begins, as it did in `before` (a final line feed gained or lost moves the boundary).
    if (parsed.front().start_line != 1 || !ranges.front().known() ||
        r0 + static_cast<std::size_t>(ranges.front().end) != new_r1)
        return std::nullopt;
    if (next && (parsed.back().start_line != new_lines + 1 || parsed.back().level != next->block.level ||
                 parsed.back().title != next->block.title))
        return std::nullopt;

    const int first = region.front().block.start_line;
    ReplacedBlocks out;
    out.region.reserve(region.size());
    for (std::size_t i = 0; i < region.size(); ++i) {
        const Block& p = parsed[i];
        if (p.level != region[i].block.level || p.title != region[i].block.title || !ranges[i].known())
            return std::nullopt;
        PlacedBlock b = region[i];
        b.block.start_line = first + p.start_line - 1;
        b.block.end_line = first + p.end_line - 1;
        b.block.content_hash = p.content_hash;
        b.bytes = {static_cast<std::int64_t>(r0) + ranges[i].begin, static_cast<std::int64_t>(r0) + ranges[i].end};
        out.region.push_back(std::move(b));
    }

    // The sections holding the region end where they ended, moved by what the region gained.
    const int dl = out.region.front().block.end_line - region.front().block.end_line;
    const auto db = static_cast<std::int64_t>(after.size()) - static_cast<std::int64_t>(before.size());
    for (const PlacedBlock& h : holders) {
        if (!h.bytes.known() || h.bytes.begin > static_cast<std::int64_t>(r0) ||
            h.bytes.end < static_cast<std::int64_t>(r1) || h.bytes.end + db > static_cast<std::int64_t>(after.size()))
            return std::nullopt;
        PlacedBlock b = h;
        b.block.end_line += dl;
        b.bytes.end += db;
        const auto begin = static_cast<std::size_t>(b.bytes.begin);
        b.block.content_hash = detail::sha256_hex(after.substr(begin, static_cast<std::size_t>(b.bytes.end) - begin));
        out.holders.push_back(std::move(b));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Heading utilities

int find_frontmatter_end(const std::vector<std::string>& lines) {
    if (lines.empty()) return 0;
    const std::string_view open = trim_space(lines[0]);
    if (open != "---" && open != "+++") return 0;
    const std::size_t limit = std::min<std::size_t>(lines.size(), 50);
    for (std::size_t i = 1; i < limit; ++i) {
        const std::string_view close = trim_space(lines[i]);
        // YAML closes with --- or ..., TOML with +++.
        if (open == "---" ? (close == "---" || close == "...") : close == "+++") return static_cast<int>(i + 1);
    }
    return 0;
}

std::vector<Block> get_descendant_blocks(const std::vector<Block>& blocks, const Block& target_block) {
    auto it = std::find_if(blocks.begin(), blocks.end(),
                           [&](const Block& b) { return b.uuid == target_block.uuid; });
    std::vector<Block> out;
    if (it == blocks.end()) return out;
    for (++it; it != blocks.end() && it->level > target_block.level; ++it) out.push_back(*it);
    return out;
}

std::vector<TocEntry> get_toc_entries(const std::vector<Block>& blocks, int max_depth) {
    std::vector<TocEntry> out;
    std::unordered_set<std::string> seen;
    for (const Block& b : blocks) {
        if (b.level > max_depth) continue;
        std::string slug = compute_github_slug(b.title, &seen);
        seen.insert(slug);
        out.push_back({b, std::move(slug)});
    }
    return out;
}

std::optional<std::string> check_level_conflict(int source_level, int target_level,
                                                std::string_view mode) {
    if (source_level > target_level) return std::nullopt;
    const std::string s = std::to_string(source_level), t = std::to_string(target_level);
    if (mode == "before" || mode == "after") {
        // Two sections of one level in a row is the most ordinary outline there is.
        if (source_level == target_level) return std::nullopt;
        return "Level conflict: moving h" + s + " " + std::string(mode) + " h" + t +
               " would create invalid hierarchy";
    }
    if (mode == "as_first_child" || mode == "as_last_child") {
        return "Level conflict: child heading (h" + s + ") must be deeper than parent (h" + t + ")";
    }
    return std::nullopt;
}

}  // namespace quillbox
