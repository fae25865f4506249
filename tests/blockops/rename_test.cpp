// Heading renames across files: every link keeps leading to the same heading, dry runs
// write nothing, a failure or a kill leaves every file old.

#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "fixture.h"
#include "quillbox/blockops/links.h"

namespace qbtest {
namespace {

class Rename : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        session->paths = std::make_shared<quillbox::ProjectPathResolver>(root);
    }
    quillbox::Reply rename(const fs::path& p, const std::string& heading, const std::string& title, bool dry = false) {
        return quillbox::do_rename_heading(*session, p.string(), "", heading, title, dry);
    }
    // Every file's text, by path relative to the root.
    std::map<std::string, std::string> snapshot() {
        std::map<std::string, std::string> out;
        for (const auto& f : quillbox::links::project_markdown_files(root))
            out[f.lexically_relative(root).generic_string()] = read_file(f);
        return out;
    }
    fs::path guide() {
        md("README.md", "See [setup](guide.md#setup) and [again](./guide.md#setup-1), [top](guide.md#guide).\n");
        fs::create_directories(root / "docs" / "sub");
        md("docs/sub/x.md", "[first](../../guide.md#setup) [second](../../guide.md#setup-1) [top](/guide.md#guide)\n");
        return md("guide.md",
                  "# Guide\n<!-- toc -->\n- [Guide](#guide)\n  - [Setup](#setup)\n  - [Setup](#setup-1)\n"
                  "<!-- tocstop -->\nJump to [setup](#setup).\n## Setup\none\n## Setup\ntwo\n");
    }
};

TEST_F(Rename, RewritesEveryLinkInEveryFileAndTheToc) {
    const fs::path g = guide();
    const auto before = snapshot();
    const std::string dry = rename(g, "Setup", "Install");  // two headings share the title
    EXPECT_NE(dry.find("lines 8, 10"), std::string::npos) << dry;

    const std::string id = list(g)[1].uuid;
    const std::string diff = quillbox::do_rename_heading(*session, g.string(), id, "", "Install", true);
    EXPECT_EQ(snapshot(), before);  // the dry run wrote nothing
    const quillbox::Reply r = quillbox::do_rename_heading(*session, g.string(), id, "", "Install");
    ASSERT_FALSE(r.refused()) << r;
    EXPECT_EQ(read_file(root / "README.md"), "See [setup](guide.md#install) and [again](./guide.md#setup), [top](guide.md#guide).\n");
    EXPECT_EQ(read_file(root / "docs/sub/x.md"),
              "[first](../../guide.md#install) [second](../../guide.md#setup) [top](/guide.md#guide)\n");
    EXPECT_EQ(read_file(g),
              "# Guide\n<!-- toc -->\n- [Guide](#guide)\n  - [Install](#install)\n  - [Setup](#setup)\n"
              "<!-- tocstop -->\nJump to [setup](#install).\n## Install\none\n## Setup\ntwo\n");
    // The dry run showed exactly the write.
    std::vector<quillbox::DryRunWrite> writes;
    for (const auto& [rel, text] : snapshot())
        if (before.at(rel) != text) writes.push_back({root / rel, before.at(rel), text});
    EXPECT_EQ(diff, quillbox::dry_run_answer(*session, writes));
    EXPECT_EQ(quillbox::do_check_links(*session), quillbox::get_message("links_ok", {{"files", 3}, {"links", 10}}));
}

// Random documents with duplicate titles and links to random headings: after any rename every
// link leads to the heading it led to before (by position), and none is broken.
TEST_F(Rename, EveryLinkKeepsItsHeading) {
    std::mt19937 rng(2828);
    const std::vector<std::string> titles = {"Setup", "Usage", "Setup 1", "FAQ", "Notes"};
    for (int round = 0; round < 12; ++round) {
        fs::remove_all(root / "p");
        fs::create_directories(root / "p" / "d");
        std::vector<std::string> heads;
        std::string text;
        for (int i = 0; i < 8; ++i) {
            heads.push_back(titles[rng() % titles.size()]);
            text += std::string(1 + rng() % 3, '#') + " " + heads.back() + "\nbody\n";
        }
        const fs::path target = md("p/t.md", text);
        const auto anchors = quillbox::document_anchors(text, quillbox::AnchorStyle::github);
        auto pick = [&] { return anchors.headings[rng() % anchors.headings.size()].anchor; };
        std::string own, other;
        for (int i = 0; i < 6; ++i) {
            own += "[l](#" + pick() + ")\n";
            other += "[l](../t.md#" + pick() + ")\n";
        }
        fs::path t2 = md("p/t.md", text + own);
        const fs::path o = md("p/d/o.md", other);
        auto targets = [&] {
            // For each link, the index of the heading it leads to.
            std::vector<std::size_t> out;
            const auto a = quillbox::document_anchors(read_file(t2), quillbox::AnchorStyle::github);
            for (const fs::path& f : {t2, o}) {
                for (const auto& l : quillbox::document_links(read_file(f))) {
                    const std::string frag = l.destination.substr(l.destination.find('#') + 1);
                    std::size_t k = 0;
                    while (k < a.headings.size() && a.headings[k].anchor != frag) ++k;
                    out.push_back(k);
                }
            }
            return out;
        };
        const auto before = targets();
        const std::string id = list(t2)[rng() % list(t2).size()].uuid;
        const quillbox::Reply r = quillbox::do_rename_heading(*session, t2.string(), id, "",
                                                              titles[rng() % titles.size()] + " x"[rng() % 2]);
        ASSERT_FALSE(r.refused()) << r;
        EXPECT_EQ(targets(), before) << read_file(t2) << read_file(o);
        for (std::size_t k : targets()) EXPECT_LT(k, anchors.headings.size());
        (void)target;
    }
}

// The second file changes under the write: the first, already written, is put back.
TEST_F(Rename, AFailedWriteLeavesEveryFileOld) {
    const fs::path g = guide();
    const auto before = snapshot();
    int writes = 0;
    safety->set_before_rename_hook([&](const fs::path& p) {
        if (++writes == 2) write_file(p, read_file(p) + "outside edit\n");
    });
    const quillbox::Reply r = rename(g, "Guide", "Handbook");
    EXPECT_TRUE(r.refused()) << r;
    safety->set_before_rename_hook({});
    auto after = snapshot();
    for (auto& [rel, text] : after)
        if (text.ends_with("outside edit\n")) text.erase(text.size() - 13);
    EXPECT_EQ(after, before);
    EXPECT_FALSE(fs::exists(root / "rename.journal"));
}

// A kill between the files' writes: the next start undoes the half-done rename.
TEST_F(Rename, AKillMidwayIsUndoneAtTheNextStart) {
    const fs::path g = guide();
    const auto before = snapshot();
    for (int kill_at = 1; kill_at <= 3; ++kill_at) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int writes = 0;
            safety->set_after_rename_hook([&](const fs::path&) {
                if (++writes == kill_at) ::_exit(9);
            });
            // SQLite connections do not cross a fork: the child indexes on its own.
            quillbox::Indexer own(root / "child.db");
            quillbox::Session child(own, *watcher, *safety);
            child.paths = session->paths;
            (void)quillbox::do_rename_heading(child, g.string(), "", "Guide", "Handbook");
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        fs::remove(root / "child.db");
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
        EXPECT_TRUE(fs::exists(root / "rename.journal"));
        const std::string outcome = quillbox::recover_interrupted_rename(*safety);
        if (kill_at == 3) {
            EXPECT_EQ(outcome, "finished");  // the last file was in place
            EXPECT_EQ(quillbox::do_check_links(*session), quillbox::get_message("links_ok", {{"files", 3}, {"links", 10}}));
            for (auto& [rel, text] : before) write_file(root / rel, text);
        } else {
            EXPECT_EQ(snapshot(), before) << outcome;
        }
        EXPECT_FALSE(fs::exists(root / "rename.journal"));
    }
}

}  // namespace
}  // namespace qbtest
