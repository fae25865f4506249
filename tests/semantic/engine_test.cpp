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

TEST(Engine, OpensTheModelsStoreWithoutLoadingTheModel) {
    Fixture f;  // no model installed: loading would fail
    SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
    EXPECT_TRUE(fs::is_regular_file(f.vectors / "all-MiniLM-L6-v2.qbv"));
    EXPECT_EQ(e.store().size(), 0u);
    EXPECT_EQ(e.store().dim(), 384u);
    EXPECT_FALSE(e.model_at_hand());
    // An encoder in the model's place is used instead.
    SemanticEngine given(f.vectors, "all-MiniLM-L6-v2", [](const std::vector<std::string>& texts) {
        return std::vector<std::vector<float>>(texts.size(), std::vector<float>(384, 0.5f));
    });
    EXPECT_TRUE(given.model_at_hand());
    EXPECT_EQ(given.encode("x"), std::vector<float>(384, 0.5f));
    EXPECT_EQ(given.encode_batch({"a", "b"}).size(), 2u);
}

// The JSON store of earlier releases goes into the store of the model that made it, keyed by
// each block's content hash, and its files go; what cannot be read stays where it is.
TEST(Engine, TheJsonStoreIsTakenInOnce) {
    Fixture f;
    auto write_json = [&](const std::string& model, int dim) {
        fs::create_directories(f.vectors);
        std::string vec = "{", meta = "{";
        for (int i = 0; i < 3; ++i) {
            vec += (i ? ", " : "") + numbered("\"id", i) + "\": [";
            for (int k = 0; k < dim; ++k) vec += (k ? ", " : "") + std::to_string(i + k * 0.001);
            vec += "]";
            meta += (i ? ", " : "") + numbered("\"id", i) + "\": [\"T\", \"s\", " + numbered("\"hash", i) + "\"]";
        }
        // A vector without its record cannot be matched to a section: it is not taken.
        vec += ", \"orphan\": [" + chars(static_cast<std::size_t>(dim) - 1, "1, ") + "1]";
        std::ofstream(f.vectors / "vectors.json", std::ios::trunc) << vec << "}";
        std::ofstream(f.vectors / "metadata.json", std::ios::trunc) << meta << "}";
        std::ofstream(f.vectors / "model_info.json", std::ios::trunc)
            << "{\"model_name\": \"" << model << "\", \"vector_dim\": " << dim << "}";
    };
    write_json("all-MiniLM-L6-v2", 384);
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        EXPECT_EQ(e.migrated(), 3u);
        EXPECT_EQ(e.store().size(), 3u);
        const std::vector<float> v = e.store().vector(vector_key("hash2"));
        ASSERT_EQ(v.size(), 384u);
        EXPECT_FLOAT_EQ(v[0], 2.0f);
        EXPECT_FLOAT_EQ(v[383], 2.383f);
        for (const char* name : {"vectors.json", "metadata.json", "model_info.json"})
            EXPECT_FALSE(fs::exists(f.vectors / name)) << name;
    }
    // Read once: the next start finds the vectors in the store alone.
    EXPECT_EQ(SemanticEngine(f.vectors, "all-MiniLM-L6-v2").migrated(), 0u);
    EXPECT_EQ(SemanticEngine(f.vectors, "all-MiniLM-L6-v2").store().size(), 3u);

    // Made by another model: its store gets them, this model's store none.
    write_json("bge-small-zh-v1.5", 512);
    {
        SemanticEngine e(f.vectors, "all-MiniLM-L6-v2");
        EXPECT_EQ(e.migrated(), 0u);
        EXPECT_EQ(e.store().size(), 3u);
    }
    EXPECT_EQ(SemanticEngine(f.vectors, "bge-small-zh-v1.5").store().size(), 3u);
    EXPECT_FALSE(fs::exists(f.vectors / "vectors.json"));

    // A damaged JSON store is left for a person to look at; the engine starts without it.
    std::ofstream(f.vectors / "vectors.json") << "{\"a\": [0.1, ";
    SemanticEngine e(f.vectors, "multilingual-e5-small");
    EXPECT_EQ(e.store().size(), 0u);
    EXPECT_TRUE(fs::exists(f.vectors / "vectors.json"));
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
    EXPECT_TRUE(e.model_at_hand());
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

// The store file's identity: a save replaces the file, so a new inode means it was written.
static ino_t inode_of(const fs::path& p) {
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
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

