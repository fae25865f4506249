#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <map>
#include <random>
#include <thread>

#include "quillbox/semantic.h"
#include "tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t DIM = 8;

using Model = std::map<VectorKey, std::vector<float>>;

void expect_same(const VectorStore& store, const Model& model) {
    ASSERT_EQ(store.size(), model.size());
    for (const auto& [k, v] : model) {
        EXPECT_EQ(store.vector(k), v);
    }
}

// Small integers: every dot product is exact in float, so the order (ties by row) is exact too.
std::vector<float> random_vector(std::mt19937& rng) {
    std::uniform_int_distribution<int> d(-3, 3);
    std::vector<float> v(DIM);
    for (auto& x : v) x = static_cast<float>(d(rng));
    return v;
}

void expect_top_matches_brute_force(const VectorStore& store, std::mt19937& rng) {
    const std::vector<float> q = random_vector(rng);
    std::vector<std::pair<float, std::size_t>> all;
    const std::vector<float> m = store.matrix();
    for (std::size_t r = 0; r < store.size(); ++r) {
        float s = 0;
        for (std::size_t i = 0; i < DIM; ++i) s += m[r * DIM + i] * q[i];
        all.emplace_back(-s, r);
    }
    std::sort(all.begin(), all.end());
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{5}, store.size() + 3}) {
        const auto top = store.top(q.data(), k);
        ASSERT_EQ(top.size(), std::min(k, store.size()));
        for (std::size_t i = 0; i < top.size(); ++i) {
            EXPECT_EQ(top[i].first, all[i].second);
            EXPECT_EQ(top[i].second, -all[i].first);
        }
    }
}

}  // namespace

// Random puts, replacements, removals, reopenings, compactions and a second store on the same
// file, against a plain map; the query's top-k against a brute-force ranking.
TEST(VectorStore, FollowsAMapModelAcrossReopeningsAndASecondWriter) {
    tiny::TempDir tmp;
    const fs::path file = tmp.path / "vectors" / "m.qbv";
    std::mt19937 rng(7);
    std::vector<VectorKey> pool;
    for (int i = 0; i < 60; ++i) pool.push_back(vector_key("hash" + std::to_string(i)));
    Model model;
    auto a = std::make_unique<VectorStore>(file, DIM);
    auto b = std::make_unique<VectorStore>(file, DIM);
    for (int step = 0; step < 400; ++step) {
        VectorStore& w = rng() % 2 ? *a : *b;
        const int op = static_cast<int>(rng() % 10);
        if (op < 5) {
            std::vector<VectorKey> keys;
            std::vector<std::vector<float>> vecs;
            for (int n = static_cast<int>(rng() % 4); n >= 0; --n) {
                keys.push_back(pool[rng() % pool.size()]);
                vecs.push_back(random_vector(rng));
                model[keys.back()] = vecs.back();
            }
            w.put(keys, vecs);
        } else if (op < 8) {
            std::vector<VectorKey> keys{pool[rng() % pool.size()], pool[rng() % pool.size()]};
            for (const auto& k : keys) model.erase(k);
            w.remove(keys);
        } else if (op == 8) {
            (rng() % 2 ? a : b) = std::make_unique<VectorStore>(file, DIM);
        } else {
            w.compact(rng() % 2 ? 0.0 : 0.3);
        }
        a->refresh();
        b->refresh();
        expect_same(*a, model);
        expect_same(*b, model);
        if (step % 20 == 0) expect_top_matches_brute_force(*a, rng);
        if (HasFatalFailure()) return;
    }
    a->compact(0);
    VectorStore c(file, DIM);
    expect_same(c, model);
    EXPECT_EQ(c.file_bytes(), model.size() * (8 + 32 + DIM * 4 + 4));
}

// A record cut short by a crash is passed over, at the end and once later records follow it;
// bytes of no record are passed over too.
TEST(VectorStore, TornRecordIsIgnored) {
    tiny::TempDir tmp;
    const fs::path file = tmp.path / "v.qbv";
    const auto ka = vector_key("a"), kb = vector_key("b"), kc = vector_key("c"), kd = vector_key("d");
    const std::vector<float> va(DIM, 1.0f), vb(DIM, 2.0f), vc(DIM, 3.0f);
    {
        VectorStore s(file, DIM);
        s.put(ka, va);
        s.put(kb, vb);
    }
    fs::resize_file(file, fs::file_size(file) - 5);
    {
        VectorStore s(file, DIM);
        EXPECT_EQ(s.size(), 1u);
        EXPECT_TRUE(s.contains(ka));
        s.remove({kd});  // a key it does not hold writes nothing
        s.put(kc, vc);
        EXPECT_EQ(s.size(), 2u);
        EXPECT_FALSE(s.contains(kb));
    }
    {
        std::ofstream(file, std::ios::app | std::ios::binary) << "QBV1 no record at all";
        VectorStore s(file, DIM);
        EXPECT_EQ(s.size(), 2u);
        ASSERT_TRUE(s.contains(kc));
        EXPECT_EQ(s.vector(kc)[0], 3.0f);
        s.remove({ka});
        s.compact(0);
    }
    VectorStore s(file, DIM);
    EXPECT_EQ(s.size(), 1u);
    EXPECT_EQ(s.file_bytes(), 8 + 32 + DIM * 4 + 4);
}

// Two writers on one file at once, one of them compacting meanwhile: nobody's records are lost.
TEST(VectorStore, ConcurrentWritersAndCompactionKeepEveryRecord) {
    tiny::TempDir tmp;
    const fs::path file = tmp.path / "v.qbv";
    auto writer = [&](int who) {
        VectorStore s(file, DIM);
        for (int i = 0; i < 150; ++i) {
            const auto k = vector_key(std::to_string(who) + "/" + std::to_string(i));
            s.put(k, std::vector<float>(DIM, static_cast<float>(i)));
            if (i % 3 == 0) s.put(k, std::vector<float>(DIM, static_cast<float>(i)));  // dead records
            if (who == 0 && i % 25 == 0) s.compact(0);
        }
    };
    std::thread t0(writer, 0), t1(writer, 1);
    t0.join();
    t1.join();
    VectorStore s(file, DIM);
    ASSERT_EQ(s.size(), 300u);
    for (int who = 0; who < 2; ++who)
        for (int i = 0; i < 150; ++i) {
            const std::vector<float> v = s.vector(vector_key(std::to_string(who) + "/" + std::to_string(i)));
            ASSERT_EQ(v.size(), DIM);
            EXPECT_EQ(v[DIM - 1], static_cast<float>(i));
        }
}

// The JSON store of earlier releases is read once, keyed by content hash, and removed.
TEST(VectorStore, MigratesTheJsonStoreOnce) {
    tiny::TempDir tmp;
    const fs::path dir = tmp.path / "vectors";
    fs::create_directories(dir);
    std::ofstream(dir / "vectors.json") << R"({"b1": [1, 2, 3, 4, 5, 6, 7, 8.5], "b2": [1, 2], "b3": [0,0,0,0,0,0,0,1]})";
    std::ofstream(dir / "metadata.json") << R"({"b1": ["T", "s", "h1"], "b2": ["U", "s", "h2"]})";
    std::ofstream(dir / "model_info.json") << R"({"model_name": "m", "vector_dim": 8})";
    VectorStore store(dir / "m.qbv", DIM);
    EXPECT_EQ(migrate_json_vectors(dir, store), 1u);  // b2: another width; b3: no content hash
    ASSERT_TRUE(store.contains(vector_key("h1")));
    EXPECT_EQ(store.vector(vector_key("h1"))[7], 8.5f);
    EXPECT_FALSE(fs::exists(dir / "vectors.json"));
    EXPECT_FALSE(fs::exists(dir / "metadata.json"));
    EXPECT_EQ(migrate_json_vectors(dir, store), 0u);
    EXPECT_EQ(VectorStore(dir / "m.qbv", DIM).size(), 1u);

    std::ofstream(dir / "vectors.json") << "{not json";
    EXPECT_EQ(migrate_json_vectors(dir, store), 0u);
    EXPECT_TRUE(fs::exists(dir / "vectors.json"));  // left for a person to look at
}

namespace {

// The migration as it was: both files parsed whole, then walked in id order.
struct OldMigration {
    Model store;
    std::size_t taken = 0;
    bool removed = false;
};
OldMigration migrate_whole(const std::string& vectors_text, const std::optional<std::string>& metadata_text) {
    OldMigration out;
    try {
        const auto vj = nlohmann::json::parse(vectors_text);
        const auto mj = metadata_text ? nlohmann::json::parse(*metadata_text) : nlohmann::json::object();
        if (!vj.is_object() || !mj.is_object()) return out;
        for (const auto& [id, v] : vj.items()) {
            const auto m = mj.find(id);
            if (m == mj.end() || !m->is_array() || m->size() < 3 || !(*m)[2].is_string()) continue;
            if (!v.is_array() || v.size() != DIM) continue;
            std::vector<float> f;
            for (const auto& x : v)
                if (x.is_number()) f.push_back(x.get<float>());
            if (f.size() != DIM) continue;
            out.store[vector_key((*m)[2].get<std::string>())] = f;
            ++out.taken;
        }
    } catch (const std::exception&) {
        return {};
    }
    out.removed = true;
    return out;
}

// A random JSON store as earlier releases (or a damaged disk) left it: every kind of entry the
// migration must pass over, content hashes shared between sections, ids in no order. `entries`
// gets the text of each entry of vectors.json, `ends` the offset just past it.
std::string random_number(std::mt19937& rng) {
    switch (rng() % 5) {
        case 0: return std::to_string(static_cast<int>(rng() % 7) - 3);
        case 1: return "18446744073709551615";
        case 2: return "-2.5e-3";
        case 3: return "1E2";
        default: {
            char b[32];
            std::snprintf(b, sizeof b, "%.17g", std::uniform_real_distribution<double>(-1, 1)(rng));
            return b;
        }
    }
}
struct JsonStore {
    std::string vectors = "{", metadata = "{";
    std::vector<std::string> entries;
    std::vector<std::size_t> ends;
};
JsonStore random_json_store(std::mt19937& rng) {
    JsonStore out;
    const int n = static_cast<int>(rng() % 30);
    for (int i = 0; i < n; ++i) {
        const std::string id = "\"s" + std::to_string(rng() % 1000) + "-" + std::to_string(i) + "\"";
        const std::string hash = "\"h" + std::to_string(rng() % (n / 2 + 1)) + "\"";
        std::string meta;
        switch (rng() % 10) {
            case 0: break;  // none
            case 1: meta = R"(["T", "s"])"; break;
            case 2: meta = R"(["T", "s", 5, "x"])"; break;
            case 3: meta = R"({"hash": )" + hash + "}"; break;
            case 4: meta = hash; break;
            case 5: meta = R"([["T"], {"a": [1]}, )" + hash + "]"; break;
            default: meta = R"(["T", "s", )" + hash + R"(, ["extra"]])"; break;
        }
        if (!meta.empty()) out.metadata += (out.metadata.size() > 1 ? ", " : "") + id + ": " + meta;
        std::vector<std::string> members;
        const std::size_t width = rng() % 8 == 0 ? DIM + (rng() % 2 ? 1 : -1) : DIM;
        for (std::size_t k = 0; k < width; ++k) members.push_back(random_number(rng));
        std::string value;
        switch (rng() % 12) {
            case 0: members[rng() % members.size()] = "\"1\""; break;
            case 1: members[rng() % members.size()] = "[1]"; break;
            case 2: members[rng() % members.size()] = "null"; break;
            case 3: value = "{\"v\": [1, 2]}"; break;
            case 4: value = "7"; break;
            default: break;
        }
        if (value.empty()) {
            value = "[";
            for (std::size_t k = 0; k < members.size(); ++k) value += (k ? ",\n " : "") + members[k];
            value += "]";
        }
        out.entries.push_back(id + ": " + value);
        out.vectors += (i ? ", " : "") + out.entries.back();
        out.ends.push_back(out.vectors.size());
    }
    out.vectors += "}";
    out.metadata += "}";
    return out;
}

}  // namespace

// The streaming migration against the whole-document one it replaces, over random stores:
// well-formed ones give the same store and count and are removed; a vectors.json cut short or
// damaged at a random byte keeps what was read before it (the old code on those entries alone)
// and stays, and a second run adds nothing; a damaged metadata.json migrates nothing.
TEST(VectorStore, StreamingMigrationMatchesTheWholeDocumentOne) {
    std::mt19937 rng(27);
    tiny::TempDir tmp;
    auto contents = [](const VectorStore& s) {
        Model m;
        for (const VectorKey& k : s.keys()) m[k] = s.vector(k);
        return m;
    };
    int damaged_runs = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const fs::path dir = tmp.path / std::to_string(round);
        fs::create_directories(dir);
        JsonStore js = random_json_store(rng);
        std::optional<std::string> metadata = js.metadata;
        if (rng() % 10 == 0) metadata.reset();
        OldMigration expected = migrate_whole(js.vectors, metadata);
        const int kind = static_cast<int>(rng() % 5);
        const bool damaged = kind <= 1;
        if (damaged) {
            // Cut short at a random byte, or with a byte no JSON has there: the entries whole
            // before it are what the old code would have made of a file that ended there.
            const std::size_t at = rng() % js.vectors.size();
            js.vectors = js.vectors.substr(0, at) + (kind == 1 ? "#" : "");
            std::string whole_before = "{";
            for (std::size_t e = 0; e < js.ends.size() && js.ends[e] <= at; ++e)
                whole_before += (e ? ", " : "") + js.entries[e];
            expected = migrate_whole(whole_before + "}", metadata);
            expected.removed = false;
            ++damaged_runs;
        } else if (kind == 2 && metadata) {
            metadata->resize(metadata->size() / 2);
            expected = migrate_whole(js.vectors, metadata);
        }
        std::ofstream(dir / "vectors.json", std::ios::binary) << js.vectors;
        if (metadata) std::ofstream(dir / "metadata.json", std::ios::binary) << *metadata;
        VectorStore store(dir / "m.qbv", DIM);
        EXPECT_EQ(migrate_json_vectors(dir, store), expected.taken);
        EXPECT_EQ(contents(store), expected.store);
        EXPECT_EQ(contents(VectorStore(dir / "m.qbv", DIM)), expected.store);
        EXPECT_EQ(fs::exists(dir / "vectors.json"), !expected.removed);
        EXPECT_EQ(fs::exists(dir / "metadata.json"), metadata && !expected.removed);
        if (!expected.removed) {
            // Read again at the next start: the same store, not a byte more.
            const auto bytes = store.file_bytes();
            migrate_json_vectors(dir, store);
            EXPECT_EQ(contents(store), expected.store);
            EXPECT_EQ(store.file_bytes(), bytes);
        }
    }
    EXPECT_GT(damaged_runs, 50);
}
