// Call sequences that once lost bytes, misdirected a write or changed text outside the target:
// each test here failed before its fix.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <map>
#include <thread>

#include "fixture.h"
#include "quillbox/blockops/failure_text.h"

#include "quillbox/detail/confine.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/indexer.h"

namespace qbtest {
namespace {

using quillbox::Reply;

class Trust : public StructureTest {
protected:
    Reply replace(const fs::path& p, const std::string& id, std::string_view text) {
        return quillbox::do_replace_block(*session, p, id, text);
    }
    Reply patch(const fs::path& p, const std::string& id, std::string_view from, std::string_view to) {
        return quillbox::do_patch_block(*session, p, id, from, to);
    }
};

// An id of one file with the path of another: every tool that takes both refuses and names
// the id's file; neither file changes.
TEST_F(Trust, BlockIdFromAnotherFileIsRefused) {
    const std::string a_text = "# A\nalpha\n", b_text = "# B\nbeta\n";
    auto a = md("a.md", a_text);
    auto b = md("b.md", b_text);
    list(a);
    const std::string id = id_of(b, "B");
    std::vector<Reply> answers = {
        replace(a, id, "# B\nchanged\n"),
        patch(a, id, "beta", "gamma"),
        quillbox::do_read_block(*session, a, id),
        quillbox::do_read_blocks(*session, a, {id}),
    };
    for (const Reply& r : answers) {
        SCOPED_TRACE(r);
        EXPECT_NE(r.find("belongs to " + b.string()), std::string::npos);
        if (&r != &answers.back()) {
            EXPECT_TRUE(r.refused());
        }
    }
    EXPECT_EQ(read_file(a), a_text);
    EXPECT_EQ(read_file(b), b_text);
    // The same file named relatively, or through a link to it, is the same file.
    fs::create_symlink(b, root / "link.md");
    EXPECT_FALSE(replace(root / "link.md", id, "# B\nvia link\n").refused());
    EXPECT_EQ(read_file(b), "# B\nvia link\n");
}

// A patch that adds the final line end of a file without one adds exactly one, in the file's
// own style.
TEST_F(Trust, PatchAddingTheFinalLineEndAddsOne) {
    for (const std::string eol : {"\n", "\r\n"}) {
        SCOPED_TRACE(eol == "\n" ? "LF" : "CRLF");
        auto p = md(eol == "\n" ? "lf.md" : "crlf.md", "# T" + eol + "a" + eol + "x");
        const std::string id = id_of(p, "T");
        ASSERT_FALSE(patch(p, id, "x", "x\n").refused());
        EXPECT_EQ(read_file(p), "# T" + eol + "a" + eol + "x" + eol);
        // Two line ends are one line end and an empty line.
        ASSERT_FALSE(patch(p, id_of(p, "T"), "a", "b").refused());
        write_file(p, "# T" + eol + "x");
        // Changed outside: the section keeps its id, and is read again before the next patch.
        ASSERT_TRUE(patch(p, id_of(p, "T"), "x", "x\n\n").refused());
        quillbox::do_read_block(*session, p, id_of(p, "T"));
        ASSERT_FALSE(patch(p, id_of(p, "T"), "x", "x\n\n").refused());
        EXPECT_EQ(read_file(p), "# T" + eol + "x" + eol + eol);
    }
}


std::size_t open_descriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// A document that is writable in a folder that is not: each refused write costs neither a
// backup (only so many are kept) nor a descriptor, and the refusal blames the folder. Root
// writes into any folder, so the writes run in a child that gives up root first.
TEST_F(Trust, AWriteTheFolderRefusesCostsNoBackupAndNoDescriptor) {
    const fs::path folder = root / "docs", data = root / "data", doc = folder / "notes.md";
    fs::create_directories(folder);
    fs::create_directories(data);
    write_file(doc, "# Notes\nold\n");
    const uid_t nobody = 65534;
    for (const fs::path& p : {root, folder, data, doc}) ASSERT_EQ(::chown(p.c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(doc.c_str(), 0666), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        std::string report;
        if (::geteuid() != 0 || (::setgid(nobody) == 0 && ::setuid(nobody) == 0)) {
            quillbox::SafetyEngine engine(data / "backups");
            engine.apply_replace(doc, 2, 2, {"first"});
            ::chmod(folder.c_str(), 0555);
            const std::size_t fds_before = open_descriptors();
            std::string text;
            for (int i = 0; i < 20; ++i) {
                try {
                    engine.apply_replace(doc, 2, 2, {"refused " + std::to_string(i)});
                    text = "accepted";
                } catch (const std::exception& e) {
                    text = quillbox::failure_text(e).value_or(e.what());
                }
            }
            const auto backups = std::distance(fs::directory_iterator(data / "backups"), fs::directory_iterator());
            report = std::to_string(backups) + " " +
                     std::to_string(static_cast<long>(open_descriptors()) - static_cast<long>(fds_before)) + " " + text;
        } else {
            report = "cannot give up root";
        }
        [[maybe_unused]] auto w = ::write(fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(report, "1 0 " + quillbox::get_message("folder_read_only", {{"path", folder}}));
    EXPECT_EQ(read_file(doc), "# Notes\nfirst\n");
}

// Front matter at the top of a file (YAML between --- and --- or ..., TOML between +++) is
// data: never a heading, never in a table of contents. Anywhere else the same lines are
// Markdown as before.
TEST_F(Trust, FrontMatterIsNeverAHeading) {
    const std::string yaml = "---\ntitle: systemd environment\ncategory: Interfaces\nlayout: default\n"
                             "SPDX-License-Identifier: LGPL-2.1-or-later\n---\n\n";
    const std::string body = "# Environment\n\n<!-- toc -->\n<!-- tocstop -->\n\n## Variables\ntext\n";
    for (const std::string& fm : {yaml, std::string("---\nkey: value\n...\n"), std::string("+++\ntitle = \"x\"\n+++\n"),
                                  std::string("\xEF\xBB\xBF---\r\nkey: value\r\n---\r\n")}) {
        SCOPED_TRACE(fm);
        auto p = md("fm.md", fm + body);
        std::vector<std::string> titles;
        for (const auto& b : list(p)) titles.push_back(b.title);
        EXPECT_EQ(titles, (std::vector<std::string>{"Environment", "Variables"}));
        ASSERT_FALSE(quillbox::do_generate_toc(*session, p.string()).refused());
        const std::string after = read_file(p);
        EXPECT_EQ(after.substr(0, fm.size()), fm);
        EXPECT_EQ(after.find("key"), after.rfind("key"));
        EXPECT_EQ(after.find("title"), after.rfind("title"));
        EXPECT_NE(after.find("- [Variables](#variables)"), std::string::npos) << after;
    }
    // Not at the top, the same lines are a paragraph underlined as a heading.
    auto p = md("late.md", "# Top\n\n---\nkey: value\n---\n");
    std::vector<std::string> titles;
    for (const auto& b : list(p)) titles.push_back(b.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Top", "key: value"}));
}

// `quillbox reindex` over the file, as the command runs it.
void reindex(quillbox::Indexer& ix, const fs::path& p) {
    ix.index_files({quillbox::detail::file_key(p)}, [](std::size_t, int, std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
    });
}

// A re-index never hands an id to another section: a twin's id whose section was deleted in
// an editor is refused as a file change, and twins that swapped places keep their own ids.
TEST_F(Trust, AReindexNeverHandsAnIdToATwin) {
    auto p = md("twins.md", "# Guide\n## Install\n### Example\ninstall it\n## Usage\n### Example\nuse it\n");
    const std::string install_example = list(p)[2].uuid;
    write_file(p, "# Guide\n## Install\n## Usage\n### Example\nuse it\n");
    reindex(*indexer, p);
    const std::string after = read_file(p);
    for (const Reply& r : {replace(p, install_example, "### Example\nmine\n"), patch(p, install_example, "use", "mine")}) {
        EXPECT_EQ(r, quillbox::get_message("file_changed"));
        EXPECT_TRUE(r.refused());
    }
    EXPECT_EQ(read_file(p), after);

    // Sibling twins that swap places, and identical twins one of which is deleted.
    p = md("swap.md", "## Usage\n### Example\nfirst\n### Example\nsecond\n");
    auto rows = list(p);
    const std::string first = rows[1].uuid, second = rows[2].uuid;
    write_file(p, "## Usage\n### Example\nsecond\n### Example\nfirst\n");
    reindex(*indexer, p);
    ASSERT_FALSE(patch(p, first, "first", "one").refused());
    EXPECT_EQ(read_file(p), "## Usage\n### Example\nsecond\n### Example\none\n");
    p = md("same.md", "## Usage\n### Example\nsame\n### Example\nsame\n");
    rows = list(p);
    write_file(p, "## Usage\n### Example\nsame\n");
    reindex(*indexer, p);
    EXPECT_EQ(replace(p, rows[1].uuid, "### Example\nmine\n"), quillbox::get_message("file_changed"));
    EXPECT_EQ(read_file(p), "## Usage\n### Example\nsame\n");
}

// A section whose text the session saw now stands elsewhere only as part of another section
// (its old heading line opens a twin): a write with its id goes to its own section or is
// refused, never into that other section (a level change left the session's view of the
// section as it was, and the search for that text found the twin's heading line).
TEST_F(Trust, AWriteNeverLandsInsideAnotherSection) {
    auto p = md("level.md", "# Usage\n# Usage\ntext\n");
    quillbox::do_list_blocks(*session, p.string());
    const std::string first = list(p)[0].uuid;
    ASSERT_FALSE(quillbox::do_adjust_level(*session, first, 1).refused());
    for (const Reply& r : {replace(p, first, "## Usage\nnew\n"), patch(p, first, "Usage", "Use")}) {
        const std::string now = read_file(p);
        EXPECT_TRUE(r.refused() || now == "## Usage\nnew\n# Usage\ntext\n" || now == "## Use\nnew\n# Usage\ntext\n")
            << r << "\n" << now;
    }
}

// Moves, level changes and a table of contents keep the id of every section, the moved one
// too: a second move planned from the first listing works.
TEST_F(Trust, StructuralEditsKeepEveryId) {
    auto p = md("plan.md", "<!-- toc -->\n<!-- tocstop -->\n# Doc\n## A\na\n## B\nb\n### B1\nb1\n## C\nc\n");
    std::map<std::string, std::string> ids;
    for (const auto& b : list(p)) ids[b.title] = b.uuid;
    auto still = [&] {
        std::map<std::string, std::string> now;
        for (const auto& b : list(p)) now[b.title] = b.uuid;
        EXPECT_EQ(now, ids);
    };
    EXPECT_FALSE(quillbox::do_move_block(*session, ids["C"], ids["A"], "before").refused());
    still();
    EXPECT_FALSE(quillbox::do_move_block(*session, ids["A"], ids["B"], "after").refused());
    still();
    EXPECT_FALSE(quillbox::do_adjust_level(*session, ids["B"], 1).refused());
    still();
    EXPECT_FALSE(quillbox::do_generate_toc(*session, p.string()).refused());
    still();
    EXPECT_FALSE(patch(p, ids["B1"], "b1", "b2").refused());
    EXPECT_EQ(read_file(p).substr(read_file(p).find("# Doc")),
              "# Doc\n## C\nc\n### B\nb\n#### B1\nb2\n## A\na\n");
}

// A section that grew outside (a subsection added after it) while its stored lines still
// hash as listed: a write with its id is refused as a change of the file (it replaced the
// stored lines only, leaving the subsection twice in the file); read again, it writes the
// whole section.
TEST_F(Trust, AWriteAfterTheSectionGrewOutsideIsRefusedUntilReadAgain) {
    auto p = md("grew.md", "# Usage\ntext\n");
    quillbox::do_list_blocks(*session, p.string());  // as the agent got the id
    const std::string id = id_of(p, "Usage");
    const std::string grown = "# Usage\ntext\n## Notes\nmore\n";
    write_file(p, grown);
    fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(5));
    EXPECT_EQ(replace(p, id, "# Usage\nnew\n## Notes\nmore\n"), quillbox::get_message("file_changed"));
    EXPECT_EQ(patch(p, id, "text", "new"), quillbox::get_message("file_changed"));
    EXPECT_EQ(read_file(p), grown);
    quillbox::do_read_block(*session, p, id);
    ASSERT_FALSE(replace(p, id, "# Usage\nnew\n## Notes\nmore\n").refused());
    EXPECT_EQ(read_file(p), "# Usage\nnew\n## Notes\nmore\n");
}

// The project folder renamed while the server runs and a new folder made under its name: a
// write is refused, naming the folder, and neither copy of the file changes (it went through
// the held handle into the renamed folder while the answer named the new one).
TEST_F(Trust, AWriteAfterTheRootWasReplacedIsRefused) {
    auto p = md("doc.md", "# A\nold\n");
    quillbox::detail::set_confinement_root(root);
    const std::string id = id_of(p, "A");
    const fs::path renamed = root.string() + "-renamed";
    fs::rename(root, renamed);
    fs::create_directories(root);
    write_file(p, "# A\nold\n");
    std::string answer;
    try {
        answer = replace(p, id, "# A\nnew\n");
    } catch (const std::exception& e) {
        answer = quillbox::failure_text(e).value_or(e.what());
    }
    quillbox::detail::set_confinement_root({});
    EXPECT_EQ(answer, quillbox::get_message("root_replaced", {{"path", root}}));
    EXPECT_EQ(read_file(p), "# A\nold\n");
    EXPECT_EQ(read_file(renamed / "doc.md"), "# A\nold\n");
    fs::remove_all(renamed);
}

// The same for a read: the section as it is now, not its stored lines.
TEST_F(Trust, AReadAfterTheSectionGrewOutsideShowsTheWholeSection) {
    auto p = md("grew.md", "# Usage\ntext\n");
    const std::string id = id_of(p, "Usage");
    write_file(p, "# Usage\ntext\n## Notes\nmore\n");
    fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(5));
    const std::string r = quillbox::do_read_block(*session, p, id);
    EXPECT_NE(r.find("# Usage\ntext\n## Notes\nmore"), std::string::npos) << r;
}

// An outside editor saving the file in place, in pieces, while the agent reads a section: the
// read answers the section or asks to read again, never "Block not found" (a read re-indexed
// the half-written file, where the section was missing, and gave its id up).
TEST_F(Trust, AReadDuringAnOutsideSaveInPlaceIsNeverAWrongNotFound) {
    auto text = [](int k) {
        std::string t = "# Doc\n";
        for (int i = 0; i < k % 7; ++i) t += "line " + std::to_string(i) + "\n";
        return t + "## Agent\nthe agent's text\n## Tail\nend\n";
    };
    auto p = md("doc.md", text(0));
    const std::string id = id_of(p, "Agent");
    std::atomic<bool> done{false};
    // A half-written file that stays still longer than the wait before a re-index (a loaded
    // machine stalling the editor) cannot be told from a finished save: such stalls are counted.
    std::atomic<int> stalls{0};
    std::thread editor([&] {
        for (int k = 1; k < 80; ++k) {
            const std::string t = text(k);
            const int fd = ::open(p.c_str(), O_WRONLY | O_TRUNC);
            const std::size_t half = t.find("## Agent") - 3;
            EXPECT_EQ(::write(fd, t.data(), half), static_cast<ssize_t>(half));
            const auto first = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (std::chrono::steady_clock::now() - first > std::chrono::milliseconds(5)) ++stalls;
            EXPECT_EQ(::write(fd, t.data() + half, t.size() - half), static_cast<ssize_t>(t.size() - half));
            ::close(fd);
            // Bursts of saves, with pauses in which a read can find the file whole.
            std::this_thread::sleep_for(std::chrono::milliseconds(k % 4 ? 1 + k % 9 : 40));
        }
        done = true;
    });
    int reads = 0, asked_again = 0, wrong = 0;
    while (!done) {
        const Reply r = quillbox::do_read_block(*session, p, id);
        ++reads;
        if (r.find("## Agent\nthe agent's text") != std::string::npos) continue;
        if (r.refused() && r.find("FILE_BUSY") != std::string::npos) ++asked_again;
        else if (stalls == 0) ADD_FAILURE() << ++wrong << ": " << r;
        else ++wrong;
    }
    editor.join();
    if (stalls == 0) {
        EXPECT_EQ(wrong, 0) << reads << " reads, " << asked_again << " asked to read again";
    }
    EXPECT_GT(reads - asked_again, 5);
}

}  // namespace
}  // namespace qbtest
