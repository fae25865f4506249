#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <regex>

#include "quillbox/blockops.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"
#include "quillbox/blockops/search.h"
#include "semantic/tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// Vectors by text; records every call.
class FakeProvider : public EmbeddingProvider {
public:
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

    Project() { reset_host_defaults(); }
    ~Project() {
        indexer.close();
        reset_host_defaults();
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
        set_embedding_provider(p);
        return p;
    }
    void install_tiny_model() {
        tiny::Spec s;
        s.hidden = 384;
        s.layers = 1;
        s.intermediate = 8;
        tiny::write_model(quillbox_model_dir() / "all-MiniLM-L6-v2", s);
    }
    std::string search(std::string_view query) { return do_search_blocks(indexer, data, query); }
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
        {"install the tool", {1, 0, 0, 0, 0, 0}},
        {"Install", {3, 0}},                  // 1.0
        {"Usage", {7, 7, 1, 1}},              // exactly 0.7
        {"Limits", {69, 72, 7, 2, 1, 1}},     // exactly 0.69
        {"Half", {1, 1, 1, 1}},               // exactly 0.5
        {"Nothing", {0, 0, 0}},               // zero vector
    };
    EXPECT_EQ(p.search("install the tool"),
              "Search 'install the tool':\n"
              "  [high] Install (score=100%)\n    # Install\nRun the installer.\nThen restart.\n"
              "  [medium] Usage (score=70%)\n    ## Usage\nCall it.\n"
              "  [medium] Limits (score=69%)" + LOW + "(69%). Please verify.\n    # Limits\nNone.");
    // Only titles are embedded, the query first, then every title in collection order.
    ASSERT_EQ(prov->calls.size(), 2u);
    EXPECT_EQ(prov->calls[0], std::vector<std::string>{"install the tool"});
    EXPECT_EQ(prov->calls[1].size(), 5u);

    // 0.5 is low; a zero vector scores 0.
    prov->vectors["half or nothing"] = {0, 0, 0, 0, 0, 1};
    prov->vectors["Half"] = {0, 0, 0, 0, 0, 1, 1, 1, 1};
    prov->vectors["Nothing"] = {};
    prov->vectors["Install"] = prov->vectors["Usage"] = prov->vectors["Limits"] = {0, 0, 0, 0, 0, -1};
    std::string r = p.search("half or nothing");
    EXPECT_EQ(r.substr(0, r.find("\n  [low] Install")),
              "Search 'half or nothing':\n"
              "  [low] Half (score=50%)" + LOW + "(50%). Please verify.\n    # Half\nhalf.\n"
              "  [low] Nothing (score=0%)" + LOW + "(0%). Please verify.\n    # Nothing");
    EXPECT_NE(r.find("(score=-100%)"), std::string::npos) << r;
}

TEST(SearchProvider, EqualScoresKeepDocumentOrderAndStaleRangesGiveAnEmptySnippet) {
    Project p;
    fs::path f = p.add("same.md", "## Same\none\n## Same\ntwo\n## Gone\nthree\nfour\n");
    auto prov = p.provider();
    prov->vectors = {{"same", {1, 0}}, {"Same", {2, 0}}, {"Gone", {1, 1}}};
    // The file shrinks behind the index's back: Gone's lines no longer exist.
    p.write("same.md", "## Same\none\n## Same\ntwo\n");
    EXPECT_EQ(p.search("same"), "Search 'same':\n"
                                "  [high] Same (score=100%)\n    ## Same\none\n"
                                "  [high] Same (score=100%)\n    ## Same\ntwo\n"
                                "  [high] Gone (score=71%)\n    ");
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
    EXPECT_EQ(p.search("x"), "Search 'x':\n  [high] Keep (score=100%)\n    # Keep\nk");
    EXPECT_EQ(prov->calls.back(), std::vector<std::string>{"Keep"});

    prov->answer_size = 0;
    EXPECT_THROW(p.search("x"), std::runtime_error);
}

TEST(SearchLocal, FirstSearchFillsTheStoreLaterSearchesUseItUnchanged) {
    Project p;
    p.install_tiny_model();
    p.add("a.md", "# Weather\nthe weather is lovely today.\n## Stadium\nhe drove to the stadium.\n");
    p.add("b.md", "# Hello\nhello world\n");
    const std::string first = p.search("the weather is lovely");

    SemanticEngine engine(p.data / "vectors");
    ASSERT_EQ(engine.size(), 3u);
    const std::string metadata = detail::read_file_bytes(p.data / "vectors" / "metadata.json");
    EXPECT_EQ(engine.metadata().find(p.indexer.list_blocks(p.tmp.path / "b.md").at(0).uuid)->snippet,
              "# Hello\nhello world");

    // The lines are those of the engine's own ranking.
    std::string expected = "Search 'the weather is lovely':";
    for (const auto& r : engine.search("the weather is lovely", 3)) {
        const long pct = std::lround(std::nearbyint(r.score * 100));
        expected += "\n  [" + std::string(r.score > 0.7 ? "high" : r.score > 0.5 ? "medium" : "low") + "] " +
                    r.title + " (score=" + std::to_string(pct) + "%)";
        if (r.score < 0.7) expected += LOW + "(" + std::to_string(pct) + "%). Please verify.";
        expected += "\n    " + r.snippet;
    }
    EXPECT_EQ(first, expected);

    // A later search neither re-encodes nor adds newly indexed blocks.
    p.add("c.md", "# Semantic\nsemantic search\n");
    EXPECT_EQ(p.search("the weather is lovely"), first);
    EXPECT_EQ(SemanticEngine(p.data / "vectors").size(), 3u);
    EXPECT_EQ(detail::read_file_bytes(p.data / "vectors" / "metadata.json"), metadata);
}

TEST(SearchLocal, EmptyIndexMissingModelAndSwitchedOff) {
    Project p;  // no model installed, downloads disabled
    EXPECT_EQ(p.search("anything"), "No results for 'anything'");

    p.add("a.md", "# Title\ntext\n");
    try {
        p.search("anything");
        FAIL() << "no error";
    } catch (const SemanticModelError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("语义搜索模型下载失败: all-MiniLM-L6-v2\n请检查网络连接后重试。\n"
                                              "或设置环境变量 QUILLBOX_SEMANTIC_MODEL 切换模型。\n原始错误: ",
                                              0),
                  0u)
            << e.what();
    }

    std::vector<std::pair<LogLevel, std::string>> records;
    set_log_level(LogLevel::debug);
    set_log_sink([&](const LogRecord& r) { records.emplace_back(r.level, r.templ); });
    auto cfg = std::make_shared<MemoryConfig>();
    cfg->set("semantic.backend", "none");
    set_config_source(cfg);
    EXPECT_EQ(p.search("it's 100% 'quoted'"),
              "⚠️  Semantic search not enabled.\n"
              "Install dependencies: pip install quillbox[semantic]\n"
              "Then configure a backend: quillbox config set semantic.backend onnx\n"
              "Use md_find_blocks for keyword search instead.");
    using R = std::pair<LogLevel, std::string>;
    EXPECT_EQ(records, (std::vector<R>{{LogLevel::debug, "search_blocks: '%s'"},
                                       {LogLevel::warning, "Semantic engine not available"}}));

    // A provider takes precedence over the local engine.
    auto prov = p.provider();
    prov->vectors = {{"q", {1}}, {"Title", {1}}};
    EXPECT_EQ(p.search("q"), "Search 'q':\n  [high] Title (score=100%)\n    # Title\ntext");
}
