// The real all-MiniLM-L6-v2, installed from the Python package index by the setup fixture
// (QUILLBOX_TEST_MODELS names the folder that holds it): the encoder against reference values
// and against itself, and `quillbox serve` ranking a small wiki the way a reader would.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <thread>

#include "common/temp_dir.h"
#include "e2e/run_command.h"
#include "e2e/server_process.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* MODEL = "all-MiniLM-L6-v2";

fs::path models_dir() {
    const char* d = std::getenv("QUILLBOX_TEST_MODELS");
    return d && *d ? fs::path(d) : fs::path();
}

#define REQUIRE_MODEL()                                                                     \
    if (models_dir().empty() || !fs::exists(models_dir() / MODEL / "model.safetensors"))    \
    GTEST_SKIP() << "all-MiniLM-L6-v2 was not installed (the package index was unreachable)"

double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0, na = 0, nb = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        d += double(a[i]) * b[i];
        na += double(a[i]) * a[i];
        nb += double(b[i]) * b[i];
    }
    return na > 0 && nb > 0 ? d / std::sqrt(na * nb) : 0;
}

const quillbox::SentenceEncoder& encoder() {
    static quillbox::SentenceEncoder enc(models_dir() / MODEL);
    return enc;
}

// A small team wiki: each query below has one section a person would open first.
const std::vector<std::pair<std::string, std::string>> WIKI = {
    {"docs/operations.md",
     "# Operations handbook\n\n"
     "## Backing up the database\n\nTake a nightly snapshot of the PostgreSQL cluster with pg_basebackup and copy "
     "the archive to the offsite bucket. Keep thirty days of snapshots and rehearse a restore every month.\n\n"
     "## Rotating TLS certificates\n\nCertificates come from the internal CA and expire after ninety days. Renew "
     "them with certbot, reload nginx, then confirm the new expiry in the monitoring dashboard.\n\n"
     "## Scaling the web tier\n\nWhen processor usage stays above seventy percent, add instances to the "
     "autoscaling group. Each instance serves about two hundred requests per second.\n\n"
     "## On-call rotation\n\nEngineers take week-long shifts. The pager escalates to the secondary after fifteen "
     "minutes without acknowledgement.\n"},
    {"docs/onboarding.md",
     "# Onboarding\n\n"
     "## Setting up your workstation\n\nInstall Git, Docker and the JetBrains toolbox. Clone the monorepo and run "
     "make bootstrap to fetch dependencies.\n\n"
     "## Expense policy\n\nTravel, meals with customers and conference tickets are reimbursed when submitted with "
     "receipts within thirty days.\n\n"
     "## Vacation and leave\n\nEveryone gets twenty-five days of paid holiday per year. Request time off in the HR "
     "portal at least two weeks ahead.\n\n"
     "## Security training\n\nComplete the phishing awareness course during your first week. Use the password "
     "manager for every account and turn on two-factor authentication.\n"},
    {"docs/product.md",
     "# Product notes\n\n"
     "## Pricing plans\n\nThe starter plan is nine dollars per seat each month; the business plan adds single "
     "sign-on and audit logs.\n\n"
     "## Dark mode\n\nThe interface follows the operating system's colour scheme. Users can override that in the "
     "appearance settings.\n\n"
     "## Offline support\n\nThe mobile app caches the last opened documents so they can be read without a "
     "connection; edits are synchronised once the device is back online.\n\n"
     "## Data export\n\nCustomers can download all of their records as CSV or JSON from the account page.\n"},
    {"docs/kitchen.md",
     "# Team kitchen\n\n"
     "## Sourdough bread\n\nFeed the starter the night before, mix flour, water and salt, fold four times, then "
     "bake in a hot Dutch oven.\n\n"
     "## Vegetable curry\n\nFry onions, garlic and ginger, add spices and coconut milk, and simmer the vegetables "
     "until tender.\n"},
};

}  // namespace

// The model's own published similarities (sentence-transformers on the same three sentences),
// and the batch path on all cores against one text at a time: batches sorted by length, uneven
// batch sizes, texts past the 256-token limit, empty and non-Latin text.
TEST(RealModel, EncoderMatchesReferenceAndBatchesMatchOneByOne) {
    REQUIRE_MODEL();
    const auto& enc = encoder();
    ASSERT_EQ(enc.dim(), 384u);
    auto ref = enc.encode_batch({"The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium."});
    EXPECT_NEAR(cosine(ref[0], ref[1]), 0.6660, 0.001);
    EXPECT_NEAR(cosine(ref[0], ref[2]), 0.1046, 0.001);
    EXPECT_NEAR(cosine(ref[1], ref[2]), 0.1411, 0.001);

    std::vector<std::string> texts;
    for (const auto& [file, text] : WIKI) {
        std::size_t at = 0;
        while ((at = text.find("## ", at)) != std::string::npos) {
            const std::size_t end = text.find("\n## ", at + 3);
            texts.push_back(text.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3));
            at += 3;
        }
    }
    std::string long_text;
    for (int i = 0; i < 120; ++i) long_text += "replication lag alert number " + std::to_string(i) + ". ";
    texts.insert(texts.end(), {"", "x", long_text, long_text.substr(0, 900), "数据库备份与恢复", "Ünïcödé naïve café"});
    ASSERT_GT(enc.tokenize(long_text).size(), 200u);
    EXPECT_EQ(enc.tokenize(long_text).size(), enc.max_seq_length());

    std::vector<std::vector<float>> single;
    for (const auto& t : texts) single.push_back(enc.encode(t));
    for (std::size_t batch : {1u, 5u, 32u}) {
        auto batched = enc.encode_batch(texts, batch);
        ASSERT_EQ(batched.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_GT(cosine(batched[i], single[i]), 0.9999) << "batch " << batch << ": " << texts[i].substr(0, 60);
    }
}

// A user's way: the model unpacked into Quillbox's model folder, `model list` finds it, and the
// server's md_search_blocks ranks by meaning where the words do not match.
TEST(RealModel, ServeRanksTheSectionAReaderWouldOpenFirst) {
    REQUIRE_MODEL();
    qbtest::TempDir tmp("qb-real-model");
    const fs::path root = tmp.path / "wiki";
    for (const auto& [file, text] : WIKI) qbtest::write_file(root / file, text);
    fs::create_directories(tmp.path / "home");
    fs::create_directories(tmp.path / "hub");
    const std::map<std::string, std::string> env = {{"HOME", (tmp.path / "home").string()},
                                                    {"HF_HUB_CACHE", (tmp.path / "hub").string()},
                                                    {"HF_HUB_OFFLINE", "1"},
                                                    {"QUILLBOX_MODEL_DIR", models_dir().string()},
                                                    {"QUILLBOX_SEMANTIC_MODEL", ""}};

    auto listed = run_quillbox({"model", "list", "--root", root.string()}, "", env);
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("installed: " + (models_dir() / MODEL).string() + "  <- used by this project"),
              std::string::npos)
        << listed.out;

    ServerProcess server(QUILLBOX_EXE, {"serve", "--root", root.string()}, tmp.path / "server.log",
                         {env.begin(), env.end()});
    server.request("initialize", {{"protocolVersion", "2025-11-25"},
                                  {"capabilities", json::object()},
                                  {"clientInfo", {{"name", "real-model"}, {"version", "1"}}}});
    server.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});

    static const std::regex first_hit(R"(\n  \[(?:high|medium|low)\] (.*) \(score=)");
    auto first_title = [&](const std::string& query, std::string& answer) {
        json r = server.request("tools/call", {{"name", "md_search_blocks"}, {"arguments", {{"query", query}}}});
        answer = r["result"]["content"][0]["text"].get<std::string>();
        std::smatch m;
        return std::regex_search(answer, m, first_hit) ? m[1].str() : std::string();
    };
    const std::vector<std::pair<std::string, std::string>> asked = {
        {"how much does a subscription cost", "Pricing plans"},
        {"my SSL cert is about to lapse", "Rotating TLS certificates"},
        {"which engineer is on duty tonight", "On-call rotation"},
        {"can I get reimbursed for a taxi", "Expense policy"},
        {"how many days off do I have", "Vacation and leave"},
        {"baking a loaf", "Sourdough bread"},
        {"reading documents on my phone without internet", "Offline support"},
        {"does the app work on a plane", "Offline support"},
    };
    for (const auto& [query, want] : asked) {
        // Embedding may still run in the background when the first queries come: the answer is
        // asked again until the vectors are in, for at most a minute.
        std::string answer, got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while ((got = first_title(query, answer)) != want && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_EQ(got, want) << query << "\n" << answer;
    }
    if (HasFailure()) std::cerr << "server log:\n" << qbtest::read_file(tmp.path / "server.log");
}
