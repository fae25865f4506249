// The vectors following the index: a model of the sections against random writes and removals,
// and a search that answers while the worker embeds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>

#include "common/session.h"
#include "quillbox/blockops.h"
#include "quillbox/blockops/semantic_index.h"
#include "semantic/tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t DIM = 384;

// A bag of words: each word a fixed random direction, the text their normalised sum. Spacing
// and line breaks do not matter, so the model can state a section's text in its own words.
std::vector<float> bag_of_words(const std::string& text) {
    std::vector<double> sum(DIM, 0.0);
    std::string word;
    auto add = [&] {
        if (word.empty()) return;
        std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(word)));
        std::normal_distribution<double> d;
        for (auto& x : sum) x += d(rng);
        word.clear();
    };
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            word.push_back(c);
        else
            add();
    }
    add();
    double n = 0;
    for (double x : sum) n += x * x;
    std::vector<float> v(DIM, 0.0f);
    if (n == 0) {
        v[0] = 1;
        return v;
    }
    for (std::size_t i = 0; i < DIM; ++i) v[i] = static_cast<float>(sum[i] / std::sqrt(n));
    return v;
}

struct CountingEncoder {
    std::shared_ptr<std::atomic<int>> texts = std::make_shared<std::atomic<int>>(0);
    BatchEncoder fn() const {
        return [t = texts](const std::vector<std::string>& in) {
            *t += static_cast<int>(in.size());
            std::vector<std::vector<float>> out;
            for (const auto& s : in) out.push_back(bag_of_words(s));
            return out;
        };
    }
};

double dot(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d += static_cast<double>(a[i]) * b[i];
    return d;
}

struct Project {
    tiny::TempDir tmp;
    fs::path data = tmp.path / ".quillbox";
    Indexer indexer{(fs::create_directories(tmp.path / ".quillbox"), data / "index.db")};

    ~Project() { indexer.close(); }
    fs::path write(const std::string& name, const std::string& text) {
        fs::path p = tmp.path / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
        indexer.index_file(p);
        return p;
    }
};

}  // namespace

// Random files written, rewritten and deleted; after each step the vectors are compared with a
// brute-force model of every section's text: the progress counts, and the top results' scores
// (all of them once everything is embedded; while some are not, each result is a live section
// with its true score). A reopened index finds every vector in the store and embeds nothing.
TEST(SemanticIndex, FollowsTheIndexLikeABruteForceModel) {
    Project p;
    const std::vector<std::string> titles = {"Install", "Usage", "Limits", "Setup", "Notes", "Deploy"};
    const std::vector<std::string> words = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta",
                                            "eta",   "theta", "iota", "kappa", "lambda",  "mu"};
    std::mt19937 rng(2026);
    auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
    CountingEncoder enc;
    auto vectors = std::make_unique<SemanticIndex>(p.indexer, p.data / "vectors", "all-MiniLM-L6-v2", enc.fn());

    // The model: per file, its sections' texts in document order.
    std::map<std::string, std::vector<std::string>> files;
    auto model = [&] {
        std::map<std::string, std::string> text_of;  // block id -> text
        for (const auto& [name, texts] : files) {
            const auto blocks = p.indexer.list_blocks(p.tmp.path / name);
            EXPECT_EQ(blocks.size(), texts.size()) << name;
            for (std::size_t i = 0; i < blocks.size() && i < texts.size(); ++i) text_of[blocks[i].uuid] = texts[i];
        }
        return text_of;
    };
    auto check = [&](bool all_embedded, int step) {
        const auto text_of = model();
        const SemanticIndex::Progress progress = vectors->follow();
        EXPECT_EQ(progress.total, text_of.size()) << step;
        if (all_embedded) {
            EXPECT_EQ(progress.embedded, progress.total) << step;
        }
        for (int q = 0; q < 3; ++q) {
            const std::string query = pick(words) + " " + pick(titles);
            const auto qv = bag_of_words(query);
            std::vector<double> truth;
            for (const auto& [id, text] : text_of) truth.push_back(dot(qv, bag_of_words(text)));
            std::sort(truth.rbegin(), truth.rend());
            const auto got = vectors->nearest(query, 5);
            std::set<std::string> seen;
            for (std::size_t i = 0; i < got.size(); ++i) {
                const auto& [id, score] = got[i];
                ASSERT_TRUE(text_of.count(id)) << "step " << step << ": " << id << " is not a section";
                EXPECT_TRUE(seen.insert(id).second) << step;
                EXPECT_NEAR(score, dot(qv, bag_of_words(text_of.at(id))), 1e-4) << step;
                if (i) {
                    EXPECT_GE(got[i - 1].second, score) << step;
                }
                if (all_embedded) {
                    EXPECT_NEAR(score, truth[i], 1e-4) << "step " << step << " rank " << i;
                }
            }
            if (all_embedded) {
                EXPECT_EQ(got.size(), std::min<std::size_t>(5, truth.size())) << step;
            } else {
                EXPECT_LE(got.size(), progress.embedded) << step;
            }
        }
    };

    for (int step = 0; step < 60; ++step) {
        const std::string name = "f" + std::to_string(rng() % 6) + ".md";
        if (files.count(name) && rng() % 4 == 0) {
            fs::remove(p.tmp.path / name);
            p.indexer.drop_file(p.tmp.path / name);
            files.erase(name);
        } else {
            // Sections of level 2 and 3, texts repeated across sections and files (shared
            // vectors), a subsection's change giving its parent a new hash with the same text.
            std::string md;
            std::vector<std::string> texts;
            const int n = 1 + static_cast<int>(rng() % 5);
            for (int i = 0; i < n; ++i) {
                const std::string title = pick(titles);
                std::string body = pick(words);
                for (int w = static_cast<int>(rng() % 3); w >= 0; --w) body += " " + pick(words);
                md += std::string(i > 0 && rng() % 3 == 0 ? "###" : "##") + " " + title + "\n" + body + "\n\n";
                texts.push_back(title + " " + body);
            }
            p.write(name, md);
            files[name] = texts;
        }
        if (rng() % 8 == 0) {
            // The index forgets its older removals (as it does past a bound): the follower must
            // notice and list every section again.
            SQLite::Database db(p.data / "index.db", SQLite::OPEN_READWRITE);
            db.setBusyTimeout(5000);
            db.exec("DELETE FROM sections_gone WHERE seq < (SELECT max(seq) FROM sections_gone)");
        }
        switch (rng() % 4) {
            case 0:  // only part embedded: what is found is right, the rest not yet there
                vectors->follow();
                vectors->embed_some();
                check(false, step);
                break;
            case 1:  // a restart: everything stored is found again, nothing embedded twice
                vectors->embed_all();
                vectors.reset();
                *enc.texts = 0;
                vectors = std::make_unique<SemanticIndex>(p.indexer, p.data / "vectors", "all-MiniLM-L6-v2", enc.fn());
                check(false, step);
                EXPECT_EQ(vectors->progress().embedded, vectors->progress().total) << step;
                EXPECT_EQ(*enc.texts, 3) << "only the queries are encoded, at step " << step;
                break;
            default:
                vectors->embed_all();
                check(true, step);
        }
    }
    // Vectors of sections that are gone leave the store; the rest stay and are found.
    vectors->embed_all();
    vectors->drop_unused();
    std::set<VectorKey> live;
    for (const auto& [name, texts] : files)
        for (const auto& b : p.indexer.list_blocks(p.tmp.path / name)) live.insert(vector_key(b.content_hash));
    const auto& keys = vectors->engine().store().keys();
    EXPECT_EQ(std::set<VectorKey>(keys.begin(), keys.end()), live);
    check(true, 60);
}

// While the worker embeds, a search answers at once with the keyword results and says how much
// is embedded; once it is done, the note goes.
TEST(SemanticIndex, ASearchDuringBackgroundEmbeddingAnswersAtOnce) {
    Project p;
    qbtest::SessionOn on{p.indexer, p.tmp.path, p.data};
    std::string md;
    for (int i = 0; i < 40; ++i) md += "## Section " + std::to_string(i) + "\nbody " + std::to_string(i) + " text\n\n";
    p.write("a.md", md + "## Caching\nhow the cache works\n");

    // The first batch waits until the test lets it go.
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, released = false;
    auto encoder = [&](const std::vector<std::string>& texts) {
        if (texts.size() > 1) {
            std::unique_lock lk(mu);
            entered = true;
            cv.notify_all();
            cv.wait(lk, [&] { return released; });
        }
        std::vector<std::vector<float>> out;
        for (const auto& t : texts) out.push_back(bag_of_words(t));
        return out;
    };
    auto release = [&] {
        std::lock_guard lk(mu);
        released = true;
        cv.notify_all();
    };
    auto vectors = std::make_shared<SemanticIndex>(p.indexer, p.data / "vectors", "all-MiniLM-L6-v2", encoder);
    on.session.vectors = vectors;
    vectors->start();
    {
        std::unique_lock lk(mu);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(30), [&] { return entered; }));
    }
    auto answer = std::async(std::launch::async, [&] { return do_search_blocks(on.session, "cache"); });
    if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        release();
        FAIL() << "the search waited for the embedding";
    }
    const std::string during = answer.get();
    EXPECT_EQ(during.rfind("Search 'cache':\n  [high] Caching (score=100%)", 0), 0u) << during;
    EXPECT_NE(during.find("\n\n" + embedding_progress_note({0, 41})), std::string::npos) << during;
    EXPECT_NE(embedding_progress_note({1200, 5000}).find("1,200 of 5,000 sections embedded"), std::string::npos);

    release();
    for (int i = 0; i < 3000 && vectors->progress().embedded < 41; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(vectors->progress(), (SemanticIndex::Progress{41, 41}));
    const std::string after = do_search_blocks(on.session, "cache");
    EXPECT_EQ(after.find("sections embedded"), std::string::npos) << after;
    EXPECT_NE(after.find("Caching"), std::string::npos) << after;
    vectors->stop();
}

// A server killed (SIGKILL) while it embeds loses at most the group it was writing: every whole
// record in the store is found at the next start, and only the rest is embedded again.
TEST(SemanticIndex, AKillMidEmbeddingLosesOnlyTheUnsavedGroup) {
    Project p;
    std::string md;
    for (int i = 0; i < 400; ++i) md += "## Part " + std::to_string(i) + "\nwords of part " + std::to_string(i) + "\n";
    p.write("big.md", md);
    const fs::path vectors_dir = p.data / "vectors";
    const fs::path store = SemanticEngine::store_file(vectors_dir, "all-MiniLM-L6-v2");
    SemanticEngine(vectors_dir, "all-MiniLM-L6-v2");  // the store file exists before the child writes

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Indexer own(p.data / "index.db");
        SemanticIndex embedding(own, vectors_dir, "all-MiniLM-L6-v2", [](const std::vector<std::string>& texts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::vector<std::vector<float>> out;
            for (const auto& t : texts) out.push_back(bag_of_words(t));
            return out;
        });
        embedding.embed_all();
        ::_exit(0);
    }
    // Killed once a few groups are in.
    const std::uintmax_t record = 8 + 32 + DIM * 4 + 4;
    std::error_code ec;
    for (int i = 0; i < 3000 && fs::file_size(store, ec) < 3 * SemanticIndex::EMBED_GROUP * record; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child finished before it was killed";

    CountingEncoder enc;
    SemanticIndex vectors(p.indexer, vectors_dir, "all-MiniLM-L6-v2", enc.fn());
    const auto found = vectors.follow();
    EXPECT_EQ(found.total, 400u);
    EXPECT_GE(found.embedded, 3 * SemanticIndex::EMBED_GROUP);
    EXPECT_LT(found.embedded, 400u);
    // Beyond the whole records, at most part of one group.
    EXPECT_LT(fs::file_size(store) - found.embedded * record, SemanticIndex::EMBED_GROUP * record);
    vectors.embed_all();
    EXPECT_EQ(vectors.progress(), (SemanticIndex::Progress{400, 400}));
    EXPECT_EQ(static_cast<std::size_t>(*enc.texts), 400 - found.embedded);
}

// Two servers on one project embed at once, each in its own worker, while files change: both
// end with every section embedded, and the store holds the live sections' vectors. What one
// stores while the other is in the middle of a batch is not embedded again.
TEST(SemanticIndex, TwoServersEmbeddingAtOnceBothFinishAndShareTheirVectors) {
    Project p;
    auto doc = [](int file, int version) {
        std::string md;
        for (int i = 0; i < 150; ++i)
            md += "## Part " + std::to_string(i) + "\nfile " + std::to_string(file) + " version " +
                  std::to_string(version) + " words " + std::to_string(i) + "\n";
        return md;
    };
    for (int f = 0; f < 3; ++f) p.write("f" + std::to_string(f) + ".md", doc(f, 0));
    const std::size_t total = 450;
    CountingEncoder a_enc, b_enc;
    SemanticIndex a(p.indexer, p.data / "vectors", "all-MiniLM-L6-v2", a_enc.fn());
    Indexer other(p.data / "index.db");
    // While B encodes its first group, A embeds everything.
    bool first = true;
    SemanticIndex b(other, p.data / "vectors", "all-MiniLM-L6-v2", [&](const std::vector<std::string>& texts) {
        if (std::exchange(first, false)) a.embed_all();
        return b_enc.fn()(texts);
    });
    b.follow();
    b.embed_some();
    EXPECT_EQ(*a_enc.texts, static_cast<int>(total));
    EXPECT_EQ(*b_enc.texts, static_cast<int>(SemanticIndex::EMBED_GROUP)) << "B embedded what A had stored";
    EXPECT_EQ(b.follow(), (SemanticIndex::Progress{total, total}));

    a.start([] { return false; });
    b.start([] { return false; });
    for (int v = 1; v <= 3; ++v) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        p.write("f" + std::to_string(v % 3) + ".md", doc(v % 3, v));
    }
    for (int i = 0; i < 6000; ++i) {
        if (a.follow() == SemanticIndex::Progress{total, total} && b.follow() == SemanticIndex::Progress{total, total})
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    a.stop();
    b.stop();
    EXPECT_EQ(a.follow(), (SemanticIndex::Progress{total, total}));
    EXPECT_EQ(b.follow(), (SemanticIndex::Progress{total, total}));
    // Every live section's vector is in the store, as either server sees it.
    std::set<VectorKey> live;
    for (int f = 0; f < 3; ++f)
        for (const auto& blk : p.indexer.list_blocks(p.tmp.path / ("f" + std::to_string(f) + ".md")))
            live.insert(vector_key(blk.content_hash));
    for (SemanticIndex* s : {&a, &b})
        for (const VectorKey& k : live) EXPECT_TRUE(s->engine().store().contains(k));
    other.close();
}
