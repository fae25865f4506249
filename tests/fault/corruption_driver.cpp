// Index corruption against `quillbox serve`: between runs, random pages of index.db and of its
// write-ahead log are zeroed or get random bytes, the file is cut short or its header spoiled;
// documents change now and then, and a run ends with kill -9 every so often (so that a log is
// left behind to damage). Each run must answer `initialize`, list every document as the parser
// sees it, read every listed block with the file's text, and never answer "not found" for an id
// it has just listed. Prints the figures; exits 1 when server exits, wrong reads or not-found
// loops are not all 0.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "quillbox/outline.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary | std::ios::trunc) << text; }

struct Figures {
    int runs = 0, corruptions = 0, renewals_told = 0, server_exits = 0, wrong_listings = 0, wrong_reads = 0,
        not_found_loops = 0, reads = 0;
};

struct Listed {
    std::string id, title;
    int start = 0, end = 0;
};

std::vector<Listed> parse_listing(const std::string& text) {
    static const std::regex line(R"re(^\s+id="([^"]+)" (?:#+|FM) (.*) lines=(\d+)-(\d+)$)re");
    std::vector<Listed> out;
    std::istringstream in(text);
    std::string l;
    std::smatch m;
    while (std::getline(in, l))
        if (std::regex_match(l, m, line)) out.push_back({m[1], m[2], std::stoi(m[3]), std::stoi(m[4])});
    return out;
}

// Lines [first, last] of the file, joined with line feeds.
std::string file_lines(const std::string& text, int first, int last) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::string out;
    for (int i = first; i <= last && i <= static_cast<int>(lines.size()); ++i) {
        if (i > first) out += '\n';
        out += lines[static_cast<std::size_t>(i - 1)];
    }
    return out;
}

std::string block_text(const std::string& answer) {
    auto a = answer.find("\n---\n");
    auto b = answer.rfind("\n---");
    if (a == std::string::npos || b == std::string::npos || b <= a) return "\x01(no block)";
    return answer.substr(a + 5, b - a - 5);
}

class Session {
public:
    explicit Session(const fs::path& root) : server_(QUILLBOX_EXE, {"serve", "--root", root.string()}, root / ".server.log") {}
    bool initialize() {
        try {
            json r = server_.request("initialize", {{"protocolVersion", "2025-11-25"},
                                                    {"capabilities", json::object()},
                                                    {"clientInfo", {{"name", "corruption"}, {"version", "1"}}}});
            server_.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
            return r.contains("result");
        } catch (const std::exception&) {
            return false;
        }
    }
    // Every text of the answer; nothing when the server did not answer.
    std::optional<std::vector<std::string>> call(const std::string& tool, const json& args) {
        try {
            json r = server_.request("tools/call", {{"name", tool}, {"arguments", args}});
            std::vector<std::string> texts;
            if (!r.contains("result")) return texts;
            for (const auto& c : r["result"]["content"]) texts.push_back(c.value("text", ""));
            return texts;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    // The exit status after end of input (or after kill -9 when `kill`).
    std::optional<int> finish(bool kill) {
        if (kill) {
            server_.signal(SIGKILL);
            server_.wait_exit(10.0);
            return 0;
        }
        server_.close_input();
        return server_.wait_exit(20.0);
    }

private:
    ServerProcess server_;
};

std::string make_doc(int n, int version) {
    std::string s = "# Document " + std::to_string(n) + "\n\nIntro " + std::to_string(version) + ".\n\n";
    for (int i = 1; i <= 25; ++i) {
        s += (i % 4 == 0 ? "### Part " : "## Part ") + std::to_string(i) + "\n\n";
        s += "Text of part " + std::to_string(i) + ", version " + std::to_string(version) + ".\n\n";
    }
    return s;
}

// One page of `file` (4 KiB pages; for the log, frames of 24 + 4096 bytes after its 32-byte
// header) zeroed or filled with random bytes; false when the file is missing or empty.
bool damage_page(const fs::path& file, bool wal, std::mt19937& rng) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || size == 0) return false;
    const int fd = ::open(file.c_str(), O_WRONLY);
    if (fd < 0) return false;
    std::string bytes(4096, '\0');
    if (rng() % 2)
        for (char& c : bytes) c = static_cast<char>(rng());
    off_t at;
    if (wal) {
        const auto frames = size > 32 ? (size - 32) / (24 + 4096) : 0;
        at = frames ? static_cast<off_t>(32 + (rng() % frames) * (24 + 4096) + (rng() % 2 ? 0 : 24)) : 0;
        if (!frames) bytes.resize(32);
    } else {
        at = static_cast<off_t>((rng() % std::max<std::uintmax_t>(size / 4096, 1)) * 4096);
        // A few bytes rather than a page, now and then: a flipped bit is the subtler damage.
        if (rng() % 4 == 0) {
            bytes.resize(1 + rng() % 8);
            at += static_cast<off_t>(rng() % 4000);
        }
    }
    const bool done = ::pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return done;
}

void corrupt(const fs::path& data, std::mt19937& rng, Figures& f) {
    const fs::path db = data / "index.db", wal = data / "index.db-wal";
    switch (rng() % 8) {
        case 0:
            if (std::error_code ec; fs::exists(db, ec)) fs::resize_file(db, (rng() % 4) * 4096 + rng() % 100, ec);
            break;
        case 1: {
            const int fd = ::open(db.c_str(), O_WRONLY);
            if (fd >= 0) {
                std::string junk(100, '\0');
                for (char& c : junk) c = static_cast<char>(rng());
                (void)!::pwrite(fd, junk.data(), junk.size(), 0);
                ::close(fd);
            }
            break;
        }
        case 2:
        case 3:
            if (!damage_page(wal, true, rng)) damage_page(db, false, rng);
            break;
        default:
            for (unsigned n = 1 + rng() % 3; n > 0; --n) damage_page(db, false, rng);
    }
    ++f.corruptions;
}

void one_run(const fs::path& root, const std::vector<fs::path>& docs, std::mt19937& rng, Figures& f) {
    ++f.runs;
    Session s(root);
    if (!s.initialize()) {
        ++f.server_exits;
        std::fprintf(stderr, "run %d: no answer to initialize\n%s\n", f.runs, slurp(root / ".server.log").c_str());
        return;
    }
    bool alive = true;
    auto note = [&](const std::vector<std::string>& texts) {
        for (std::size_t i = 1; i < texts.size(); ++i)
            if (texts[i].find("md_list_blocks") != std::string::npos) ++f.renewals_told;
    };
    for (const fs::path& doc : docs) {
        auto listing = s.call("md_list_blocks", {{"file_path", doc.string()}});
        if (!listing || listing->empty()) {
            alive = false;
            break;
        }
        note(*listing);
        const auto listed = parse_listing(listing->front());
        const std::string text = slurp(doc);
        const auto blocks = quillbox::parse_markdown_to_blocks(doc);
        bool same = listed.size() == blocks.size();
        for (std::size_t i = 0; same && i < listed.size(); ++i)
            same = listed[i].title == blocks[i].title && listed[i].start == blocks[i].start_line &&
                   listed[i].end == blocks[i].end_line;
        if (!same) {
            ++f.wrong_listings;
            std::fprintf(stderr, "run %d: wrong listing of %s\n%s\n", f.runs, doc.c_str(), listing->front().c_str());
        }
        // A sample of the listed blocks, each read by its id.
        for (std::size_t i = 0; i < listed.size(); i += 1 + rng() % 4) {
            auto read = s.call("md_read_block", {{"file_path", doc.string()}, {"block_id", listed[i].id}});
            if (!read || read->empty()) {
                alive = false;
                break;
            }
            ++f.reads;
            note(*read);
            if (read->front().find("not found") != std::string::npos) {
                ++f.not_found_loops;
                std::fprintf(stderr, "run %d: %s just listed, not found\n", f.runs, listed[i].id.c_str());
                continue;
            }
            if (block_text(read->front()) != file_lines(text, listed[i].start, listed[i].end)) {
                ++f.wrong_reads;
                std::fprintf(stderr, "run %d: wrong read of %s\n%s\n", f.runs, listed[i].id.c_str(), read->front().c_str());
            }
        }
        if (!alive) break;
    }
    const bool kill = rng() % 3 == 0;
    const auto status = s.finish(kill);
    if (!alive || (!kill && status != std::optional<int>(0))) {
        ++f.server_exits;
        std::fprintf(stderr, "run %d: the server stopped answering or exited with %d\n%s\n", f.runs,
                     status.value_or(-1), slurp(root / ".server.log").c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = 20;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--iterations") iterations = std::stoi(argv[i + 1]);
        else if (a == "--seed") seed = static_cast<unsigned>(std::stoul(argv[i + 1]));
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    char tmpl[] = "/tmp/quillbox-corruption-XXXXXX";
    if (!::mkdtemp(tmpl)) return 2;
    const fs::path root = fs::canonical(tmpl);
    std::vector<fs::path> docs;
    for (int n = 0; n < 4; ++n) {
        docs.push_back(root / ("doc" + std::to_string(n) + ".md"));
        put(docs.back(), make_doc(n, 0));
    }
    Figures f;
    for (int i = 0; i < iterations; ++i) {
        if (i > 0) {
            corrupt(root / ".quillbox", rng, f);
            // Now and then a document changes between runs as well.
            if (rng() % 3 == 0) {
                const auto n = rng() % docs.size();
                put(docs[n], make_doc(static_cast<int>(n), i));
            }
        }
        one_run(root, docs, rng, f);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    std::printf("corruption: %d runs, %d damages, %d renewal notes to the agent, %d reads; %d server exits, "
                "%d wrong listings, %d wrong reads, %d not-found loops\n",
                f.runs, f.corruptions, f.renewals_told, f.reads, f.server_exits, f.wrong_listings, f.wrong_reads,
                f.not_found_loops);
    return f.server_exits == 0 && f.wrong_listings == 0 && f.wrong_reads == 0 && f.not_found_loops == 0 ? 0 : 1;
}
