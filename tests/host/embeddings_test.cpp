// The embeddings-endpoint provider against a stub HTTP server on 127.0.0.1, its configuration,
// and the md_search_blocks tool.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "host/config.h"
#include "host/embeddings.h"
#include "host/tools.h"
#include "quillbox/blockops.h"
#include "quillbox/indexer.h"
#include "common/session.h"
#include "common/temp_dir.h"

using namespace quillbox;
using qbtest::CurrentDir;
using qbtest::TempDir;
using namespace quillbox::host;

namespace {

struct HttpRequest {
    std::string method, target, body;
    std::map<std::string, std::string> headers;  // names in lower case
};

// One HTTP/1.1 answer per connection. A handler status of 0 leaves the request unanswered
// until the server stops.
class StubServer {
public:
    using Handler = std::function<std::pair<int, std::string>(const HttpRequest&)>;

    explicit StubServer(Handler handler) : handler_(std::move(handler)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe(stop_) != 0)
            throw std::runtime_error("stub server set-up failed");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~StubServer() {
        char c = 'x';
        (void)!::write(stop_[1], &c, 1);
        thread_.join();
        for (int fd : held_) ::close(fd);
        ::close(fd_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<HttpRequest> requests() {
        std::lock_guard lk(mu_);
        return requests_;
    }

private:
    void run() {
        while (true) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) return;
            if (fds[1].revents) return;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            auto req = read_request(c);
            if (!req) {
                ::close(c);
                continue;
            }
            {
                std::lock_guard lk(mu_);
                requests_.push_back(*req);
            }
            auto [status, body] = handler_(*req);
            if (status == 0) {
                held_.push_back(c);
                continue;
            }
            std::string out = "HTTP/1.1 " + std::to_string(status) + " Stub\r\nContent-Type: application/json\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            (void)!::write(c, out.data(), out.size());
            ::close(c);
        }
    }
    static std::optional<HttpRequest> read_request(int c) {
        std::string data;
        char buf[65536];
        std::size_t head_end;
        while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            data.append(buf, static_cast<std::size_t>(n));
        }
        HttpRequest r;
        std::string head = data.substr(0, head_end);
        std::size_t eol = head.find("\r\n");
        std::string first = head.substr(0, eol);
        r.method = first.substr(0, first.find(' '));
        r.target = first.substr(r.method.size() + 1, first.rfind(' ') - r.method.size() - 1);
        std::istringstream lines(head.substr(eol + 2));
        for (std::string line; std::getline(lines, line);) {
            auto colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (colon != std::string::npos) r.headers[name] = line.substr(colon + 2, line.size() - colon - 3);
        }
        std::size_t length = r.headers.count("content-length") ? std::stoul(r.headers["content-length"]) : 0;
        r.body = data.substr(head_end + 4);
        while (r.body.size() < length) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            r.body.append(buf, static_cast<std::size_t>(n));
        }
        return r;
    }

    Handler handler_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::vector<HttpRequest> requests_;
    std::vector<int> held_;
};

// An answer in the OpenAI shape: vector i of the request is {i, length of text i}, listed in
// reverse order so that the client must sort by index.
std::pair<int, std::string> echo(const HttpRequest& r) {
    auto in = json::parse(r.body)["input"];
    json data = json::array();
    for (std::size_t i = in.size(); i-- > 0;)
        data.push_back({{"object", "embedding"}, {"index", i},
                        {"embedding", {static_cast<double>(i), static_cast<double>(in[i].get<std::string>().size())}}});
    return {200, json{{"object", "list"}, {"data", data}, {"model", "m"}}.dump()};
}

struct Env {
    std::string name;
    std::optional<std::string> old;
    Env(std::string n, std::optional<std::string> v) : name(std::move(n)) {
        if (const char* o = std::getenv(name.c_str())) old = o;
        if (v) ::setenv(name.c_str(), v->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    ~Env() {
        if (old) ::setenv(name.c_str(), old->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};

EmbeddingSettings settings_for(const StubServer& s) {
    EmbeddingSettings e;
    e.endpoint = s.url() + "/";
    e.model = "nomic-embed-text";
    e.timeout_seconds = 5;
    return e;
}

std::string error_of(EmbeddingProvider& p, const std::vector<std::string>& texts) {
    try {
        p.encode(texts);
    } catch (const EmbeddingError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(EmbeddingProvider, PostsModelAndInputsWithTheKeyAndOrdersByIndex) {
    StubServer server(echo);
    Env key("QB_TEST_KEY", "sk-test");
    auto s = settings_for(server);
    s.api_key_env = "QB_TEST_KEY";
    OpenAIEmbeddingProvider p(s);
    auto v = p.encode({"alpha", "", "三"});
    EXPECT_EQ(v, (std::vector<std::vector<double>>{{0, 5}, {}, {1, 3}}));  // the empty text is not sent

    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].target, "/v1/embeddings");
    EXPECT_EQ(reqs[0].headers["authorization"], "Bearer sk-test");
    EXPECT_EQ(reqs[0].headers["content-type"], "application/json");
    EXPECT_EQ(json::parse(reqs[0].body), (json{{"model", "nomic-embed-text"}, {"input", {"alpha", "三"}}}));
}

TEST(EmbeddingProvider, SplitsLargeInputsIntoBatchesAndKeepsTheirOrder) {
    StubServer server(echo);
    OpenAIEmbeddingProvider p(settings_for(server));
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i) texts.push_back(std::string(static_cast<std::size_t>(i % 7 + 1), 'x'));
    auto v = p.encode(texts);
    ASSERT_EQ(v.size(), 300u);
    for (std::size_t i = 0; i < v.size(); ++i)
        EXPECT_EQ(v[i], (std::vector<double>{static_cast<double>(i % 128), static_cast<double>(i % 7 + 1)})) << i;
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(json::parse(reqs[2].body)["input"].size(), 44u);
    EXPECT_TRUE(p.encode({"", ""}) == (std::vector<std::vector<double>>{{}, {}}));
    EXPECT_EQ(server.requests().size(), 3u);  // nothing to send
}

TEST(EmbeddingProvider, HttpErrorsAndUnusableAnswersAreClearErrors) {
    std::pair<int, std::string> answer;
    StubServer server([&](const HttpRequest&) { return answer; });
    OpenAIEmbeddingProvider p(settings_for(server));
    const std::string url = server.url() + "/v1/embeddings";

    answer = {401, R"({"error": {"message": "Incorrect API key provided", "type": "invalid_request_error"}})"};
    EXPECT_EQ(error_of(p, {"a"}), "the embeddings endpoint " + url + " answered HTTP 401: Incorrect API key provided");
    answer = {404, R"({"error": "model \"nomic\" not found, try pulling it first"})"};
    EXPECT_NE(error_of(p, {"a"}).find("HTTP 404: model \"nomic\" not found"), std::string::npos);
    answer = {500, "upstream\nfailure"};
    EXPECT_NE(error_of(p, {"a"}).find("HTTP 500: upstream failure"), std::string::npos);

    const std::string unusable = "the embeddings endpoint " + url + " sent an unusable answer: ";
    struct Case {
        const char* body;
        const char* says;
    };
    for (const Case& c : std::vector<Case>{
             {"<html>", "it is not JSON"},
             {R"({"object": "list"})", "no \"data\" list"},
             {R"({"data": [{"embedding": [1]}, {"embedding": [2]}]})", "2 embeddings for 1 texts"},
             {R"({"data": [{"embedding": "AAAA"}]})", "data[0] has no \"embedding\" list"},
             {R"({"data": [{"embedding": [1, "x"]}]})", "data[0].embedding holds \"x\" instead of a number"},
             {R"({"data": [{"index": 3, "embedding": [1]}]})", "index 3 is out of range"},
             {R"({"data": [{"index": -1, "embedding": [1]}]})", "not a whole number"},
         }) {
        answer = {200, c.body};
        std::string e = error_of(p, {"a"});
        EXPECT_EQ(e.rfind(unusable, 0), 0u) << c.body << " -> " << e;
        EXPECT_NE(e.find(c.says), std::string::npos) << c.body << " -> " << e;
    }
    answer = {200, R"({"data": [{"index": 0, "embedding": [1]}, {"index": 0, "embedding": [2]}]})"};
    EXPECT_NE(error_of(p, {"a", "b"}).find("repeated"), std::string::npos);
}

TEST(EmbeddingProvider, UnreachableSilentOrIncompleteConfigurationFails) {
    int closed_port;
    {
        StubServer gone(echo);
        closed_port = std::stoi(gone.url().substr(gone.url().rfind(':') + 1));
    }
    EmbeddingSettings s;
    s.endpoint = "http://127.0.0.1:" + std::to_string(closed_port);
    s.model = "m";
    OpenAIEmbeddingProvider refused(s);
    EXPECT_EQ(error_of(refused, {"a"}).rfind("cannot reach the embeddings endpoint http://127.0.0.1:", 0), 0u);

    StubServer silent([](const HttpRequest&) { return std::pair<int, std::string>{0, ""}; });
    auto st = settings_for(silent);
    st.timeout_seconds = 0.3;
    OpenAIEmbeddingProvider slow(st);
    EXPECT_NE(error_of(slow, {"a"}).find("did not answer within 0.3 s (semantic.timeout_seconds)"), std::string::npos);

    Env unset("QB_TEST_MISSING_KEY", std::nullopt);
    auto keyless = settings_for(silent);
    keyless.api_key_env = "QB_TEST_MISSING_KEY";
    OpenAIEmbeddingProvider no_key(keyless);
    EXPECT_NE(error_of(no_key, {"a"}).find("QB_TEST_MISSING_KEY is not set"), std::string::npos);
    OpenAIEmbeddingProvider no_endpoint(EmbeddingSettings{});
    EXPECT_NE(error_of(no_endpoint, {"a"}).find("semantic.endpoint is not set"), std::string::npos);
    EXPECT_EQ(silent.requests().size(), 1u);  // only the timed-out one reached the server
}

TEST(EmbeddingConfig, BackendChoicesAndTheProviderTheyGive) {
    Config cfg;
    EXPECT_EQ(make_embedding_provider(cfg), nullptr);  // local by default
    for (const char* b : {"local", "onnx", "none"}) {
        cfg.set("semantic.backend", b);
        EXPECT_EQ(make_embedding_provider(cfg), nullptr) << b;
    }
    EXPECT_THROW(cfg.set("semantic.backend", "ollama"), ConfigValueError);
    EXPECT_THROW(cfg.set("semantic.timeout_seconds", "0"), ConfigValueError);
    cfg.set("semantic.backend", "openai");
    cfg.set("semantic.endpoint", "http://127.0.0.1:11434/v1");
    cfg.set("semantic.endpoint_model", "nomic-embed-text");
    cfg.set("semantic.api_key_env", "OPENAI_API_KEY");
    cfg.set("semantic.timeout_seconds", "2.5");
    auto p = std::dynamic_pointer_cast<OpenAIEmbeddingProvider>(make_embedding_provider(cfg));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->url(), "http://127.0.0.1:11434/v1/embeddings");
    EXPECT_EQ(embeddings_url("https://h/api/v1/embeddings/"), "https://h/api/v1/embeddings");
    EXPECT_EQ(p->settings().model, "nomic-embed-text");
    EXPECT_EQ(p->settings().api_key_env, "OPENAI_API_KEY");
    EXPECT_EQ(p->settings().timeout_seconds, 2.5);
}

TEST(SearchTool, ListsAsReadOnlyAndTurnsFailuresIntoErrorResults) {
    ToolRegistry reg;
    register_search_tools(reg);
    const ToolSpec* spec = reg.find("md_search_blocks");
    ASSERT_NE(spec, nullptr);
    json d = ToolRegistry::describe(*spec);
    EXPECT_EQ(d["inputSchema"]["required"], json::array({"query"}));
    EXPECT_EQ(d["annotations"]["readOnlyHint"], true);
    EXPECT_EQ(d["annotations"]["destructiveHint"], false);
    EXPECT_EQ(d["annotations"]["idempotentHint"], true);
    EXPECT_EQ(d["annotations"]["openWorldHint"], false);
    EXPECT_NE(spec->description.find("md_find_blocks"), std::string::npos);

    TempDir tmp;
    std::filesystem::create_directories(tmp.path / ".quillbox");
    Indexer indexer(tmp.path / ".quillbox" / "index.db");
    indexer.index_file(tmp.write("a.md", "# Title\ntext\n"));
    qbtest::SessionOn on(indexer, tmp.path, tmp.path / ".quillbox");
    ToolContext ctx;
    ctx.session = &on.session;

    auto missing = run_tool(*spec, ctx, json::object());
    EXPECT_TRUE(missing.is_error);
    EXPECT_NE(missing.text.find("'query'"), std::string::npos) << missing.text;

    // Through an endpoint that fails (a missing local model: see the e2e session).
    StubServer server([](const HttpRequest&) { return std::pair<int, std::string>{503, "{\"error\": \"loading\"}"}; });
    on.session.embeddings = std::make_shared<OpenAIEmbeddingProvider>(settings_for(server));
    auto down = run_tool(*spec, ctx, {{"query", "title"}});
    EXPECT_TRUE(down.is_error);
    EXPECT_NE(down.text.find("Error: semantic search failed: the embeddings endpoint"), std::string::npos);
    EXPECT_NE(down.text.find("HTTP 503: loading"), std::string::npos) << down.text;

    // And one that works.
    StubServer ok(echo);
    on.session.embeddings = std::make_shared<OpenAIEmbeddingProvider>(settings_for(ok));
    auto found = run_tool(*spec, ctx, {{"query", "title"}});
    EXPECT_FALSE(found.is_error) << found.text;
    EXPECT_EQ(found.text.rfind("Search 'title':\n  [", 0), 0u) << found.text;
    indexer.close();
}

TEST(SearchTool, AnEndpointIsAskedOnlyForTheQueryAndTitlesItHasNotEmbedded) {
    TempDir tmp;
    std::filesystem::create_directories(tmp.path / ".quillbox");
    Indexer indexer(tmp.path / ".quillbox" / "index.db");
    indexer.index_file(tmp.write("a.md", "# Title\ntext\n## Other\nmore\n"));
    const std::string title_id = indexer.list_blocks(tmp.path / "a.md").at(0).uuid;
    qbtest::SessionOn on(indexer, tmp.path, tmp.path / ".quillbox");
    ToolContext ctx;
    ctx.session = &on.session;
    ToolRegistry reg;
    register_search_tools(reg);

    StubServer server(echo);
    auto inputs = [&] {
        std::vector<json> out;
        for (const auto& r : server.requests()) out.push_back(json::parse(r.body)["input"]);
        return out;
    };
    for (int round = 0; round < 2; ++round) {
        // A fresh provider each time, as a new server would make.
        on.session.embeddings = std::make_shared<OpenAIEmbeddingProvider>(settings_for(server));
        auto found = run_tool(*reg.find("md_search_blocks"), ctx, {{"query", "title"}});
        ASSERT_FALSE(found.is_error) << found.text;
        EXPECT_NE(found.text.find("file=\"a.md\" id=\"" + title_id + "\""), std::string::npos) << found.text;
    }
    EXPECT_EQ(inputs(), (std::vector<json>{{"title"}, {"Title", "Other"}, {"title"}}));
    indexer.close();
}
