// The session's view: a change is checked against what the agent was last shown of a block,
// not against the index, which the watcher keeps in step with the file whoever changes it.

#include "fixture.h"
#include "quillbox/blockops/freshness.h"


using namespace quillbox;
using qbtest::Project;
using qbtest::read_file;
using qbtest::write_file;

namespace {

const char* kPlan =
    "# Doc\n"
    "intro\n"
    "## Plan\n"
    "step one\n"
    "## Notes\n"
    "tbd\n";

// What the watcher does after an outside save: re-index the file, keeping identifiers.
void watcher_reindex(Indexer& indexer, FileWatcher& watcher, const std::filesystem::path& p) {
    indexer.index_file(p, &watcher);
    indexer.record_file_state(p, current_file_state(p));
}

bool refused(const std::string& answer) { return answer.find("FILE_CHANGED") != std::string::npos; }

}  // namespace

// The agent lists (and maybe reads) "Plan"; the user adds a line to it in an editor; the
// watcher re-indexes, keeping the id; the agent's replace must not drop the user's line.
TEST_F(Project, OutsideEditAfterListingOrReadingIsNeverOverwritten) {
    for (bool read_first : {false, true}) {
        SCOPED_TRACE(read_first ? "listed and read" : "listed only");
        auto p = md("plan.md", kPlan);
        do_list_blocks(*session, p.string());
        const std::string id = id_of(p, "Plan");
        if (read_first) do_read_block(*session, p, id);

        write_file(p, "# Doc\nintro\n## Plan\nstep one\nuser's step\n## Notes\ntbd\n");
        watcher_reindex(*indexer, *watcher, p);
        ASSERT_TRUE(indexer->get_block(id)) << "the re-index keeps the id";

        auto answer = do_replace_block(*session, p, id, "## Plan\nagent's plan");
        EXPECT_TRUE(refused(answer)) << answer;
        EXPECT_EQ(read_file(p), "# Doc\nintro\n## Plan\nstep one\nuser's step\n## Notes\ntbd\n");

        // Read again: now the agent has seen the user's line, and the write goes through.
        do_read_block(*session, p, id);
        answer = do_replace_block(*session, p, id, "## Plan\nmerged");
        EXPECT_NE(answer.find("updated"), std::string::npos) << answer;
        EXPECT_EQ(read_file(p), "# Doc\nintro\n## Plan\nmerged\n## Notes\ntbd\n");
        session->view.forget_blocks();
    }
}

TEST_F(Project, WholeFileReadAndFindCountAsShown) {
    auto p = md("plan.md", kPlan);
    do_read_file(*session, p.string());
    const std::string plan = id_of(p, "Plan");
    EXPECT_TRUE(session->view.shown(plan));
    write_file(p, "# Doc\nintro\n## Plan\nstep ONE\n## Notes\ntbd\n");
    watcher_reindex(*indexer, *watcher, p);
    EXPECT_TRUE(refused(do_replace_block(*session, p, plan, "## Plan\nx")));

    session->view.forget_blocks();
    do_find_blocks(*session, p.string(), "notes");
    const std::string notes = id_of(p, "Notes");
    write_file(p, "# Doc\nintro\n## Plan\nstep ONE\n## Notes\ntbd!\n");
    watcher_reindex(*indexer, *watcher, p);
    EXPECT_TRUE(refused(do_replace_block(*session, p, notes, "## Notes\nx")));
    // A block the session never saw falls back to the index, as before.
    EXPECT_FALSE(refused(do_replace_block(*session, p, plan, "## Plan\ny")));
    EXPECT_EQ(read_file(p), "# Doc\nintro\n## Plan\ny\n## Notes\ntbd!\n");
}

// The session's own writes move its view along: changing a subsection and then the section
// around it is no conflict; an outside change of the section meanwhile still is.
TEST_F(Project, OwnWritesKeepTheViewCurrent) {
    auto p = md("own.md", "# Doc\n## Part\nabout\n### Sub\nold\n## End\nz\n");
    do_list_blocks(*session, p.string());
    const std::string part = id_of(p, "Part");
    const std::string sub = id_of(p, "Sub");
    ASSERT_FALSE(refused(do_replace_block(*session, p, sub, "### Sub\nnew")));
    auto answer = do_replace_block(*session, p, part, "## Part\nabout!\n### Sub\nnew");
    EXPECT_FALSE(refused(answer)) << answer;
    EXPECT_EQ(read_file(p), "# Doc\n## Part\nabout!\n### Sub\nnew\n## End\nz\n");

    write_file(p, "# Doc\n## Part\nabout!\nuser\n### Sub\nnew\n## End\nz\n");
    watcher_reindex(*indexer, *watcher, p);
    EXPECT_TRUE(refused(do_replace_block(*session, p, part, "## Part\nx")));
}

TEST_F(Project, StructuralChangesCheckTheView) {
    auto p = md("s.md", "# Doc\n## A\na\n## B\nb\n");
    do_list_blocks(*session, p.string());
    const std::string a = id_of(p, "A");
    const std::string b = id_of(p, "B");
    write_file(p, "# Doc\n## A\na, edited\n## B\nb\n");
    watcher_reindex(*indexer, *watcher, p);

    EXPECT_TRUE(refused(do_adjust_level(*session, a, 1)));
    EXPECT_TRUE(refused(do_move_block(*session, a, "", "after")));
    EXPECT_EQ(read_file(p), "# Doc\n## A\na, edited\n## B\nb\n");
    // The unchanged section still moves.
    EXPECT_FALSE(refused(do_move_block(*session, b, "", "before")));
    EXPECT_EQ(read_file(p), "## B\nb\n# Doc\n## A\na, edited\n");

    auto t = md("t.md", "# T\n<!-- toc -->\nold\n<!-- tocstop -->\n## X\nx\n");
    do_list_blocks(*session, t.string());
    write_file(t, "# T\n<!-- toc -->\nuser's\n<!-- tocstop -->\n## X\nx\n");
    watcher_reindex(*indexer, *watcher, t);
    EXPECT_TRUE(refused(do_generate_toc(*session, t.string())));
    EXPECT_EQ(read_file(t), "# T\n<!-- toc -->\nuser's\n<!-- tocstop -->\n## X\nx\n");
}

// An editor's save through a temporary file and a rename moves the sections; until the
// watcher re-indexes, the stored ranges are behind. A block read still shows the block.
TEST_F(Project, ReadsNeverServeStaleLines) {
    auto p = md("stale.md", kPlan);
    do_list_blocks(*session, p.string());
    const std::string plan = id_of(p, "Plan");
    const std::string notes = id_of(p, "Notes");
    write_file(root / ".stale.md.swp", "# Doc\nintro\nmore intro\n## Plan\nstep one\n## Notes\ntbd, edited\n");
    std::filesystem::rename(root / ".stale.md.swp", p);

    auto answer = do_read_block(*session, p, plan);
    EXPECT_NE(answer.find("Lines: 4-5\n---\n## Plan\nstep one\n---"), std::string::npos) << answer;
    answer = do_read_block(*session, p, notes);
    EXPECT_NE(answer.find("---\n## Notes\ntbd, edited\n---"), std::string::npos) << answer;
}
