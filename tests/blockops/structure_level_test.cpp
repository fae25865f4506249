// Heading level adjustment: subtree changes, bounds, line rewriting and re-indexing.

#include "fixture.h"

namespace qbtest {
namespace {

class Level : public StructureTest {
protected:
    std::string adjust(const std::string& id, long long delta, bool recursive = true) {
        return quillbox::do_adjust_level(*session, id, delta, recursive);
    }
    static constexpr const char* DOC = "# Top\n## Sec\ntext\n### Sub\n#### Deep\n## Next\n";
};

TEST_F(Level, PromotesASectionWithItsSubtree) {
    auto p = md("a.md", DOC);
    auto before = list(p);
    EXPECT_EQ(adjust(id_of(p, "Sec"), -1),
              "Heading 'Sec' adjusted (-1).\n  Headings changed: 3\n  Lines: 2, 4, 5");
    EXPECT_EQ(read_file(p), "# Top\n# Sec\ntext\n## Sub\n### Deep\n## Next\n");
    // Every section keeps its identifier.
    auto after = list(p);
    ASSERT_EQ(after.size(), 5u);
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].uuid, before[i].uuid) << after[i].title;
    EXPECT_EQ(after[1].title, "Sec");
    EXPECT_EQ(after[1].level, 1);
    EXPECT_EQ(after[3].level, 3);
}

TEST_F(Level, OutOfBoundsLeavesTheFileAlone) {
    auto p = md("c.md", DOC);
    EXPECT_EQ(adjust(id_of(p, "Top"), -1), "Level boundary exceeded: cannot upgrade beyond level 1.");
    EXPECT_EQ(adjust(id_of(p, "Sec"), 3), "Level boundary exceeded: cannot downgrade beyond level 6.");
    EXPECT_EQ(adjust(id_of(p, "Sec"), -1000000000000LL), "Level boundary exceeded: cannot upgrade beyond level 1.");
    EXPECT_EQ(adjust(id_of(p, "Sec"), 1000000000000LL), "Level boundary exceeded: cannot downgrade beyond level 6.");
    EXPECT_EQ(read_file(p), DOC);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Level, RewritesHeadingLinesKeepingIndentation) {
    auto p = md("d.md", "  ##   Spaced  ##\nbody\n> ## Quoted\n> text\n\nSetext\n======\n");
    adjust(id_of(p, "Spaced"), 0);
    EXPECT_EQ(read_file(p), "  ## Spaced  ##\nbody\n> ## Quoted\n> text\n\nSetext\n======\n");
    adjust(id_of(p, "Spaced"), 1);
    EXPECT_EQ(read_file(p), "  ### Spaced  ##\nbody\n> ## Quoted\n> text\n\nSetext\n======\n");
    // A heading inside a block quote keeps its quote marker.
    adjust(id_of(p, "Quoted"), 1);
    EXPECT_EQ(read_file(p), "  ### Spaced  ##\nbody\n> ### Quoted\n> text\n\nSetext\n======\n");
    // A setext heading gains number signs; its underline stays.
    adjust(id_of(p, "Setext"), 1);
    EXPECT_EQ(read_file(p), "  ### Spaced  ##\nbody\n> ### Quoted\n> text\n\n# Setext\n======\n");
}

TEST_F(Level, NonRecursiveAndPastFour) {
    // Only the section's own heading line changes, even if that breaks its children's nesting.
    auto p = md("b.md", DOC);
    EXPECT_EQ(adjust(id_of(p, "Sec"), 1, false), "Heading 'Sec' adjusted (+1).\n  Headings changed: 1\n  Lines: 2");
    EXPECT_EQ(read_file(p), "# Top\n### Sec\ntext\n### Sub\n#### Deep\n## Next\n");
    // Demoted to level 5, a heading is rewritten but no longer a block of its own.
    adjust(id_of(p, "Deep"), 1);
    EXPECT_EQ(read_file(p), "# Top\n### Sec\ntext\n### Sub\n##### Deep\n## Next\n");
    EXPECT_EQ(list(p).size(), 4u);
}

TEST_F(Level, UnknownAndStaleIdentifiers) {
    auto p = md("f.md", DOC);
    EXPECT_EQ(adjust("nope", 1), "Block nope not found");

    auto id = id_of(p, "Sec");
    // The file changes behind the index's back (later modification time, the section gone).
    const std::string changed = "# Top\nnew line\n## Other\ntext\n";
    write_file(p, changed);
    fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(adjust(id, 1), quillbox::get_message("file_changed"));
    EXPECT_EQ(read_file(p), changed);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Level, StaleIndexWithinTheFreshnessToleranceIsRefused) {
    auto p = md("g.md", DOC);
    // Same modification time, size and inode, recorded long after the change: the freshness
    // check trusts the index.
    auto mtime = fs::last_write_time(p) - std::chrono::seconds(10);
    fs::last_write_time(p, mtime);
    auto id = id_of(p, "Sub");
    const std::string changed = "# Top\n\n\n## Sec\ntext\n### Sub\ndeep text\n## Nx\n";
    write_file(p, changed);
    fs::last_write_time(p, mtime);
    EXPECT_EQ(adjust(id, 1), quillbox::get_message("file_changed"));
    EXPECT_EQ(read_file(p), changed);
    // The next listing re-indexes, and the new identifier works.
    EXPECT_EQ(adjust(id_of(p, "Sub"), 1), "Heading 'Sub' adjusted (+1).\n  Headings changed: 1\n  Lines: 6");
}

}  // namespace
}  // namespace qbtest
