// Fault injection against `quillbox serve`:
//   kills    kill -9 at a random moment of a replace, edit, move or table of contents on a small
//            and a ~5 MB file; then the file must be exactly the old or the new text, no
//            temporary file may remain once a fresh server started, and that server must list
//            the file as it is and edit it correctly;
//   renames  kill -9 during a heading rename across four files; after the next start every
//            file must be old or every file new, and no link may lead to a missing anchor;
//   outside  an editor saving the file (in place and through a rename) every 20 ms while the
//            agent reads and replaces another section: lost outside edits, wrong reads;
//   servers  several servers started at once on a fresh project, then two servers editing
//            disjoint sections of one file: failed start-ups, lost edits.
// Prints the figures; exits 1 when any of them is not zero.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/server_process.h"
#include "quillbox/outline.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// A save the way many editors do it: a temporary file renamed over the document.
void put_by_rename(const fs::path& p, const std::string& text) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "." + string.
    std::string name = ".";
    name += p.filename().string();
    name += ".swp";
    const fs::path tmp = p.parent_path() / name;
    put(tmp, text);
    fs::rename(tmp, p);
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct TempRoot {
    fs::path path;
    explicit TempRoot(const std::string& prefix) {
        std::string tmpl = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        path = fs::canonical(tmpl);
        // The checks compare whole listings with the parser: no answer may be cut short.
        fs::create_directories(path / ".quillbox");
        std::ofstream(path / ".quillbox" / "config.toml") << "result_budget_tokens = 100000000\n";
    }
    ~TempRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// One MCP session with a server on `root`.
class Session {
public:
    explicit Session(const fs::path& root, const std::string& tag = "server")
        : server_(QUILLBOX_EXE, {"serve", "--root", root.string()}, root / ("." + tag + ".log")) {}

    bool initialize() {
        try {
            json r = server_.request("initialize", {{"protocolVersion", "2025-11-25"},
                                                    {"capabilities", json::object()},
                                                    {"clientInfo", {{"name", "fault"}, {"version", "1"}}}});
            if (!r.contains("result")) return false;
            server_.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    // The text of one tool call ("" when the server did not answer).
    std::string call(const std::string& tool, const json& args) {
        try {
            json r = server_.request("tools/call", {{"name", tool}, {"arguments", args}});
            std::string text;
            if (r.contains("result"))
                for (const auto& c : r["result"]["content"]) text += c.value("text", "");
            else if (r.contains("error"))
                text = "JSON-RPC error: " + r["error"].dump();
            return text;
        } catch (const std::exception& e) {
            return std::string("no answer: ") + e.what();
        }
    }
    // Sends a call without waiting for its answer.
    void send_call(const std::string& tool, const json& args) {
        server_.send({{"jsonrpc", "2.0"}, {"id", 999}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", args}}}});
    }
    void kill9() {
        server_.signal(SIGKILL);
        server_.wait_exit(10.0);
    }
    void close() {
        server_.close_input();
        if (!server_.wait_exit(10.0)) kill9();
    }

private:
    ServerProcess server_;
};

struct Listed {
    std::string id;
    std::string marker;
    std::string title;
    int start = 0;
    int end = 0;
};

std::vector<Listed> parse_listing(const std::string& text) {
    static const std::regex line(R"re(^\s+id="([^"]+)" (#+|FM) (.*) lines=(\d+)-(\d+)$)re");
    std::vector<Listed> out;
    std::istringstream in(text);
    std::string l;
    std::smatch m;
    while (std::getline(in, l))
        if (std::regex_match(l, m, line)) out.push_back({m[1], m[2], m[3], std::stoi(m[4]), std::stoi(m[5])});
    return out;
}

// Whether the listing's blocks are the file's blocks as the parser sees them, in order.
bool listing_matches(const std::vector<Listed>& listed, const fs::path& file) {
    std::vector<quillbox::Block> blocks;
    try {
        blocks = quillbox::parse_markdown_to_blocks(file);
    } catch (const std::exception&) {
        return false;
    }
    if (listed.empty() || listed.size() > blocks.size()) return false;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const auto& b = blocks[i];
        if (listed[i].title != b.title || listed[i].start != b.start_line || listed[i].end != b.end_line) return false;
    }
    return true;
}

std::string id_of(const std::vector<Listed>& listed, const std::string& title) {
    for (const auto& b : listed)
        if (b.title == title) return b.id;
    return {};
}

// The block's text as md_read_block shows it, between the "---" lines.
std::string block_text(const std::string& answer) {
    auto a = answer.find("\n---\n");
    auto b = answer.rfind("\n---");
    if (a == std::string::npos || b == std::string::npos || b <= a) return "\x01(no block)";
    return answer.substr(a + 5, b - a - 5);
}

bool updated(const std::string& answer) { return answer.find("' updated.") != std::string::npos; }

// Temporary files of unfinished writes: "name.quillbox-tmp", ".name.quillbox-XXXXXX".
std::vector<fs::path> temporaries(const fs::path& root) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto at = name.rfind(".quillbox-");
        if (name.ends_with(".quillbox-tmp") || (name[0] == '.' && at != std::string::npos && name.size() == at + 16))
            out.push_back(it->path());
    }
    return out;
}

// ---- Documents --------------------------------------------------------------------------

std::string make_doc(int sections) {
    std::string s = "# Handbook\n\nIntro line.\n\n## Version\n\nversion 1.0 of the handbook\n\n";
    for (int i = 1; i <= sections; ++i) {
        s += (i % 3 == 0 ? "### Section " : "## Section ") + std::to_string(i) + "\n\n";
        for (int k = 0; k < 8; ++k)
            s += "Line " + std::to_string(k) + " of section " + std::to_string(i) + ": lorem ipsum dolor sit amet.\n";
        s += "\n";
    }
    return s;
}

struct Op {
    std::string name;
    std::function<void(Session&, const std::vector<Listed>&, bool wait, std::string* answer)> run;
};

std::vector<Op> make_ops(const fs::path& file, int target_section) {
    const std::string target = "Section " + std::to_string(target_section);
    auto send = [](Session& s, const std::string& tool, const json& args, bool wait, std::string* answer) {
        if (wait) *answer = s.call(tool, args);
        else s.send_call(tool, args);
    };
    return {
        {"replace",
         [=](Session& s, const std::vector<Listed>& l, bool wait, std::string* answer) {
             std::string id = id_of(l, target);
             std::string text = block_text(s.call("md_read_block", {{"file_path", file.string()}, {"block_id", id}}));
             send(s, "md_replace_block", {{"file_path", file.string()}, {"block_id", id}, {"new_content", text + "\nreplaced line"}}, wait, answer);
         }},
        {"edit",
         [=](Session& s, const std::vector<Listed>&, bool wait, std::string* answer) {
             send(s, "md_edit", {{"file_path", file.string()}, {"instruction", "change version 1.0 to version 2.0"}}, wait, answer);
         }},
        {"move",
         [=](Session& s, const std::vector<Listed>& l, bool wait, std::string* answer) {
             send(s, "md_move_block", {{"block_id", id_of(l, target)}, {"target_block_id", ""}, {"position", "after"}}, wait, answer);
         }},
        {"toc",
         [=](Session& s, const std::vector<Listed>&, bool wait, std::string* answer) {
             send(s, "md_generate_toc", {{"file_path", file.string()}, {"force_insert", true}}, wait, answer);
         }},
    };
}

// ---- kill -9 during writes ----------------------------------------------------------------

struct KillFigures {
    int kills = 0, torn = 0, temporaries_left = 0, wrong_listings = 0, failed_edits = 0, failed_startups = 0;
    int old_text = 0, new_text = 0;
};

void kill_run(int kills, int sections, KillFigures& f, std::mt19937& rng) {
    TempRoot root("qb-fault-kill");
    const fs::path file = root.path / "doc.md";
    const std::string base = make_doc(sections);
    const int target = sections / 2;
    auto ops = make_ops(file, target);

    // What each operation makes of the base text, and how long it takes (each in a project of
    // its own, like the file in the real one).
    std::vector<std::string> result(ops.size());
    std::vector<double> took(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        TempRoot ref("qb-fault-ref");
        const fs::path ref_file = ref.path / "doc.md";
        auto ref_ops = make_ops(ref_file, target);
        put(ref_file, base);
        Session s(ref.path);
        if (!s.initialize()) throw std::runtime_error("reference server did not start");
        auto listed = parse_listing(s.call("md_list_blocks", {{"file_path", ref_file.string()}}));
        std::string answer;
        auto t0 = Clock::now();
        ref_ops[i].run(s, listed, true, &answer);
        took[i] = seconds_since(t0);
        s.close();
        result[i] = slurp(ref_file);
        if (result[i] == base) throw std::runtime_error("operation " + ops[i].name + " changed nothing: " + answer);
    }

    for (int k = 0; k < kills; ++k) {
        const std::size_t op = rng() % ops.size();
        put(file, base);
        {
            Session s(root.path, "killed");
            if (!s.initialize()) {
                ++f.failed_startups;
                continue;
            }
            auto listed = parse_listing(s.call("md_list_blocks", {{"file_path", file.string()}}));
            ops[op].run(s, listed, false, nullptr);
            std::uniform_real_distribution<double> delay(0.0, took[op] * 1.3);
            std::this_thread::sleep_for(std::chrono::duration<double>(delay(rng)));
            s.kill9();
        }
        ++f.kills;
        const std::string now = slurp(file);
        if (now == base) ++f.old_text;
        else if (now == result[op]) ++f.new_text;
        else {
            ++f.torn;
            std::fprintf(stderr, "torn file after a kill during %s (%zu bytes)\n", ops[op].name.c_str(), now.size());
            put(file, base);
        }

        Session fresh(root.path, "fresh");
        if (!fresh.initialize()) {
            ++f.failed_startups;
            continue;
        }
        auto left = temporaries(root.path);
        if (!left.empty()) {
            f.temporaries_left += static_cast<int>(left.size());
            std::fprintf(stderr, "temporary file left after a restart: %s\n", left[0].c_str());
            for (auto& p : left) fs::remove(p);
        }
        auto listed = parse_listing(fresh.call("md_list_blocks", {{"file_path", file.string()}}));
        if (!listing_matches(listed, file)) {
            ++f.wrong_listings;
            std::fprintf(stderr, "a fresh server listed %zu blocks that do not match the file (after %s)\n",
                         listed.size(), ops[op].name.c_str());
        }
        // An edit through the fresh server: exactly that block changes.
        const std::string before = slurp(file);
        std::string id = id_of(listed, "Section 1");
        std::string text = block_text(fresh.call("md_read_block", {{"file_path", file.string()}, {"block_id", id}}));
        std::string answer = fresh.call("md_replace_block", {{"file_path", file.string()}, {"block_id", id},
                                                             {"new_content", text + "\nchecked"}});
        std::string expected = before;
        auto at = expected.find(text);
        // The block's blank line before the next heading stays after the new last line.
        if (at != std::string::npos) expected.insert(at + text.size(), "\nchecked\n");
        if (!updated(answer) || slurp(file) != expected) {
            ++f.failed_edits;
            std::fprintf(stderr, "edit after a restart failed: %s\n", answer.substr(0, 200).c_str());
        }
        fresh.close();
    }
}

// ---- kill -9 during a heading rename across files -----------------------------------------

struct RenameFigures {
    int kills = 0, all_old = 0, all_new = 0, mixed = 0, broken_links = 0, failed_startups = 0;
};

// Every relative link of the project's files that leads to a missing anchor of t.md.
int broken_links(const fs::path& root, const std::vector<fs::path>& files) {
    const auto anchors = quillbox::document_anchors(slurp(root / "t.md"), quillbox::AnchorStyle::github);
    int broken = 0;
    for (const auto& f : files)
        for (const auto& l : quillbox::document_links(slurp(f))) {
            const auto hash = l.destination.find('#');
            if (hash != std::string::npos && !anchors.has(l.destination.substr(hash + 1))) ++broken;
        }
    return broken;
}

void rename_run(int kills, RenameFigures& f, std::mt19937& rng) {
    TempRoot root("qb-fault-rename");
    fs::create_directories(root.path / "docs" / "deep");
    const std::vector<fs::path> files = {root.path / "t.md", root.path / "a.md", root.path / "docs" / "b.md",
                                         root.path / "docs" / "deep" / "c.md"};
    std::string body = "# Guide\n<!-- toc -->\n<!-- tocstop -->\n";
    for (int i = 0; i < 40; ++i) body += "## Setup\nline " + std::to_string(i) + "\n## Part " + std::to_string(i) + "\ntext\n";
    body += "See [first](#setup) and [second](#setup-1).\n";
    const std::vector<std::string> base = {
        body,
        "[s](t.md#setup) [s1](t.md#setup-1) [s39](t.md#setup-39) [p](t.md#part-3) [g](t.md#guide)\n",
        "[s](../t.md#setup) [g](../t.md#guide)\n",
        "[g](../../t.md#guide) [s2](/t.md#setup-2)\n",
    };
    // The state after the rename, from a server that is not killed.
    std::vector<std::string> renamed;
    {
        for (std::size_t i = 0; i < files.size(); ++i) put(files[i], base[i]);
        Session s(root.path);
        if (!s.initialize()) throw std::runtime_error("server did not start");
        s.call("md_generate_toc", {{"file_path", files[0].string()}});
        s.close();
    }
    std::vector<std::string> before;
    for (const auto& p : files) before.push_back(slurp(p));
    double took = 0;
    {
        Session s(root.path);
        if (!s.initialize()) throw std::runtime_error("server did not start");
        const auto t0 = Clock::now();
        const std::string answer = s.call("md_rename_heading", {{"file_path", files[0].string()}, {"heading", "Guide"},
                                                                {"new_title", "Handbook"}});
        took = seconds_since(t0);
        s.close();
        for (const auto& p : files) renamed.push_back(slurp(p));
        if (renamed == before) throw std::runtime_error("the rename changed nothing: " + answer);
    }
    for (int k = 0; k < kills; ++k) {
        for (std::size_t i = 0; i < files.size(); ++i) put(files[i], before[i]);
        {
            Session s(root.path, "killed");
            if (!s.initialize()) {
                ++f.failed_startups;
                continue;
            }
            s.send_call("md_rename_heading", {{"file_path", files[0].string()}, {"heading", "Guide"},
                                              {"new_title", "Handbook"}});
            std::uniform_real_distribution<double> delay(0.0, took * 1.3);
            std::this_thread::sleep_for(std::chrono::duration<double>(delay(rng)));
            s.kill9();
        }
        ++f.kills;
        // The next start finishes or undoes what the kill interrupted.
        Session fresh(root.path, "fresh");
        if (!fresh.initialize()) {
            ++f.failed_startups;
            continue;
        }
        fresh.call("md_list_blocks", {{"file_path", files[0].string()}});
        fresh.close();
        std::vector<std::string> now;
        for (const auto& p : files) now.push_back(slurp(p));
        if (now == before) ++f.all_old;
        else if (now == renamed) ++f.all_new;
        else {
            ++f.mixed;
            std::fprintf(stderr, "files mixed old and new after a kill during a rename\n");
        }
        f.broken_links += broken_links(root.path, files);
    }
}

// ---- An outside editor ---------------------------------------------------------------------

struct OutsideFigures {
    int outside_saves = 0, lost_outside = 0, agent_writes = 0, refused = 0, reads = 0, wrong_reads = 0;
    int agent_lines_dropped_by_editor = 0, busy = 0;
};

void outside_run(double seconds, OutsideFigures& f, std::mt19937& rng) {
    TempRoot root("qb-fault-outside");
    const fs::path file = root.path / "doc.md";
    put(file, "# Doc\n\n## Editor\n\nfrom the editor\n\n## Agent\n\nfrom the agent\n\n" + make_doc(20));
    Session s(root.path);
    if (!s.initialize()) throw std::runtime_error("server did not start");

    std::atomic<bool> stop{false};
    std::mutex mu;
    std::vector<int> written;
    std::thread editor([&] {
        std::mt19937 r(rng());
        for (int k = 0; !stop; ++k) {
            std::string text = slurp(file);
            auto at = text.find("\n## Agent\n");
            if (at != std::string::npos) {
                text.insert(at, "\noutside " + std::to_string(k));
                if (k % 2) put_by_rename(file, text);
                else put(file, text);
                std::lock_guard lk(mu);
                written.push_back(k);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(15 + r() % 10));
            // Like a person typing: bursts of saves, with pauses longer than the watcher's
            // debounce, in which the agent can write.
            if (k % 16 == 15) std::this_thread::sleep_for(std::chrono::milliseconds(700 + r() % 300));
        }
    });

    std::string agent_text;  // the Agent section as the agent last wrote it
    std::vector<std::string> agent_lines;
    auto t0 = Clock::now();
    for (int n = 0; seconds_since(t0) < seconds; ++n) {
        auto listed = parse_listing(s.call("md_list_blocks", {{"file_path", file.string()}}));
        std::string id = id_of(listed, "Agent");
        if (id.empty()) continue;  // listed while a save was half written
        std::string read = s.call("md_read_block", {{"file_path", file.string()}, {"block_id", id}});
        std::string text = block_text(read);
        ++f.reads;
        // The block keeps its blank line before the next heading after a write.
        auto trimmed = [](std::string t) {
            while (t.ends_with('\n')) t.pop_back();
            return t;
        };
        // A save under way is answered with FILE_BUSY (read again): a refusal, not a wrong read.
        if (read.find("FILE_BUSY") != std::string::npos) {
            ++f.busy;
            continue;
        }
        if (!agent_text.empty() && trimmed(text) != trimmed(agent_text) && read.find("FILE_CHANGED") == std::string::npos) {
            // Wrong only if the file itself (whole, not mid-save) holds the agent's text.
            std::string now = slurp(file);
            if (now.find("\n" + agent_text + "\n") != std::string::npos && now.size() > 100) {
                ++f.wrong_reads;
                std::fprintf(stderr, "wrong read: got %zu bytes, expected %zu\n", text.size(), agent_text.size());
            }
        }
        if (text.rfind("## Agent", 0) != 0) continue;
        std::string line = "agent " + std::to_string(n);
        std::string answer = s.call("md_replace_block", {{"file_path", file.string()}, {"block_id", id},
                                                         {"new_content", text + "\n" + line}});
        if (updated(answer)) {
            ++f.agent_writes;
            agent_text = text + "\n" + line;
            agent_lines.push_back(line);
        } else {
            ++f.refused;
            // The editor may have dropped the agent's last line with its own stale save: start
            // over from what the file holds.
            agent_text.clear();
        }
    }
    stop = true;
    editor.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    s.close();

    const std::string final_text = slurp(file);
    f.outside_saves = static_cast<int>(written.size());
    for (int k : written)
        if (final_text.find("\noutside " + std::to_string(k) + "\n") == std::string::npos) ++f.lost_outside;
    for (const auto& l : agent_lines)
        if (final_text.find("\n" + l + "\n") == std::string::npos && !final_text.ends_with("\n" + l))
            ++f.agent_lines_dropped_by_editor;
}

// ---- Several servers on one project --------------------------------------------------------

struct ServerFigures {
    int startups = 0, failed_startups = 0, edits = 0, lost_edits = 0, refused = 0;
};

void servers_run(int startups, double seconds, ServerFigures& f) {
    {
        TempRoot root("qb-fault-startup");
        put(root.path / "doc.md", make_doc(10));
        std::vector<std::unique_ptr<Session>> all;
        for (int i = 0; i < startups; ++i) {
            std::string name = "s";
            name += std::to_string(i);
            all.push_back(std::make_unique<Session>(root.path, name));
        }
        for (auto& s : all) {
            ++f.startups;
            if (!s->initialize() ||
                s->call("md_list_blocks", {{"file_path", (root.path / "doc.md").string()}}).find("blocks:") == std::string::npos)
                ++f.failed_startups;
        }
        for (auto& s : all) s->close();
    }

    TempRoot root("qb-fault-servers");
    const fs::path file = root.path / "doc.md";
    put(file, make_doc(10));
    std::mutex mu;
    std::vector<std::string> confirmed;
    auto agent = [&](const std::string& section, const std::string& tag) {
        Session s(root.path, tag);
        if (!s.initialize()) {
            std::lock_guard lk(mu);
            ++f.failed_startups;
            return;
        }
        auto t0 = Clock::now();
        for (int n = 0; seconds_since(t0) < seconds; ++n) {
            auto listed = parse_listing(s.call("md_list_blocks", {{"file_path", file.string()}}));
            std::string id = id_of(listed, section);
            std::string text = block_text(s.call("md_read_block", {{"file_path", file.string()}, {"block_id", id}}));
            std::string line = tag + " edit " + std::to_string(n);
            std::string answer = s.call("md_replace_block", {{"file_path", file.string()}, {"block_id", id},
                                                             {"new_content", text + "\n" + line}});
            std::lock_guard lk(mu);
            if (updated(answer)) {
                ++f.edits;
                confirmed.push_back(line);
            } else {
                ++f.refused;
            }
        }
        s.close();
    };
    std::thread a(agent, "Section 2", "A");
    std::thread b(agent, "Section 7", "B");
    a.join();
    b.join();
    const std::string final_text = slurp(file);
    for (const auto& l : confirmed)
        if (final_text.find("\n" + l + "\n") == std::string::npos) ++f.lost_edits;
}

}  // namespace

int main(int argc, char** argv) {
    int kills = 24, large_kills = 2, startups = 4, rename_kills = 12;
    double outside_seconds = 8, servers_seconds = 8;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--kills") kills = std::stoi(argv[i + 1]);
        else if (a == "--large-kills") large_kills = std::stoi(argv[i + 1]);
        else if (a == "--outside-seconds") outside_seconds = std::stod(argv[i + 1]);
        else if (a == "--servers-seconds") servers_seconds = std::stod(argv[i + 1]);
        else if (a == "--startups") startups = std::stoi(argv[i + 1]);
        else if (a == "--rename-kills") rename_kills = std::stoi(argv[i + 1]);
        else if (a == "--seed") seed = static_cast<unsigned>(std::stoul(argv[i + 1]));
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    bool ok = true;
    try {
        KillFigures small, large;
        if (kills > 0) kill_run(kills, 30, small, rng);
        // ~4.3 MB: as large as the size limit (5 MB) lets a document be, with room for the edits.
        if (large_kills > 0) kill_run(large_kills, 8000, large, rng);
        for (auto [name, k] : {std::pair{"small", &small}, {"5 MB", &large}}) {
            std::printf("kills (%s file): %d kills, %d old text, %d new text, %d torn, %d temporaries left, "
                        "%d wrong listings, %d failed edits, %d failed start-ups\n",
                        name, k->kills, k->old_text, k->new_text, k->torn, k->temporaries_left, k->wrong_listings,
                        k->failed_edits, k->failed_startups);
            ok = ok && k->torn == 0 && k->temporaries_left == 0 && k->wrong_listings == 0 && k->failed_edits == 0 &&
                 k->failed_startups == 0;
        }
        if (rename_kills > 0) {
            RenameFigures r;
            rename_run(rename_kills, r, rng);
            std::printf("kills during renames across 4 files: %d kills, %d all old, %d all new, %d mixed, %d links "
                        "to missing anchors, %d failed start-ups\n",
                        r.kills, r.all_old, r.all_new, r.mixed, r.broken_links, r.failed_startups);
            ok = ok && r.mixed == 0 && r.broken_links == 0 && r.failed_startups == 0;
        }
        if (outside_seconds > 0) {
            OutsideFigures o;
            outside_run(outside_seconds, o, rng);
            std::printf("outside editor: %d saves, %d lost; agent: %d reads, %d wrong, %d asked to read again "
                        "(FILE_BUSY), %d writes, %d refused (FILE_CHANGED), %d agent lines dropped by the editor's "
                        "own stale saves\n",
                        o.outside_saves, o.lost_outside, o.reads, o.wrong_reads, o.busy, o.agent_writes, o.refused,
                        o.agent_lines_dropped_by_editor);
            ok = ok && o.lost_outside == 0 && o.wrong_reads == 0 && o.agent_writes > 0;
        }
        if (servers_seconds > 0) {
            ServerFigures sv;
            servers_run(startups, servers_seconds, sv);
            std::printf("servers: %d simultaneous start-ups, %d failed; two servers: %d edits, %d lost, %d refused\n",
                        sv.startups, sv.failed_startups, sv.edits, sv.lost_edits, sv.refused);
            ok = ok && sv.failed_startups == 0 && sv.lost_edits == 0 && sv.edits > 0;
        }
    } catch (const std::exception& e) {
        std::printf("fault run failed: %s\n", e.what());
        return 1;
    }
    std::printf(ok ? "PASS\n" : "FAIL\n");
    return ok ? 0 : 1;
}
