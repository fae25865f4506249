// The data folder as a cloned repository or a damaged disk may leave it: the server answers
// whatever state its index is in, and writes nothing outside the project.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include <SQLiteCpp/SQLiteCpp.h>

#include "run_command.h"
#include "server_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> listed_ids(const std::string& listing) {
    static const std::regex id(R"re(id="([0-9a-f-]{36})")re");
    std::vector<std::string> out;
    for (std::sregex_iterator it(listing.begin(), listing.end(), id), end; it != end; ++it) out.push_back((*it)[1]);
    return out;
}

struct TempRoot {
    fs::path path;
    TempRoot() {
        char tmpl[] = "/tmp/quillbox-datafolder-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        path = fs::canonical(tmpl);
    }
    ~TempRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// One server session on a project.
class Session {
public:
    explicit Session(const fs::path& root)
        : log_(root.parent_path() / (root.filename().string() + ".log")),
          server_(QUILLBOX_EXE, {"serve", "--root", root.string()}, log_) {}
    ~Session() { fs::remove(log_); }

    // The `initialize` answer; null when there was none.
    json initialize() {
        try {
            json r = server_.request("initialize", {{"protocolVersion", "2025-11-25"},
                                                    {"capabilities", json::object()},
                                                    {"clientInfo", {{"name", "e2e"}, {"version", "1"}}}});
            server_.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
            return r;
        } catch (const std::exception&) {
            return nullptr;
        }
    }
    // Every text of one tool call's answer.
    std::vector<std::string> call(const std::string& tool, const json& args) {
        json r = server_.request("tools/call", {{"name", tool}, {"arguments", args}});
        std::vector<std::string> texts;
        if (r.contains("result"))
            for (const auto& c : r["result"]["content"]) texts.push_back(c.value("text", ""));
        return texts;
    }
    ServerProcess& process() { return server_; }
    std::string log() const { return slurp(log_); }

private:
    fs::path log_;
    ServerProcess server_;
};

const std::string kGuide = "# Guide\nIntro.\n\n## Install\nRun it.\n\n## Usage\nCall it.\n";

}  // namespace

// A damaged index (a page zeroed, a garbage header, cut short, not a database) and one that
// cannot be opened at all: the server answers `initialize`, serves correct reads, and tells the
// agent once, with the first answer, why earlier ids are gone.
TEST(DataFolder, TheServerAnswersWhateverStateItsIndexIsIn) {
    auto zero_page = [](const fs::path& db) {
        const int fd = ::open(db.c_str(), O_WRONLY);
        const std::string zeros(4096, '\0');
        ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), 4096 * 2), 4096);
        ::close(fd);
    };
    const std::vector<std::tuple<std::string, std::function<void(const fs::path&)>, std::string>> cases = {
        {"zeroed page", zero_page, "rebuilt"},
        {"garbage header", [](const fs::path& db) { spit(db, std::string(8192, '\x5a')); }, "rebuilt"},
        {"cut short", [](const fs::path& db) { fs::resize_file(db, 100); }, "rebuilt"},
        {"a folder", [](const fs::path& db) { fs::remove(db); fs::create_directories(db / "x"); }, "in memory"},
    };
    for (const auto& [what, damage, said] : cases) {
        SCOPED_TRACE(what);
        TempRoot root;
        std::string big;
        for (int i = 0; i < 150; ++i) big += "## Part " + std::to_string(i) + "\ntext " + std::to_string(i) + "\n\n";
        spit(root.path / "big.md", big);
        spit(root.path / "guide.md", kGuide);
        std::vector<std::string> old_ids;
        {
            Session s(root.path);
            ASSERT_TRUE(s.initialize().contains("result"));
            old_ids = listed_ids(s.call("md_list_blocks", {{"file_path", "guide.md"}}).at(0));
            s.call("md_list_blocks", {{"file_path", "big.md"}});
            s.process().close_input();
            ASSERT_EQ(s.process().wait_exit(), std::optional<int>(0));
        }
        ASSERT_EQ(old_ids.size(), 3u);
        fs::remove(root.path / ".quillbox" / "index.db-wal");
        damage(root.path / ".quillbox" / "index.db");

        Session s(root.path);
        const json init = s.initialize();
        ASSERT_TRUE(init.contains("result")) << init.dump() << s.log();
        // An id from before: not found, with the note that says to list again.
        const auto stale = s.call("md_read_block", {{"file_path", "guide.md"}, {"block_id", old_ids[1]}});
        ASSERT_EQ(stale.size(), 2u) << s.log();
        EXPECT_NE(stale[1].find(said), std::string::npos) << stale[1];
        EXPECT_NE(stale[1].find("md_list_blocks"), std::string::npos) << stale[1];
        const auto listing = s.call("md_list_blocks", {{"file_path", "guide.md"}});
        EXPECT_EQ(listing.size(), 1u);  // said once
        const auto ids = listed_ids(listing.at(0));
        ASSERT_EQ(ids.size(), 3u);
        EXPECT_NE(s.call("md_read_block", {{"file_path", "guide.md"}, {"block_id", ids[1]}}).at(0).find("Run it."),
                  std::string::npos);
        s.process().close_input();
        EXPECT_EQ(s.process().wait_exit(), std::optional<int>(0));
        EXPECT_NE(s.log().find(said == "rebuilt" ? "moved aside" : "in memory"), std::string::npos) << s.log();
        if (said == "rebuilt") {
            // Built again from the files, the one never listed since included.
            SQLite::Database db((root.path / ".quillbox" / "index.db").string(), SQLite::OPEN_READONLY);
            EXPECT_EQ(db.execAndGet("SELECT COUNT(*) FROM blocks").getInt(), 153);
        }
    }
}

// A cloned repository whose data folder, or an entry of it, is a link out of the project: the
// server still answers, every tool call says what to remove, and nothing outside is deleted,
// created or written.
TEST(DataFolder, LinksOutOfTheProjectAreNeverFollowed) {
    for (const std::string linked : {".quillbox", ".quillbox/backups", ".quillbox/locks", ".quillbox/index.db"}) {
        SCOPED_TRACE(linked);
        TempRoot root, outside;
        spit(root.path / "guide.md", kGuide);
        // What a clean-up would take for its own: old backups and temporary files.
        const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
        for (const char* name : {"notes.bak", "draft.md.quillbox-tmp", "2020-01-01_00-00-00.000000_abcd1234_a.md.bak",
                                 ".a.md.bak.quillbox-Ab12Cd"}) {
            spit(outside.path / name, "keep me");
            fs::last_write_time(outside.path / name, old);
        }
        {
            SQLite::Database other((outside.path / "other.db").string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            other.exec("CREATE TABLE mine (x)");
        }
        auto snapshot = [&] {
            std::map<std::string, std::string> files;
            for (const auto& e : fs::recursive_directory_iterator(outside.path))
                files[e.path().lexically_relative(outside.path).string()] = e.is_regular_file() ? slurp(e.path()) : "/";
            return files;
        };
        const auto before = snapshot();
        fs::create_directories((root.path / linked).parent_path());
        fs::create_symlink(linked == ".quillbox/index.db" ? outside.path / "other.db" : outside.path,
                           root.path / linked);

        Session s(root.path);
        ASSERT_TRUE(s.initialize().contains("result")) << s.log();
        const auto listing = s.call("md_list_blocks", {{"file_path", "guide.md"}});
        ASSERT_FALSE(listing.empty());
        if (linked == ".quillbox/index.db") {
            EXPECT_EQ(listed_ids(listing[0]).size(), 3u) << listing[0];  // served, from a fresh index
        } else {
            EXPECT_NE(listing[0].find("symbolic link"), std::string::npos) << listing[0];
            EXPECT_NE(listing[0].find("rm " + (root.path / linked).string()), std::string::npos) << listing[0];
        }
        s.process().close_input();
        s.process().wait_exit();
        if (linked != ".quillbox/index.db") {
            // The commands refuse it too, saying what to remove; doctor names it.
            const auto reindex = run_quillbox({"reindex", "--root", root.path.string()});
            EXPECT_EQ(reindex.code, 2) << reindex.out;
            EXPECT_NE(reindex.err.find("rm " + (root.path / linked).string()), std::string::npos) << reindex.err;
            const auto doctor = run_quillbox({"doctor", "--root", root.path.string()});
            EXPECT_NE(doctor.out.find("symbolic link"), std::string::npos) << doctor.out;
        }
        EXPECT_EQ(snapshot(), before);
    }
}

// A line over the size limit is answered, with its request's id, without being kept; the
// server then goes on serving.
TEST(DataFolder, AnOversizedRequestIsRefusedWithItsIdAndTheServerGoesOn) {
    TempRoot root;
    spit(root.path / "guide.md", kGuide);
    Session s(root.path);
    ASSERT_TRUE(s.initialize().contains("result"));
    const std::string query(60u << 20, 'q');  // a 60 MB query
    s.process().send_raw(R"({"jsonrpc":"2.0","id":41,"method":"tools/call","params":{"name":"md_find_blocks",)"
                         R"("arguments":{"file_path":"guide.md","query":")" + query + "\"}}}\n");
    const auto line = s.process().read_line(60.0);
    ASSERT_TRUE(line);
    const json answer = json::parse(*line);
    EXPECT_EQ(answer["id"], 41);
    EXPECT_EQ(answer["error"]["code"], -32600);
    EXPECT_NE(answer["error"]["message"].get<std::string>().find("too large"), std::string::npos) << *line;
    EXPECT_EQ(listed_ids(s.call("md_list_blocks", {{"file_path", "guide.md"}}).at(0)).size(), 3u);
    s.process().close_input();
    EXPECT_EQ(s.process().wait_exit(), std::optional<int>(0));
}
