// The keyword index must follow the block rows on every path that writes them, and find exactly
// the sections that hold a word.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "helpers.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kWords = {"alpha", "bravo", "kilo", "tango", "安装", "配置", "文档"};

std::string random_line(std::mt19937& rng) {
    switch (rng() % 5) {
        case 0: return "";
        case 1: return kWords[4 + rng() % 3] + "，" + kWords[4 + rng() % 3] + "。";
        case 2: return "```";
        default: return "Body " + kWords[rng() % 4] + " and " + kWords[rng() % 4] + ".";
    }
}

std::vector<std::string> random_doc(std::mt19937& rng) {
    std::vector<std::string> lines;
    const int sections = 1 + static_cast<int>(rng() % 6);
    for (int s = 0; s < sections; ++s) {
        std::string h(1 + rng() % 3, '#');
        h += " Section " + std::to_string(s);
        if (rng() % 2) h += " " + kWords[rng() % kWords.size()];
        lines.push_back(h);
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) lines.push_back(random_line(rng));
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines) { return detail::join_lines(lines) + "\n"; }

FileState state_of(const fs::path& f, const std::string& bytes) { return file_state_of(f, detail::sha256_hex(bytes)); }

// The words of a text as the oracle sees them: runs of ASCII letters, and the vocabulary's
// Chinese words between Chinese punctuation.
std::set<std::string> words_of(const std::string& text) {
    std::set<std::string> out;
    for (const auto& w : kWords)
        for (std::size_t at = text.find(w); at != std::string::npos; at = text.find(w, at + 1)) {
            const bool ascii = static_cast<unsigned char>(w[0]) < 0x80;
            auto letter = [&](std::size_t i) { return i < text.size() && std::isalnum(static_cast<unsigned char>(text[i])); };
            if (!ascii || ((at == 0 || !letter(at - 1)) && !letter(at + w.size()))) out.insert(w);
        }
    return out;
}

// The ids of the sections that hold `word` in their title or in their own text (below the
// heading, up to the first subsection), from the files and the block rows.
std::set<std::string> oracle(Indexer& ix, const std::vector<fs::path>& files, const std::string& word) {
    std::set<std::string> ids;
    for (const auto& f : files) {
        if (!fs::exists(f)) continue;
        const auto lines = detail::split_lines(qbtest::read_file(f));
        const auto blocks = ix.list_blocks(f);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            int own_end = blocks[i].end_line;
            if (i + 1 < blocks.size()) own_end = std::min(own_end, blocks[i + 1].start_line - 1);
            const std::string own = detail::join_lines(lines, static_cast<std::size_t>(blocks[i].start_line),
                                                       static_cast<std::size_t>(own_end));
            if (words_of(blocks[i].title).count(word) || words_of(own).count(word)) ids.insert(blocks[i].uuid);
        }
    }
    return ids;
}

void expect_in_step(Indexer& ix, const std::vector<fs::path>& files) {
    EXPECT_EQ(query1(ix, "SELECT count(*) FROM blocks b LEFT JOIN sections s ON s.id = b.id "
                         "WHERE s.id IS NULL OR s.content_hash != b.content_hash"),
              "0");
    EXPECT_EQ(query1(ix, "SELECT count(*) FROM sections s LEFT JOIN blocks b ON b.id = s.id WHERE b.id IS NULL"), "0");
    exec_sql(ix, "INSERT INTO sections_fts(sections_fts) VALUES ('integrity-check')");
    for (const auto& w : kWords) {
        std::set<std::string> found;
        for (const auto& h : ix.search_sections(w, 10000, 0)) found.insert(h.block.uuid);
        EXPECT_EQ(found, oracle(ix, files, w)) << w;
    }
}

}  // namespace

TEST(Sections, FollowTheRowsOnEveryWritePathAndFindWhatAnOracleFinds) {
    qbtest::TempDir dir("qb-sections");
    Indexer ix(dir / "index.db");
    std::mt19937 rng(20261210);
    std::vector<fs::path> files;
    for (int i = 0; i < 4; ++i) files.push_back(dir / ("doc" + std::to_string(i) + ".md"));
    std::vector<std::vector<std::string>> docs(files.size());
    // A follower that reads only what changed since its last look (the removals logged, the
    // rows written) must hold exactly the sections there are.
    std::set<std::string> mirror;
    SectionsVersion seen;
    auto follow = [&] {
        const SectionsVersion v = ix.sections_version();
        const auto gone = ix.sections_gone(seen.gone_seq, v.gone_seq);
        ASSERT_TRUE(gone.has_value());
        std::set<std::string> back;
        for (auto& r : ix.sections_after(seen.last_seq, 1u << 20)) back.insert(std::move(r.id));
        for (const auto& id : *gone)
            if (!back.count(id)) mirror.erase(id);
        mirror.insert(back.begin(), back.end());
        seen = v;
        std::set<std::string> all;
        for (auto& r : ix.sections_after(0, 1u << 20)) all.insert(std::move(r.id));
        EXPECT_EQ(mirror, all);
    };
    for (int round = 0; round < 120; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::size_t k = rng() % files.size();
        const fs::path& f = files[k];
        const std::string before = fs::exists(f) ? joined(docs[k]) : "";
        docs[k] = random_doc(rng);
        const std::string after = joined(docs[k]);
        switch (rng() % 6) {
            case 0: {  // an operation's write over one block: the rows it touched only
                const auto blocks = ix.list_blocks(f);
                if (blocks.empty() || before.empty()) break;
                // The first block's lines replaced by the new document's.
                std::vector<std::string> lines = detail::split_lines(before);
                const Block& b = blocks.front();
                std::vector<std::string> region(lines.begin() + (b.start_line - 1), lines.begin() + b.end_line);
                region.push_back(random_line(rng));
                if (region.size() > 1) region[1] = random_line(rng);
                lines.erase(lines.begin() + (b.start_line - 1), lines.begin() + b.end_line);
                lines.insert(lines.begin() + (b.start_line - 1), region.begin(), region.end());
                docs[k] = lines;
                const std::string text = joined(lines);
                qbtest::write_file(f, text);
                const Indexer::LineSplice splice{before, text, detail::sha256_hex(before), b.start_line, b.end_line,
                                                 state_of(f, text)};
                ix.index_file({.file = f,
                               .at_rest = true,
                               .rewritten = {{b.uuid, b.start_line}},
                               .splice = splice,
                               .op = Indexer::OperationRecord{"2026-12-10", "replace_block", f.string(), b.uuid, 0}});
                break;
            }
            case 1:
                qbtest::write_file(f, after);
                ix.index_file({.file = f, .state = state_of(f, after)});
                break;
            case 2:
                if (fs::exists(f)) fs::remove(f);
                ix.drop_file(f);
                break;
            case 3: {
                qbtest::write_file(f, after);
                ix.index_files({detail::file_key(f)}, [](std::size_t, int, std::exception_ptr e) {
                    if (e) std::rethrow_exception(e);
                });
                break;
            }
            case 4: {  // the bytes as written, the old ids in their old order, the rows wanted back
                qbtest::write_file(f, after);
                std::vector<std::string> order;
                for (const Block& b : ix.list_blocks(f)) order.push_back(b.uuid);
                const Indexer::Indexed got = ix.index_file(
                    {.file = f, .bytes = after, .state = state_of(f, after), .order = order, .want_rows = true});
                EXPECT_EQ(got.rows, ix.list_blocks(f));
                EXPECT_EQ(static_cast<std::size_t>(got.blocks), got.rows.size());
                break;
            }
            default:
                qbtest::write_file(f, after);
                ix.index_file({.file = f, .state = state_of(f, after)});
        }
        expect_in_step(ix, files);
        if (rng() % 3 == 0) follow();
        if (HasFailure()) return;
    }
    follow();
    // A version change drops every block: the sections go with them.
    exec_sql(ix, "DELETE FROM blocks");
    EXPECT_EQ(query1(ix, "SELECT count(*) FROM sections"), "0");
    expect_in_step(ix, {});
}

TEST(Sections, WordsOfScriptsWithoutSpacesAreFoundAndExcerptsShowTheirText) {
    qbtest::TempDir dir("qb-sections");
    Indexer ix(dir / "index.db");
    const fs::path f = dir / "zh.md";
    qbtest::write_file(f, "# 插件安装指南\n首先下载插件，然后修改配置文件并重新启动服务器。\n# Other\nnothing\n");
    ix.index_file(f);
    for (const char* q : {"配置", "服务器", "插件", "如何安装插件"}) {
        const auto hits = ix.search_sections(q, 5, 1);
        ASSERT_EQ(hits.size(), 1u) << q;
        EXPECT_EQ(hits[0].block.title, "插件安装指南");
        // The stored word breaks never show.
        EXPECT_EQ(hits[0].excerpt, "首先下载插件，然后修改配置文件并重新启动服务器。") << q;
    }
    // Every word of the query present: full coverage; some missing: less.
    EXPECT_DOUBLE_EQ(ix.search_sections("插件 配置", 5, 1).at(0).coverage, 1.0);
    const double part = ix.search_sections("插件 zebra", 5, 1).at(0).coverage;
    EXPECT_GT(part, 0.0);
    EXPECT_LT(part, 1.0);
    // Stemmed English, titles ranked above text.
    qbtest::write_file(dir / "en.md", "# Caching\nkeys\n# Notes\nwe cache things here\n");
    ix.index_file(dir / "en.md");
    const auto hits = ix.search_sections("cached", 5, 2);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].block.title, "Caching");
    EXPECT_EQ(hits[1].excerpt, "we cache things here");
}

// An index made before removals were logged gets the logging trigger when it is opened, and a
// follower that looked before the log was cut is told to list everything again.
TEST(Sections, RemovalsAreLoggedInAnOlderIndexAndACutLogIsReported) {
    qbtest::TempDir dir("qb-sections-gone");
    const fs::path f = dir / "doc.md";
    qbtest::write_file(f, "# A\n\n## B\ntext\n");
    {
        Indexer ix(dir / "index.db");
        ix.index_file(f);
        exec_sql(ix, "DROP TRIGGER sections_after_delete; DROP TABLE sections_gone;"
                     "CREATE TRIGGER sections_after_delete AFTER DELETE ON sections BEGIN "
                     "INSERT INTO sections_fts(sections_fts, rowid, title, body) VALUES ('delete', old.seq, old.title, old.body); END;");
    }
    Indexer ix(dir / "index.db");
    const SectionsVersion before = ix.sections_version();
    std::set<std::string> ids;
    for (const Block& b : ix.list_blocks(f)) ids.insert(b.uuid);
    ix.drop_file(f);
    const SectionsVersion after = ix.sections_version();
    const auto gone = ix.sections_gone(before.gone_seq, after.gone_seq);
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(std::set<std::string>(gone->begin(), gone->end()), ids);
    EXPECT_EQ(ix.section_count(), 0u);
    exec_sql(ix, "DELETE FROM sections_gone WHERE seq < (SELECT max(seq) FROM sections_gone)");
    EXPECT_FALSE(ix.sections_gone(before.gone_seq, after.gone_seq).has_value());
    EXPECT_TRUE(ix.sections_gone(after.gone_seq - 1, after.gone_seq).has_value());
}
