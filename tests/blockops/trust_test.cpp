// Call sequences that once lost bytes, misdirected a write or changed text outside the target:
// each test here failed before its fix.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixture.h"
#include "quillbox/blockops/frame.h"

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
        auto p = md("eol.md", "# T" + eol + "a" + eol + "x");
        const std::string id = id_of(p, "T");
        ASSERT_FALSE(patch(p, id, "x", "x\n").refused());
        EXPECT_EQ(read_file(p), "# T" + eol + "a" + eol + "x" + eol);
        // Two line ends are one line end and an empty line.
        ASSERT_FALSE(patch(p, id_of(p, "T"), "a", "b").refused());
        write_file(p, "# T" + eol + "x");
        ASSERT_FALSE(patch(p, id_of(p, "T"), "x", "x\n\n").refused());
        EXPECT_EQ(read_file(p), "# T" + eol + "x" + eol + eol);
    }
}

}  // namespace
}  // namespace qbtest
