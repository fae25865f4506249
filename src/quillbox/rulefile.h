#pragma once
// The Quillbox rules section in CLAUDE.md: detect, add or update, remove.
//
// Reading accepts UTF-8 only. Every byte outside the section is the user's and is kept, line
// ends included. Writing goes through a temporary file in the same directory that is synced and
// renamed into place, so the file is either the old one or the new one, never half-written.
// Errors (missing parent directory, a directory given as the file, invalid UTF-8, no
// permission) are raised as std::filesystem::filesystem_error or quillbox::DecodeError.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

inline constexpr std::string_view RULES_VERSION = "v3.1";
// Start of the section's heading line; anywhere in the file it means the section is there.
inline constexpr std::string_view SECTION_MARKER = "## ⚠️ Quillbox 工具使用规则";
// Start of the version comment line that opens the section.
inline constexpr std::string_view VERSION_MARKER = "<!-- Quillbox Rules";

// The section: 40 lines, each ended by a line feed.
inline constexpr std::string_view QUILLBOX_SECTION =
    "<!-- Quillbox Rules v3.1 -- auto-managed by quillbox install -->\n"
    "\n"
    "## ⚠️ Quillbox 工具使用规则（处理 .md 文件时必须遵守）\n"
    "\n"
    "### 核心规则\n"
    "处理 Markdown 文档时，**必须优先使用 Quillbox MCP 工具**，禁止使用原生 Write 覆盖 .md 文件。\n"
    "\n"
    "### 🔴 严禁编造 block_id\n"
    "**md_read_block 和 md_replace_block 的 block_id 必须从 md_list_blocks 或 md_find_blocks 的返回结果中获取。**\n"
    "**严禁自行编造或使用记忆中保存的 block_id。**\n"
    "标准流程：先调 md_list_blocks(\"文件.md\") 获取当前有效的 block_id 列表，再对目标 block_id 调用 read/replace。\n"
    "\n"
    "### 边界声明\n"
    "Quillbox 有两套能力，严禁混用：\n"
    "- **MCP 工具**（直接调用，用于编辑文档）：md_edit, md_list_blocks, md_read_block, md_replace_block, md_find_blocks, md_search_blocks, md_generate_toc, md_move_block, md_adjust_level\n"
    "- **CLI 命令**（仅用户手动在终端执行，不要通过 Bash 调用）：install, status, reindex, doctor\n"
    "\n"
    "### 工具优先级\n"
    "处理 Markdown 文档时：\n"
    "1. **一步编辑**：对章节级修改，优先用 md_edit(\"文件.md\", \"自然语言修改指令\")，自动完成定位→替换\n"
    "2. **分步编辑**：需要精确控制时用 md_list_blocks → md_read_block → md_replace_block\n"
    "3. 仅当修改少于 3 行且 Quillbox 无法满足时，才使用原生 Edit\n"
    "4. **禁止使用原生 Write 直接覆盖 Markdown 文档**（大文件时会被 Hook 拦截）\n"
    "\n"
    "### 标准工作流\n"
    "一步完成：md_edit(\"README.md\", \"把安装步骤中的 Python 3.10 改为 3.12\")\n"
    "精确控制：md_list_blocks → md_read_block → md_replace_block\n"
    "快速定位：md_find_blocks(\"docs/guide.md\", \"安装\") 按关键词查章节\n"
    "跨文件语义搜索：md_search_blocks(\"how to configure authentication\")\n"
    "\n"
    "### 正反示例\n"
    "✅ 正确：修改文档章节 → md_edit(\"api.md\", \"更新认证说明\")\n"
    "✅ 正确：精确定位修改 → md_list_blocks → md_read_block → md_replace_block\n"
    "❌ 错误：修改整个章节，直接调用原生 Edit/Write\n"
    "✅ 正确：修改 2 个错字、调整单个标点 → 使用原生 Edit\n"
    "❌ 错误：未调 md_list_blocks 就直接 md_read_block(\"xxx\") — block_id 必须从 list 获取\n"
    "\n"
    "### 手动唤起\n"
    "用户输入 `/quillbox`、「用 Quillbox 改」、「分块改」、「按章节改」时，\n"
    "强制使用 Quillbox MCP 工具。\n";

// The English section, for every project whose language is not zh. Same version comment;
// its heading starts with SECTION_MARKER_EN, and it has no level-1 or level-2 heading of its
// own below that, so removal ends where it does for the Chinese one.
inline constexpr std::string_view SECTION_MARKER_EN = "## ⚠️ Quillbox rules";
inline constexpr std::string_view QUILLBOX_SECTION_EN =
    "<!-- Quillbox Rules v3.1 -- auto-managed by quillbox install -->\n"
    "\n"
    "## ⚠️ Quillbox rules for Markdown files\n"
    "\n"
    "Work on .md files through the Quillbox MCP tools, one heading section at a time. Do not rewrite an "
    "existing .md file whole with Write (a hook denies it for long files).\n"
    "\n"
    "### Naming a section\n"
    "- By heading, with file_path: the section's title, or a path of titles such as `Install > Linux` "
    "when the title repeats.\n"
    "- Or by block id, taken only from what md_list_blocks, md_find_blocks or md_search_blocks returned in "
    "this session. Never invent one or reuse one from memory. After a file changed outside these tools, "
    "list it again.\n"
    "\n"
    "### The cheapest tool for the change\n"
    "1. A word, a line or a paragraph: md_patch_block with file_path, heading, the old text and the new "
    "text, one call when you know the text; otherwise md_read_block first.\n"
    "2. A whole section: md_read_block, then md_replace_block.\n"
    "3. A one-line instruction such as `change \"v1.2\" to \"v1.3\"`: md_edit.\n"
    "4. Structure: md_move_block, md_adjust_level, md_generate_toc.\n"
    "5. Several sections at once: md_read_blocks. A whole file: read_file (a short marker answers when "
    "you already hold its current content).\n"
    "\n"
    "### Finding the section\n"
    "- md_list_blocks with short_ids lists a file's sections (max_level 2 for a long file).\n"
    "- md_find_blocks finds the sections of one file by heading words.\n"
    "- md_search_blocks searches every Markdown file of the project.\n"
    "\n"
    "### Commands for the user\n"
    "`quillbox install`, `status`, `reindex` and `doctor` are run by the user in a terminal, not through "
    "Bash.\n";

static_assert(QUILLBOX_SECTION.substr(0, VERSION_MARKER.size()) == VERSION_MARKER);
static_assert(QUILLBOX_SECTION.substr(VERSION_MARKER.size() + 1, RULES_VERSION.size()) == RULES_VERSION);
static_assert(QUILLBOX_SECTION_EN.substr(0, QUILLBOX_SECTION_EN.find('\n')) ==
              QUILLBOX_SECTION.substr(0, QUILLBOX_SECTION.find('\n')));

// The section for a project's language: the Chinese one for "zh", the English one otherwise.
constexpr std::string_view quillbox_section(std::string_view language) {
    return language == "zh" ? QUILLBOX_SECTION : QUILLBOX_SECTION_EN;
}

// Version text of the section ("v3.1"); "v0.0" when the version comment carries no number or
// is missing; nothing when the file or the section is absent.
std::optional<std::string> _detect_version(const std::filesystem::path& path);
// Whether the file holds the section, in any version and either language. False for a
// missing file.
bool has_quillbox_section(const std::filesystem::path& path);
// Whether the section is there in RULES_VERSION (either language counts).
bool is_current_version(const std::filesystem::path& path);
// Ensures the current section: appends it when absent, replaces an outdated one with the
// current one where the old one stood (an English section of the current version in an earlier
// wording too), does nothing when current. The bytes outside the section
// stay as they are; the section takes the file's line ends. True when the file was written.
// The section written is the Chinese one; the overload below picks it by language.
bool add_quillbox_section(const std::filesystem::path& path);
bool add_quillbox_section(const std::filesystem::path& path, std::string_view language);
// Removes the section (from its version comment to its last line) and the empty line install
// put before it; every other byte stays. A file left with nothing but white space becomes
// empty. True when it was there and the file was rewritten.
bool remove_quillbox_section(const std::filesystem::path& path);

// Tests only: called with the synced temporary file just before it is renamed over CLAUDE.md;
// an exception thrown here aborts the write. Pass an empty function to clear it.
void _set_rulefile_write_hook(std::function<void(const std::filesystem::path&)> hook);

}  // namespace quillbox
