#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"
#include "tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// A data directory with vectors/ and a hub cache holding tiny 384-wide models under the real
// names, with downloads disabled.
struct Fixture {
    tiny::TempDir tmp;
    tiny::EnvVar hf_home{"HF_HOME", (tmp.path / "hf").string()};
    tiny::EnvVar hub{"HF_HUB_CACHE", std::nullopt};
    tiny::EnvVar offline{"HF_HUB_OFFLINE", "1"};
    tiny::EnvVar own{"QUILLBOX_MODEL_DIR", (tmp.path / "own").string()};
    tiny::EnvVar model{"QUILLBOX_SEMANTIC_MODEL", std::nullopt};
    fs::path data = tmp.path / "data";
    fs::path vectors = data / "vectors";

    void install(const std::string& name, int hidden) {
        tiny::Spec s;
        s.hidden = hidden;
        s.heads = 4;
        s.layers = 1;
        s.intermediate = 8;
        tiny::write_model(quillbox_model_dir() / name, s);
    }
    std::string file(const char* name) const { return detail::read_file_bytes(vectors / name); }
};

std::string chars(std::size_t n, const char* unit = "a") {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += unit;
    return s;
}

// prefix followed by n. Built by appending: GCC 12 warns (-Wrestrict, a false positive) on
// "b" + std::to_string(n) at -O3.
std::string numbered(const char* prefix, int n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

}  // namespace

TEST(Engine, EmptyStoreSearchesWithoutLoadingTheModel) {
    Fixture f;  // no model installed: loading would fail
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_TRUE(fs::is_directory(f.vectors));
    EXPECT_EQ(e.size(), 0u);
    EXPECT_TRUE(e.search("anything").empty());
}

TEST(Engine, ModelLoadFailureNamesTheModelAndKeepsTheCause) {
    Fixture f;
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            e.encode("x");
            FAIL();
        } catch (const SemanticModelError& err) {
            EXPECT_EQ(err.model(), "all-MiniLM-L6-v2");
            EXPECT_NE(err.cause().find("HF_HUB_OFFLINE"), std::string::npos);
            try {
                std::rethrow_if_nested(err);
                ADD_FAILURE() << "no nested cause";
            } catch (const ModelError& cause) {
                EXPECT_EQ(err.cause(), cause.what());
            }
        }
    }
    // A model that appears later is picked up: the failure was not remembered.
    f.install("all-MiniLM-L6-v2", 384);
    EXPECT_EQ(e.encode("x").size(), 384u);
}

TEST(Engine, ModelOfTheWrongWidthIsRefused) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 16);
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    try {
        e.encode("x");
        FAIL();
    } catch (const SemanticModelError& err) {
        EXPECT_NE(std::string(err.what()).find("gives vectors of 16 numbers, expected 384"), std::string::npos);
    }
}

TEST(Engine, IndexSearchAndSnippets) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_TRUE(e.index_block("a", "Title", chars(250, "é"), "h1"));
    EXPECT_FALSE(e.index_block("a", "Other title", "changed", "h1"));  // same hash: kept as it was
    EXPECT_EQ(e.metadata().find("a")->title, "Title");
    EXPECT_EQ(e.metadata().find("a")->snippet, chars(200, "é"));
    EXPECT_EQ(*e.vectors().find("a"), e.encode("Title " + chars(200, "é")));
    EXPECT_TRUE(e.index_block("a", "Title", chars(250, "é"), "h2"));
    EXPECT_TRUE(e.index_block("b", "B", chars(100), "hb"));
    EXPECT_EQ(e.size(), 2u);

    auto all = e.search("Title " + chars(200, "é"), 10);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].block_id, "a");
    EXPECT_EQ(all[0].score, 1.0);
    EXPECT_EQ(all[0].snippet, chars(100, "é") + "...");
    EXPECT_EQ(all[1].snippet, chars(100));  // exactly 100: no ellipsis
    EXPECT_EQ(all[1].score, std::round(all[1].score * 10000) / 10000);
    EXPECT_TRUE(e.search("q", 0).empty());
    EXPECT_EQ(e.search("q").size(), 2u);

    e.remove_block("a");
    e.remove_block("unknown");
    EXPECT_EQ(e.size(), 1u);
    EXPECT_EQ(e.metadata().find("a"), nullptr);
}

TEST(Engine, EqualScoresKeepFirstIndexedOrder) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    e.index_block("z", "Other", "x y", "0");
    for (const char* id : {"c", "a", "b"}) e.index_block(id, "Same", "text", id);
    e.index_block("a", "Same", "text", "a2");  // re-encoded in place: keeps its position
    auto r = e.search("Same text", 3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].block_id, "c");
    EXPECT_EQ(r[1].block_id, "a");
    EXPECT_EQ(r[2].block_id, "b");
}

TEST(Engine, StoreFilesAreWrittenInTheCompactAsciiFormAndReadBack) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        e.index_block("id-1", "标题 😀 \"q\" \\ \t", "内容\n", "hash1");
        e.index_block("id-2", "Plain", "", "hash2");
        e._save_vectors();
    }
    EXPECT_EQ(f.file("model_info.json"), "{\"model_name\": \"all-MiniLM-L6-v2\", \"vector_dim\": 384}");
    EXPECT_EQ(f.file("metadata.json"),
              "{\"id-1\": [\"\\u6807\\u9898 \\ud83d\\ude00 \\\"q\\\" \\\\ \\t\", \"\\u5185\\u5bb9\\n\", \"hash1\"], "
              "\"id-2\": [\"Plain\", \"\", \"hash2\"]}");
    const std::string v = f.file("vectors.json");
    EXPECT_EQ(v.rfind("{\"id-1\": [", 0), 0u);
    EXPECT_EQ(v.find('\n'), std::string::npos);

    SemanticEngine again(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_EQ(again.size(), 2u);
    EXPECT_EQ(again.metadata().find("id-1")->title, "标题 😀 \"q\" \\ \t");
    SemanticEngine fresh(f.tmp.path / "other", "all-MiniLM-L6-v2");
    // Numbers read back to exactly the doubles that were written.
    EXPECT_EQ(*again.vectors().find("id-2"), fresh.encode("Plain "));
}

TEST(Engine, NumbersUseTheShortestRoundTripForm) {
    auto num = [](double d) {
        std::string s;
        semantic_json::append_number(s, d);
        return s;
    };
    EXPECT_EQ(num(0.1), "0.1");
    EXPECT_EQ(num(-0.5), "-0.5");
    EXPECT_EQ(num(3.0), "3.0");
    EXPECT_EQ(num(0.0), "0.0");
    EXPECT_EQ(num(-0.0), "-0.0");
    EXPECT_EQ(num(1e-05), "1e-05");
    EXPECT_EQ(num(0.0001), "0.0001");
    EXPECT_EQ(num(1.5e-07), "1.5e-07");
    EXPECT_EQ(num(1e16), "1e+16");
    EXPECT_EQ(num(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(num(1.7976931348623157e308), "1.7976931348623157e+308");
    EXPECT_EQ(num(static_cast<double>(0.1f)), "0.10000000149011612");
    std::string s;
    semantic_json::append_string(s, "\x7f\x01 é");
    EXPECT_EQ(s, "\"\\u007f\\u0001 \\u00e9\"");
}

TEST(Engine, BadStoreFilesStopConstruction) {
    Fixture f;
    fs::create_directories(f.vectors);
    std::ofstream(f.vectors / "vectors.json") << "{\"a\": [0.1, ";
    EXPECT_THROW(SemanticEngine(f.vectors, "all-MiniLM-L6-v2"), std::runtime_error);
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "{\"a\": [\"x\"]}";
    EXPECT_THROW(SemanticEngine(f.vectors, "all-MiniLM-L6-v2"), std::runtime_error);
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "[[0.5]]";
    EXPECT_THROW(SemanticEngine(f.vectors, "all-MiniLM-L6-v2"), std::runtime_error);
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "{\"a\": {\"x\": 1}}";
    EXPECT_THROW(SemanticEngine(f.vectors, "all-MiniLM-L6-v2"), std::runtime_error);
    // A repeated id keeps its first place and its last value.
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "{\"a\": [1], \"b\": [2], \"a\": [0.5, 0.5]}";
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        ASSERT_EQ(e.size(), 2u);
        EXPECT_EQ(e.vectors().begin()->first, "a");
        EXPECT_EQ(e.vectors().begin()->second, (std::vector<double>{0.5, 0.5}));
    }
    // Escaped ids and indented layout, as other JSON writers produce, read the same.
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "{\n  \"\\u00e9\": [ 1e-05 ,-2 ],\n  \"z\": []\n}\n";
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        ASSERT_NE(e.vectors().find("é"), nullptr);
        EXPECT_EQ(*e.vectors().find("é"), (std::vector<double>{1e-05, -2}));
        EXPECT_TRUE(e.vectors().find("z")->empty());
    }
    std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << "{\"a\": [0.5, 0.5]}";
    std::ofstream(f.vectors / "metadata.json") << "{\"a\": [\"t\", \"s\"]}";
    EXPECT_THROW(SemanticEngine(f.vectors, "all-MiniLM-L6-v2"), std::runtime_error);
    std::ofstream(f.vectors / "metadata.json", std::ios::trunc) << "{\"a\": [\"t\", \"s\", \"h\"]}";
    SemanticEngine ok(f.vectors, "all-MiniLM-L6-v2");  // no model_info.json: used as it is
    EXPECT_EQ(ok.size(), 1u);
    EXPECT_THROW(SemanticEngine(f.vectors, "no-such-model"), std::invalid_argument);
}

TEST(Engine, StoreOfAnotherModelIsDroppedAndRebuilt) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    fs::create_directories(f.vectors);
    std::ofstream(f.vectors / "vectors.json") << "{\"a\": [1.0, 0.0], \"c\": [0.0, 1.0]}";
    std::ofstream(f.vectors / "metadata.json") << "{\"a\": [\"A\", \"s\", \"ha\"], \"c\": [\"C\", \"s\", \"hc\"]}";
    std::ofstream(f.vectors / "model_info.json") << "{\"model_name\": \"bge-small-zh-v1.5\", \"vector_dim\": 512}";
    tiny::EnvVar env("QUILLBOX_SEMANTIC_MODEL", "all-MiniLM-L6-v2");
    SemanticEngine e(f.vectors);
    EXPECT_EQ(e.model_name(), "all-MiniLM-L6-v2");
    EXPECT_EQ(e.size(), 0u);
    EXPECT_FALSE(fs::exists(f.vectors / "model_info.json"));
    EXPECT_TRUE(fs::exists(f.vectors / "vectors.json"));  // stays until the next save

    fs::path md = f.tmp.path / "doc.md";
    std::ofstream(md) << "# A\ntext a\n# B\ntext b\n";
    std::vector<Block> blocks = {{"a", md, 1, 2, "A", 1, "A", "heading", "ha"},
                                 {"b", md, 3, 4, "B", 1, "B", "heading", "hb"}};
    EXPECT_EQ(e.reindex_all(blocks), (ReindexStats{2, 0, 0}));
    EXPECT_EQ(f.file("model_info.json"), "{\"model_name\": \"all-MiniLM-L6-v2\", \"vector_dim\": 384}");
    EXPECT_EQ(e.metadata().find("a")->snippet, "# A\ntext a");

    // Same dimension but recorded under another name also counts as a mismatch.
    std::ofstream(f.vectors / "model_info.json", std::ios::trunc) << "{\"model_name\": \"multilingual-e5-small\", \"vector_dim\": 384}";
    EXPECT_EQ(SemanticEngine(f.vectors).size(), 0u);
}

TEST(Engine, ReindexAllEncodesSkipsAndDeletes) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    fs::path md = f.tmp.path / "doc.md";
    std::ofstream(md) << "# A\ntext a\n# B\ntext b\n";
    Block a{"a", md, 1, 2, "A", 1, "A", "heading", "ha"}, b{"b", md, 3, 4, "B", 1, "B", "heading", "hb"},
        c{"c", md, 3, 4, "C", 1, "C", "heading", "hc"};
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        EXPECT_EQ(e.reindex_all({a, c}), (ReindexStats{2, 0, 0}));
    }
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_EQ(e.reindex_all({a, b}), (ReindexStats{1, 1, 1}));
    std::vector<std::string> ids;
    for (const auto& [id, v] : e.vectors()) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SemanticEngine(f.vectors, "all-MiniLM-L6-v2").size(), 2u);
}

// The store file's identity: a save replaces the file, so a new inode means it was written.
static ino_t inode_of(const fs::path& p) {
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(Engine, SyncEncodesOnlyWhatChangedAndSavesOnlyThen) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    fs::path md = f.tmp.path / "doc.md", other = f.tmp.path / "other.md";
    std::ofstream(md) << "# A\ntext a\n# B\ntext b\n";
    std::ofstream(other) << "# C\ntext c\n";
    Block a{"a", md, 1, 2, "A", 1, "A", "heading", "ha"}, b{"b", md, 3, 4, "B", 1, "B", "heading", "hb"},
        c{"c", other, 1, 2, "C", 1, "C", "heading", "hc"};
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        EXPECT_EQ(e.sync({a, b, c}), (ReindexStats{3, 0, 0}));
    }
    const ino_t saved = inode_of(f.vectors / "vectors.json");
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        EXPECT_EQ(e.sync({a, b, c}), (ReindexStats{0, 3, 0}));
    }
    EXPECT_EQ(inode_of(f.vectors / "vectors.json"), saved) << "nothing changed, nothing written";

    // B's text changes, C's file is gone: B alone is encoded again (from its new lines), C dropped.
    std::ofstream(md, std::ios::trunc) << "# A\ntext a\n# B\nthe weather is lovely\n";
    b.content_hash = "hb2";
    std::vector<double> old_b;
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        old_b = *e.vectors().find("b");
        EXPECT_EQ(e.sync({a, b}), (ReindexStats{1, 1, 1}));
    }
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e.metadata().find("b")->snippet, "# B\nthe weather is lovely");
    EXPECT_EQ(e.metadata().find("b")->content_hash, "hb2");
    EXPECT_NE(*e.vectors().find("b"), old_b);
    EXPECT_EQ(e.search("B # B\nthe weather is lovely", 1).at(0).block_id, "b");
    EXPECT_EQ(e.metadata().find("c"), nullptr);
}

TEST(Engine, SyncMendsAHalfWrittenStore) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    fs::path md = f.tmp.path / "doc.md";
    std::ofstream(md) << "# A\ntext a\n# B\ntext b\n";
    Block a{"a", md, 1, 2, "A", 1, "A", "heading", "ha"}, b{"b", md, 3, 4, "B", 1, "B", "heading", "hb"};
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        e.sync({a, b});
    }
    // A crash between the two files: metadata.json says B is current, vectors.json lacks it,
    // and holds a vector for a block that has no record.
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        std::ofstream(f.vectors / "vectors.json", std::ios::trunc)
            << "{\"a\": " << nlohmann::json(*e.vectors().find("a")).dump() << ", \"x\": [1.0]}";
    }
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_EQ(e.sync({a, b}), (ReindexStats{1, 1, 1}));
    EXPECT_EQ(e.size(), 2u);
    SemanticEngine reread(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_EQ(reread.size(), 2u);
    EXPECT_EQ(reread.metadata().size(), 2u);
    EXPECT_EQ(reread.search("B # B\ntext b", 1).at(0).block_id, "b");
}

TEST(Engine, SyncLeavesOutBlocksWhoseFileCannotBeRead) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    fs::path md = f.tmp.path / "doc.md", bad = f.tmp.path / "bad.md";
    std::ofstream(md) << "# A\ntext a\n";
    std::ofstream(bad) << "# B\ntext b\n";
    Block a{"a", md, 1, 2, "A", 1, "A", "heading", "ha"}, b{"b", bad, 1, 2, "B", 1, "B", "heading", "hb"};
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    e.sync({a, b});
    // B's file changes behind the index into bytes that are not UTF-8, then disappears.
    std::ofstream(bad, std::ios::trunc) << "# B\n\xff\xfe\n";
    b.content_hash = "hb2";
    EXPECT_EQ(e.sync({a, b}), (ReindexStats{0, 1, 1}));
    EXPECT_EQ(e.metadata().find("b"), nullptr);
    fs::remove(bad);
    EXPECT_EQ(e.sync({a, b}), (ReindexStats{0, 1, 0}));
    EXPECT_EQ(SemanticEngine(f.vectors, "all-MiniLM-L6-v2").size(), 1u);
}

TEST(TextVectorCache, KeepsVectorsPerProviderAndForgetsWhatIsNoLongerAsked) {
    Fixture f;
    const fs::path file = f.vectors / "cache.json";
    {
        TextVectorCache c(file, "http://h/v1/embeddings m");
        EXPECT_EQ(c.find("Install"), nullptr);
        c.put("Install", {0.5, -1.25});
        c.put("安装 \"x\"", {1e-300, 3});
        c.put("Gone", {});
        c.save();
    }
    {
        TextVectorCache c(file, "http://h/v1/embeddings m");
        ASSERT_NE(c.find("安装 \"x\""), nullptr);
        EXPECT_EQ(*c.find("安装 \"x\""), (std::vector<double>{1e-300, 3}));
        EXPECT_EQ(*c.find("Install"), (std::vector<double>{0.5, -1.25}));
        EXPECT_EQ(*c.find("Gone"), std::vector<double>{});
        const ino_t before = inode_of(file);
        c.put("Install", {0.5, -1.25});  // the same vector again changes nothing
        c.save();
        EXPECT_EQ(inode_of(file), before);
        c.retain({"Install", "安装 \"x\""});
        c.save();
    }
    EXPECT_EQ(TextVectorCache(file, "http://h/v1/embeddings m").size(), 2u);
    // Vectors of another provider or model are not comparable: the file counts as empty.
    EXPECT_EQ(TextVectorCache(file, "http://h/v1/embeddings other").size(), 0u);
    // A damaged file is only a cache.
    for (const char* text : {"{\"provider\": \"k\", \"vectors\": {\"a\": [1, ", "[1, 2]", "{\"provider\": \"k\", \"vectors\": {\"a\": [\"x\"], \"b\": [2]}}"}) {
        std::ofstream(file, std::ios::trunc) << text;
        TextVectorCache c(file, "k");
        EXPECT_EQ(c.find("a"), nullptr) << text;
    }
    EXPECT_EQ(*TextVectorCache(file, "k").find("b"), std::vector<double>{2});
}

TEST(Engine, ModelSelection) {
    Fixture f;
    auto cfg = f.data / "config.toml";
    fs::create_directories(f.data);
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "bge-small-zh-v1.5");
    {
        tiny::EnvVar env("QUILLBOX_SEMANTIC_MODEL", "gpt-17");  // unknown: ignored
        EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "bge-small-zh-v1.5");
    }
    std::ofstream(cfg) << "[semantic]\nmodel_cache = \"x\"\n  model = \"multilingual-e5-small\"\n";
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "multilingual-e5-small");
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors.string() + "/"), "multilingual-e5-small");
    EXPECT_EQ(SemanticEngine(f.vectors).model_name(), "multilingual-e5-small");
    // semantic.model before the older top-level "model"; a "model" in another table is not the engine's.
    std::ofstream(cfg, std::ios::trunc) << "model = \"all-MiniLM-L6-v2\"\n[semantic]\nmodel = \"multilingual-e5-small\"\n";
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "multilingual-e5-small");
    std::ofstream(cfg, std::ios::trunc) << "model = \"all-MiniLM-L6-v2\"\n[x]\nmodel = \"multilingual-e5-small\"\n";
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "all-MiniLM-L6-v2");
    std::ofstream(cfg, std::ios::trunc) << "model = \"unknown\"\n[semantic]\nmodel = 7\n";
    EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "bge-small-zh-v1.5");
    {
        tiny::EnvVar env("QUILLBOX_SEMANTIC_MODEL", "bge-small-zh-v1.5");
        std::ofstream(cfg, std::ios::trunc) << "model = \"all-MiniLM-L6-v2\"\n";
        EXPECT_EQ(SemanticEngine::_load_config(f.vectors), "bge-small-zh-v1.5");
        EXPECT_EQ(SemanticEngine(f.vectors, "multilingual-e5-small").model_name(), "multilingual-e5-small");
    }
    // A file that is not TOML is refused with where it goes wrong, never read past.
    std::ofstream(cfg, std::ios::trunc) << "title = \"x\"\n[semantic]\nmodel = all-MiniLM-L6-v2\n";
    try {
        SemanticEngine::_load_config(f.vectors);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(cfg.string() + ":3:", 0), 0u) << e.what();
    }
    EXPECT_THROW(SemanticEngine e(f.vectors), std::runtime_error);
}

TEST(Engine, BatchedIndexingStoresWhatOneBlockAtATimeStores) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    const fs::path one_dir = f.data / "one", batch_dir = f.data / "batch";
    SemanticEngine one(one_dir, "all-MiniLM-L6-v2"), batched(batch_dir, "all-MiniLM-L6-v2");
    for (SemanticEngine* e : {&one, &batched}) {  // an earlier store: "old" changes, "kept" does not
        e->index_block("old", "Old", "old text", "h-old");
        e->index_block("kept", "Kept", "kept text", "h-kept");
    }
    // More than one encoder chunk, texts of many lengths, snippets cut at 200 code points, and
    // ids repeated within the batch with the same and with a new hash.
    std::vector<BlockToIndex> blocks;
    for (int i = 0; i < 600; ++i)
        blocks.push_back({numbered("b", i % 550), numbered("T", i),
                          chars(static_cast<std::size_t>(i % 7) * 40, i % 2 ? "é" : "word "),
                          numbered("h", i % 3 == 0 ? i % 550 : i)});
    blocks.push_back({"kept", "Renamed", "changed", "h-kept"});  // same hash: kept as it was
    blocks.push_back({"old", "Old", "new text", "h-old2"});
    blocks.push_back({"empty", "", "", "h-empty"});

    std::size_t expected = 0;
    for (const auto& b : blocks) expected += one.index_block(b.block_id, b.title, b.content, b.content_hash);
    EXPECT_EQ(batched.index_blocks(blocks), expected);
    // Again over the stored state: only the ids given two hashes in the batch are encoded again.
    expected = 0;
    for (const auto& b : blocks) expected += one.index_block(b.block_id, b.title, b.content, b.content_hash);
    EXPECT_GT(expected, 0u);
    EXPECT_EQ(batched.index_blocks(blocks), expected);
    one._save_vectors();
    batched._save_vectors();
    for (const char* name : {"metadata.json", "model_info.json"})
        EXPECT_EQ(detail::read_file_bytes(batch_dir / name), detail::read_file_bytes(one_dir / name)) << name;
    // Same ids in the same order; the vectors agree up to the rounding of packed batches.
    ASSERT_EQ(batched.vectors().size(), one.vectors().size());
    auto a = one.vectors().begin();
    for (auto b = batched.vectors().begin(); b != batched.vectors().end(); ++a, ++b) {
        ASSERT_EQ(b->first, a->first);
        ASSERT_EQ(b->second.size(), a->second.size());
        for (std::size_t k = 0; k < a->second.size(); ++k)
            ASSERT_NEAR(b->second[k], a->second[k], 1e-6) << a->first << "[" << k << "]";
    }
}

TEST(Engine, BatchWithNothingToEncodeDoesNotLoadTheModel) {
    Fixture f;
    f.install("all-MiniLM-L6-v2", 384);
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        e.index_block("a", "A", "text", "ha");
        e._save_vectors();
    }
    fs::remove_all(quillbox_model_dir());  // loading would fail now
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_EQ(e.index_blocks({{"a", "A", "text", "ha"}}), 0u);
    EXPECT_EQ(e.index_blocks({}), 0u);
    EXPECT_THROW(e.index_blocks({{"a", "A", "text", "ha"}, {"b", "B", "text", "hb"}}), SemanticModelError);
    EXPECT_EQ(e.size(), 1u);  // a failed batch adds nothing
}
