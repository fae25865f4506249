#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"
#include "tiny_model.h"

using namespace quillbox;
namespace fs = std::filesystem;

namespace {

// A minimal hub on 127.0.0.1: serves <root>/<org>/<name>/<file> at /<org>/<name>/resolve/main/<file>,
// sends model.safetensors through a redirect as the real hub does for large files.
class LoopbackHub {
public:
    explicit LoopbackHub(fs::path root) : root_(std::move(root)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackHub() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }

private:
    void run() {
        for (int served = 0; !stop_ && served < 200;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            ++served;
            handle(c);
            ::close(c);
        }
    }
    void handle(int c) {
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            req.append(buf, static_cast<std::size_t>(n));
        }
        std::string path = req.substr(4, req.find(' ', 4) - 4);
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(path);
        }
        std::string head, body;
        const std::string marker = "/resolve/main/";
        auto m = path.find(marker);
        if (path.rfind("/lfs/", 0) == 0) {
            fs::path f = root_ / path.substr(5);
            body = detail::read_file_bytes(f);
            head = "HTTP/1.1 200 OK\r\n";
        } else if (m != std::string::npos && fs::is_regular_file(root_ / (path.substr(1, m - 1) + "/" + path.substr(m + marker.size())))) {
            std::string rel = path.substr(1, m - 1) + "/" + path.substr(m + marker.size());
            if (rel.size() > 17 && rel.compare(rel.size() - 17, 17, "model.safetensors") == 0) {
                head = "HTTP/1.1 302 Found\r\nLocation: /lfs/" + rel + "\r\nX-Repo-Commit: 0123abcd\r\n";
            } else {
                body = detail::read_file_bytes(root_ / rel);
                head = "HTTP/1.1 200 OK\r\nX-Repo-Commit: 0123abcd\r\n";
            }
        } else {
            head = "HTTP/1.1 404 Not Found\r\n";
            body = "Entry not found";
        }
        std::string resp = head + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        for (std::size_t off = 0; off < resp.size();) {
            ssize_t n = ::send(c, resp.data() + off, resp.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<std::size_t>(n);
        }
    }

    fs::path root_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::string> requests_;
};

struct HubFixture {
    tiny::TempDir tmp;
    tiny::EnvVar hf_home{"HF_HOME", (tmp.path / "hf").string()};
    tiny::EnvVar hub{"HF_HUB_CACHE", std::nullopt};
    tiny::EnvVar offline{"HF_HUB_OFFLINE", std::nullopt};
    tiny::EnvVar own{"QUILLBOX_MODEL_DIR", (tmp.path / "own").string()};
    tiny::EnvVar no_proxy{"no_proxy", "127.0.0.1,localhost"};  // the loopback hub is never proxied
    fs::path served = tmp.path / "served";
};

}  // namespace

TEST(Hub, PullsAModelIntoTheHubCacheAndLoadsIt) {
    HubFixture f;
    const fs::path src = f.served / "sentence-transformers" / "all-MiniLM-L6-v2";
    tiny::write_model(src);
    fs::remove(src / "special_tokens_map.json");  // optional files may be absent
    LoopbackHub hub(f.served);
    tiny::EnvVar endpoint("HF_ENDPOINT", hub.endpoint() + "/");

    EXPECT_FALSE(find_model_dir("all-MiniLM-L6-v2"));
    std::map<std::string, std::uint64_t> seen;
    auto dir = ensure_model("all-MiniLM-L6-v2", [&](const std::string& file, std::uint64_t done, std::uint64_t) {
        seen[file] = std::max(seen[file], done);
    });
    const fs::path repo = f.tmp.path / "hf" / "hub" / "models--sentence-transformers--all-MiniLM-L6-v2";
    EXPECT_EQ(dir, repo / "snapshots" / "0123abcd");
    EXPECT_EQ(detail::read_file_bytes(repo / "refs" / "main"), "0123abcd");
    EXPECT_EQ(detail::read_file_bytes(dir / "model.safetensors"), detail::read_file_bytes(src / "model.safetensors"));
    EXPECT_EQ(seen["model.safetensors"], fs::file_size(src / "model.safetensors"));
    EXPECT_EQ(find_model_dir("all-MiniLM-L6-v2"), dir);
    EXPECT_EQ(SentenceEncoder(dir).encode("hello world"), SentenceEncoder(src).encode("hello world"));
    for (const auto& e : fs::recursive_directory_iterator(repo))
        EXPECT_EQ(e.path().string().find(".incomplete"), std::string::npos) << e.path();

    // Present files are not fetched again.
    auto before = hub.requests().size();
    pull_model("all-MiniLM-L6-v2");
    auto reqs = hub.requests();
    EXPECT_EQ(reqs.size() - before, 2u) << "config.json for the revision, and the absent optional file";

    auto listed = list_models();
    ASSERT_EQ(listed.size(), 3u);
    for (const auto& m : listed) {
        if (m.name == "all-MiniLM-L6-v2") EXPECT_EQ(m.location, dir);
        else EXPECT_FALSE(m.location);
    }
}

TEST(Hub, MissingRequiredFilesAndUnreachableHostsFailClearly) {
    HubFixture f;
    const fs::path src = f.served / "BAAI" / "bge-small-zh-v1.5";
    tiny::write_model(src);
    fs::remove(src / "vocab.txt");
    {
        LoopbackHub hub(f.served);
        tiny::EnvVar endpoint("HF_ENDPOINT", hub.endpoint());
        try {
            pull_model("bge-small-zh-v1.5");
            FAIL();
        } catch (const ModelError& e) {
            EXPECT_NE(std::string(e.what()).find("vocab.txt failed: HTTP status 404"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(find_model_dir("bge-small-zh-v1.5"));
        EXPECT_THROW(pull_model("multilingual-e5-small"), ModelError);  // not served at all
        // Failed first downloads leave no folder behind in the cache.
        for (const char* model : {"bge-small-zh-v1.5", "multilingual-e5-small"}) {
            std::string folder = "models--" + model_repo(model);
            for (std::size_t at; (at = folder.find('/')) != std::string::npos;) folder.replace(at, 1, "--");
            EXPECT_FALSE(fs::exists(hf_hub_cache() / folder)) << folder;
        }
    }
    // Nothing listens here any more.
    tiny::EnvVar endpoint("HF_ENDPOINT", "http://127.0.0.1:1");
    try {
        ensure_model("bge-small-zh-v1.5");
        FAIL();
    } catch (const ModelError& e) {
        EXPECT_NE(std::string(e.what()).find("is not in"), std::string::npos) << e.what();
    }
    EXPECT_THROW(pull_model("nope"), std::invalid_argument);
}

TEST(Hub, HubCacheComesBeforeQuillboxOwnDirectory) {
    HubFixture f;
    tiny::Spec a, b;
    b.seed = 99;
    tiny::write_model(quillbox_model_dir() / "all-MiniLM-L6-v2", a);
    EXPECT_EQ(find_model_dir("all-MiniLM-L6-v2"), quillbox_model_dir() / "all-MiniLM-L6-v2");
    const fs::path repo = hf_hub_cache() / "models--sentence-transformers--all-MiniLM-L6-v2";
    tiny::write_model(repo / "snapshots" / "old", b);
    EXPECT_EQ(find_model_dir("all-MiniLM-L6-v2"), repo / "snapshots" / "old");
    tiny::write_model(repo / "snapshots" / "pinned", b);
    fs::create_directories(repo / "refs");
    std::ofstream(repo / "refs" / "main") << "pinned\n";
    EXPECT_EQ(find_model_dir("all-MiniLM-L6-v2"), repo / "snapshots" / "pinned");
    tiny::EnvVar cache("HF_HUB_CACHE", (f.tmp.path / "elsewhere").string());
    EXPECT_EQ(find_model_dir("all-MiniLM-L6-v2"), quillbox_model_dir() / "all-MiniLM-L6-v2");
}
