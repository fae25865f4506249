// A keyword md_search_blocks through `quillbox serve` over a large project, against the bare
// FTS5 query on the same database in the same run, and the server's memory.
//   bench_serve_search [--files N] [--sections-per-file K] [--queries Q] [--keep DIR]
//                      [--vectors MODEL_DIR]
// Defaults: 4,000 files of 25 sections (100,000 sections), 60 queries. The project is generated
// in a temporary folder (or DIR, kept for another run), indexed by `quillbox reindex`, then
// served with semantic search off; every query has one section that must come first.
// With --vectors (a folder holding all-MiniLM-L6-v2, as QUILLBOX_MODEL_DIR takes it), every
// section is given a stored vector (random: what is timed is the reading, not the meaning) and
// the server runs with the local model: the time from its start to the first search's answer,
// which must fuse vectors and keywords with nothing left to embed, and its memory.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../tests/e2e/server_process.h"
#include "common.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Pronounceable made-up words: a vocabulary that the stemmer leaves alone.
std::vector<std::string> vocabulary(std::size_t n, std::mt19937& rng) {
    static const char* on[] = {"b", "d", "f", "g", "k", "l", "m", "n", "p", "r", "s", "t", "v", "z", "br", "st", "tr"};
    static const char* nu[] = {"a", "e", "i", "o", "u", "ai", "ou"};
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    while (out.size() < n) {
        std::string w;
        const int syllables = 2 + static_cast<int>(rng() % 3);
        for (int s = 0; s < syllables; ++s) w += std::string(on[rng() % 17]) + nu[rng() % 7];
        if (seen.insert(w).second) out.push_back(w);
    }
    return out;
}

struct Query {
    std::string text, title;
};


}  // namespace

int main(int argc, char** argv) {
    int files = 4000, per_file = 25, queries = 60;
    std::string keep, model_dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--vectors")) model_dir = argv[i + 1];
        if (!std::strcmp(argv[i], "--files")) files = std::stoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--sections-per-file")) per_file = std::stoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--queries")) queries = std::stoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--keep")) keep = argv[i + 1];
    }
    qbbench::TempDir tmp("qb-bench-serve-search");
    const fs::path root = keep.empty() ? tmp.path / "project" : fs::path(keep);
    const fs::path home = tmp.path / "home";
    fs::create_directories(home);

    // The corpus: each section a title of three words and a body of forty, the words drawn with
    // Zipf-like frequencies. Query i's section has a title of its own rare word and two common
    // ones; the rare word is also in thirty other sections' text, the common ones everywhere.
    std::mt19937 rng(2027);
    const auto words = vocabulary(20000, rng);
    std::vector<double> weights(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) weights[i] = 1.0 / double(i + 10);
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    const long total = long(files) * per_file;
    std::vector<Query> asked;
    std::unordered_map<long, std::size_t> target_of;      // section number -> query
    std::unordered_map<long, std::vector<std::size_t>> planted;  // section number -> rare words in its text
    for (int q = 0; q < queries; ++q) {
        const std::string rare = "quill" + words[words.size() - 1 - static_cast<std::size_t>(q)];
        const std::string a = words[50 + rng() % 400], b = words[50 + rng() % 400];
        long at;
        do at = static_cast<long>(rng() % static_cast<unsigned long>(total));
        while (target_of.count(at));
        target_of[at] = asked.size();
        asked.push_back({a + " " + rare + " " + b, "Notes on " + rare + " " + a + " " + b});
        for (int k = 0; k < 30; ++k) planted[static_cast<long>(rng() % static_cast<unsigned long>(total))].push_back(asked.size() - 1);
    }
    const bool fresh = !fs::exists(root / ".quillbox" / "index.db");
    const double t_gen = now_ms();
    if (fresh) {
        for (int f = 0; f < files; ++f) {
            std::string text = "# Document " + std::to_string(f) + "\n\n";
            for (int s = 0; s < per_file; ++s) {
                const long n = long(f) * per_file + s;
                if (auto it = target_of.find(n); it != target_of.end())
                    text += "## " + asked[it->second].title + "\n\n";
                else
                    text += "## " + words[pick(rng)] + " " + words[pick(rng)] + " " + words[pick(rng)] + "\n\n";
                for (int w = 0; w < 40; ++w) text += words[pick(rng)] + (w % 12 == 11 ? "\n" : " ");
                if (auto it = planted.find(n); it != planted.end())
                    for (std::size_t q : it->second) {
                        text += ' ';
                        text += asked[q].title.substr(9, asked[q].title.find(' ', 9) - 9);
                    }
                text += "\n\n";
            }
            const fs::path file = root / ("part" + std::to_string(f / 100)) / ("doc" + std::to_string(f) + ".md");
            fs::create_directories(file.parent_path());
            qbbench::write_file(file, text);
        }
    }
    const bool vectors = !model_dir.empty();
    const std::map<std::string, std::string> env = {
        {"HOME", home.string()},
        {"HF_HUB_OFFLINE", "1"},
        {"QUILLBOX_MODEL_DIR", vectors ? model_dir : (home / "no-models").string()}};
    auto run = [&](const std::string& args) {
        std::string cmd;
        for (const auto& [k, v] : env) cmd += k + "='" + v + "' ";
        cmd += "'" + qbbench::server_exe() + "' " + args + " >/dev/null 2>&1";
        return std::system(cmd.c_str());
    };
    run("config set semantic.backend " + std::string(vectors ? "local" : "none") + " --root '" + root.string() + "'");
    const double t_index = now_ms();
    if (fresh && run("reindex --root '" + root.string() + "'") != 0) {
        std::fprintf(stderr, "bench_serve_search: reindex failed\n");
        return 2;
    }
    const double t_served = now_ms();
    std::printf("%ld sections in %d files: generated in %.1f s, indexed in %.1f s\n", total, files,
                (t_index - t_gen) / 1000, (t_served - t_index) / 1000);
    if (vectors) {
        // A vector for every section, stored as the background embedding stores them.
        const fs::path store_file = quillbox::SemanticEngine::store_file(root / ".quillbox" / "vectors", "all-MiniLM-L6-v2");
        fs::remove(store_file);
        quillbox::VectorStore store(store_file, 384);
        sqlite3* db = nullptr;
        sqlite3_open_v2((root / ".quillbox" / "index.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT content_hash FROM sections", -1, &st, nullptr);
        std::vector<quillbox::VectorKey> keys;
        std::vector<std::vector<float>> vecs;
        std::size_t stored = 0;
        auto flush = [&] {
            store.put(keys, vecs);
            stored += keys.size();
            keys.clear();
            vecs.clear();
        };
        while (sqlite3_step(st) == SQLITE_ROW) {
            keys.push_back(quillbox::vector_key(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))));
            vecs.push_back(qbbench::random_unit<float>(rng, 384));
            if (keys.size() == 4096) flush();
        }
        flush();
        sqlite3_finalize(st);
        sqlite3_close(db);
        std::printf("%zu vectors stored (%.0f MB)\n", stored, double(fs::file_size(store_file)) / 1e6);
    }

    const double t_start = now_ms();
    ServerProcess server(qbbench::server_exe(), {"serve", "--root", root.string()}, tmp.path / "server.log",
                         {env.begin(), env.end()});
    server.request("initialize", {{"protocolVersion", "2025-11-25"},
                                  {"capabilities", json::object()},
                                  {"clientInfo", {{"name", "bench"}, {"version", "1"}}}});
    server.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    const double t_initialized = now_ms();
    const double rss_start = qbbench::status_mib("VmRSS", server.pid());

    static const std::regex first_hit(R"(\n  \[(?:high|medium|low)\] (.*) \(score=)");
    std::vector<double> served;
    int right = 0;
    auto ask = [&](const Query& q, bool timed) {
        const double t0 = now_ms();
        json r = server.request("tools/call", {{"name", "md_search_blocks"}, {"arguments", {{"query", q.text}}}});
        const double dt = now_ms() - t0;
        const std::string answer = r["result"]["content"][0]["text"].get<std::string>();
        std::smatch m;
        const bool ok = std::regex_search(answer, m, first_hit) && m[1].str() == q.title;
        if (timed) {
            served.push_back(dt);
            right += ok;
            if (!ok) std::printf("wrong first hit for '%s':\n%s\n", q.text.c_str(), answer.substr(0, 400).c_str());
        }
    };
    if (vectors) {
        // From the start to the first answer: the store read, the sections listed, the model
        // loaded, the query encoded and both searches fused.
        const double t0 = now_ms();
        json r = server.request("tools/call", {{"name", "md_search_blocks"}, {"arguments", {{"query", asked.front().text}}}});
        const double answered = now_ms();
        const std::string answer = r["result"]["content"][0]["text"].get<std::string>();
        const bool waiting = answer.find("sections embedded") != std::string::npos;
        std::printf("first search with vectors: %.0f ms after the server's start (initialize answered after %.0f ms, "
                    "the request itself %.0f ms)%s\n",
                    answered - t_start, t_initialized - t_start, answered - t0, waiting ? "; NOT every section's vector was in use:" : "");
        if (waiting) std::printf("%s\n", answer.substr(answer.find("\n\n")).c_str());
        const double v_rss = qbbench::status_mib("VmRSS", server.pid());
        std::printf("server memory with every section's vector: %.1f MiB resident\n", v_rss);
        if (waiting || answered - t_start > 1000) return 1;
        return 0;
    }
    ask(asked.front(), false);  // the server's first search opens what it needs
    for (const auto& q : asked) ask(q, true);
    const double rss = qbbench::status_mib("VmRSS", server.pid()), hwm = qbbench::status_mib("VmHWM", server.pid());

    // The least work: the same MATCH over the same database, ranked the same way, three rows.
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((root / ".quillbox" / "index.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "bench_serve_search: cannot open the index\n");
        return 2;
    }
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT s.title FROM sections s WHERE s.seq IN (SELECT rowid FROM sections_fts WHERE "
                       "sections_fts MATCH ?1 ORDER BY bm25(sections_fts, 5.0, 1.0) LIMIT 3)",
                       -1, &st, nullptr);
    std::vector<double> bare;
    for (int round = 0; round < 2; ++round) {
        for (const auto& q : asked) {
            std::string match;
            std::size_t from = 0;
            while (from < q.text.size()) {
                std::size_t sp = q.text.find(' ', from);
                if (sp == std::string::npos) sp = q.text.size();
                match += (match.empty() ? "\"" : " OR \"") + q.text.substr(from, sp - from) + "\"";
                from = sp + 1;
            }
            const double t0 = now_ms();
            sqlite3_reset(st);
            sqlite3_bind_text(st, 1, match.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(st) == SQLITE_ROW) {
            }
            if (round == 1) bare.push_back(now_ms() - t0);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);

    const double m_served = median(served), m_bare = median(bare);
    std::printf("md_search_blocks through serve: median %.2f ms (max %.2f), right section first %d of %zu\n",
                m_served, *std::max_element(served.begin(), served.end()), right, asked.size());
    std::printf("bare FTS5 query, same database:  median %.2f ms; ratio %.1fx\n", m_bare, m_served / m_bare);
    std::printf("server memory: %.1f MiB resident after start, %.1f MiB after the queries, peak %.1f MiB\n",
                rss_start, rss, hwm);
    return right == static_cast<int>(asked.size()) && m_served <= 100 ? 0 : 1;
}
