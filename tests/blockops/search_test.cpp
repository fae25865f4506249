#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <regex>

#include "common/session.h"
#include "quillbox/blockops.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/rulefile.h"
#include "quillbox/semantic.h"
#include "quillbox/blockops/search.h"
#include "quillbox/blockops/semantic_index.h"
#include "semantic/tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// Vectors by text; records every call.
class FakeProvider : public EmbeddingProvider {
public:
    std::string key;  // the cache key; empty: titles are not cached
    std::map<std::string, std::vector<double>> vectors;
    std::vector<std::vector<std::string>> calls;
    std::optional<std::size_t> answer_size;  // set: answer with this many vectors

    std::vector<std::vector<double>> encode(const std::vector<std::string>& texts) override {
        calls.push_back(texts);
        std::vector<std::vector<double>> out;
        for (const auto& t : texts) out.push_back(vectors.count(t) ? vectors.at(t) : std::vector<double>{0, 0, 0, 0, 1});
        if (answer_size) out.resize(*answer_size);
        return out;
    }
    std::string cache_key() const override { return key; }
};

// A project with an index and a data directory; models come only from its own temporary
// directories, and nothing is downloaded.
struct Project {
    tiny::TempDir tmp;
    tiny::EnvVar hf_home{"HF_HOME", (tmp.path / "hf").string()};
    tiny::EnvVar hub{"HF_HUB_CACHE", std::nullopt};
    tiny::EnvVar offline{"HF_HUB_OFFLINE", "1"};
    tiny::EnvVar own{"QUILLBOX_MODEL_DIR", (tmp.path / "models").string()};
    tiny::EnvVar model{"QUILLBOX_SEMANTIC_MODEL", "all-MiniLM-L6-v2"};
    fs::path data = tmp.path / ".quillbox";
    Indexer indexer{(fs::create_directories(tmp.path / ".quillbox"), data / "index.db")};
    qbtest::SessionOn on{indexer, tmp.path, data};
    Session& session = on.session;

    ~Project() {
        indexer.close();
        set_log_sink(nullptr);
        set_log_level(LogLevel::warning);
    }

    fs::path write(const std::string& name, const std::string& text) {
        fs::path p = tmp.path / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
        return p;
    }
    fs::path add(const std::string& name, const std::string& text) {
        fs::path p = write(name, text);
        indexer.index_file(p);
        return p;
    }
    std::shared_ptr<FakeProvider> provider() {
        auto p = std::make_shared<FakeProvider>();
        session.embeddings = p;
        return p;
    }
    void install_tiny_model() {
        tiny::Spec s;
        s.hidden = 384;
        s.layers = 1;
        s.intermediate = 8;
        tiny::write_model(quillbox_model_dir() / "all-MiniLM-L6-v2", s);
    }
    std::string search(std::string_view query) { return do_search_blocks(session, query); }

    // What a result line says after the score: the block's file and id.
    std::string at(const std::string& name, std::size_t index) {
        return " file=\"" + name + "\" id=\"" + indexer.list_blocks(tmp.path / name).at(index).uuid + "\"";
    }
};

const std::string LOW = "\n⚠️ Low confidence match ";

}  // namespace

TEST(CosineSimilarity, PairsTheCommonPositionsAndGivesZeroForZeroNorms) {
    EXPECT_NEAR(_cosine_similarity({1, 2, 3}, {2, 4, 6}), 1.0, 1e-15);
    EXPECT_EQ(_cosine_similarity({1, 0}, {0, 5}), 0.0);
    EXPECT_NEAR(_cosine_similarity({1, -1}, {-1, 1}), -1.0, 1e-15);
    // Pairing stops at the shorter list; the norms still cover every element.
    EXPECT_DOUBLE_EQ(_cosine_similarity({1, 0, 5}, {1, 0}), 1.0 / std::sqrt(26.0));
    EXPECT_EQ(_cosine_similarity({0, 0}, {1, 2}), 0.0);
    EXPECT_EQ(_cosine_similarity({1, 2}, {0, 0}), 0.0);
    EXPECT_EQ(_cosine_similarity({}, {}), 0.0);
}

TEST(CosineSimilarity, SumsWithCompensation) {
    // A plain sum of the products loses the 1 between the two large terms and gives 0.
    const double r = _cosine_similarity({1e16, 1, -1e16}, {1, 1, 1});
    EXPECT_DOUBLE_EQ(r, 1.0 / (std::sqrt(2e32) * std::sqrt(3.0)));
}

TEST(SearchProvider, ExactLinesLabelsAndLowConfidenceBoundaries) {
    Project p;
    p.add("a.md", "# Install\nRun the installer.\nThen restart.\nMore.\n\n## Usage\nCall it.\n");
    p.add("b.md", "# Limits\nNone.\n# Half\nhalf.\n# Nothing\n");
    auto prov = p.provider();
    prov->vectors = {
        {"xq", {1, 0, 0, 0, 0, 0}},
        {"Install", {3, 0}},                  // 1.0
        {"Usage", {7, 7, 1, 1}},              // exactly 0.7
        {"Limits", {69, 72, 7, 2, 1, 1}},     // exactly 0.69
        {"Half", {1, 1, 1, 1}},               // exactly 0.5
        {"Nothing", {0, 0, 0}},               // zero vector
    };
    EXPECT_EQ(p.search("xq"),
              "Search 'xq':\n"
              "  [high] Install (score=100%)" + p.at("a.md", 0) + "\n    # Install\nRun the installer.\nThen restart.\n"
              "  [medium] Usage (score=70%)" + p.at("a.md", 1) + "\n    ## Usage\nCall it.\n"
              "  [medium] Limits (score=69%)" + p.at("b.md", 0) + LOW + "(69%). Please verify.\n    # Limits\nNone.");
    // Only titles are embedded, the query first, then every title in collection order.
    ASSERT_EQ(prov->calls.size(), 2u);
    EXPECT_EQ(prov->calls[0], std::vector<std::string>{"xq"});
    EXPECT_EQ(prov->calls[1].size(), 5u);

    // 0.5 is low; a zero vector scores 0.
    prov->vectors["xr"] = {0, 0, 0, 0, 0, 1};
    prov->vectors["Half"] = {0, 0, 0, 0, 0, 1, 1, 1, 1};
    prov->vectors["Nothing"] = {};
    prov->vectors["Install"] = prov->vectors["Usage"] = prov->vectors["Limits"] = {0, 0, 0, 0, 0, -1};
    std::string r = p.search("xr");
    EXPECT_EQ(r.substr(0, r.find("\n  [low] Install")),
              "Search 'xr':\n"
              "  [low] Half (score=50%)" + p.at("b.md", 1) + LOW + "(50%). Please verify.\n    # Half\nhalf.\n"
              "  [low] Nothing (score=0%)" + p.at("b.md", 2) + LOW + "(0%). Please verify.\n    # Nothing");
    EXPECT_NE(r.find("(score=-100%)"), std::string::npos) << r;
}

TEST(SearchProvider, EqualScoresKeepDocumentOrderAndStaleRangesGiveAnEmptySnippet) {
    Project p;
    fs::path f = p.add("same.md", "## Same\none\n## Same\ntwo\n## Gone\nthree\nfour\n");
    auto prov = p.provider();
    prov->vectors = {{"xs", {1, 0}}, {"Same", {2, 0}}, {"Gone", {1, 1}}};
    // The file shrinks behind the index's back: Gone's lines no longer exist.
    p.write("same.md", "## Same\none\n## Same\ntwo\n");
    EXPECT_EQ(p.search("xs"), "Search 'xs':\n"
                              "  [high] Same (score=100%)" + p.at("same.md", 0) + "\n    ## Same\none\n"
                              "  [high] Same (score=100%)" + p.at("same.md", 1) + "\n    ## Same\ntwo\n"
                              "  [high] Gone (score=71%)" + p.at("same.md", 2) + "\n    ");
    (void)f;
}

TEST(SearchProvider, NoBlocksWrongAnswersAndDeletedFiles) {
    Project p;
    auto prov = p.provider();
    EXPECT_EQ(p.search("x"), "No results for 'x'");
    EXPECT_TRUE(prov->calls.empty());

    p.add("keep.md", "# Keep\nk\n");
    fs::path gone = p.add("gone.md", "# Gone\ng\n");
    fs::remove(gone);
    prov->vectors = {{"x", {1}}, {"Keep", {1}}, {"Gone", {1}}};
    EXPECT_EQ(p.search("x"), "Search 'x':\n  [high] Keep (score=100%)" + p.at("keep.md", 0) + "\n    # Keep\nk");
    EXPECT_EQ(prov->calls.back(), std::vector<std::string>{"Keep"});

    prov->answer_size = 0;
    EXPECT_THROW(p.search("x"), std::runtime_error);
}

TEST(SearchProvider, TitleVectorsAreKeptByTextSoAQueryEncodesOnlyWhatIsNew) {
    Project p;
    p.add("a.md", "# Install\ni\n## Usage\nu\n## Usage\nagain\n");
    auto prov = p.provider();
    prov->key = "http://127.0.0.1:1/v1/embeddings m";
    prov->vectors = {{"install", {1, 0}}, {"Install", {1, 0}}, {"Usage", {0, 1}}, {"Limits", {1, 1}}};
    const std::string first = p.search("install");
    // A title shared by two blocks is asked for once.
    EXPECT_EQ(prov->calls, (std::vector<std::vector<std::string>>{{"install"}, {"Install", "Usage"}}));

    // The next search (another process: the cache is in the data directory) asks for the query only.
    prov->calls.clear();
    EXPECT_EQ(p.search("install"), first);
    EXPECT_EQ(prov->calls, (std::vector<std::vector<std::string>>{{"install"}}));

    // A new title is asked for alone; a title no block has any more is forgotten.
    p.add("a.md", "# Install\ni\n## Limits\nl\n");
    prov->calls.clear();
    EXPECT_EQ(p.search("install").rfind("Search 'install':\n  [high] Install (score=100%)" + p.at("a.md", 0), 0), 0u);
    EXPECT_EQ(prov->calls, (std::vector<std::vector<std::string>>{{"install"}, {"Limits"}}));
    EXPECT_EQ(TextVectorCache(p.data / "vectors" / "provider_titles.json", prov->key).size(), 2u);

    // Another endpoint or model: nothing kept applies.
    prov->key = "http://127.0.0.1:1/v1/embeddings other";
    prov->calls.clear();
    p.search("install");
    EXPECT_EQ(prov->calls, (std::vector<std::vector<std::string>>{{"install"}, {"Install", "Limits"}}));

    // A provider that answers with too few vectors is an error, and nothing of it is kept.
    prov->key = "k2";
    prov->answer_size = 1;
    prov->calls.clear();
    EXPECT_THROW(p.search("install"), std::runtime_error);
    EXPECT_EQ(TextVectorCache(p.data / "vectors" / "provider_titles.json", "k2").size(), 0u);
}

TEST(SearchLocal, FirstSearchFillsTheStoreAndNamesEachResultsFileAndId) {
    Project p;
    p.install_tiny_model();
    fs::create_directories(p.tmp.path / "docs");
    p.add("docs/a.md", "# Weather\nthe weather is lovely today.\n## Stadium\nhe drove to the stadium.\n");
    p.add("b.md", "# Hello\nhello world\n");
    // A query that shares no word with any section: the vectors' ranking alone.
    const std::string first = p.search("xyzzy plugh");

    SemanticIndex vectors(p.indexer, p.data / "vectors");
    EXPECT_EQ(vectors.follow(), (SemanticIndex::Progress{3, 3}));  // all embedded by the search

    // The lines are those of the vectors' own ranking, each naming the file relative to the
    // project root and the block id as the listing gives it.
    std::map<std::string, std::string> where;
    for (const char* name : {"docs/a.md", "b.md"})
        for (std::size_t i = 0; i < p.indexer.list_blocks(p.tmp.path / name).size(); ++i)
            where[p.indexer.list_blocks(p.tmp.path / name)[i].uuid] = p.at(name, i);
    std::string expected = "Search 'xyzzy plugh':";
    for (const auto& [id, score] : vectors.nearest("xyzzy plugh", 3)) {
        const double r = std::round(score * 10000) / 10000;
        const long pct = std::lround(std::nearbyint(r * 100));
        const std::string text = p.indexer.section_texts({id}, 100).at(0).text;
        expected += "\n  [" + std::string(r > 0.7 ? "high" : r > 0.5 ? "medium" : "low") + "] " +
                    p.indexer.get_block(id)->title + " (score=" + std::to_string(pct) + "%)" + where.at(id);
        if (r < 0.7) expected += LOW + "(" + std::to_string(pct) + "%). Please verify.";
        expected += "\n    " + text;
    }
    EXPECT_EQ(first, expected);
}

TEST(SearchLocal, TheRulesSectionOfClaudeMdIsNotSearched) {
    Project p;
    p.install_tiny_model();
    const std::string before = "# Project notes\nhello world\n\n";
    const std::string after = "\n## Build\nthe weather is lovely\n";
    // Both languages' sections, the English one followed by a section of the user's.
    p.add("CLAUDE.md", before + std::string(QUILLBOX_SECTION) + after + "\n" + std::string(QUILLBOX_SECTION_EN) +
                           "\n## Deploy\nsteps\n");
    p.add("rules.md", "## ⚠️ Quillbox 工具使用规则\nnot in CLAUDE.md: an ordinary section\n");
    // Queries that are the rules sections' own texts find other sections.
    for (const auto& b : p.indexer.list_blocks(p.tmp.path / "CLAUDE.md")) {
        const std::string r = p.search(b.title + " " + p.indexer.section_texts({b.uuid}, 200).at(0).text);
        const bool rules = b.title != "Project notes" && b.title != "Build" && b.title != "Deploy";
        EXPECT_EQ(r.find("id=\"" + b.uuid + "\"") == std::string::npos, rules) << b.title << "\n" << r;
    }

    // Nor through a provider.
    auto prov = p.provider();
    p.search("hello");
    ASSERT_EQ(prov->calls.size(), 2u);
    EXPECT_EQ(prov->calls[1], (std::vector<std::string>{"Project notes", "Build", "Deploy", "⚠️ Quillbox 工具使用规则"}));
}

TEST(SearchLocal, WithoutAModelTheKeywordsAnswer) {
    Project p;  // no model installed, downloads disabled
    EXPECT_EQ(p.search("anything"), "No results for 'anything'");

    p.add("a.md", "# Title\ntext about caching\n## Other\nnothing here\n");
    // No model and no download: the keyword index answers, with the words' excerpt.
    EXPECT_EQ(p.search("caching"), "Search 'caching':\n  [high] Title (score=100%)" + p.at("a.md", 0) +
                                       "\n    text about caching");
    EXPECT_EQ(p.search("nowhere"), "No results for 'nowhere'");

    // Switched off, the same.
    auto cfg = std::make_shared<MemoryConfig>();
    cfg->set("semantic.backend", "none");
    p.session.config = cfg;
    EXPECT_EQ(p.search("caching"), "Search 'caching':\n  [high] Title (score=100%)" + p.at("a.md", 0) +
                                       "\n    text about caching");

    // A provider's ranking is fused with the keywords'.
    auto prov = p.provider();
    prov->vectors = {{"q", {1}}, {"Title", {1}}, {"Other", {0, 1}}};
    EXPECT_EQ(p.search("q"), "Search 'q':\n  [high] Title (score=100%)" + p.at("a.md", 0) + "\n    # Title\ntext about caching\n## Other\n"
              "  [low] Other (score=0%)" + p.at("a.md", 1) + LOW + "(0%). Please verify.\n    ## Other\nnothing here");
}
