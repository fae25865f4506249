// Round trips over real documents, as an agent makes them: every block of every file is read
// and sent back unchanged (which must be a no-op: same bytes, no backup), then read and sent
// back with one word changed (which must change exactly one line of the file). Prints each
// failure and the share of files where every edit was faithful.
//
//   bench_roundtrip_corpus FILE...      (or the paths one a line on standard input)

#include <cstdio>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/detail/lines.h"
#include "quillbox/i18n.h"

namespace {

namespace fs = std::filesystem;
using namespace quillbox;

struct NoCache : ReadCache {
    CacheResult check_and_read(std::string_view) override { return {"miss", std::nullopt, "", 0}; }
    CacheResult check(std::string_view) override { return {"miss", std::nullopt, "", 0}; }
};

std::string read_bytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The text between the --- lines of a block read.
std::optional<std::string> content_of(const std::string& reply) {
    const std::size_t a = reply.find("\n---\n");
    if (a == std::string::npos || reply.size() < a + 9 || reply.compare(reply.size() - 4, 4, "\n---") != 0)
        return std::nullopt;
    return reply.substr(a + 5, reply.size() - 4 - (a + 5));
}

// A section too long for one answer comes in pages ("(showing A-B)", then a line naming the
// offset of the next page, and its column when a line too long for a page was cut with a
// marker): their texts joined, or nothing when a page cannot be read.
std::optional<std::string> paged_content(Session& session, const fs::path& p, const std::string& id) {
    std::string all;
    std::optional<long long> offset, column;
    bool joined = true;  // the next page goes on in the same line
    for (int page = 0; page < 100000; ++page) {
        const std::string reply = do_read_block(session, p, id, LineWindow{offset, std::nullopt, column});
        const std::size_t a = reply.find("\n---\n");
        const std::size_t b = reply.rfind("\n---");
        if (a == std::string::npos || b == std::string::npos || b <= a) return std::nullopt;
        if (!joined) all += '\n';
        std::string body = reply.substr(a + 5, b - (a + 5));
        const std::size_t mark = body.rfind(CUT_MARK);
        joined = mark != std::string::npos;
        if (joined) body.erase(mark);
        all += body;
        const std::size_t at = reply.find("offset=", b);
        if (at == std::string::npos) return all;
        offset = std::stoll(reply.substr(at + 7));
        const std::size_t col = reply.find("column=", b);
        column = col == std::string::npos ? std::nullopt : std::optional<long long>(std::stoll(reply.substr(col + 7)));
    }
    return std::nullopt;
}

// Lines that differ between two texts, or -1 when their line counts differ.
long lines_differing(std::string_view a, std::string_view b) {
    // Each line with its end (LF, CRLF or CR), as the project splits lines.
    auto x = detail::split_lines(a, true), y = detail::split_lines(b, true);
    if (x.size() != y.size()) return -1;
    long n = 0;
    for (std::size_t i = 0; i < x.size(); ++i) n += x[i] != y[i];
    return n;
}

// A word of at least three ASCII letters in a line after the block's heading line (or in the
// heading when the block has no other): its offset and length.
std::optional<std::pair<std::size_t, std::size_t>> pick_word(const std::string& text, std::mt19937& rng) {
    std::vector<std::pair<std::size_t, std::size_t>> body, heading;
    const std::size_t first_nl = text.find('\n');
    for (std::size_t i = 0; i < text.size();) {
        std::size_t j = i;
        while (j < text.size() && ((text[j] >= 'a' && text[j] <= 'z') || (text[j] >= 'A' && text[j] <= 'Z'))) ++j;
        // Not a word an earlier edit put there: replacing it by itself would change nothing.
        if (j - i >= 3 && text.compare(i, j - i, "zqxj") != 0)
            (first_nl != std::string::npos && i > first_nl ? body : heading).emplace_back(i, j - i);
        i = j == i ? i + 1 : j;
    }
    auto& from = body.empty() ? heading : body;
    if (from.empty()) return std::nullopt;
    return from[rng() % from.size()];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) inputs.emplace_back(argv[i]);
    if (inputs.empty())
        for (std::string line; std::getline(std::cin, line);)
            if (!line.empty()) inputs.emplace_back(line);

    set_log_sink([](const LogRecord&) {});
    set_language("en");
    qbbench::TempDir dir;
    const fs::path root = fs::canonical(dir.path);
    FileWatcher watcher(root, [](const fs::path&) {});
    Indexer indexer(root / "index.db");
    SafetyEngine safety(root / "backups", &watcher.file_writes());
    Session session(indexer, watcher, safety);
    session.cache = std::make_shared<NoCache>();
    std::mt19937 rng(12);

    long files = 0, skipped = 0, without_blocks = 0, faithful_files = 0;
    long noop_tries = 0, noop_ok = 0, edit_tries = 0, edit_ok = 0, paged_tries = 0, paged_ok = 0;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        const fs::path p = root / ("doc" + std::to_string(k) + ".md");
        qbbench::write_file(p, read_bytes(inputs[k]));
        std::vector<Block> blocks;
        try {
            blocks = _ensure_fresh_index(indexer, watcher, p);
        } catch (const std::exception& e) {
            ++skipped;  // not UTF-8, or over the limits
            continue;
        }
        ++files;
        if (blocks.empty()) {
            ++without_blocks;
            continue;
        }
        bool faithful = true;
        auto fail = [&](const std::string& what) {
            faithful = false;
            std::cout << "FAIL " << inputs[k].string() << ": " << what << "\n";
        };
        try {
            for (std::size_t bi = 0; bi < blocks.size(); ++bi) {
                const Block b = _ensure_fresh_index(indexer, watcher, p).at(bi);
                const std::string before = read_bytes(p);
                auto text = content_of(do_read_block(session, p, b.uuid));
                if (!text) {
                    // Too long for one answer: read in pages, and edited the way the answer
                    // says, with md_patch_block on the line that holds the word.
                    auto whole = paged_content(session, p, b.uuid);
                    if (!whole) {
                        fail("block " + std::to_string(bi) + " could not be read");
                        continue;
                    }
                    auto word = pick_word(*whole, rng);
                    if (!word) continue;
                    const std::size_t ls = whole->rfind('\n', word->first) + 1;
                    const std::size_t le = std::min(whole->find('\n', word->first), whole->size());
                    const std::string line = whole->substr(ls, le - ls);
                    if (whole->find(line) != ls || whole->find(line, ls + 1) != std::string::npos) continue;
                    std::string edited = line;
                    edited.replace(word->first - ls, word->second, "zqxj");
                    ++paged_tries;
                    do_patch_block(session, p, b.uuid, line, edited, false);
                    const long d = lines_differing(before, read_bytes(p));
                    if (d == 1) ++paged_ok;
                    else fail("one word patched in the long block '" + b.title + "' changed " +
                              (d < 0 ? std::string("the line count") : std::to_string(d) + " lines"));
                    continue;
                }
                ++noop_tries;
                const std::string reply = do_replace_block(session, p, b.uuid, *text);
                if (reply.rfind("✅ Block content unchanged", 0) == 0 && read_bytes(p) == before) ++noop_ok;
                else fail("unchanged text of block '" + b.title + "' was not a no-op");

                auto word = pick_word(*text, rng);
                if (!word) continue;
                std::string edited = *text;
                edited.replace(word->first, word->second, "zqxj");
                ++edit_tries;
                const std::string answer = do_replace_block(session, p, b.uuid, edited);
                const long d = lines_differing(before, read_bytes(p));
                if (d == 1) ++edit_ok;
                else fail("one word in block '" + b.title + "' changed " +
                          (d < 0 ? std::string("the line count") : std::to_string(d) + " lines") + "; answer: " +
                          answer.substr(0, answer.find('\n')));
            }
        } catch (const std::exception& e) {
            fail(std::string("error: ") + e.what());
        }
        faithful_files += faithful;
    }
    const long with_blocks = files - without_blocks;
    std::printf("files given %zu, parsed %ld (skipped %ld: not UTF-8 or over the limits), without headings %ld\n",
                inputs.size(), files, skipped, without_blocks);
    std::printf("unchanged round trips: %ld of %ld were no-ops\n", noop_ok, noop_tries);
    std::printf("one-word edits: %ld of %ld changed exactly one line\n", edit_ok, edit_tries);
    std::printf("one-word patches in sections too long for one answer: %ld of %ld changed exactly one line\n",
                paged_ok, paged_tries);
    std::printf("files where every edit was faithful: %ld of %ld (%.1f%%)\n", faithful_files, with_blocks,
                with_blocks ? 100.0 * static_cast<double>(faithful_files) / static_cast<double>(with_blocks) : 100.0);
    return faithful_files == with_blocks ? 0 : 1;
}
