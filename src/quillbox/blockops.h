#pragma once
// The operations offered to the agent: list, read, replace, find and search blocks, read a
// whole file, the structural edits, and the frame they share (path checks, index freshness,
// token estimate, savings footer).
// Every do_* operation returns one text for the agent; expected refusals are such texts.
// Unexpected failures (database, file system, ModificationError) propagate as exceptions.

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/host.h"
#include "quillbox/indexer.h"
#include "quillbox/outline.h"
#include "quillbox/safety.h"
#include "quillbox/tracker.h"
#include "quillbox/watcher.h"

namespace quillbox {

// ---------------------------------------------------------------------------------------
// Core operations
// ---------------------------------------------------------------------------------------

std::string do_list_blocks(Indexer& indexer, FileWatcher& watcher, std::string_view file_path);

// `file_path` is only shown in the not-found guidance; the block is read from its stored path.
std::string do_read_block(Indexer& indexer, ReadCache& cache, const std::filesystem::path& file_path,
                          std::string_view block_id);

// Throws ModificationError when the safety engine refuses or rolls back the write.
std::string do_replace_block(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                             SessionReadTracker& tracker, const std::filesystem::path& file_path,
                             std::string_view block_id, std::string_view new_content);

// Whole file (any file type), or the cached marker when the agent already holds it.
std::string do_read_file(ReadCache& cache, SessionReadTracker& tracker, std::string_view file_path);

// Blocks whose title contains `query`, case-insensitively.
std::string do_find_blocks(Indexer& indexer, FileWatcher& watcher, std::string_view file_path,
                           std::string_view query);

// ---------------------------------------------------------------------------------------
// Structural operations
// ---------------------------------------------------------------------------------------

// Applies a natural-language edit instruction to the sections it most likely concerns, or
// shows them with their identifiers when no automatic rewrite is possible.
std::string do_md_edit(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                       SessionReadTracker& tracker, std::string_view file_path,
                       std::string_view instruction);

inline constexpr std::string_view TOC_START_MARKER = "<!-- toc -->";
inline constexpr std::string_view TOC_STOP_MARKER = "<!-- tocstop -->";

// Writes or refreshes the table of contents between the markers. `update` has no effect: an
// existing table is always refreshed.
std::string do_generate_toc(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                            std::string_view file_path, bool update = true,
                            bool force_insert = false, long long max_depth = 6);

// Promotes (negative delta) or demotes a heading, with its descendants when `recursive`.
std::string do_adjust_level(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                            std::string_view block_id, long long delta, bool recursive = true);

// Moves a section with its subsections relative to another section of the same file, or to
// the start or end of the document when `target_block_id` is empty.
std::string do_move_block(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                          std::string_view block_id, std::string_view target_block_id = "",
                          std::string_view position = "after");

// ---------------------------------------------------------------------------------------
// Semantic search
// ---------------------------------------------------------------------------------------

// The answer when semantic search is switched off (semantic.backend = "none").
inline constexpr std::string_view SEMANTIC_NOT_ENABLED =
    "⚠️  Semantic search not enabled.\n"
    "Install dependencies: pip install quillbox[semantic]\n"
    "Then configure a backend: quillbox config set semantic.backend onnx\n"
    "Use md_find_blocks for keyword search instead.";

// The (at most three) blocks of the whole index closest in meaning to `query`, with a
// confidence label, a percentage and a snippet each. Through the installed embedding
// provider (titles only) when there is one, else the local SemanticEngine on
// data_dir/"vectors", filled from the index while its store is empty. Blocks of files that
// no longer exist are left out. A model that cannot be loaded raises SemanticModelError;
// provider failures propagate as the provider raises them.
std::string do_search_blocks(Indexer& indexer, const std::filesystem::path& data_dir, std::string_view query);

}  // namespace quillbox
