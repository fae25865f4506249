#pragma once
// Index freshness: the index entry of a file brought in step with the file before an operation
// trusts its line numbers, and the file's freshness record.
// Private to blockops and its tests.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillbox/blockops.h"

namespace quillbox {

// The file's state now, as its freshness record holds it: modification time and raw-byte
// SHA-256.
FileState current_file_state(const std::filesystem::path& fp);

// Whether a record taken too soon after its file's last change to vouch by its figures
// (racily clean) may still be trusted: the watcher is running, saw no other change of the file
// since this process's own last write, and that write left exactly the recorded file.
bool own_write_vouches(FileWatcher& watcher, const std::filesystem::path& fp, const FileState& recorded);
// Once the racy window after the file's last change has passed, a racily clean record whose
// figures and bytes still hold is written anew, so that later operations trust it by its
// figures. Hashes the whole file; true when the record was renewed.
bool renew_racy_record(Indexer& indexer, const std::filesystem::path& fp, const FileState& recorded);

// Brings the index entry of `fp` (resolved, existing Markdown file) in step with the file and
// returns its blocks in document order. On any failure: a warning record and a fresh parse
// (blocks not stored); an error of that parse propagates. With RowColumns::listed, blocks read
// from a fresh index carry only what a listing shows.
std::vector<Block> _ensure_fresh_index(Indexer& indexer, FileWatcher& watcher,
                                       const std::filesystem::path& fp, RowColumns columns = RowColumns::all);

// The file's figures once it has held still for a moment (an outside editor saving in place
// writes in pieces, and a torn file indexed as it stands gives its sections up); nullopt when
// it kept changing for about 200 ms. A missing file counts as still.
std::optional<FileState> wait_until_quiet(const std::filesystem::path& fp);
// The file's bytes and the figures they were read under (no hash), read once it held still
// and unchanged while read; nullopt when it kept changing. Throws when it cannot be read.
std::optional<std::pair<FileState, std::string>> read_while_still(const std::filesystem::path& fp);

}  // namespace quillbox
