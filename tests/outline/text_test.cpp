// Slugs, the gestalt ratio, fuzzy heading matching and the heading utilities.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillbox/outline.h"
#include "quillbox/detail/utf8.h"

using namespace quillbox;

TEST(Slug, Examples) {
    EXPECT_EQ(_slug("Hello, World!"), "hello-world");
    EXPECT_EQ(_slug("Café  au lait"), "cafe-au-lait");
    EXPECT_EQ(_slug("**Bold** `code`"), "bold-code");
    EXPECT_EQ(_slug("中文 标题"), "中文-标题");
    EXPECT_EQ(_slug("!!!"), "");
    EXPECT_EQ(_slug(""), "");
    EXPECT_EQ(_slug("  --a - b--  "), "a-b");
    EXPECT_EQ(_slug("snake_case_name"), "snakecasename");
}

TEST(Slug, UnicodeClassesAndCaseMapping) {
    // Final sigma needs the context-sensitive mapping; compatibility forms decompose.
    EXPECT_EQ(_slug("ΣΑΣ"), "σας");
    EXPECT_EQ(_slug("x² ½"), "x2-12");
    EXPECT_EQ(_slug("Ｆｕｌｌ　ｗｉｄｔｈ"), "full-width");  // the ideographic space decomposes to a space
    EXPECT_EQ(_slug("İstanbul"), "istanbul");
    EXPECT_EQ(_slug("Émoji 🎉 time"), "emoji-time");
    EXPECT_EQ(_slug("a\tb"), "ab");
    EXPECT_EQ(_slug("a\u00a0b"), "a-b");  // so does the no-break space
}

TEST(GithubSlug, TabsAndDuplicates) {
    EXPECT_EQ(compute_github_slug("A\tB"), "a-b");
    EXPECT_EQ(compute_github_slug("Intro"), "intro");
    std::unordered_set<std::string> seen{"intro", "intro-1"};
    EXPECT_EQ(compute_github_slug("Intro", &seen), "intro-2");
    EXPECT_EQ(compute_github_slug("Other", &seen), "other");
    EXPECT_EQ(seen.size(), 2u);  // the caller adds results
    std::unordered_set<std::string> empty_seen{""};
    EXPECT_EQ(compute_github_slug("!!!", &empty_seen), "-1");
}

TEST(SimilarityRatio, Examples) {
    EXPECT_NEAR(similarity_ratio("setup", "set-up"), 10.0 / 11, 1e-12);
    EXPECT_NEAR(similarity_ratio("getting-started", "getting-started-guide"), 30.0 / 36, 1e-12);
    EXPECT_DOUBLE_EQ(similarity_ratio("installation-guide", "installation"), 0.8);
    EXPECT_NEAR(similarity_ratio("intro", "introduction"), 10.0 / 17, 1e-12);
    EXPECT_DOUBLE_EQ(similarity_ratio("", ""), 1.0);
    EXPECT_DOUBLE_EQ(similarity_ratio("abc", ""), 0.0);
    // Code points, not bytes.
    EXPECT_NEAR(similarity_ratio("中文标题", "中文标"), 6.0 / 7, 1e-12);
}

TEST(SimilarityRatio, PopularCharactersOfLongSecondText) {
    // From 200 characters on, 'a' is popular in b and cannot seed a match; a shorter b has
    // no popular characters.
    std::string b199 = "b" + std::string(198, 'a');
    std::string b200 = "b" + std::string(199, 'a');
    EXPECT_DOUBLE_EQ(similarity_ratio("aaaa", b200), 0.0);
    EXPECT_DOUBLE_EQ(similarity_ratio("aaaa", b199), 8.0 / 203);
    // Popular characters join a match by widening around a non-popular seed.
    EXPECT_DOUBLE_EQ(similarity_ratio("aaab", std::string(199, 'a') + "b"), 8.0 / 204);
}

namespace {
std::pair<std::string, unsigned long> lcg_text(unsigned long seed, int n, const std::u32string& alpha) {
    std::u32string out;
    unsigned long x = seed;
    for (int i = 0; i < n; ++i) {
        x = (x * 1103515245UL + 12345UL) % (1UL << 31);
        out.push_back(alpha[(x >> 16) % alpha.size()]);
    }
    return {detail::to_utf8(out), x};
}
}  // namespace

// Reference ratios for generated texts, from an independent run of the same algorithm; they
// pin the tie-breaking, the popular-character rule and the widening together.
TEST(SimilarityRatio, MatchesReferenceOnGeneratedTexts) {
    struct Row { unsigned long seed; int la, lb; double ratio; };
    const std::vector<Row> rows = {
#include "ratio_table.inc"
    };
    const std::u32string alpha = U"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX-é中";
    for (const Row& r : rows) {
        auto [a, x] = lcg_text(r.seed, r.la, alpha);
        auto [b, unused] = lcg_text(x, r.lb, alpha);
        (void)unused;
        std::u32string b32 = detail::to_u32(b);
        a += detail::to_utf8(b32.substr(0, b32.size() / 3));
        EXPECT_DOUBLE_EQ(similarity_ratio(a, b), r.ratio) << "seed " << r.seed;
    }
}


namespace {
Block blk(std::string id, int level, std::string title) {
    Block b;
    b.uuid = std::move(id);
    b.level = level;
    b.title = std::move(title);
    b.heading_path = _slug(b.title);
    return b;
}
}  // namespace

TEST(HeadingUtilities, TocEntries) {
    std::vector<Block> bs = {blk("1", 1, "Intro"), blk("2", 2, "Intro"), blk("3", 3, "Deep"),
                             blk("4", 2, "Intro")};
    auto all = get_toc_entries(bs);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].slug, "intro");
    EXPECT_EQ(all[1].slug, "intro-1");
    EXPECT_EQ(all[2].slug, "deep");
    EXPECT_EQ(all[3].slug, "intro-2");
    EXPECT_EQ(all[3].block, bs[3]);
    auto shallow = get_toc_entries(bs, 2);
    ASSERT_EQ(shallow.size(), 3u);
    EXPECT_EQ(shallow[2].block.uuid, "4");
}

TEST(HeadingUtilities, FrontMatterEnd) {
    EXPECT_EQ(find_frontmatter_end({"---", "title: x", "---", "# A"}), 3);
    EXPECT_EQ(find_frontmatter_end({"--- ", "a", " ---\t"}), 3);
    EXPECT_EQ(find_frontmatter_end({}), 0);
    EXPECT_EQ(find_frontmatter_end({"# A", "---", "---"}), 0);
    EXPECT_EQ(find_frontmatter_end({"---", "a: 1", "..."}), 3);  // YAML closes either way
    EXPECT_EQ(find_frontmatter_end({"+++", "a = 1", "+++"}), 3);  // TOML
    EXPECT_EQ(find_frontmatter_end({"+++", "a = 1", "---"}), 0);
    std::vector<std::string> long_fm(60, "x: y");
    long_fm[0] = "---";
    long_fm[49] = "---";  // line 50: still found
    EXPECT_EQ(find_frontmatter_end(long_fm), 50);
    long_fm[49] = "x: y";
    long_fm[50] = "---";  // line 51: too late
    EXPECT_EQ(find_frontmatter_end(long_fm), 0);
}

TEST(HeadingUtilities, Descendants) {
    std::vector<Block> bs = {blk("a", 1, "A"), blk("b", 2, "B"), blk("c", 3, "C"),
                             blk("d", 2, "D"), blk("e", 1, "E")};
    auto d = get_descendant_blocks(bs, bs[0]);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].uuid, "b");
    EXPECT_EQ(d[2].uuid, "d");
    EXPECT_EQ(get_descendant_blocks(bs, bs[1]).size(), 1u);
    EXPECT_TRUE(get_descendant_blocks(bs, bs[2]).empty());  // followed by a sibling's parent level
    EXPECT_TRUE(get_descendant_blocks(bs, bs[4]).empty());  // last block
    EXPECT_TRUE(get_descendant_blocks(bs, blk("zz", 1, "Z")).empty());
}

TEST(HeadingUtilities, LevelConflicts) {
    EXPECT_EQ(check_level_conflict(2, 3, "before"),
              "Level conflict: moving h2 before h3 would create invalid hierarchy");
    EXPECT_EQ(check_level_conflict(2, 2, "after"), std::nullopt);  // siblings
    EXPECT_EQ(check_level_conflict(4, 4, "before"), std::nullopt);
    EXPECT_EQ(check_level_conflict(1, 2, "after"),
              "Level conflict: moving h1 after h2 would create invalid hierarchy");
    EXPECT_EQ(check_level_conflict(3, 2, "after"), std::nullopt);
    EXPECT_EQ(check_level_conflict(3, 2, "as_first_child"), std::nullopt);
    EXPECT_EQ(check_level_conflict(2, 2, "as_first_child"),
              "Level conflict: child heading (h2) must be deeper than parent (h2)");
    EXPECT_EQ(check_level_conflict(3, 3, "as_last_child"),
              "Level conflict: child heading (h3) must be deeper than parent (h3)");
    EXPECT_EQ(check_level_conflict(1, 4, "sideways"), std::nullopt);
}
