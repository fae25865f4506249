#pragma once
// Content hashes, numbered line access and the verified write protocol (backup, temporary
// file, atomic rename, read-back, rollback).

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillbox/detail/text.h"  // DecodeError

namespace quillbox {

class WriteTracker;

// 修改失败异常。 Raised when a write is refused or rolled back.
class ModificationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string compute_hash(std::string_view text);
// Lines start..end (1-based, inclusive) without their line feeds; out-of-range lines skipped.
std::vector<std::string> read_lines(const std::filesystem::path& file_path, long start, long end);
// All lines with their line ends.
std::vector<std::string> read_all_lines(const std::filesystem::path& file_path);
// First window from the top whose hash matches: (start, end), 1-based inclusive.
std::optional<std::pair<int, int>> find_block_by_content_hash(const std::filesystem::path& file_path,
                                                              std::string_view content_hash,
                                                              long expected_lines);
// Numbered excerpt around a range; the empty text on any failure.
std::string get_snippet(const std::filesystem::path& file_path, long start_line, long end_line,
                        long context = 5);

// 修改安全验证。
class SafetyEngine {
public:
    explicit SafetyEngine(std::filesystem::path backup_dir, WriteTracker* write_tracker = nullptr);

    const std::filesystem::path& backup_dir() const { return backup_dir_; }

    bool wait_if_writing(const std::filesystem::path& file_path);
    bool verify_before_modify(const std::filesystem::path& file_path, long start, long end,
                              std::string_view expected_hash);
    std::filesystem::path create_backup(const std::filesystem::path& file_path);
    void apply_replace(const std::filesystem::path& file_path, long start, long end,
                       const std::vector<std::string>& new_lines);

private:
    std::filesystem::path backup_dir_;
    WriteTracker* write_tracker_;
};

}  // namespace quillbox
