#pragma once
// A session on an index the test owns: the watcher (not started) and the safety engine it
// needs beside the index, and the session with the default collaborators and `data_dir`.
// (Header only: this folder is not a test program.)

#include <filesystem>

#include "quillbox/indexer.h"
#include "quillbox/safety.h"
#include "quillbox/session.h"
#include "quillbox/watcher.h"

namespace qbtest {

struct SessionOn {
    // Backups go to data_dir/backups.
    SessionOn(quillbox::Indexer& index, const std::filesystem::path& root, const std::filesystem::path& data_dir)
        : watcher(root, [](const std::filesystem::path&) {}),
          safety(data_dir / "backups", &watcher.file_writes()),
          session(index, watcher, safety) {
        session.data_dir = data_dir;
    }

    quillbox::FileWatcher watcher;
    quillbox::SafetyEngine safety;
    quillbox::Session session;
};

}  // namespace qbtest
