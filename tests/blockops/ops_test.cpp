// Block reads, replaces, whole-file reads and keyword search on real files and a real index.

#include <SQLiteCpp/SQLiteCpp.h>

#include <chrono>
#include <cstdint>

#include "fixture.h"
#include "quillbox/blockops/listing.h"

using namespace quillbox;
using qbtest::Project;

namespace {

const char* kGuide =
    "# Guide\n"
    "intro\n"
    "## Install\n"
    "apt install\n"
    "## Usage\n"
    "run it\n"
    "more\n"
    "#### Deep Detail\n"
    "fine print\n";

// A cache whose answer the test decides.
struct FixedCache : ReadCache {
    CacheResult result;
    int calls = 0;
    CacheResult check_and_read(std::string_view) override { ++calls; return result; }
    CacheResult check(std::string_view) override { ++calls; return result; }
};

Block find(const std::vector<Block>& blocks, std::string_view title) {
    for (const auto& b : blocks)
        if (b.title == title) return b;
    ADD_FAILURE() << "no block " << title;
    return {};
}

}  // namespace

TEST_F(Project, ReadBlockShowsStoredRangeOrRefuses) {
    const auto p = md("g.md", kGuide);
    const Block install = find(list(p), "Install");
    EXPECT_EQ(do_read_block(*session, p, install.uuid),
              "✅ Block ID: " + install.uuid.substr(0, 8) + "\nTitle: Install (level 2)\nLines: 3-4\n---\n## Install\napt install\n---");

    EXPECT_EQ(do_read_block(*session, "whatever.md", "no-such-id"),
              "❌ Error: Block not found.\nPlease call md_list_blocks(\"whatever.md\") first to get a valid block_id.");

    // The file changed without a re-index: the block as it stands now, never the stale range;
    // once it is gone, the agent is told the file changed.
    qbtest::write_file(p, "# Guide\nintro\n## Install\n");
    EXPECT_NE(do_read_block(*session, p, install.uuid).find("Lines: 3-3\n---\n## Install\n---"),
              std::string::npos);
    qbtest::write_file(p, "# Guide\n");
    EXPECT_EQ(do_read_block(*session, p, install.uuid), get_message("file_changed"));

    const Block guide = find(list(p), "Guide");
    std::filesystem::remove(p);
    EXPECT_EQ(do_read_block(*session, p, guide.uuid), "File not found: " + p.string());
}

// A block read takes the recorded bytes only while they hold: a change of the same size that
// keeps the modification time is caught by the block's hash, and a file with CR line ends is
// read by its lines.
TEST_F(Project, ReadBlockTrustsRecordedBytesOnlyWhileTheyHold) {
    const auto p = md("g.md", kGuide);
    const auto past = std::filesystem::last_write_time(p) - std::chrono::seconds(30);
    std::filesystem::last_write_time(p, past);
    const Block install = find(list(p), "Install");
    const auto place = indexer->block_place(install.uuid);
    ASSERT_TRUE(place && place->recorded);
    ASSERT_FALSE(place->recorded->racily_clean());
    const std::string guide = kGuide;
    EXPECT_EQ(place->bytes, (ByteRange{static_cast<std::int64_t>(guide.find("## Install")),
                                       static_cast<std::int64_t>(guide.find("\n## Usage"))}));
    const std::string answer =
        "✅ Block ID: " + install.uuid.substr(0, 8) + "\nTitle: Install (level 2)\nLines: 3-4\n---\n## Install\napt install\n---";
    EXPECT_EQ(do_read_block(*session, p, install.uuid), answer);

    std::string changed = guide;
    changed.replace(changed.find("apt"), 3, "dnf");
    qbtest::write_file(p, changed);
    std::filesystem::last_write_time(p, past);
    EXPECT_NE(do_read_block(*session, p, install.uuid).find("## Install\ndnf install\n---"), std::string::npos);

    const auto crlf = md("crlf.md", "# A\r\ntext\r\n## B\r\nmore\r\n");
    std::filesystem::last_write_time(crlf, past);
    const Block b = find(list(crlf), "B");
    EXPECT_FALSE(indexer->block_place(b.uuid)->bytes.known());
    EXPECT_NE(do_read_block(*session, crlf, b.uuid).find("Lines: 3-4\n---\n## B\nmore\n---"),
              std::string::npos);
}

TEST_F(Project, ABlockReadNeverDeliversTheFile) {
    const auto p = md("g.md", kGuide);
    const Block usage = find(list(p), "Usage");
    // The default cache never treats a block read as delivering the file.
    const std::string first = do_read_block(*session, p, usage.uuid);
    EXPECT_EQ(do_read_block(*session, p, usage.uuid), first);
    EXPECT_NE(first.find("run it"), std::string::npos);
}

TEST_F(Project, SessionBlockReadGivesTheMarkerOnlyWhileTheFileIsHeld) {
    const auto p = md("g.md", kGuide);
    const Block usage = find(list(p), "Usage");
    const Block install = find(list(p), "Install");
    auto cache = std::make_shared<FixedCache>();
    session->cache = cache;
    cache->result = {"hit", std::string(kGuide), "abc123", 9};
    double now = 1000.0;
    session->view.set_clock([&] { return now; });
    auto read = [&](const Block& b) { return do_read_block(*session, p, b.uuid, LineWindow{}); };
    auto is_marker = [](const std::string& r) { return r.rfind("✅ [cached, sha=abc123, 9 lines]\n", 0) == 0; };

    // The cache alone (a hit) is not enough: the session never delivered the file.
    EXPECT_NE(read(usage).find("run it"), std::string::npos);

    session->view.record_read(usage.file_path.string());  // read_file delivered it
    now += 100;
    const std::string marker = read(usage);
    EXPECT_TRUE(is_marker(marker)) << marker;
    EXPECT_NE(marker.find("call md_read_block again"), std::string::npos) << marker;
    // Asking again for the same block: its content, as the marker promised.
    EXPECT_NE(read(usage).find("---\n## Usage\nrun it"), std::string::npos);
    EXPECT_NE(read(usage).find("run it"), std::string::npos);
    // Another block of the same file gets its own first marker.
    EXPECT_TRUE(is_marker(read(install)));

    // Once the repeat window has passed, the marker comes back once...
    now += 61;
    EXPECT_TRUE(is_marker(read(usage)));
    // ...but never after the turn limit: the agent's copy may have been compacted away.
    now += 61;
    for (int i = 0; i < 15; ++i) session->view.advance_turn();
    EXPECT_NE(read(usage).find("run it"), std::string::npos);
    now += 61;
    EXPECT_NE(read(install).find("apt install"), std::string::npos);
}

TEST_F(Project, ReplaceWritesBlockAndKeepsIndexCurrent) {
    const auto p = md("g.md", kGuide);
    const auto before = list(p);
    const Block install = find(before, "Install");
    const Block usage = find(before, "Usage");
    session->view.record_read(p.string());

    const std::string out = do_replace_block(*session, p, install.uuid,
                                             "## Installation\nstep 1\nstep 2\nstep 3\n");
    const std::string expected_file =
        "# Guide\nintro\n## Installation\nstep 1\nstep 2\nstep 3\n## Usage\nrun it\nmore\n#### Deep Detail\nfine print\n";
    EXPECT_EQ(qbtest::read_file(p), expected_file);
    // Only the news: the changed lines, never the section again.
    EXPECT_EQ(out.substr(0, out.rfind('\n')),
              "✅ Block 'Install' updated.\n-3: ## Install\n-4: apt install\n+3: ## Installation\n+4: step 1\n"
              "+5: step 2\n+6: step 3");
    EXPECT_EQ(out.substr(out.rfind('\n') + 1, 16), "[QUILLBOX_META] ");
    EXPECT_FALSE(session->view.should_return_cache(p.string()));
    EXPECT_EQ(backup_count(), 1u);

    const auto row = indexer->get_block(install.uuid);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->start_line, 3);
    EXPECT_EQ(row->end_line, 6);
    EXPECT_EQ(row->content_hash, compute_hash("## Installation\nstep 1\nstep 2\nstep 3"));

    // Sections after it moved down one line; reading them still gives their own lines.
    EXPECT_NE(do_read_block(*session, p, usage.uuid).find("Lines: 7-11\n---\n## Usage\nrun it"),
              std::string::npos);
    // The file counts as fresh: a listing keeps every identifier.
    const auto after = list(p);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].uuid, before[i].uuid);

    SQLite::Database db((root / "index.db").string());
    SQLite::Statement st(db, "SELECT operation_type, file_path, block_id, tokens_saved FROM stats");
    ASSERT_TRUE(st.executeStep());
    EXPECT_EQ(st.getColumn(0).getString(), "replace_block");
    EXPECT_EQ(st.getColumn(1).getString(), p.string());
    EXPECT_EQ(st.getColumn(2).getString(), install.uuid);
}

TEST_F(Project, ReplaceIdempotentAndRefusals) {
    const auto p = md("g.md", kGuide);
    const Block usage = find(list(p), "Usage");
    EXPECT_EQ(do_replace_block(*session, p, usage.uuid,
                               "## Usage\nrun it\nmore\n#### Deep Detail\nfine print"),
              "✅ Block content unchanged (idempotent).\nFile: " + p.string());
    EXPECT_EQ(backup_count(), 0u);

    EXPECT_EQ(do_replace_block(*session, "x.md", "nope", "text"),
              get_message("block_not_found_guidance", {{"file_path", "x.md"}}));

    // Someone edited the block since it was indexed.
    const std::string edited = "# Guide\nintro\n## Install\napt install\n## Usage\nrun it LATER\nmore\n"
                               "#### Deep Detail\nfine print\n";
    qbtest::write_file(p, edited);
    EXPECT_EQ(do_replace_block(*session, p, usage.uuid, "## Usage\nnew"),
              get_message("file_changed"));
    EXPECT_EQ(qbtest::read_file(p), edited);
    EXPECT_EQ(backup_count(), 0u);
}

TEST_F(Project, ReplaceFindsShiftedBlockAndDeletesWithEmptyContent) {
    const auto p = md("g.md", kGuide);
    const Block install = find(list(p), "Install");
    qbtest::write_file(p, std::string("a\nb\nc\n") + kGuide);  // three lines above, not re-indexed

    do_replace_block(*session, p, install.uuid, "## Install\npip install");
    EXPECT_EQ(qbtest::read_file(p), "a\nb\nc\n# Guide\nintro\n## Install\npip install\n## Usage\nrun it\nmore\n"
                                   "#### Deep Detail\nfine print\n");
    auto row = indexer->get_block(install.uuid);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->start_line, 6);
    EXPECT_EQ(row->end_line, 7);

    // Empty content removes the section's lines.
    const Block usage = find(indexer->list_blocks(p), "Usage");
    do_replace_block(*session, p, usage.uuid, "");
    EXPECT_EQ(qbtest::read_file(p), "a\nb\nc\n# Guide\nintro\n## Install\npip install\n");
}

TEST_F(Project, ReplaceEditsTheNamedTwinNotTheUpperOne) {
    const auto p = md("t.md", "# Doc\n## Notes\nsame\n## Notes\nsame\n");
    const auto blocks = list(p);
    ASSERT_EQ(blocks.size(), 3u);
    ASSERT_EQ(blocks[1].content_hash, blocks[2].content_hash);
    do_replace_block(*session, p, blocks[2].uuid, "## Notes\nsecond");
    EXPECT_EQ(qbtest::read_file(p), "# Doc\n## Notes\nsame\n## Notes\nsecond\n");
}

TEST_F(Project, TwinsShiftedByAnOutsideEditAreEditedWhenNearestAndRefusedWhenEquallyNear) {
    const std::string doc = "# Doc\n## Notes\nTBD\n## Notes\nTBD\n";
    const auto p = md("t.md", doc);
    const auto blocks = list(p);
    ASSERT_EQ(blocks.size(), 3u);
    // One line inserted at the top: the second twin's stored lines (4-5) lie between both
    // copies. The file is re-indexed first; the twins, unchanged and in their order, keep
    // their ids, and the second is the one written.
    qbtest::write_file(p, "new first line\n" + doc);
    const std::string answer = do_replace_block(*session, p, blocks[2].uuid, "## Notes\nsecond");
    EXPECT_EQ(qbtest::read_file(p), "new first line\n# Doc\n## Notes\nTBD\n## Notes\nsecond\n") << answer;

    // A longer first section pushes both down; the nearer copy is the named one.
    const std::string twins_text = "## Notes\nTBD\nlater\n## Notes\nTBD\nlater\n";
    const auto q = md("u.md", "# Doc\n## A\nx\n" + twins_text);
    const auto twins = list(q);
    qbtest::write_file(q, "# Doc\n## A\nx\ny\n" + twins_text);
    do_replace_block(*session, q, twins[3].uuid, "## Notes\nsecond");
    EXPECT_EQ(qbtest::read_file(q), "# Doc\n## A\nx\ny\n## Notes\nTBD\nlater\n## Notes\nsecond\n");
}

TEST_F(Project, ReplaceOnBusyFileRaisesAndChangesNothing) {
    const auto p = md("g.md", kGuide);
    const Block install = find(list(p), "Install");
    watcher->mark_write_start(p);  // someone is writing: the safety engine refuses after its wait
    EXPECT_THROW(do_replace_block(*session, p, install.uuid, "## Install\nx"),
                 ModificationError);
    watcher->mark_write_done(p);
    EXPECT_EQ(qbtest::read_file(p), kGuide);
    EXPECT_EQ(indexer->get_block(install.uuid)->content_hash, install.content_hash);
}

TEST_F(Project, ReadFileFullOrCachedMarker) {
    const auto p = md("r.md", "line one\r\nline two\r\n");
    const std::string full = "File: " + p.string() + "\n---\nline one\nline two\n\n---";
    EXPECT_EQ(do_read_file(*session, p.string()), full);
    const std::string marker = do_read_file(*session, p.string());
    EXPECT_EQ(marker.rfind("[cached, sha=", 0), 0u);
    EXPECT_NE(marker.find(", 2 lines]"), std::string::npos);

    auto cfg = std::make_shared<MemoryConfig>();
    for (const char* off : {"false", "True"}) {
        cfg->set("cache_enabled", off);
        session->config = cfg;
        EXPECT_EQ(do_read_file(*session, p.string()), full);
    }
    session->config = std::make_shared<MemoryConfig>();

    // A file the cache does not take part in always comes in full.
    session->is_text_file = [](std::string_view) { return false; };
    EXPECT_EQ(do_read_file(*session, p.string()), full);
    EXPECT_EQ(do_read_file(*session, p.string()), full);
    session->is_text_file = default_is_text_file;

    // A failing cache still gives the file.
    struct Broken : ReadCache {
        CacheResult check_and_read(std::string_view) override { throw std::runtime_error("down"); }
        CacheResult check(std::string_view) override { throw std::runtime_error("down"); }
    };
    session->cache = std::make_shared<Broken>();
    EXPECT_EQ(do_read_file(*session, p.string()), full);

    const auto bin = root / "b.bin";
    qbtest::write_file(bin, std::string("\x89PNG\0\xff", 6));
    EXPECT_EQ(do_read_file(*session, bin.string()), "Error: Unable to read file " + bin.string());
    EXPECT_EQ(do_read_file(*session, root.string()), get_message("not_regular_file", {{"path", root}, {"kind", "directory"}}));
    EXPECT_EQ(do_read_file(*session, (root / "nope.txt").string()),
              "File not found: " + (root / "nope.txt").string());
}

TEST_F(Project, FindBlocksMatchesTitlesCaseInsensitively) {
    const auto p = md("g.md", "# Guide\nInstall in body\n## installation\nx\n## INSTALL\ny\n#### Deep Detail\nz\n");
    const auto blocks = list(p);
    const std::string ps = p.string();
    EXPECT_EQ(do_find_blocks(*session, ps, "Install"),
              "✅ Found 2 blocks for 'Install' in " + ps + ":\n" + format_block_line(blocks[1]) + "\n" +
                  format_block_line(blocks[2]));
    EXPECT_EQ(do_find_blocks(*session, ps, "body"), "❌ Found 0 blocks for 'body' in " + ps);
    EXPECT_NE(do_find_blocks(*session, ps, "").find("Found 4 blocks"), std::string::npos);
    EXPECT_NE(do_find_blocks(*session, ps, "deep").find("\" #### Deep Detail lines=7-8"),
              std::string::npos);
    EXPECT_EQ(do_find_blocks(*session, (root / "G.MD").string(), "x"), get_message("md_only_error"));

    // Without a usable index the answer comes from a direct parse.
    indexer->close();
    EXPECT_NE(do_find_blocks(*session, ps, "install").find("Found 2 blocks"), std::string::npos);
}

// After a replace, a patch and an md_edit, each of which moves the rest of the file, the rows
// are those a whole parse of the file gives, identifiers kept, and the file's record describes
// the bytes on disk: the next listing can trust them without parsing.
TEST_F(Project, RewritesLeaveTheRowsAWholeParseGives) {
    const auto p = md("nested.md",
                      "# Guide\nintro\n\n## Install\napt install\n\n### From source\nmake\n\n"
                      "## Usage\nrun the version check\n\n#### Deep Detail\nfine print\n\n# Appendix\nend\n");
    const std::vector<Block> before = list(p);
    auto check = [&](const char* step) {
        SCOPED_TRACE(step);
        const std::vector<Block> rows = indexer->list_blocks(p);
        const std::vector<Block> parsed = parse_markdown_to_blocks(p);
        ASSERT_EQ(rows.size(), parsed.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].uuid, before[i].uuid);
            EXPECT_EQ(rows[i].start_line, parsed[i].start_line);
            EXPECT_EQ(rows[i].end_line, parsed[i].end_line);
            EXPECT_EQ(rows[i].title, parsed[i].title);
            EXPECT_EQ(rows[i].content_hash, parsed[i].content_hash);
        }
        EXPECT_EQ(indexer->file_state(p)->file_hash, compute_hash(qbtest::read_file(p)));
    };
    const Block install = find(before, "Install");
    do_replace_block(*session, p, install.uuid,
                     "## Install\nsudo apt install quillbox\nor pip\n\n### From source\nmake\nmake install\n\n");
    check("replace");
    const Block usage = find(before, "Usage");
    do_patch_block(*session, p, usage.uuid, "run the version check",
                   "run the version check\nthen the tests");
    check("patch");
    do_md_edit(*session, p.string(), "change fine print to small print\nand more");
    check("md_edit");
    EXPECT_NE(qbtest::read_file(p).find("small print"), std::string::npos);
}

// Just after a write the record cannot vouch for the file: a listing then hashes the file, and
// while the figures are unchanged it leaves the record as it is instead of writing it again
// (it could not vouch any sooner). Once the figures change, the record takes them.
TEST_F(Project, ListingsJustAfterAWriteDoNotRewriteTheRecord) {
    const auto p = md("fresh.md", kGuide);
    const std::vector<Block> first = list(p);
    const auto recorded = indexer->file_state(p);
    ASSERT_TRUE(recorded);
    ASSERT_TRUE(recorded->racily_clean());
    EXPECT_EQ(list(p), first);
    EXPECT_EQ(list(p), first);
    EXPECT_EQ(indexer->file_state(p), recorded);

    std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) - std::chrono::hours(1));
    EXPECT_EQ(list(p), first);
    const auto moved = indexer->file_state(p);
    ASSERT_TRUE(moved);
    EXPECT_NE(moved->mtime_ns, recorded->mtime_ns);
    EXPECT_FALSE(moved->racily_clean());
}
