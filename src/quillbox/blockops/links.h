#pragma once
// Helpers of the operations on anchors and links: the configured anchor style, the project's
// Markdown files, and a heading block's rendered anchor.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/outline.h"
#include "quillbox/session.h"

namespace quillbox::links {

// The `anchors` setting; GitHub's when unset or unknown.
AnchorStyle configured_anchor_style(const Session& session);

// The heading of `anchors` that is the block (same level, its first line within the
// heading's lines); nothing when the parse disagrees.
const HeadingAnchor* heading_of(const DocumentAnchors& anchors, const Block& block);

// Gives each entry its heading's rendered anchor (entries without one keep their slug).
void set_rendered_anchors(std::vector<TocEntry>& entries, const DocumentAnchors& anchors);

// The project root: the session's path resolver's root, else the current directory.
std::filesystem::path project_root(const Session& session);

// The Markdown files under `root`, sorted, skipping hidden folders and node_modules.
std::vector<std::filesystem::path> project_markdown_files(const std::filesystem::path& root);

bool is_markdown_path(const std::filesystem::path& p);

// `text` under the session's result budget (see fit_to_budget).
std::string fit(const Session& session, std::string_view text,
                const std::function<std::string(std::size_t kept_lines)>& hint);

// An absolute path shown relative to the project root when under it.
std::string display_path(const std::filesystem::path& p, const std::filesystem::path& root);

// A link destination's %XX escapes decoded; a malformed escape is kept as written.
std::string percent_decode(std::string_view s);

}  // namespace quillbox::links
