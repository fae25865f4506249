#pragma once
// The Quillbox rules section in CLAUDE.md: detect, add or update, remove.

#include <filesystem>
#include <optional>
#include <string>

namespace quillbox {

std::optional<std::string> _detect_version(const std::filesystem::path& path);
bool has_quillbox_section(const std::filesystem::path& path);
bool is_current_version(const std::filesystem::path& path);
bool add_quillbox_section(const std::filesystem::path& path);
bool remove_quillbox_section(const std::filesystem::path& path);

}  // namespace quillbox
