// The ignore rule against git itself: on random trees with .gitignore files at several levels,
// the Markdown files Quillbox takes are those `git ls-files` lists, and the watcher holds one
// watch per folder git does not ignore.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "common/temp_dir.h"
#include "host/commands.h"
#include "host/ignore.h"
#include "host/serve.h"
#include "quillbox/watcher.h"

namespace fs = std::filesystem;
using namespace quillbox::host;
using qbtest::TempDir;

namespace {

std::string run(const fs::path& dir, const std::string& command, const std::string& input = "") {
    TempDir io("qbgit");
    qbtest::write_file(io / "in", input);
    const std::string full = "cd '" + dir.string() + "' && " + command + " < '" + (io / "in").string() + "' 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(full.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

std::set<std::string> lines(const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.insert(l);
    return out;
}

// A random tree: folders up to three deep, Markdown and other files, .gitignore files with
// patterns that ignore folders, files, globs and negations.
std::set<std::string> make_tree(const TempDir& dir, std::mt19937& rng) {
    const std::vector<std::string> names{"docs", "node_modules", "build", "a", "b", ".venv", ".github", "out", "pkg"};
    const std::vector<std::string> files{"README.md", "x.md", "y.md", "notes.txt"};
    const std::vector<std::string> patterns{"node_modules/", "build", "*.txt", "x.md", "/a", "out/", "!y.md",
                                            "b/y.md", "docs/**/y.md", ".venv", "pkg/*", "!pkg/README.md", "*.md",
                                            "!docs/"};
    auto pick = [&](const auto& v) { return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)]; };
    std::set<std::string> folders{""};
    for (int i = 0; i < 14; ++i) {
        std::string f;
        const int depth = std::uniform_int_distribution<int>(1, 3)(rng);
        for (int d = 0; d < depth; ++d) {
            f += (f.empty() ? "" : "/") + pick(names);
            folders.insert(f);
        }
    }
    for (const auto& f : folders) {
        for (int i = 0; i < 2; ++i) dir.write((f.empty() ? "" : f + "/") + pick(files), "# T\n");
        if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
            std::string ignore;
            for (int i = std::uniform_int_distribution<int>(1, 3)(rng); i > 0; --i) ignore += pick(patterns) + "\n";
            dir.write((f.empty() ? "" : f + "/") + ".gitignore", ignore);
        }
    }
    return folders;
}

}  // namespace

TEST(IgnoreRules, AgreeWithGitOnRandomTrees) {
    if (run("/", "git --version").empty()) GTEST_SKIP() << "git is not installed";
    for (unsigned seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir dir;
        std::mt19937 rng(seed);
        std::set<std::string> folders = make_tree(dir, rng);
        run(dir.path, "git init -q . && git config core.excludesFile /dev/null");
        // One ignored file tracked all the same: git keeps it.
        if (seed % 5 == 0) {
            dir.write("build/forced.md", "# F\n");
            dir.write(".gitignore", "build/\n");
            run(dir.path, "git add -f build/forced.md");
            folders.insert("build");
        }
        const IgnoreRules rules(dir.path);
        ASSERT_TRUE(rules.in_repository());

        std::set<std::string> ours;
        for (const auto& f : rules.markdown_files()) ours.insert(f.lexically_relative(dir.path).generic_string());
        std::set<std::string> gits;
        for (const auto& f : lines(run(dir.path, "git ls-files --cached --others --exclude-standard")))
            if (f.ends_with(".md")) gits.insert(f);
        EXPECT_EQ(ours, gits);

        // Folders: the watcher's count is the root and every folder git keeps whose parents it
        // keeps too (a folder below an ignored one is never reached).
        std::string asked;
        for (const auto& f : folders)
            if (!f.empty()) asked += f + "\n";
        const std::set<std::string> ignored = lines(run(dir.path, "git check-ignore --stdin", asked));
        // A folder holding a tracked file is kept: git sees changes there.
        std::set<std::string> holding;
        for (const auto& f : lines(run(dir.path, "git ls-files --cached")))
            for (fs::path p = fs::path(f).parent_path(); !p.empty(); p = p.parent_path()) holding.insert(p.generic_string());
        std::size_t kept = 0;
        for (const auto& f : folders) {
            bool out = false;
            if (holding.count(f)) {
                ++kept;
                continue;
            }
            for (fs::path p = f; !p.empty(); p = p.parent_path()) out = out || ignored.count(p.generic_string());
            kept += !out;
            if (!f.empty()) {
                EXPECT_EQ(rules.is_ignored(dir.path / f, true), out) << f;
            }
        }
        EXPECT_EQ(rules.watched_folder_count(), kept);
        quillbox::FileWatcher watcher(dir.path, [](const fs::path&) {}, 0.5,
                                      [&rules](const fs::path& d) { return rules.is_ignored(d, true); });
        watcher.start();
        EXPECT_EQ(watcher.watch_count(), kept);
    }
}

// Without git: hidden folders, node_modules and the data folder are skipped, nothing else.
TEST(IgnoreRules, OutsideARepositoryHiddenFoldersAndNodeModulesAreSkipped) {
    TempDir dir;
    if (git_top_level(dir.path)) GTEST_SKIP() << "the temporary folder lies in a git work tree";
    for (const char* f : {"a.md", "docs/b.md", ".hidden/c.md", "node_modules/p/d.md", ".quillbox/e.md",
                          "docs/.git/f.md", "docs/.github/g.md"})
        dir.write(f, "# x\n");
    const IgnoreRules rules(dir.path);
    EXPECT_FALSE(rules.in_repository());
    std::vector<fs::path> expected{dir.path / "a.md", dir.path / "docs/b.md"};
    EXPECT_EQ(rules.markdown_files(), expected);
    EXPECT_TRUE(rules.is_ignored(dir.path / "node_modules/p/d.md", false));
    EXPECT_FALSE(rules.is_ignored(dir.path / ".env.md", false));
    EXPECT_EQ(rules.watched_folder_count(), 2u);
}

// A repository's data folder and .git are skipped even when no .gitignore names them; and the
// top level is found from a subfolder, which is what install registers.
TEST(IgnoreRules, InARepositoryGitAndDataFoldersAreSkippedAndTheTopLevelIsFound) {
    TempDir dir;
    run(dir.path, "git init -q .");
    dir.write(".quillbox/backups/a.md", "# x\n");
    dir.write(".github/guide.md", "# x\n");
    dir.write("sub/deeper/n.md", "# x\n");
    const IgnoreRules rules(dir.path);
    std::vector<fs::path> expected{dir.path / ".github/guide.md", dir.path / "sub/deeper/n.md"};
    EXPECT_EQ(rules.markdown_files(), expected);
    EXPECT_TRUE(rules.is_ignored(dir.path / ".git", true));
    EXPECT_EQ(git_top_level(dir.path / "sub/deeper"), dir.path);

    qbtest::CurrentDir here(dir.path / "sub");
    std::string said;
    EXPECT_EQ(install_root("", &said), dir.path);
    EXPECT_NE(said.find("inside the git repository"), std::string::npos) << said;
    said.clear();
    EXPECT_EQ(install_root(dir.path / "sub", &said), dir.path / "sub");  // --root wins
    EXPECT_EQ(said, "");
}

// Claude Code passes `--root ${CLAUDE_PROJECT_DIR:-.}` but sets the variable only in the
// server's environment: the argument arrives as "." and the variable names the project.
TEST(ServeRoot, DotOrNothingMeansTheProjectDirClaudeCodeSets) {
    ::unsetenv("CLAUDE_PROJECT_DIR");
    EXPECT_EQ(serve_root("${CLAUDE_PROJECT_DIR:-.}"), ".");
    EXPECT_EQ(serve_root(""), "");
    ::setenv("CLAUDE_PROJECT_DIR", "/srv/project", 1);
    for (const char* arg : {".", "./", "", "${CLAUDE_PROJECT_DIR:-.}"}) EXPECT_EQ(serve_root(arg), "/srv/project") << arg;
    EXPECT_EQ(serve_root("docs"), "docs");
    EXPECT_EQ(serve_root("/other"), "/other");
    ::unsetenv("CLAUDE_PROJECT_DIR");
}
