#pragma once
// The Write hook's words, part of the message catalogue (i18n.cpp puts them in both tables).
// Header-only: the hook runs before every Write an agent makes and loads no module, so it fills
// the catalogue's {name} placeholders itself with fmt.

#include <string_view>

namespace quillbox {

struct CatalogueEntry {
    std::string_view key;
    std::string_view en;
    std::string_view zh;

    std::string_view in(std::string_view language) const { return language == "zh" ? zh : en; }
};

inline constexpr CatalogueEntry HOOK_WRITE_DENIED{
    "hook_write_denied",
    "{path} has more than {max_lines} lines: rewriting it whole with Write is blocked in this project. Edit it one "
    "section at a time with the Quillbox MCP tools: md_list_blocks(\"{path}\") for the block ids, "
    "md_read_block to read a section, md_replace_block to write it back (or md_edit with a plain "
    "instruction; md_move_block, md_adjust_level and md_generate_toc for structure). Small changes of "
    "a few lines can use Edit.",
    "{path} 超过 {max_lines} 行：本项目禁止用 Write 整体重写它。请用 Quillbox MCP 工具逐节修改："
    "md_list_blocks(\"{path}\") 获取块 ID，md_read_block 读取一节，md_replace_block 写回（或用 md_edit "
    "给出简单指令；结构调整用 md_move_block、md_adjust_level 和 md_generate_toc）。只改几行的小改动可以用 Edit。"};

}  // namespace quillbox
