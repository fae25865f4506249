// Encoder throughput on real text: the sections of /usr/share/doc's Markdown files, each as the
// background worker embeds it (title, a space, the first 200 characters of its text), through
// the real all-MiniLM-L6-v2 (found like the product finds it: hub cache or QUILLBOX_MODEL_DIR).
//   bench_encoder [--limit N] [--rounds R] [--docs DIR]
// Prints sections per second (wall) and per CPU-second (per core) for one text at a time, for
// calls of 32 texts sorted by length (as the worker calls), and for one call with every text.
// bench/encoder_before_after.sh runs it against an earlier build's libraries in the same run.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

constexpr std::size_t TEXT_CHARS = 200, GROUP = 32;

std::string first_chars(const std::string& s, std::size_t n) {
    std::size_t count = 0, i = 0;
    for (; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && count++ == n) break;
    return s.substr(0, i);
}

// The ATX sections of one Markdown file (fenced code is no heading).
void sections_of(const fs::path& file, std::vector<std::string>& out) {
    std::ifstream in(file, std::ios::binary);
    std::string line, title, body;
    bool fenced = false, open = false;
    auto flush = [&] {
        if (open) out.push_back(title + " " + first_chars(body, TEXT_CHARS));
        body.clear();
    };
    while (std::getline(in, line)) {
        if (line.rfind("```", 0) == 0 || line.rfind("~~~", 0) == 0) fenced = !fenced;
        if (!fenced && !line.empty() && line[0] == '#') {
            const std::size_t hashes = line.find_first_not_of('#');
            if (hashes != std::string::npos && hashes <= 6 && line[hashes] == ' ') {
                flush();
                title = line.substr(hashes + 1);
                open = true;
                continue;
            }
        }
        if (!body.empty()) body += '\n';
        body += line;
    }
    flush();
}

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
    double wall = 0, cpu = 0;
};

template <class F>
Timing timed(F&& f) {
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), cpu_seconds() - c0};
}

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0, na = 0, nb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d += double(a[i]) * b[i], na += double(a[i]) * a[i], nb += double(b[i]) * b[i];
    return d / std::sqrt(na * nb);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t limit = 2000, rounds = 1;
    fs::path docs = "/usr/share/doc";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--limit")) limit = std::stoul(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::stoul(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--docs")) docs = argv[i + 1];
    }
    auto dir = find_model_dir("all-MiniLM-L6-v2");
    if (!dir) {
        std::fprintf(stderr, "bench_encoder: all-MiniLM-L6-v2 is not on this machine (QUILLBOX_MODEL_DIR)\n");
        return 2;
    }
    std::vector<fs::path> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(docs, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().extension() == ".md" && it->is_regular_file(ec)) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> all;
    for (const auto& f : files) sections_of(f, all);
    // An even spread over every file's sections, always the same ones.
    std::vector<std::string> texts;
    const double step = all.size() > limit ? double(all.size()) / double(limit) : 1.0;
    for (double at = 0; texts.size() < limit && static_cast<std::size_t>(at) < all.size(); at += step)
        texts.push_back(all[static_cast<std::size_t>(at)]);

    SentenceEncoder enc(*dir);
    std::size_t tokens = 0;
    for (const auto& t : texts) tokens += enc.tokenize(t).size();
    std::printf("%zu Markdown files, %zu sections, %zu measured (%.1f tokens each on average)\n", files.size(),
                all.size(), texts.size(), double(tokens) / double(texts.size()));
    enc.encode_batch({texts.begin(), texts.begin() + std::min<std::size_t>(texts.size(), 64)});  // warm

    std::vector<std::vector<float>> single(texts.size()), grouped(texts.size()), whole;
    std::vector<std::size_t> order(texts.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return texts[a].size() < texts[b].size(); });
    auto report = [&](const char* what, const std::vector<Timing>& runs) {
        // The best round: the machine is shared.
        Timing best = runs.front();
        for (const auto& r : runs)
            if (r.wall < best.wall) best = r;
        std::printf("%-28s %8.1f sections/s  %8.1f per CPU-second  (%.2f cores, %.2f s)\n", what,
                    double(texts.size()) / best.wall, double(texts.size()) / best.cpu, best.cpu / best.wall, best.wall);
    };
    std::vector<Timing> one, groups, call;
    for (std::size_t r = 0; r < rounds; ++r) {
        one.push_back(timed([&] {
            for (std::size_t i = 0; i < texts.size(); ++i) single[i] = enc.encode(texts[i]);
        }));
        groups.push_back(timed([&] {
            for (std::size_t at = 0; at < order.size(); at += GROUP) {
                std::vector<std::string> group;
                for (std::size_t i = at; i < std::min(order.size(), at + GROUP); ++i) group.push_back(texts[order[i]]);
                auto v = enc.encode_batch(group);
                for (std::size_t i = at; i < std::min(order.size(), at + GROUP); ++i) grouped[order[i]] = std::move(v[i - at]);
            }
        }));
        call.push_back(timed([&] { whole = enc.encode_batch(texts); }));
    }
    report("one text at a time", one);
    report("calls of 32, by length", groups);
    report("one call, all texts", call);
    double worst = 1;
    for (std::size_t i = 0; i < texts.size(); ++i)
        worst = std::min({worst, cosine(single[i], grouped[i]), cosine(single[i], whole[i])});
    std::printf("lowest cosine, batched against one at a time: %.6f\n", worst);
    return worst > 0.9999 ? 0 : 1;
}
