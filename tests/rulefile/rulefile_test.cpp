#include "quillbox/rulefile.h"

#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

class RuleFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("quillbox-rulefile-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(rd()));
        fs::create_directories(dir_);
        path_ = dir_ / "CLAUDE.md";
    }
    void TearDown() override {
        _set_rulefile_write_hook({});
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    void write(const std::string& s) { write_to(path_, s); }
    static void write_to(const fs::path& p, const std::string& s) {
        std::ofstream(p, std::ios::binary) << s;
    }
    std::string read() const { return detail::read_file_bytes(path_); }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    static ino_t inode(const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_ino;
    }

    fs::path dir_;
    fs::path path_;
};

const std::string SECTION(QUILLBOX_SECTION);

// An older release's section, as found in existing files.
std::string old_section(const std::string& version) {
    return "<!-- Quillbox Rules " + version + " -- auto-managed by quillbox install -->\n\n" +
           std::string(SECTION_MARKER) + "（旧）\n\n### 核心规则\nold rule\n";
}

}  // namespace

TEST_F(RuleFile, SectionTextIsFortyLinesOpenedByTheVersionComment) {
    auto lines = detail::split_lines(SECTION);
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(SECTION.back(), '\n');
    EXPECT_EQ(SECTION.size(), 2368u);
    EXPECT_EQ(lines[0], "<!-- Quillbox Rules v3.1 -- auto-managed by quillbox install -->");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "## ⚠️ Quillbox 工具使用规则（处理 .md 文件时必须遵守）");
    EXPECT_EQ(lines[39], "强制使用 Quillbox MCP 工具。");
}

TEST_F(RuleFile, MissingFile) {
    EXPECT_EQ(_detect_version(path_), std::nullopt);
    EXPECT_FALSE(has_quillbox_section(path_));
    EXPECT_FALSE(is_current_version(path_));
    EXPECT_FALSE(remove_quillbox_section(path_));
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), SECTION + "\n");
    EXPECT_EQ(_detect_version(path_), "v3.1");
    EXPECT_TRUE(is_current_version(path_));
    // New files get the default permissions, not the temporary file's 0600.
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all, fs::perms(0666 & ~mask));
}

TEST_F(RuleFile, AddAppendsAfterOneEmptyLine) {
    write("");
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), SECTION);

    write("My notes");
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), "My notes\n\n" + SECTION);

    write("My notes\n");
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), "My notes\n\n" + SECTION);
}

TEST_F(RuleFile, AddWhenCurrentDoesNotWrite) {
    write("# Mine\r\n\r\n" + SECTION);  // CRLF user text must survive untouched too
    std::string before = read();
    ino_t ino = inode(path_);
    EXPECT_FALSE(add_quillbox_section(path_));
    EXPECT_EQ(read(), before);
    EXPECT_EQ(inode(path_), ino);  // a write would have renamed a new file into place
}

TEST_F(RuleFile, DetectVersion) {
    write("x\n" + old_section("v3.0"));
    EXPECT_EQ(_detect_version(path_), "v3.0");
    EXPECT_TRUE(has_quillbox_section(path_));
    EXPECT_FALSE(is_current_version(path_));

    write("<!-- Quillbox Rules v12.34 beta v9.9 -->\n" + std::string(SECTION_MARKER) + "\n");
    EXPECT_EQ(_detect_version(path_), "v12.34");

    write("<!-- Quillbox Rules -->\n\n" + std::string(SECTION_MARKER) + "\n");
    EXPECT_EQ(_detect_version(path_), "v0.0");
    EXPECT_FALSE(is_current_version(path_));

    // The comment alone is not a section.
    write("<!-- Quillbox Rules v3.1 -->\n");
    EXPECT_EQ(_detect_version(path_), std::nullopt);
    EXPECT_FALSE(has_quillbox_section(path_));
}

TEST_F(RuleFile, UpgradeReplacesAnOldSectionBetweenUserSections) {
    write("\n# Intro\n\ntext\n\n" + old_section("v3.0") + "\n## Next\n\nmore\n\n");
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), "\n# Intro\n\ntext\n\n" + SECTION + "\n## Next\n\nmore\n\n");
    EXPECT_TRUE(is_current_version(path_));
    EXPECT_FALSE(add_quillbox_section(path_));
}

TEST_F(RuleFile, SectionWithoutVersionCommentIsOutdated) {
    write("# Mine\n\n" + std::string(SECTION_MARKER) + "\n\nold text\n");
    EXPECT_EQ(_detect_version(path_), "v0.0");
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_EQ(read(), "# Mine\n\n" + SECTION);
}

TEST_F(RuleFile, RemoveKeepsEveryByteOutsideTheSection) {
    write(SECTION + "\n");
    EXPECT_TRUE(remove_quillbox_section(path_));
    EXPECT_EQ(read(), "");
    EXPECT_FALSE(remove_quillbox_section(path_));

    write("\n\n# A\n\n" + SECTION);
    EXPECT_TRUE(remove_quillbox_section(path_));
    EXPECT_EQ(read(), "\n\n# A\n");

    // What follows the section is the user's, headed or not.
    write("# A\n\n" + SECTION + "\nuser para\n### deeper\n\n## Next\nx\n# Last\n");
    EXPECT_TRUE(remove_quillbox_section(path_));
    EXPECT_EQ(read(), "# A\n\nuser para\n### deeper\n\n## Next\nx\n# Last\n");

    write("# A\n\n" + SECTION + "# Top\n");
    EXPECT_TRUE(remove_quillbox_section(path_));
    EXPECT_EQ(read(), "# A\n# Top\n");

    // An older section ends at its closing line when it has one, else at the next heading.
    write(old_section("v2.0") + "强制使用 Quillbox MCP 工具。\n- my note\n");
    EXPECT_TRUE(remove_quillbox_section(path_));
    EXPECT_EQ(read(), "- my note\n");
}

// A memory line appended after install (as Claude Code's # shortcut does), in every line-end
// style, survives uninstall, reinstall and an upgrade; the file goes only when nothing but the
// section was in it.
TEST_F(RuleFile, UserTextAroundTheSectionSurvivesEveryChange) {
    for (const char* language : {"zh", "en"})
    for (const std::string eol : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(std::string(language) + " " + std::to_string(eol.size()));
        for (const std::string& original : {std::string(""), "# Notes" + eol + eol + "hello" + eol, std::string("x"),
                                           "# 笔记" + eol + eol + "- 项目" + eol + eol}) {
            std::error_code ec;
            fs::remove(path_, ec);
            if (!original.empty()) write(original);
            ASSERT_TRUE(add_quillbox_section(path_, language));
            const std::string installed = read();
            const std::string memory = "- always use pnpm" + eol;
            write(installed + memory);
            EXPECT_FALSE(add_quillbox_section(path_, language));
            ASSERT_TRUE(remove_quillbox_section(path_));
            std::string kept = original;
            if (!kept.empty() && kept.back() != '\n' && kept.back() != '\r') kept += original == "x" ? "\n" : eol;
            EXPECT_EQ(read(), kept + memory);
            // An older section in its place is replaced there, with the text after its closing
            // line kept.
            std::string old = old_section("v3.0") + "强制使用 Quillbox MCP 工具。\n";
            std::string old_eol;
            for (char c : old) old_eol += c == '\n' ? eol : std::string(1, c);
            write(kept + old_eol + memory);
            ASSERT_TRUE(add_quillbox_section(path_, language));
            const std::string now = read();
            EXPECT_TRUE(now.starts_with(kept));
            EXPECT_TRUE(now.ends_with(memory));
            EXPECT_TRUE(is_current_version(path_));
        }
    }
}

TEST_F(RuleFile, RoundTrips) {
    for (const char* language : {"zh", "en"})
        for (std::string original : {"# Notes\n\nhello\n", "x", "# 笔记\n\n- 项目\n\n", "# A\n\n## Next\ntext\n"}) {
            write(original);
            ASSERT_TRUE(add_quillbox_section(path_, language));
            ASSERT_TRUE(remove_quillbox_section(path_));
            // The line end that install gave a last line without one stays.
            const std::string kept = original.back() == '\n' ? original : original + "\n";
            EXPECT_EQ(read(), kept) << language << ": " << original;
        }
}

// English for every language but zh, the Chinese text byte for byte for zh; either is current,
// so an install in the other language leaves the file alone, and either is found and removed.
TEST_F(RuleFile, TheSectionIsInTheProjectsLanguageAndEitherIsCurrent) {
    EXPECT_EQ(quillbox_section("zh"), QUILLBOX_SECTION);
    EXPECT_EQ(quillbox_section("en"), QUILLBOX_SECTION_EN);
    const std::string en(QUILLBOX_SECTION_EN);
    // Nothing in it that the tools do not have, and the cheapest tool for a small change first.
    EXPECT_EQ(en.find("/quillbox"), std::string::npos);
    EXPECT_LT(en.find("md_patch_block"), en.find("md_replace_block"));
    EXPECT_LT(en.find("md_replace_block"), en.find("md_edit"));
    for (auto line : detail::split_lines(en))
        EXPECT_FALSE(line.starts_with("# ") || (line.starts_with("## ") && !line.starts_with(SECTION_MARKER_EN)))
            << line;

    for (const auto& [first, second] : {std::pair{"en", "zh"}, std::pair{"zh", "en"}}) {
        write("# Mine\n");
        ASSERT_TRUE(add_quillbox_section(path_, first));
        EXPECT_EQ(read(), "# Mine\n\n" + std::string(quillbox_section(first)));
        EXPECT_TRUE(has_quillbox_section(path_));
        EXPECT_TRUE(is_current_version(path_));
        EXPECT_EQ(_detect_version(path_), std::string(RULES_VERSION));
        EXPECT_FALSE(add_quillbox_section(path_, second)) << first;
    }
    // An outdated Chinese section in an English project becomes the English one.
    write("# Mine\n\n" + old_section("v3.0"));
    ASSERT_TRUE(add_quillbox_section(path_, "en"));
    EXPECT_EQ(read(), "# Mine\n\n" + en);

    // The English text of this version in an earlier wording is brought up to date where it
    // stands, with CRLF line ends and the user's notes after it kept.
    std::string earlier = en;
    earlier.replace(earlier.find("### Naming a section"), 20, "### Block ids");
    auto crlf = [](std::string t) {
        for (std::size_t at = 0; (at = t.find('\n', at)) != std::string::npos; at += 2) t.insert(at, 1, '\r');
        return t;
    };
    write(crlf("# Mine\n\n" + earlier + "- remember the build flags\n"));
    ASSERT_TRUE(add_quillbox_section(path_, "en"));
    EXPECT_EQ(read(), crlf("# Mine\n\n" + en + "- remember the build flags\n"));
    EXPECT_FALSE(add_quillbox_section(path_, "en"));
    EXPECT_FALSE(add_quillbox_section(path_, "zh"));
}

TEST_F(RuleFile, BadInputRaisesClearErrors) {
    fs::create_directory(path_);
    EXPECT_THROW(has_quillbox_section(path_), fs::filesystem_error);
    EXPECT_THROW(add_quillbox_section(path_), fs::filesystem_error);
    EXPECT_THROW(remove_quillbox_section(path_), fs::filesystem_error);
    fs::remove(path_);

    std::string bad = "# A\n\xff\xfe broken\n" + old_section("v3.0");
    write(bad);
    EXPECT_THROW(add_quillbox_section(path_), DecodeError);
    EXPECT_THROW(remove_quillbox_section(path_), DecodeError);
    EXPECT_EQ(read(), bad);

    EXPECT_THROW(add_quillbox_section(dir_ / "no-such-dir" / "CLAUDE.md"), fs::filesystem_error);
}

TEST_F(RuleFile, FailedWriteLeavesTheFileWholeAndNoTemporaryFile) {
    std::string original = "# Mine\n\n" + old_section("v2.0");
    write(original);
    _set_rulefile_write_hook([](const fs::path& tmp) {
        EXPECT_EQ(detail::read_file_bytes(tmp).substr(0, 7), "# Mine\n");
        throw std::runtime_error("simulated crash before rename");
    });
    EXPECT_THROW(add_quillbox_section(path_), std::runtime_error);
    EXPECT_THROW(remove_quillbox_section(path_), std::runtime_error);
    EXPECT_EQ(read(), original);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(RuleFile, KeepsPermissionsAndWritesThroughSymlinks) {
    fs::path real = dir_ / "real.md";
    write_to(real, "# Mine\n");
    fs::permissions(real, fs::perms(0640));
    fs::create_symlink("real.md", path_);
    EXPECT_TRUE(add_quillbox_section(path_));
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(detail::read_file_bytes(real), "# Mine\n\n" + SECTION);
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(entries(), 2u);

    fs::path dangling = dir_ / "link.md";
    fs::create_symlink("later.md", dangling);
    EXPECT_TRUE(add_quillbox_section(dangling));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(detail::read_file_bytes(dir_ / "later.md"), SECTION + "\n");
}

TEST_F(RuleFile, ReadOnlyFileIsRefused) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write read-only files";
    write("# Mine\n");
    fs::permissions(path_, fs::perms(0444));
    EXPECT_THROW(add_quillbox_section(path_), fs::filesystem_error);
    EXPECT_EQ(read(), "# Mine\n");
    fs::permissions(path_, fs::perms(0644));
    fs::permissions(dir_, fs::perms(0555));
    EXPECT_THROW(add_quillbox_section(path_), fs::filesystem_error);
    EXPECT_EQ(read(), "# Mine\n");
}
