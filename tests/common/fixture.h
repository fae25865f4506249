#pragma once
// A project in a fresh temporary directory with a real index, a watcher (not started), a
// safety engine and a session on them with the default collaborators (tests swap in fakes). Each suite derives from ProjectTest, naming its
// temporary directories and saying whether it keeps the log records.
// (Header only: this folder is not a test program.)

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "files.h"
#include "quillbox/blockops.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/freshness.h"

namespace qbtest {

namespace fs = std::filesystem;

struct Captured {
    quillbox::LogLevel level;
    std::string templ;
    std::string message;
};

enum class Logs { discard, capture };

class ProjectTest : public ::testing::Test {
protected:
    // prefix names the temporary directories; with Logs::capture every record down to debug
    // is kept in `logs`.
    ProjectTest(std::string prefix, Logs logging) : prefix_(std::move(prefix)), logging_(logging) {}

    void SetUp() override {
        std::random_device rd;
        root = fs::temp_directory_path() / (prefix_ + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(root);
        root = fs::canonical(root);
        quillbox::set_language("en");
        quillbox::set_log_level(quillbox::LogLevel::warning);
        if (logging_ == Logs::capture) {
            quillbox::set_log_level(quillbox::LogLevel::debug);
            quillbox::set_log_sink([this](const quillbox::LogRecord& r) {
                logs.push_back({r.level, r.templ, r.message});
            });
        } else {
            quillbox::set_log_sink([](const quillbox::LogRecord&) {});
        }
        watcher = std::make_unique<quillbox::FileWatcher>(root, [](const fs::path&) {});
        indexer = std::make_unique<quillbox::Indexer>(root / "index.db");
        safety = std::make_unique<quillbox::SafetyEngine>(root / "backups", &watcher->file_writes());
        session = std::make_unique<quillbox::Session>(*indexer, *watcher, *safety);
    }
    void TearDown() override {
        session.reset();
        safety.reset();
        indexer.reset();
        watcher.reset();
        quillbox::set_log_sink(nullptr);
        quillbox::set_log_level(quillbox::LogLevel::warning);
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    fs::path md(const std::string& name, std::string_view content) {
        fs::path p = root / name;
        write_file(p, content);
        return p;
    }
    std::vector<quillbox::Block> list(const fs::path& p) {
        return quillbox::_ensure_fresh_index(*indexer, *watcher, p);
    }
    // The identifier of the listed block with this title.
    std::string id_of(const fs::path& p, const std::string& title) {
        for (const auto& b : list(p))
            if (b.title == title) return b.uuid;
        ADD_FAILURE() << "no block titled " << title;
        return {};
    }
    int count_logs(quillbox::LogLevel level) const {
        int n = 0;
        for (const auto& l : logs) n += l.level == level;
        return n;
    }
    std::size_t backup_count() const {
        std::error_code ec;
        if (!fs::exists(root / "backups", ec)) return 0;
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(root / "backups"), fs::directory_iterator()));
    }

    fs::path root;
    std::vector<Captured> logs;
    std::unique_ptr<quillbox::FileWatcher> watcher;
    std::unique_ptr<quillbox::Indexer> indexer;
    std::unique_ptr<quillbox::SafetyEngine> safety;
    std::unique_ptr<quillbox::Session> session;

private:
    std::string prefix_;
    Logs logging_;
};

}  // namespace qbtest
