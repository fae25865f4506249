// The default collaborators of a session: path resolvers, read cache, text-file test; and the logger.

#include "fixture.h"
#include "quillbox/detail/sha256.h"

using namespace quillbox;
using qbtest::Project;
namespace fs = std::filesystem;

TEST_F(Project, ProjectResolverAnchorsAtRootAndRefusesEscapes) {
    fs::create_directories(root / "docs");
    const auto outside = fs::temp_directory_path();
    ProjectPathResolver resolver(root);
    EXPECT_EQ(resolver.resolve("docs/a.md"), root / "docs" / "a.md");
    EXPECT_EQ(resolver.resolve((root / "docs/../b.md").string()), root / "b.md");
    EXPECT_EQ(resolver.resolve(""), root);
    EXPECT_THROW(resolver.resolve("../x.md"), PathOutsideRootError);
    EXPECT_THROW(resolver.resolve("/etc/passwd"), PathOutsideRootError);
    fs::create_directory_symlink(outside, root / "link");
    EXPECT_THROW(resolver.resolve("link/x.md"), PathOutsideRootError);
    // A sibling whose name starts with the root's name is still outside.
    EXPECT_THROW(resolver.resolve(root.string() + "-other/x.md"), PathOutsideRootError);
    EXPECT_NO_THROW(ProjectPathResolver(root, true).resolve("/etc/passwd"));

    // The session's resolver is what the operations use.
    session->paths = std::make_shared<ProjectPathResolver>(root);
    md("docs/a.md", "# A\n");
    EXPECT_NE(do_list_blocks(*session, "docs/a.md").find("File: " + (root / "docs/a.md").string()),
              std::string::npos);
    EXPECT_THROW(do_list_blocks(*session, "../a.md"), PathOutsideRootError);
}

TEST_F(Project, MemoryReadCacheHitsOnlyForDeliveredUnchangedContent) {
    const auto p = md("a.md", "one\ntwo\n");
    MemoryReadCache cache;
    EXPECT_EQ(cache.check(p.string()).status, "miss");
    EXPECT_EQ(cache.check(p.string()).status, "miss");  // a check delivers nothing
    const CacheResult first = cache.check_and_read(p.string());
    EXPECT_EQ(first.status, "miss");
    EXPECT_EQ(first.content, "one\ntwo\n");
    const CacheResult second = cache.check_and_read(p.string());
    EXPECT_EQ(second.status, "hit");
    EXPECT_EQ(second.lines, 2);
    EXPECT_EQ(second.sha, detail::sha256_hex("one\ntwo\n").substr(0, 12));
    qbtest::write_file(p, "one\ntwo\nthree\n");
    EXPECT_EQ(cache.check_and_read(p.string()).status, "miss");
    EXPECT_EQ(cache.check_and_read(p.string()).status, "hit");
    cache.forget(p.string());
    EXPECT_EQ(cache.check(p.string()).status, "miss");
}

TEST_F(Project, DefaultTextFileTest) {
    EXPECT_TRUE(default_is_text_file(md("a.md", "# ü\n").string()));
    EXPECT_TRUE(default_is_text_file(md("e.txt", "").string()));
    EXPECT_FALSE(default_is_text_file(md("b.bin", std::string("ab\0cd", 5)).string()));
    EXPECT_FALSE(default_is_text_file(md("l.txt", "caf\xe9\n").string()));
    EXPECT_FALSE(default_is_text_file(root.string()));
    EXPECT_FALSE(default_is_text_file((root / "missing").string()));
    // A multi-byte character cut by the sniffing window is not a reason to refuse.
    EXPECT_TRUE(default_is_text_file(md("long.txt", std::string(8191, 'a') + "ü").string()));
}

TEST_F(Project, LoggerFiltersByLevelAndKeepsTemplates) {
    set_log_level(LogLevel::warning);
    log_debug("hidden %d", 1);
    log_info("hidden %s", "too");
    log_warning("shown %s: %d", "x", 2);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].templ, "shown %s: %d");
    EXPECT_EQ(logs[0].message, "shown x: 2");
}
