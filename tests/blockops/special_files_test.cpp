// Files that are no regular files (FIFO, socket, directory) are refused by every operation,
// with a text that says so, and nothing ever waits on opening them.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fixture.h"
#include "host/tools.h"
#include "common/temp_dir.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/i18n.h"

namespace qbtest {
namespace {

using quillbox::get_message;
using quillbox::host::json;

// Opens every FIFO in `fifos` for writing once the grace period is over, so that a reader
// stuck in open() comes free; `rescued` then says the test would have hung.
class HangGuard {
public:
    explicit HangGuard(std::vector<fs::path> fifos) : fifos_(std::move(fifos)) {
        thread_ = std::thread([this] {
            for (int i = 0; i < 200 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (done_) return;
            rescued_ = true;
            for (const auto& f : fifos_) {
                int fd = ::open(f.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) ::close(fd);
            }
        });
    }
    ~HangGuard() {
        done_ = true;
        thread_.join();
    }
    bool rescued() const { return rescued_; }

private:
    std::vector<fs::path> fifos_;
    std::atomic<bool> done_{false}, rescued_{false};
    std::thread thread_;
};

class SpecialFiles : public ToolsTest {
protected:
    void TearDown() override {
        if (sock_ >= 0) ::close(sock_);
        ToolsTest::TearDown();
    }
    fs::path fifo(const std::string& name) {
        fs::path p = root / name;
        EXPECT_EQ(::mkfifo(p.c_str(), 0644), 0);
        return p;
    }
    fs::path socket_file(const std::string& name) {
        fs::path p = root / name;
        sock_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
        EXPECT_EQ(::bind(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << p;
        return p;
    }
    quillbox::host::ToolOutcome call(const std::string& name, const json& args) {
        return quillbox::host::run_tool(*registry.find(name), ctx, args);
    }
    int sock_ = -1;
};

TEST_F(SpecialFiles, EveryToolRefusesThemWithoutWaiting) {
    const fs::path pipe = fifo("p.md");
    const fs::path sock = socket_file("s.md");
    const fs::path dir = root / "d.md";
    fs::create_directories(dir);
    HangGuard guard({pipe});
    for (const auto& [path, kind] : {std::pair{pipe, "FIFO"}, std::pair{sock, "socket"}, std::pair{dir, "directory"}}) {
        const std::string expected = get_message("not_regular_file", {{"path", path}, {"kind", kind}});
        for (const char* tool : {"md_list_blocks", "read_file", "md_generate_toc", "md_find_blocks", "md_edit"}) {
            json args{{"file_path", path.string()}};
            if (std::string(tool) == "md_find_blocks") args["query"] = "x";
            if (std::string(tool) == "md_edit") args["instruction"] = "change a to b";
            auto out = call(tool, args);
            EXPECT_TRUE(out.is_error) << tool << " " << kind;
            EXPECT_EQ(out.text, expected) << tool << " " << kind;
        }
        // The watcher's re-index of such a path fails at once too.
        EXPECT_THROW(indexer->index_file(path, watcher.get()), quillbox::detail::NotRegularFileError) << kind;
    }
    EXPECT_FALSE(guard.rescued()) << "an operation blocked on opening the FIFO";
}

TEST_F(SpecialFiles, AStoredBlockWhoseFileBecameAFifoIsRefused) {
    const auto p = md("guide.md", "# Guide\n## Alpha\nText\n## Beta\nEnd\n");
    const std::string alpha = id_of(p, "Alpha");
    fs::remove(p);
    fifo("guide.md");
    HangGuard guard({p});
    const std::string expected = get_message("not_regular_file", {{"path", p}, {"kind", "FIFO"}});
    for (const auto& [tool, args] : std::vector<std::pair<std::string, json>>{
             {"md_read_block", {{"file_path", p.string()}, {"block_id", alpha}}},
             {"md_replace_block", {{"file_path", p.string()}, {"block_id", alpha}, {"new_content", "## Alpha\nx\n"}}},
             {"md_adjust_level", {{"block_id", alpha}, {"delta", 1}}},
             {"md_move_block", {{"block_id", alpha}}}}) {
        auto out = call(tool, args);
        EXPECT_TRUE(out.is_error) << tool << " -> " << out.text;
        EXPECT_NE(out.text.find("not a regular file (FIFO)"), std::string::npos) << tool << " -> " << out.text;
    }
    EXPECT_FALSE(guard.rescued()) << "an operation blocked on opening the FIFO";
}

TEST(RegularFile, ReadsRefuseWhatIsNoRegularFileEvenThroughALink) {
    TempDir tmp;
    const fs::path pipe = tmp.path / "p";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    fs::create_symlink(pipe, tmp.path / "link.md");
    HangGuard guard({pipe});
    for (const fs::path& p : std::vector<fs::path>{pipe, tmp.path / "link.md", tmp.path}) {
        try {
            (void)quillbox::detail::read_file_bytes(p);
            ADD_FAILURE() << p << " was read";
        } catch (const quillbox::detail::NotRegularFileError& e) {
            EXPECT_STREQ(e.kind(), p == tmp.path ? "directory" : "FIFO");
        }
    }
    write_file(tmp.path / "ok.md", "# Ok\n");
    EXPECT_EQ(quillbox::detail::read_file_bytes(tmp.path / "ok.md"), "# Ok\n");
    EXPECT_FALSE(guard.rescued());
}

}  // namespace
}  // namespace qbtest
