// Sections named by heading: the resolver against a model of the outline, and heading-addressed
// tool calls against the same calls by id.

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "fixture.h"
#include "host/tools.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/structure.h"

using namespace quillbox;
using quillbox::host::json;
using qbtest::Project;
using qbtest::read_file;
using qbtest::ToolsTest;
using qbtest::write_file;

namespace {

// A random outline: levels 1-4 in any order, titles from a small pool so that titles repeat,
// in siblings and in cousins, and some differ from others only in letter case.
struct Outline {
    std::vector<int> levels;
    std::vector<std::string> titles;
    // The model's chain of titles from the top-level ancestor down to each heading.
    std::vector<std::vector<std::string>> chains() const {
        std::vector<std::vector<std::string>> out;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            std::vector<std::string> chain{titles[i]};
            int level = levels[i];
            for (std::size_t j = i; j-- > 0;)
                if (levels[j] < level) {
                    chain.insert(chain.begin(), titles[j]);
                    level = levels[j];
                }
            out.push_back(std::move(chain));
        }
        return out;
    }
    std::string markdown() const {
        std::string md;
        for (std::size_t i = 0; i < levels.size(); ++i)
            md += std::string(static_cast<std::size_t>(levels[i]), '#') + " " + titles[i] + "\n\ntext " +
                  std::to_string(i) + "\n\n";
        return md;
    }
};

Outline random_outline(std::mt19937& rng) {
    static const char* pool[] = {"Install", "Linux", "Usage", "usage", "Notes", "Install Guide"};
    Outline o;
    const int n = std::uniform_int_distribution<int>(1, 10)(rng);
    for (int i = 0; i < n; ++i) {
        o.levels.push_back(std::uniform_int_distribution<int>(1, 4)(rng));
        o.titles.push_back(pool[std::uniform_int_distribution<std::size_t>(0, std::size(pool) - 1)(rng)]);
    }
    return o;
}

std::string lower_ascii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The model's answer: headings whose chain ends with `path`, compared exactly, else ignoring case.
std::vector<std::size_t> model_match(const std::vector<std::vector<std::string>>& chains,
                                     const std::vector<std::string>& path) {
    for (bool loose : {false, true}) {
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < chains.size(); ++i) {
            const auto& c = chains[i];
            if (path.size() > c.size()) continue;
            bool same = true;
            for (std::size_t k = 0; k < path.size(); ++k) {
                const std::string& a = c[c.size() - path.size() + k];
                same = same && (loose ? lower_ascii(a) == lower_ascii(path[k]) : a == path[k]);
            }
            if (same) hits.push_back(i);
        }
        if (!hits.empty()) return hits;
    }
    return {};
}

std::string joined(const std::vector<std::string>& path, const char* sep = " > ") {
    std::string out;
    for (const auto& t : path) out += (out.empty() ? "" : sep) + t;
    return out;
}

// The ids a refusal names (one candidate line each), as the short ids it shows.
std::vector<std::string> named_ids(const std::string& text) {
    std::vector<std::string> ids;
    static const std::regex line("(^|\n)([0-9a-f][0-9a-f-]{7,}) (#+|FM) ");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
        ids.push_back((*it)[2]);
    return ids;
}

}  // namespace

// Every path of every heading, as written and in other letter case: a path that names one
// heading of the model resolves to that heading's id, and one that names several is refused
// naming exactly those, each with a path that names it alone wherever one exists.
TEST_F(Project, EveryHeadingPathResolvesAsTheOutlineModelSays) {
    std::mt19937 rng(20251);
    quillbox::set_log_level(LogLevel::warning);
    for (int round = 0; round < 60; ++round) {
        const Outline o = random_outline(rng);
        SCOPED_TRACE(o.markdown());
        const auto p = md("outline" + std::to_string(round) + ".md", o.markdown());
        const std::vector<Block> blocks = list(p);
        ASSERT_EQ(blocks.size(), o.levels.size());
        const auto chains = o.chains();

        std::set<std::vector<std::string>> asked;
        for (const auto& chain : chains)
            for (std::size_t k = 1; k <= chain.size(); ++k) {
                std::vector<std::string> path(chain.end() - static_cast<std::ptrdiff_t>(k), chain.end());
                asked.insert(path);
                std::vector<std::string> upper = path;
                for (auto& t : upper) std::transform(t.begin(), t.end(), t.begin(), ::toupper);
                asked.insert(upper);
            }
        for (const auto& path : asked) {
            const std::vector<std::size_t> want = model_match(chains, path);
            // Spacing around '>' and a copied heading marker do not matter.
            for (const std::string& text : {joined(path), "## " + joined(path, ">"), joined(path, "  >  ")}) {
                SCOPED_TRACE(text);
                EXPECT_EQ(match_heading(blocks, text), want);
                const HeadingTarget got = resolve_heading(*session, p.string(), text);
                if (want.size() == 1) {
                    EXPECT_FALSE(got.refusal) << *got.refusal;
                    EXPECT_EQ(got.id, blocks[want.front()].uuid);
                    continue;
                }
                ASSERT_FALSE(want.empty());  // every path asked is some heading's, in some case
                ASSERT_TRUE(got.refusal);
                EXPECT_TRUE(got.refusal->refused());
                EXPECT_TRUE(got.id.empty());
                const std::vector<std::string> named = named_ids(*got.refusal);
                ASSERT_EQ(named.size(), want.size()) << *got.refusal;
                for (std::size_t k = 0; k < want.size(); ++k)
                    EXPECT_EQ(blocks[want[k]].uuid.rfind(named[k], 0), 0u) << *got.refusal;
            }
        }

        // The shortest paths the refusals offer: each names its heading alone, unless its whole
        // path is shared (same-titled siblings), where only the id tells them apart.
        const std::vector<std::string> shortest = heading_paths(blocks, true);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const auto hits = match_heading(blocks, shortest[i]);
            const auto whole = model_match(chains, chains[i]);
            if (whole.size() == 1)
                EXPECT_EQ(hits, std::vector<std::size_t>{i}) << shortest[i];
            else
                EXPECT_EQ(shortest[i], joined(chains[i]));
        }
    }
}

TEST_F(Project, AnUnknownHeadingNamesTheNearestOnesInTheProjectsLanguage) {
    const auto p = md("guide.md", "# Guide\n## Install\n### Linux\n## Build\n### Linux\n");
    HeadingTarget got = resolve_heading(*session, p.string(), "Instal");
    ASSERT_TRUE(got.refusal);
    EXPECT_NE(got.refusal->find("'Instal'"), std::string::npos) << *got.refusal;
    EXPECT_NE(got.refusal->find("## Install 2\n"), std::string::npos) << *got.refusal;
    EXPECT_NE(got.refusal->find("### Build > Linux"), std::string::npos) << *got.refusal;

    const auto empty = md("empty.md", "no headings here\n");
    got = resolve_heading(*session, empty.string(), "Install");
    ASSERT_TRUE(got.refusal);
    EXPECT_NE(got.refusal->find("no headings"), std::string::npos) << *got.refusal;

    // The path checks come first, as for any file operation.
    got = resolve_heading(*session, (root / "notes.txt").string(), "Install");
    ASSERT_TRUE(got.refusal);
    EXPECT_EQ(*got.refusal, check_md_path(*session->paths, root / "notes.txt"));

    set_language("zh");
    got = resolve_heading(*session, p.string(), "Linux");
    set_language("en");
    ASSERT_TRUE(got.refusal);
    EXPECT_NE(got.refusal->find("标题"), std::string::npos) << *got.refusal;
    EXPECT_EQ(named_ids(*got.refusal).size(), 2u);
}

namespace {

const char* kPlan =
    "# Doc\n"
    "intro\n"
    "## Plan\n"
    "step one\n"
    "## Notes\n"
    "tbd\n";
const char* kEdited = "# Doc\nintro\n## Plan\nstep one\nuser's step\n## Notes\ntbd\n";

}  // namespace

// A write named by heading is checked exactly as one named by id: against what the session was
// last shown of the section, or the index when it was shown nothing. The agent lists or reads
// (or neither), the user edits the section, the watcher re-indexes keeping ids; then the agent
// patches and replaces, once by id and once by heading: the two must agree in every case.
TEST_F(ToolsTest, AHeadingAddressedWriteFollowsTheViewRuleOfAnIdAddressedOne) {
    auto call = [&](const std::string& tool, const json& args) {
        return quillbox::host::run_tool(*registry.find(tool), ctx, args);
    };
    for (const std::string seen : {"nothing", "listing", "read"}) {
        std::map<std::string, std::pair<bool, std::string>> outcome;  // by addressing
        for (const std::string by : {"block_id", "heading"}) {
            SCOPED_TRACE(seen + " / " + by);
            session->view.forget_blocks();
            const auto p = md("plan.md", kPlan);
            const std::string id = id_of(p, "Plan");
            if (seen == "listing") call("md_list_blocks", {{"file_path", p.string()}});
            if (seen == "read") call("md_read_block", {{"file_path", p.string()}, {"heading", "Doc > Plan"}});

            write_file(p, kEdited);
            indexer->index_file(p, watcher.get());
            indexer->record_file_state(p, current_file_state(p));
            ASSERT_EQ(indexer->get_block(id)->uuid, id);

            json target = by == "block_id" ? json{{"block_id", id.substr(0, 8)}} : json{{"heading", "plan"}};
            json patch = target;
            patch.update({{"file_path", p.string()}, {"old_text", "step one"}, {"new_text", "step 1"}});
            const auto patched = call("md_patch_block", patch);
            json replace = target;
            replace.update({{"file_path", p.string()}, {"new_content", "## Plan\nagent's plan\n"}});
            const auto replaced = call("md_replace_block", replace);
            EXPECT_EQ(patched.is_error, replaced.is_error) << patched.text << "\n" << replaced.text;
            outcome[by] = {patched.is_error, read_file(p)};
        }
        EXPECT_EQ(outcome["block_id"], outcome["heading"]) << seen;
        // Shown nothing: the index speaks for the section, and the writes go through.
        EXPECT_EQ(outcome["heading"].first, seen != "nothing") << seen;
        if (seen != "nothing") {
            EXPECT_EQ(outcome["heading"].second, kEdited);
        }
    }
}

// Changing known text is one call; every tool that takes a block id takes a heading instead,
// and says which argument it needs when it gets neither.
TEST_F(ToolsTest, EveryBlockToolTakesAHeading) {
    auto call = [&](const std::string& tool, const json& args) {
        return quillbox::host::run_tool(*registry.find(tool), ctx, args);
    };
    const auto p = md("guide.md", "# Guide\n## Install\nUse apt.\n## Build\nRun make.\n## FAQ\nNone.\n");
    const std::string f = p.string();
    auto ok = [](const quillbox::host::ToolOutcome& out) {
        EXPECT_FALSE(out.is_error) << out.text;
        return out.text;
    };
    EXPECT_NE(ok(call("md_patch_block", {{"file_path", f}, {"heading", "Build"}, {"old_text", "make"},
                                         {"new_text", "ninja"}}))
                  .find("Run ninja."),
              std::string::npos);
    EXPECT_NE(ok(call("md_read_block", {{"file_path", f}, {"heading", "Guide > Install"}})).find("Use apt."),
              std::string::npos);
    const std::string both = ok(call("md_read_blocks", {{"file_path", f}, {"headings", {"FAQ", "Install"}}}));
    EXPECT_LT(both.find("None."), both.find("Use apt."));
    ok(call("md_replace_block", {{"file_path", f}, {"heading", "FAQ"}, {"new_content", "## FAQ\nAsk.\n"}}));
    EXPECT_EQ(ok(call("md_list_blocks", {{"file_path", f}, {"under", "Install"}})).find("Build"), std::string::npos);
    ok(call("md_move_block", {{"file_path", f}, {"heading", "FAQ"}, {"target_heading", "Install"},
                              {"position", "before"}}));
    ok(call("md_adjust_level", {{"file_path", f}, {"heading", "Build"}, {"delta", 1}}));
    EXPECT_EQ(read_file(p), "# Guide\n## FAQ\nAsk.\n## Install\nUse apt.\n### Build\nRun ninja.\n");

    for (const auto& [tool, args] : std::vector<std::pair<std::string, json>>{
             {"md_read_block", {{"file_path", f}}},
             {"md_patch_block", {{"file_path", f}, {"old_text", "a"}, {"new_text", "b"}}},
             {"md_read_blocks", {{"file_path", f}}},
             {"md_adjust_level", {{"file_path", f}, {"delta", 1}}}}) {
        const auto out = call(tool, args);
        EXPECT_TRUE(out.is_error) << tool;
        EXPECT_NE(out.text.find("heading"), std::string::npos) << tool << ": " << out.text;
    }
    // A heading without the file it is in.
    const auto out = call("md_adjust_level", {{"heading", "Build"}, {"delta", 1}});
    EXPECT_TRUE(out.is_error);
    EXPECT_NE(out.text.find("file_path"), std::string::npos) << out.text;
    // An ambiguous heading changes nothing.
    md("twice.md", "# A\n## X\none\n# B\n## X\ntwo\n");
    const auto twice = call("md_patch_block", {{"file_path", (root / "twice.md").string()}, {"heading", "X"},
                                               {"old_text", "one"}, {"new_text", "1"}});
    EXPECT_TRUE(twice.is_error);
    EXPECT_NE(twice.text.find("A > X"), std::string::npos) << twice.text;
    EXPECT_EQ(read_file(root / "twice.md"), "# A\n## X\none\n# B\n## X\ntwo\n");
}
