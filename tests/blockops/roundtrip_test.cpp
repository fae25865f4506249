// Faithful edits: reading a block and sending it back changes nothing, changing one word
// changes one line, and line ends, the final line feed and blank lines stay as they were.

#include <SQLiteCpp/SQLiteCpp.h>

#include <random>

#include "fixture.h"


using namespace quillbox;
using qbtest::Project;
using qbtest::read_file;
using qbtest::write_file;

namespace {

struct NoCache : ReadCache {
    CacheResult check_and_read(std::string_view) override { return {"miss", std::nullopt, "", 0}; }
    CacheResult check(std::string_view) override { return {"miss", std::nullopt, "", 0}; }
};

// The text between the two --- lines of a block read.
std::string content_of(const std::string& reply) {
    const std::size_t a = reply.find("\n---\n");
    EXPECT_NE(a, std::string::npos) << reply;
    if (a == std::string::npos) return {};
    EXPECT_EQ(reply.substr(reply.size() - 4), "\n---");
    return reply.substr(a + 5, reply.size() - 4 - (a + 5));
}

// The raw lines of a text, each with its line end (LF, CRLF or CR).
std::vector<std::string> raw_lines(std::string_view s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' || s[i] == '\r') {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
            out.emplace_back(s.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    if (start < s.size()) out.emplace_back(s.substr(start));
    return out;
}

// Lines that differ between two texts of the same line count; -1 when the counts differ.
int lines_differing(std::string_view a, std::string_view b) {
    auto x = raw_lines(a), y = raw_lines(b);
    if (x.size() != y.size()) return -1;
    int n = 0;
    for (std::size_t i = 0; i < x.size(); ++i) n += x[i] != y[i];
    return n;
}

long long stats_rows(const std::filesystem::path& db) {
    SQLite::Database d(db.string());
    return d.execAndGet("SELECT COUNT(*) FROM stats").getInt64();
}

}  // namespace

// A block that ends with a blank line before the next heading: the text read, sent back, is a
// no-op, and with one word changed only that line changes.
TEST_F(Project, BlankLineBeforeTheNextHeadingSurvivesARoundTrip) {
    const std::string doc = "# A\n\nSome text here.\n\n## B\n\nMore text.\n\n\n# C\nend\n";
    const auto p = md("blank.md", doc);
    session->cache = std::make_shared<NoCache>();
    for (const char* title : {"A", "B", "C"}) {
        const std::string id = id_of(p, title);
        const std::string text = content_of(do_read_block(*session, p, id));
        EXPECT_EQ(do_replace_block(*session, p, id, text),
                  "✅ " + get_message("replace_idempotent", {{"file_path", p}}))
            << title;
        // The same text with a trailing line feed, or without its trailing blank lines.
        EXPECT_EQ(do_replace_block(*session, p, id, text + "\n").rfind("✅ Block content unchanged", 0), 0u);
        std::string trimmed = text;
        while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
        EXPECT_EQ(do_replace_block(*session, p, id, trimmed).rfind("✅ Block content unchanged", 0), 0u);
    }
    EXPECT_EQ(read_file(p), doc);
    EXPECT_EQ(backup_count(), 0u);
    EXPECT_EQ(stats_rows(root / "index.db"), 0);

    const std::string id = id_of(p, "B");
    std::string text = content_of(do_read_block(*session, p, id));
    text.replace(text.find("More"), 4, "Less");
    do_replace_block(*session, p, id, text);
    EXPECT_EQ(read_file(p), "# A\n\nSome text here.\n\n## B\n\nLess text.\n\n\n# C\nend\n");
    EXPECT_EQ(stats_rows(root / "index.db"), 1);

    // Other numbers of closing line feeds set the blank lines: n line feeds, n - 1 lines.
    do_replace_block(*session, p, id, "## B\n\nLess text.\n\n\n\n");
    EXPECT_EQ(read_file(p), "# A\n\nSome text here.\n\n## B\n\nLess text.\n\n\n\n# C\nend\n");
    do_replace_block(*session, p, id, "## B\n\nLess text.\n\n");
    EXPECT_EQ(read_file(p), "# A\n\nSome text here.\n\n## B\n\nLess text.\n\n# C\nend\n");
    do_replace_block(*session, p, id_of(p, "C"), "# C\n");
    EXPECT_EQ(read_file(p), "# A\n\nSome text here.\n\n## B\n\nLess text.\n\n# C\n");
    // A block without blank lines at its end gets none from a closing line feed.
    do_replace_block(*session, p, id_of(p, "C"), "# C\nnew\n");
    EXPECT_EQ(read_file(p), "# A\n\nSome text here.\n\n## B\n\nLess text.\n\n# C\nnew\n");
}

// A one-word change in a CRLF file changes one line and keeps CRLF; a file without a final
// line feed keeps it missing; mixed files keep each untouched line's end, and a new line takes
// the most common one.
TEST_F(Project, LineEndsAndTheFinalLineFeedAreKept) {
    struct Case {
        std::string doc, appended;
    };
    const Case cases[] = {
        {"# Title\r\n\r\nFirst line.\r\nSecond line.\r\n\r\n## Part\r\n\r\nPart text.\r\n",
         "Part text.\r\nAdded.\r\n"},
        {"# Title\n\nFirst line.\nSecond line.\n\n## Part\n\nPart text.", "Part text.\nAdded."},
        {"# Title\r\n\r\nFirst line.\nSecond line.\r\n\r\n## Part\n\nPart text.\r\n",
         "Part text.\r\nAdded.\r\n"},
        {"# Title\rFirst line.\rSecond line.\r## Part\rPart text.\r", "Part text.\rAdded.\r"},
    };
    session->cache = std::make_shared<NoCache>();
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.doc));
        const auto p = md("ends" + std::to_string(k++) + ".md", c.doc);
        const std::string id = id_of(p, "Title");
        std::string text = content_of(do_read_block(*session, p, id));
        EXPECT_EQ(text.find('\r'), std::string::npos);
        text.replace(text.find("Second"), 6, "Other");
        do_replace_block(*session, p, id, text);
        std::string want = c.doc;
        want.replace(want.find("Second"), 6, "Other");
        EXPECT_EQ(read_file(p), want);
        EXPECT_EQ(lines_differing(c.doc, read_file(p)), 1);

        const std::string part = id_of(p, "Part");
        do_replace_block(*session, p, part,
                         content_of(do_read_block(*session, p, part)) + "\nAdded.");
        EXPECT_EQ(read_file(p), want.substr(0, want.find("Part text.")) + c.appended);
    }
}

// A form feed (or VT, U+001C..U+001E, U+0085, U+2028, U+2029) is a character inside a line:
// reading and replacing a block never takes or drops a line of its neighbour.
TEST_F(Project, ExoticCharactersStayInsideTheirLines) {
    const std::string seps[] = {"\f", "\v", "\x1c", "\x1d", "\x1e", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"};
    session->cache = std::make_shared<NoCache>();
    int k = 0;
    for (const auto& sep : seps) {
        const std::string doc = "# A\nx" + sep + "y\n# B\nb\n";
        const auto p = md("ff" + std::to_string(k++) + ".md", doc);
        const std::string b = id_of(p, "B");
        EXPECT_EQ(content_of(do_read_block(*session, p, b)), "# B\nb");
        do_replace_block(*session, p, b, "# B\nnew");
        EXPECT_EQ(read_file(p), "# A\nx" + sep + "y\n# B\nnew\n");
        // Editing the line that holds the character keeps it a character.
        const std::string a = id_of(p, "A");
        EXPECT_EQ(content_of(do_read_block(*session, p, a)), "# A\nx" + sep + "y");
        do_replace_block(*session, p, a, "# A\nx" + sep + "z");
        EXPECT_EQ(read_file(p), "# A\nx" + sep + "z\n# B\nnew\n");
    }
}

// Writes that would take the file past the limits are refused before anything is written.
TEST_F(Project, WritesOverTheSizeLimitsAreRefused) {
    const std::string doc = "# A\nsome x here\n## B\nb\n";
    const auto p = md("big.md", doc);
    const std::string a = id_of(p, "A");
    EXPECT_THROW(do_replace_block(*session, p, a,
                                  "# A\n" + std::string(MAX_FILE_SIZE + 1, 'x')),
                 FileTooLargeError);
    std::string many = "# A";
    for (std::size_t i = 0; i < MAX_FILE_LINES; ++i) many += "\nl";
    EXPECT_THROW(do_replace_block(*session, p, a, many), FileTooLargeError);
    EXPECT_EQ(read_file(p), doc);
    EXPECT_EQ(backup_count(), 0u);

    // A natural-language edit that would grow the file too far says so for that section.
    const std::string near = "# A\n" + std::string(MAX_FILE_SIZE / 2, 'x') + "\n## B\nb\n";
    const auto e = md("edit.md", near);
    const std::string reply = do_md_edit(*session, e.string(), "change x to yyy in A");
    EXPECT_NE(reply.find(get_message("file_too_large")), std::string::npos) << reply.substr(0, 300);
    EXPECT_EQ(read_file(e), near);

    // A level change that adds a number sign to a file at the byte limit.
    const std::string full = "# A\n" + std::string(MAX_FILE_SIZE - 10, 'z') + "\n## B\n";
    ASSERT_EQ(full.size(), MAX_FILE_SIZE);
    const auto l = md("level.md", full);
    EXPECT_THROW(do_adjust_level(*session, id_of(l, "A"), 1, false), FileTooLargeError);
    EXPECT_EQ(read_file(l), full);
    EXPECT_EQ(backup_count(), 0u);
}

// ---- Generated documents ------------------------------------------------------------------

namespace {

// Characters that are ordinary characters inside a line, whatever other conventions say.
const char* const kInlineSeparators[] = {"\f", "\v", "\x1c", "\x1d", "\x1e",
                                         "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"};

struct DocGen {
    std::mt19937 rng;
    bool exotic;

    std::size_t pick(std::size_t n) { return rng() % n; }
    bool chance(int percent) { return static_cast<int>(rng() % 100) < percent; }

    std::string words(std::size_t lo, std::size_t hi) {
        static const char* const vocab[] = {"alpha", "bravo", "delta", "install", "package", "server",
                                            "option", "value", "markdown", "section", "quill", "render",
                                            "token", "build", "index", "config", "über", "数据", "naïve",
                                            "path", "block", "editor"};
        std::string out;
        const std::size_t n = lo + pick(hi - lo + 1);
        for (std::size_t i = 0; i < n; ++i) {
            if (i) out += chance(90) ? " " : "  ";
            out += vocab[pick(std::size(vocab))];
            if (exotic && chance(6)) out += kInlineSeparators[pick(std::size(kInlineSeparators))];
        }
        if (chance(10)) out += ' ';  // trailing white space is part of the line
        return out;
    }

    std::vector<std::string> lines() {
        std::vector<std::string> out;
        if (chance(25)) {
            out.insert(out.end(), {"---", "title: " + words(1, 2), "tags: [a, b]", "---"});
            if (chance(70)) out.emplace_back();
        }
        if (chance(30)) out.push_back(words(3, 8));  // text before the first heading
        const std::size_t sections = 1 + pick(6);
        for (std::size_t s = 0; s < sections; ++s) {
            const int level = 1 + static_cast<int>(pick(4));
            const std::string title = words(1, 3) + " " + std::to_string(s);
            if (level <= 2 && chance(20) && (out.empty() || out.back().empty())) {
                out.push_back(title);
                out.push_back(level == 1 ? "=====" : "-----");
            } else {
                out.push_back(std::string(static_cast<std::size_t>(level), '#') + " " + title);
            }
            if (chance(60)) out.emplace_back();
            for (std::size_t k = pick(4); k > 0; --k) {
                switch (pick(5)) {
                    case 0: out.insert(out.end(), {"```", "# not a heading " + words(1, 2), "```"}); break;
                    case 1: out.push_back("- " + words(2, 5)); out.push_back("- " + words(2, 5)); break;
                    case 2: out.push_back("> " + words(2, 6)); break;
                    default: out.push_back(words(3, 10)); break;
                }
                if (chance(50)) out.emplace_back();
            }
            for (std::size_t k = pick(4); k > 0; --k) out.push_back(chance(85) ? "" : "  ");
        }
        return out;
    }

    // mode 0 LF, 1 CRLF, 2 mixed, 3 CR
    std::string document(int mode, bool final_end) {
        const auto ls = lines();
        std::string out;
        for (std::size_t i = 0; i < ls.size(); ++i) {
            out += ls[i];
            if (i + 1 == ls.size() && !final_end) break;
            if (mode == 0) out += "\n";
            else if (mode == 1) out += "\r\n";
            else if (mode == 3) out += "\r";
            else out += chance(60) ? "\n" : chance(80) ? "\r\n" : "\r";
        }
        return out;
    }
};

// Positions of the words of at least three ASCII letters in `s`.
std::vector<std::pair<std::size_t, std::size_t>> word_spans(std::string_view s) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t j = i;
        while (j < s.size() && s[j] >= 'a' && s[j] <= 'z') ++j;
        if (j - i >= 3) out.emplace_back(i, j - i);
        i = j == i ? i + 1 : j;
    }
    return out;
}

void expect_index_matches_parse(quillbox::Indexer& indexer, const std::vector<Block>& listed,
                                const std::filesystem::path& p) {
    const auto parsed = parse_markdown_to_blocks(p);
    ASSERT_EQ(listed.size(), parsed.size());
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        EXPECT_EQ(listed[i].start_line, parsed[i].start_line) << i;
        EXPECT_EQ(listed[i].end_line, parsed[i].end_line) << i;
        EXPECT_EQ(listed[i].title, parsed[i].title) << i;
        EXPECT_EQ(listed[i].level, parsed[i].level) << i;
        EXPECT_EQ(listed[i].content_hash, parsed[i].content_hash) << i;
        EXPECT_EQ(indexer.get_block(listed[i].uuid)->content_hash, parsed[i].content_hash) << i;
    }
}

}  // namespace

TEST_F(Project, GeneratedDocumentsRoundTripExactly) {
    session->cache = std::make_shared<NoCache>();
    int files = 0, checked = 0;
    for (unsigned seed = 1; seed <= 32; ++seed) {
        DocGen gen{std::mt19937(seed), seed % 2 == 0};
        const std::string doc = gen.document(static_cast<int>(seed % 4), seed % 3 != 0);
        const std::size_t nblocks = parse_markdown_to_blocks(md("probe.md", doc)).size();
        for (std::size_t bi = 0; bi < nblocks; ++bi) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " block " + std::to_string(bi) + ": " +
                         ::testing::PrintToString(doc));
            const auto p = md("gen" + std::to_string(files++) + ".md", doc);
            const Block b = list(p)[bi];

            // Sent back unchanged: nothing happens, with or without a closing line feed.
            std::string text = content_of(do_read_block(*session, p, b.uuid));
            for (const std::string& same : {text, text + "\n"})
                EXPECT_EQ(do_replace_block(*session, p, b.uuid, same)
                              .rfind("✅ Block content unchanged", 0),
                          0u);
            EXPECT_EQ(read_file(p), doc);

            // One word changed: one line differs, and the index agrees with a fresh parse.
            auto spans = word_spans(text);
            if (spans.empty()) continue;
            const auto [at, len] = spans[gen.pick(spans.size())];
            text.replace(at, len, "zqxj");
            do_replace_block(*session, p, b.uuid, text);
            const std::string after = read_file(p);
            EXPECT_EQ(lines_differing(doc, after), 1) << ::testing::PrintToString(after);
            expect_index_matches_parse(*indexer, list(p), p);
            EXPECT_EQ(content_of(do_read_block(*session, p, b.uuid)), text);
            ++checked;
        }
    }
    EXPECT_GT(checked, 60);
}
