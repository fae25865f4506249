#include "quillbox/i18n.h"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <system_error>

#include "quillbox/detail/utf8.h"
#include "quillbox/i18n/hook_text.h"

namespace quillbox {
namespace {

const MessageCatalogue& catalogue() {
    static const MessageCatalogue cat = {
        {"en", {
        {"cache_hit", "[cached, sha={sha}, {lines} lines]"},
        {"cache_hit_file", "[cached] file: {path}, sha: {sha}, {lines} lines. Content unchanged. Re-call read_file if context is lost."},
        {"cache_miss", "[not cached, reading full file]"},
        {"file_not_found", "File not found: {path}"},
        {"block_not_found", "Block {block_id} not found"},
        {"replace_success", "Block '{title}' updated successfully"},
        {"external_modified", "File {path} was modified externally. Re-indexed automatically."},
        {"replace_tokens_saved", "~{tokens} tokens saved"},
        {"search_no_results", "No results for '{query}'"},
        {"semantic_embedding_progress", "Note: semantic search: {embedded} of {total} sections embedded; keyword results only for the rest. The others are embedded in the background: search again later for complete results."},
        {"semantic_vectors_loading", "Note: semantic search: the stored vectors of {total} sections are still being read; keyword results only. Search again in a moment for complete results."},
        {"index_in_progress", "Note: the project is still being indexed ({done} of {total} Markdown files so far); the sections of the others are not searched yet. Search again in a moment for complete results."},
        {"search_low_confidence", "\n⚠️ Low confidence match ({score:.0%}). Please verify."},
        {"invalid_config_key", "Error: '{config_key}' is not a valid config key. Valid keys: {valid_keys}"},
        {"invalid_config_value", "Error: '{config_value}' is not valid for '{config_key}'. Valid values: {valid_values}"},
        {"file_changed", "ERROR: FILE_CHANGED\nFile content has changed since last read. Please re-read before modifying."},
        {"file_being_saved", "ERROR: FILE_BUSY\nFile {path} is being saved by another program right now, so nothing was read. Read the block again in a moment."},
        {"encoding_error", "ERROR: ENCODING_ERROR\nFile is not valid UTF-8. Only UTF-8 text files are supported."},
        {"file_too_large", "ERROR: FILE_TOO_LARGE\nFile exceeds size limit (5MB or 100,000 lines). Please split the file."},
        {"not_regular_file", "❌ Error: {path} is not a regular file ({kind}). Quillbox only reads and edits regular files."},
        {"folder_read_only", "ERROR: READ_ONLY\nThe folder {path} is not writable, so its files cannot be replaced (Quillbox writes the new text to a file beside the old one and renames it). Ask the user to make the folder writable, or leave the file as it is."},
        {"root_replaced", "ERROR: ROOT_MOVED\nThe project folder {path} was renamed or replaced while Quillbox was running, so nothing was written. Ask the user to restart the Quillbox MCP server from the project folder, then list the file again."},
        {"file_read_only", "ERROR: READ_ONLY\nFile {path} is read-only and cannot be modified. Ask the user to make it writable, or leave it as it is."},
        {"replace_idempotent", "Block content unchanged (idempotent).\nFile: {file_path}"},
        {"block_not_found_guidance", "❌ Error: Block not found.\nPlease call md_list_blocks(\"{file_path}\") first to get a valid block_id."},
        {"block_in_other_file", "❌ Error: Block {block_id} belongs to {block_file}, not {file_path}. Call again with file_path \"{block_file}\", or call md_list_blocks(\"{file_path}\") for the ids of that file."},
        {"md_only_error", "❌ Error: Quillbox only supports .md files. Use native Edit for other files."},
        {"toc_generated", "✅ Table of contents generated and inserted."},
        {"toc_updated", "✅ Table of contents updated."},
        {"toc_no_marker", "No TOC marker detected. Add <!-- toc --> to your document, or call with force_insert=True."},
        {"toc_unchanged", "✅ TOC is already up to date."},
        {"block_moved", "Section '{title}' moved {position} '{target_title}'.\n  Lines: {src_lines} -> {dst_lines}\n  Subsections moved: {sub_count}"},
        {"block_move_invalid_target", "Invalid target block or position."},
        {"block_level_conflict", "{error}"},
        {"level_adjusted", "Heading '{title}' adjusted ({delta:+d}).\n  Headings changed: {count}\n  Lines: {lines}"},
        {"level_boundary_warning", "Level boundary exceeded: cannot {direction} beyond level {level}."},
        {"level_unchanged", "✅ Heading level is already at target."},
        {"invalid_block_type", "Block {block_id} is not a heading (type: {block_type}). This operation only works on headings."},
        {"aha_meta", "[QUILLBOX_META] ~{tokens:,} tokens ({currency}{amount:.4f}) saved against reading the whole file and one Edit."},
        {"aha_meta_page", "[QUILLBOX_META] ~{tokens:,} tokens ({currency}{amount:.4f}) saved against reading the file's 2,000-line page and one Edit."},
        {"aha_meta_none", "[QUILLBOX_META] No saving here against reading the file and one Edit."},
        // Refused or rolled-back writes, and the file-system failures of a write.
        {"write_busy", "File {path} is being written continuously (waited 3 s); the operation was cancelled. Try again shortly."},
        {"write_locked", "File {path} is being modified by another Quillbox process (waited 3 s); the operation was cancelled. Try again shortly."},
        {"write_changed", "File {path} has been modified. Read it again before changing it."},
        {"write_mismatch", "The written content does not match what was meant to be written; rolled back."},
        {"write_prefix_modified", "The lines before the edited range changed unexpectedly; rolled back."},
        {"write_suffix_modified", "The lines after the edited range changed unexpectedly; rolled back."},
        {"write_overwritten", "File {path} was changed by another program after the write. It was not rolled back and that content is kept; the content from before the write is in the backup {backup}. Read the file again before changing it."},
        {"write_restore_failed", "Error: the write to {path} could not be rolled back ({error}). The content from before the write is in the backup {backup}."},
        {"fs_is_directory", "Error: {path} is a directory, not a file."},
        {"fs_permission_denied", "Error: permission denied: {path}"},
        {"fs_error", "Error: {error}: {path}"},
        {"error_generic", "Error: {error}"},
        {"operation_failed_unexpectedly", "Error: the operation failed unexpectedly."},
        {"path_outside_root", "Error: {error}. Only files inside the project can be used."},
        {"path_left_root", "Error: {path} now leads outside the project root (a link?). Only files inside the project can be used; list the file again once it is back inside."},
        {"index_failed", "Error: the block index failed: {error}. Try again; if it keeps failing, run `quillbox reindex` in the project."},
        {"result_cut", "… answer cut to stay under the result budget of {budget} tokens."},
        // Pages of lines, lines too long for a page, shortened texts.
        {"page_cut_marker", "⟦✂ line {line} goes on at character {column} of {length} in the next page: join that page here, without a line break⟧"},
        {"page_span_piece", "line {line}, characters {from}-{to} of {length}"},
        {"page_span_rest", " (line {line} from character {from})"},
        {"file_lines_total", "{total} lines"},
        {"text_shortened", "⟦✂ {count} more characters⟧"},
        {"block_page_next", "… lines {next}-{last} of this section are not shown. Call md_read_block with offset={next} for the next page; edit a section this long with md_patch_block, never md_replace_block with one page."},
        {"block_page_next_column", "… line {next} from character {column} on and the lines after it up to {last} are not shown. Call md_read_block with offset={next} and column={column} for the next page; edit a section this long with md_patch_block, never md_replace_block with one page."},
        {"file_page_next", "… lines {next}-{total} of {total} are not shown. Call read_file with offset={next} for the next lines."},
        {"file_page_next_column", "… line {next} from character {column} on and the lines after it up to {total} are not shown. Call read_file with offset={next} and column={column} for the rest."},
        {"file_offset_past_end", "❌ Error: offset={offset} is past the end of {path}: its lines are 1-{total}. Call read_file with an offset in that range."},
        {"block_offset_outside", "❌ Error: offset={offset} is past the end of section '{title}': its lines are {start}-{end}. Call md_read_block with an offset in that range."},
        {"column_past_end", "❌ Error: column={column} is past the end of line {line}: its characters are 1-{length}."},
        {"list_offset_past_end", "❌ Error: offset={offset} is past the end of the listing: it has {total} blocks (offset 0-{last})."},
        {"read_blocks_rest", "… {shown} of {total} blocks shown (result budget). For the rest call md_read_blocks with block_ids=[{ids}]."},
        {"replace_done", "✅ Block '{title}' updated."},
        {"patch_done", "✅ Block '{title}' patched ({count} replacements)."},
        {"patch_done_one", "✅ Block '{title}' patched (1 replacement)."},
        {"diff_more_removed", "  … {count} more lines removed"},
        {"diff_more_added", "  … {count} more lines added"},
        {"diff_cut", "  … more changed lines not shown (result budget); md_read_block shows the section."},
        {"edit_phrase_missing", "❌ Error: \"{phrase}\" is not in {path}; nothing was changed. Check the words with md_find_blocks or md_read_block, then call md_edit again or use md_patch_block."},
        {"edit_phrase_missing_near", "❌ Error: \"{phrase}\" is not in {path}; nothing was changed. The nearest lines:\n{lines}\nCall md_edit again with the words as they stand there, or md_patch_block with old_text copied from them."},
        {"cut_marker_in_content", "❌ Error: the text sent holds a ⟦✂ …⟧ marker, which stands where a line too long for one answer was cut: it is not the line. Nothing was written. Read the rest from where the marker says and join the pieces without it, or change just the words you need with md_patch_block."},
        {"server_no_data_dir", "Error: the server has no data directory."},
        {"server_no_session", "Error: the server has no session."},
        {"semantic_model_failed", "Semantic search model download failed: {model}\nCheck the network connection and try again.\nOr set the environment variable QUILLBOX_SEMANTIC_MODEL to switch models.\nOriginal error: {error}"},
        {"semantic_model_hint", "\n\nThe local embedding model is needed for semantic search. Ask the user to run `quillbox model pull {model}` (HF_ENDPOINT can point to a mirror). Meanwhile use md_find_blocks for keyword search."},
        {"semantic_search_failed", "Error: semantic search failed: {error}\nUse md_find_blocks for keyword search instead."},
        {"cache_hit_read_file", "\nYou already hold this file's current content from read_file. If you no longer have it, call md_read_block again for this block's content."},
        {"milestone_edits", "🎉 Today's milestone: {count} edits through Quillbox (~{tokens} tokens saved)."},
        {"milestone_tokens", "🎉 Today's milestone: ~{tokens} tokens saved through Quillbox."},
        {"edit_file_changed", "File changed since last read"},
        {"index_renewed", "Note: Quillbox's block index was damaged; it has been rebuilt from the files (the damaged copy is kept as {moved}). Block ids have been renewed: call md_list_blocks again before using any block id from earlier."},
        {"index_in_memory", "Note: Quillbox cannot write its block index {path} ({reason}), so it keeps the index in memory for this session: block ids from before are gone, call md_list_blocks again; ids then stay valid until the server stops. Ask the user to run `quillbox doctor` to fix it."},
        {"data_folder_outside", "{path} is a symbolic link to {target}, outside the project; Quillbox does not follow it. Remove the link (rm {path}) and start Quillbox again: it makes a fresh data folder there."},
        {"request_too_large", "Request too large: a message may be at most {limit} bytes (this one has more). Send less at once: a shorter query, or a section's content in several smaller replacements."},
        // Refusals of the block operations and of the tools' arguments.
        {"file_unreadable", "Error: Unable to read file {path}"},
        {"no_sections", "❌ Error: No sections found in {path}."},
        {"patch_old_text_empty", "❌ Error: old_text is empty. Give the exact text to replace, copied from md_read_block."},
        {"patch_old_text_not_found", "❌ Error: old_text was not found in block '{title}' (lines {start}-{end}). It must match the block's text exactly, spaces and line breaks included: read the block with md_read_block and copy the text from there."},
        {"patch_old_text_ambiguous", "❌ Error: old_text occurs {count} times in block '{title}' (lines {start}-{end}). Add surrounding text to make it unique, or set replace_all to true to replace every one."},
        {"block_id_ambiguous", "❌ Error: the block id '{prefix}' is ambiguous: it begins {count} block ids. Send more characters of the id, or the whole id:"},
        {"server_instructions", "Quillbox edits Markdown files one heading section at a time, for far fewer tokens than reading and rewriting whole files.\n- Name a section by block_id (an id from md_list_blocks, md_find_blocks or md_search_blocks; with short_ids they are short and need file_path; never invent one) or by heading: its title, or a path of titles such as \"Install > Linux\" when the title repeats. A heading needs file_path.\n- Changing known text is one call: md_patch_block with file_path, heading, old_text and new_text. To rewrite a section: md_read_block, then md_replace_block.\n- file_path is relative to the project root or absolute inside it.\n- A write is checked against what you were last shown of the section: FILE_CHANGED means read it again. Ids survive edits, moves and re-indexing; after a file changed outside these tools, list it again if an id is refused.\n- offset and limit page a long answer; a cut answer's last line says how to get the rest.\n- A result with isError true changed nothing: its text says why and what to do next."},
        {"heading_ambiguous", "❌ Error: the heading '{heading}' names {count} sections of {path}. Send one of these heading paths as heading, or its id as block_id:"},
        {"heading_more", "  … and {count} more: narrow the heading with a parent title (Parent > Title)."},
        {"heading_not_found", "❌ Error: no section of {path} has the heading '{heading}'. The nearest ones (send a path as heading, or an id as block_id):"},
        {"heading_not_found_none", "❌ Error: no section of {path} has the heading '{heading}': the file has no headings."},
        {"arg_block_or_heading", "Invalid arguments: give '{id}' (a block id) or '{heading}' (the section's title, or a path of titles such as 'Install > Linux')."},
        {"block_id_short_needs_file", "❌ Error: the short block id '{prefix}' names a section within its file: send file_path too, or at least 8 characters of the id."},
        {"block_id_short_stale", "❌ Error: the short block id '{prefix}' was also the id of a section of {file_path} that is gone, so it may be an old one: list the file again (md_list_blocks) for current ids, or send the whole id."},
        {"block_id_ambiguous_many", "❌ Error: the block id '{prefix}' is ambiguous: it begins more than {count} block ids. Send more characters of the id, or the whole id:"},
        {"semantic_not_enabled", "⚠️  Semantic search not enabled.\nTo turn it on, ask the user to run: quillbox model pull {model}\nand then: quillbox config set semantic.backend local\nUse md_find_blocks for keyword search instead."},
        {"arg_out_of_range", "Invalid arguments: '{name}' is out of range ({value})."},
        {"arg_wrong_type", "Invalid arguments: '{name}' must be {expected}, got {got}."},
        {"arg_missing", "Invalid arguments: '{name}' ({expected}) is required."},
        {"arg_item_type", "Invalid arguments: every item of '{name}' must be a string, got {got}."},
        {"arg_at_least", "Invalid arguments: '{name}' must be at least {minimum}."},
        {"arg_unknown_name", "unknown argument '{name}'"},
        {"arg_unknown_name_suggest", "unknown argument '{name}'; did you mean '{best}'?"},
        {"arg_unknown", "Invalid arguments: {refusal} {tool} takes: {known}."},
        {"arg_none", "no arguments"},
        {"arg_not_object", "Invalid arguments: 'arguments' must be an object."},
        {"type_null", "null"},
        {"type_boolean", "a boolean"},
        {"type_string", "a string"},
        {"type_integer", "an integer"},
        {"type_integer_in_range", "an integer in range"},
        {"type_number", "a number"},
        {"type_array", "an array"},
        {"type_object", "an object"},
        {"type_other", "an unsupported value"},
        {"type_string_array", "an array of strings"},
        {"type_nonempty_string_array", "a non-empty array of strings"},
        {"link_missing_file", "{target}: no such file"},
        {"link_case_mismatch", "{target}: no such file; {actual} differs only in letter case (GitHub's links are case-sensitive)"},
        {"link_missing_anchor", "{target}: no such anchor in that file, which has no headings"},
        {"link_missing_anchor_near", "{target}: no such anchor; the nearest is #{anchor}"},
        {"link_anchor_case", "{target}: the anchor differs in letter case; use #{anchor}"},
        {"links_ok", "✅ No broken links: {links} relative links in {files} files checked."},
        {"links_problems", "{count} broken links among {links} relative links in {files} files (file:line: problem):"},
        {"links_more", "… {rest} more: call md_check_links again with offset={next}."},
        {"frontmatter_invalid", "❌ The front matter of {path} is not valid YAML: {problem} (line {line}, column {column}). Fix that line first (read_file shows it), then call md_frontmatter again."},
        {"frontmatter_toml", "❌ The front matter of {path} is TOML (+++ lines); md_frontmatter reads and edits YAML front matter only. Read it with read_file and edit it as text."},
        {"frontmatter_none", "{path} has no front matter. To add one, call md_frontmatter with set."},
        {"frontmatter_read", "Front matter of {path}, lines {first}-{last}, {count} keys: {keys}"},
        {"frontmatter_cut", "… cut (result budget): read the rest with read_file(\"{path}\", offset={offset})."},
        {"frontmatter_not_block_map", "❌ The front matter of {path} is not a plain mapping of keys (flow style or complex keys): nothing written. Edit it as text instead."},
        {"frontmatter_unchanged", "✅ The front matter of {path} already holds these values; nothing written."},
        {"frontmatter_conflict", "❌ Two changes to the front matter of {path} touch the same lines: nothing written. Set or remove each key once."},
        {"frontmatter_value_invalid", "❌ The front matter would not be valid YAML after this change ({problem}): nothing written. Check the values passed in set."},
        {"frontmatter_part_set", "set {keys}"},
        {"frontmatter_part_removed", "removed {keys}"},
        {"frontmatter_part_absent", "not present: {keys}"},
        {"frontmatter_updated", "✅ Front matter of {path} updated: {changes}."},
        {"undo_none", "❌ Nothing to undo for {path}: Quillbox has no write to it on record. Edit the file instead."},
        {"undo_backup_gone", "❌ Cannot undo {path}: the backup of Quillbox's last write ({backup}) is gone. Edit the file instead."},
        {"undo_changed", "❌ Not undone: {path} changed after Quillbox's last write to it (now {lines} lines, sha {sha}; the write left sha {left}). Undoing would lose that change: read the file and edit it instead."},
        {"undo_nothing", "✅ {path} already holds what it held before Quillbox's last write; nothing written."},
        {"undo_done", "✅ Undone: {path} is back as it was before Quillbox's last write ({lines} lines). Its block ids may have changed: list it again."},
        {"dry_run_header", "Dry run, nothing written. The write would change {files} file(s):"},
        {"dry_run_cut", "… the diff goes on beyond the result budget. Narrow the change, or apply it without dry_run."},
        {"rename_bad_title", "❌ The new title must be one line of text: nothing written."},
        {"rename_no_heading", "❌ No heading '{heading}' in {path}. Call md_list_blocks to see the headings, then pass block_id."},
        {"rename_ambiguous", "❌ Several headings are titled '{heading}' (lines {lines}): pass block_id (md_list_blocks shows them)."},
        {"rename_unchanged", "✅ The heading is already titled '{title}'; nothing written."},
        {"rename_path", "❌ Cannot rename: the path {path} holds a tab or line break. Rename that file first."},
        {"rename_changed", "❌ A file changed while the rename was being written; every file was put back as it was. Call md_rename_heading again."},
        {"rename_done", "✅ Renamed '{old}' to '{new}' (#{old_anchor} → #{new_anchor}); {links} links rewritten in {files} files."},
        {"rename_skipped", "⚠️ Links not rewritten (their destination is escaped in the source), fix them by hand: {where}"},
        // Finding and listing blocks, md_edit's answers, the table of contents, the Write hook.
        {"find_blocks_none", "❌ Found 0 blocks for '{query}' in {path}"},
        {"find_blocks_found", "✅ Found {count} blocks for '{query}' in {path}:"},
        {"find_blocks_cut", "… {shown} of {total} matches shown (result budget). Use a longer query, or page through the sections with md_list_blocks (offset, limit, max_level, under)."},
        {"list_blocks_rest", "… blocks {first}-{last} of {total} shown. For the next ones call md_list_blocks with offset={last} and the same other arguments; max_level or under narrows the listing."},
        {"edit_done", "✅ md_edit completed: {count} section(s) updated.\n\n"},
        {"edit_not_done", "ℹ️  Could not auto-edit. Found {count} matching section(s):\n\n"},
        {"edit_suggestion", "📝 Found section: **{title}** (lines {start}-{end})\nBlock ID: `{block_id}`\nContent:\n---\n{content}\n---{rest}\nUse md_replace_block(block_id=\"{block_id}\", new_content=\"...\") to edit."},
        {"edit_suggestion_rest", "\n… lines {next}-{end} of this section are not shown: md_read_block(block_id=\"{block_id}\", offset={next}) reads on; md_patch_block edits a part of it."},
        {"edit_failed_entry", "⚠️  Failed to update **{title}**: {error}\n   Block ID: {block_id} — use md_replace_block to edit manually."},
        {"edit_too_complex", "The edit instruction is too long or too convoluted to parse ({chars} characters). Give a short instruction such as \"change X to Y\", or use md_replace_block."},
        {"edit_named_group", "Invalid replacement: it refers to a group by name (\\g<{name}>), but the text to find is taken literally and has no named groups. Write the replacement without \\g<...>, or double the backslash to keep it as text."},
        {"toc_no_headings", "No headings found in this document."},
        {"toc_no_headings_at_depth", "No headings at depth <= {max_depth} found."},
        {"move_document_end", "document end"},
        {"move_lines_updated", "updated"},
        {"move_position_before", "before"},
        {"move_position_after", "after"},
        {"move_position_as_first_child", "as_first_child"},
        {"move_position_as_last_child", "as_last_child"},
        {std::string(HOOK_WRITE_DENIED.key), std::string(HOOK_WRITE_DENIED.en)},
        }},
        {"zh", {
        {"cache_hit", "[已缓存, sha={sha}, {lines} 行]"},
        {"cache_hit_file", "[已缓存] 文件: {path}, sha: {sha}, {lines} 行。内容未变。如需完整内容请重新调用 read_file。"},
        {"cache_miss", "[未缓存，读取全文]"},
        {"file_not_found", "文件不存在: {path}"},
        {"block_not_found", "块 {block_id} 不存在"},
        {"replace_success", "块 '{title}' 已更新"},
        {"external_modified", "文件 {path} 已被外部修改，已自动重新索引。"},
        {"replace_tokens_saved", "本次操作节省约 {tokens} tokens"},
        {"search_no_results", "未找到与 '{query}' 匹配的块"},
        {"semantic_embedding_progress", "注意：语义搜索已嵌入 {embedded}/{total} 个章节；其余章节仅按关键词检索。它们正在后台嵌入，稍后再搜索可得到完整结果。"},
        {"semantic_vectors_loading", "注意：语义搜索：{total} 个章节的已存向量仍在读取中；本次仅按关键词检索。稍后再搜索可得到完整结果。"},
        {"index_in_progress", "注意：项目仍在建立索引（目前已完成 {done}/{total} 个 Markdown 文件），其余文件的章节尚未参与搜索。稍后再搜索可得到完整结果。"},
        {"search_low_confidence", "\n⚠️ 语义匹配置信度较低 ({score:.0%})，请验证替换是否正确。"},
        {"invalid_config_key", "错误：'{key}' 不是有效的配置项。有效项：{valid_keys}"},
        {"invalid_config_value", "错误：'{value}' 对 '{key}' 无效。有效值：{valid_values}"},
        {"file_changed", "ERROR: FILE_CHANGED\n文件内容已变更，请重新读取后再修改。"},
        {"file_being_saved", "ERROR: FILE_BUSY\n文件 {path} 正在被其他程序保存，未读取任何内容。请稍后重新读取该块。"},
        {"encoding_error", "ERROR: ENCODING_ERROR\n文件不是有效的UTF-8编码。仅支持UTF-8文本文件。"},
        {"file_too_large", "ERROR: FILE_TOO_LARGE\n文件超出大小限制（5MB或10万行）。请拆分文件。"},
        {"not_regular_file", "❌ 错误：{path} 不是普通文件（{kind}）。Quillbox 只读写普通文件。"},
        {"folder_read_only", "ERROR: READ_ONLY\n文件夹 {path} 不可写，其中的文件无法替换（Quillbox 先在原文件旁写入新文件再重命名）。请让用户开放该文件夹的写权限，或保持原样。"},
        {"root_replaced", "ERROR: ROOT_MOVED\n项目文件夹 {path} 在 Quillbox 运行期间被重命名或替换，未写入任何内容。请让用户在项目文件夹中重启 Quillbox MCP 服务器，然后重新列出该文件。"},
        {"file_read_only", "ERROR: READ_ONLY\n文件只读，无法修改: {path}。请让用户开放写权限，或保持原样。"},
        {"replace_idempotent", "块内容未变更（幂等操作）。\n文件: {file_path}"},
        {"block_in_other_file", "❌ 错误：块 {block_id} 属于 {block_file}，而不是 {file_path}。请以 file_path \"{block_file}\" 重新调用，或调用 md_list_blocks(\"{file_path}\") 获取该文件的块 ID。"},
        {"block_not_found_guidance", "❌ 错误：块不存在。\n请先调用 md_list_blocks(\"{file_path}\") 获取有效的 block_id。"},
        {"md_only_error", "❌ 错误：Quillbox 仅支持 .md 文件。请使用原生编辑功能处理其他文件类型。"},
        {"toc_generated", "✅ 目录已生成并插入。"},
        {"toc_updated", "✅ 目录已更新。"},
        {"toc_no_marker", "未检测到 TOC 标记。请在文档中添加 <!-- toc -->，或使用 force_insert=True。"},
        {"toc_unchanged", "✅ 目录已是最新。"},
        {"block_moved", "章节 '{title}' 已移动到 '{target_title}' {position}。\n  行号: {src_lines} -> {dst_lines}\n  子章节移动: {sub_count}"},
        {"block_move_invalid_target", "无效的目标位置。"},
        {"block_level_conflict", "{error}"},
        {"level_adjusted", "标题 '{title}' 已调整 ({delta:+d})。\n  修改标题数: {count}\n  行号: {lines}"},
        {"level_boundary_warning", "层级越界：无法{direction}超过 {level} 级。"},
        {"level_unchanged", "✅ 标题层级已是目标状态。"},
        {"invalid_block_type", "块 {block_id} 不是标题（类型: {block_type}）。此操作仅适用于标题。"},
        {"aha_meta", "[QUILLBOX_META] 与读取整个文件再做一次 Edit 相比，节省约 {tokens:,} tokens（{currency}{amount:.4f}）。"},
        {"aha_meta_page", "[QUILLBOX_META] 与读取文件的 2,000 行一页再做一次 Edit 相比，节省约 {tokens:,} tokens（{currency}{amount:.4f}）。"},
        {"aha_meta_none", "[QUILLBOX_META] 与读取文件再做一次 Edit 相比，这次没有节省。"},
        {"write_busy", "文件 {path} 正在被持续写入（超时 3s），操作已取消。请稍后重试。"},
        {"write_locked", "文件 {path} 正被另一个 Quillbox 进程修改（等待 3s 超时），操作已取消。请稍后重试。"},
        {"write_changed", "文件 {path} 已被修改，请重新读取后再修改。"},
        {"write_mismatch", "写入内容与预期不匹配，已自动回滚"},
        {"write_prefix_modified", "前缀区域被意外修改，已自动回滚"},
        {"write_suffix_modified", "后缀区域被意外修改，已自动回滚"},
        {"write_overwritten", "文件 {path} 在写入后被其他程序修改，未回滚，已保留其内容；修改前的内容在备份 {backup} 中。请重新读取后再修改。"},
        {"write_restore_failed", "错误：无法从备份恢复文件 {path}（{error}）。修改前的内容在备份 {backup} 中。"},
        {"fs_is_directory", "错误：{path} 是目录，不是文件。"},
        {"fs_permission_denied", "错误：没有权限: {path}"},
        {"fs_error", "错误：{error}: {path}"},
        {"error_generic", "错误：{error}"},
        {"operation_failed_unexpectedly", "错误：操作意外失败。"},
        {"path_outside_root", "错误：路径 {path} 在项目根目录之外。只能使用项目内的文件。"},
        {"path_left_root", "错误：{path} 现在指向项目根目录之外（链接？）。只能使用项目内的文件；文件回到项目内后请重新列出。"},
        {"index_failed", "错误：块索引失败: {error}。请重试；如果持续失败，请在项目中运行 `quillbox reindex`。"},
        {"result_cut", "… 结果已截断，以保持在 {budget} tokens 的结果预算之内。"},
        {"page_cut_marker", "⟦✂ 第 {line} 行从第 {column} 个字符起（共 {length} 个字符）在下一页继续：把下一页接在这里，不要加换行⟧"},
        {"page_span_piece", "第 {line} 行，第 {from}-{to} 个字符（共 {length} 个）"},
        {"page_span_rest", "（第 {line} 行从第 {from} 个字符起）"},
        {"file_lines_total", "共 {total} 行"},
        {"text_shortened", "⟦✂ 另有 {count} 个字符⟧"},
        {"block_page_next", "… 本节第 {next}-{last} 行未显示。下一页请调用 md_read_block 并设 offset={next}；这么长的节请用 md_patch_block 修改，切勿用一页内容调用 md_replace_block。"},
        {"block_page_next_column", "… 第 {next} 行从第 {column} 个字符起的内容及其后直到第 {last} 行未显示。下一页请调用 md_read_block 并设 offset={next}、column={column}；这么长的节请用 md_patch_block 修改，切勿用一页内容调用 md_replace_block。"},
        {"file_page_next", "… 共 {total} 行，第 {next}-{total} 行未显示。后续内容请调用 read_file 并设 offset={next}。"},
        {"file_page_next_column", "… 第 {next} 行从第 {column} 个字符起的内容及其后直到第 {total} 行未显示。其余内容请调用 read_file 并设 offset={next}、column={column}。"},
        {"file_offset_past_end", "❌ 错误：offset={offset} 超出了 {path} 的末尾：它的行号是 1-{total}。请用此范围内的 offset 调用 read_file。"},
        {"block_offset_outside", "❌ 错误：offset={offset} 超出了节 '{title}' 的末尾：它的行号是 {start}-{end}。请用此范围内的 offset 调用 md_read_block。"},
        {"column_past_end", "❌ 错误：column={column} 超出了第 {line} 行的末尾：它的字符是 1-{length}。"},
        {"list_offset_past_end", "❌ 错误：offset={offset} 超出了列表末尾：共 {total} 个块（offset 0-{last}）。"},
        {"read_blocks_rest", "… 已显示 {total} 个块中的 {shown} 个（结果预算）。其余的请调用 md_read_blocks 并设 block_ids=[{ids}]。"},
        {"replace_done", "✅ 块 '{title}' 已更新。"},
        {"patch_done", "✅ 块 '{title}' 已修改（{count} 处替换）。"},
        {"patch_done_one", "✅ 块 '{title}' 已修改（1 处替换）。"},
        {"diff_more_removed", "  … 另有 {count} 行被删除"},
        {"diff_more_added", "  … 另有 {count} 行被添加"},
        {"diff_cut", "  … 其余改动的行未显示（结果预算）；md_read_block 可显示该节。"},
        {"edit_phrase_missing", "❌ 错误：{path} 中没有“{phrase}”；未做任何修改。请用 md_find_blocks 或 md_read_block 核对文字，再调用 md_edit，或改用 md_patch_block。"},
        {"edit_phrase_missing_near", "❌ 错误：{path} 中没有“{phrase}”；未做任何修改。最接近的行：\n{lines}\n请按这些行中的原文再次调用 md_edit，或用从中复制的 old_text 调用 md_patch_block。"},
        {"cut_marker_in_content", "❌ 错误：发送的文本含有 ⟦✂ …⟧ 标记，它表示一行过长、在此处被截断，并不是该行本身。未写入任何内容。请按标记所示读取其余部分并去掉标记拼接，或用 md_patch_block 只修改需要的文字。"},
        {"server_no_data_dir", "错误：服务器没有数据目录。"},
        {"server_no_session", "错误：服务器没有会话。"},
        {"semantic_model_failed", "语义搜索模型下载失败: {model}\n请检查网络连接后重试。\n或设置环境变量 QUILLBOX_SEMANTIC_MODEL 切换模型。\n原始错误: {error}"},
        {"semantic_model_hint", "\n\n语义搜索需要本地嵌入模型。请让用户运行 `quillbox model pull {model}`（HF_ENDPOINT 可指向镜像）。在此之前请用 md_find_blocks 做关键词搜索。"},
        {"semantic_search_failed", "错误：语义搜索失败: {error}\n请改用 md_find_blocks 做关键词搜索。"},
        {"cache_hit_read_file", "\n你已通过 read_file 持有该文件的当前内容。如已不在上下文中，请再次调用 md_read_block 获取此块内容。"},
        {"milestone_edits", "🎉 今日里程碑：已通过 Quillbox 完成 {count} 次编辑（约节省 {tokens} tokens）。"},
        {"milestone_tokens", "🎉 今日里程碑：Quillbox 已节省约 {tokens} tokens。"},
        {"edit_file_changed", "文件自上次读取后已被修改"},
        {"index_renewed", "注意：Quillbox 的块索引已损坏，已根据文件重建（损坏的副本保存为 {moved}）。块 id 已更新：使用之前的任何块 id 前，请重新调用 md_list_blocks。"},
        {"index_in_memory", "注意：Quillbox 无法写入块索引 {path}（{reason}），本次会话改用内存中的索引：之前的块 id 已失效，请重新调用 md_list_blocks；之后的 id 在服务器停止前有效。请让用户运行 `quillbox doctor` 修复。"},
        {"data_folder_outside", "{path} 是指向项目之外 {target} 的符号链接，Quillbox 不会跟随它。请删除该链接（rm {path}）后重新启动 Quillbox，它会在原处新建数据文件夹。"},
        {"request_too_large", "请求过大：一条消息最多 {limit} 字节（这一条超过了）。请一次发送更少的内容：更短的查询，或把一节内容分成几次较小的替换。"},
        {"file_unreadable", "错误：无法读取文件 {path}"},
        {"no_sections", "❌ 错误：{path} 中没有章节。"},
        {"patch_old_text_empty", "❌ 错误：old_text 为空。请给出要替换的原文，从 md_read_block 的结果中复制。"},
        {"patch_old_text_not_found", "❌ 错误：在块 '{title}'（第 {start}-{end} 行）中找不到 old_text。它必须与块的文本完全一致，包括空格和换行：请用 md_read_block 读取该块，从中复制文本。"},
        {"patch_old_text_ambiguous", "❌ 错误：old_text 在块 '{title}'（第 {start}-{end} 行）中出现了 {count} 次。请加上前后文使其唯一，或将 replace_all 设为 true 以全部替换。"},
        {"block_id_ambiguous", "❌ 错误：块 ID '{prefix}' 有歧义：有 {count} 个块 ID 以它开头。请多给出几个字符，或给出完整的 ID："},
        {"server_instructions", "Quillbox 按标题章节编辑 Markdown 文件，比整文件读写节省大量 token。\n- 用 block_id（md_list_blocks、md_find_blocks 或 md_search_blocks 给出的 ID；加 short_ids 时 ID 较短，需同时给出 file_path；切勿自编）或 heading 指定章节：章节标题，标题重复时用标题路径，如 \"Install > Linux\"。使用 heading 时需给出 file_path。\n- 修改已知文字只需一次调用：md_patch_block，给出 file_path、heading、old_text 和 new_text。重写整个章节：先 md_read_block，再 md_replace_block。\n- file_path 为相对项目根目录的路径，或项目内的绝对路径。\n- 写入会与你上次看到的章节内容核对：FILE_CHANGED 表示请重新读取。ID 在编辑、移动和重新索引后保持不变；文件在这些工具之外被修改后，若 ID 被拒绝，请重新列出。\n- offset 和 limit 用于分页；被截断的回答在最后一行说明如何获取其余部分。\n- isError 为 true 的结果未做任何修改：其文字说明原因和下一步。"},
        {"heading_ambiguous", "❌ 错误：标题 '{heading}' 在 {path} 中对应 {count} 个章节。请把下面的某个标题路径作为 heading，或把它的 ID 作为 block_id："},
        {"heading_more", "  … 另有 {count} 个：请加上上级标题（上级 > 标题）缩小范围。"},
        {"heading_not_found", "❌ 错误：{path} 中没有标题为 '{heading}' 的章节。最接近的标题（把路径作为 heading，或把 ID 作为 block_id）："},
        {"heading_not_found_none", "❌ 错误：{path} 中没有标题为 '{heading}' 的章节：该文件没有任何标题。"},
        {"arg_block_or_heading", "参数无效：请给出 '{id}'（块 ID）或 '{heading}'（章节标题，或像 'Install > Linux' 这样的标题路径）。"},
        {"block_id_short_needs_file", "❌ 错误：短块 ID '{prefix}' 只在所属文件内有效：请同时给出 file_path，或给出 ID 的至少 8 个字符。"},
        {"block_id_short_stale", "❌ 错误：短块 ID '{prefix}' 也曾是 {file_path} 中一个已不存在的章节的 ID，可能已过时：请重新列出该文件（md_list_blocks）以获取当前 ID，或给出完整 ID。"},
        {"block_id_ambiguous_many", "❌ 错误：块 ID '{prefix}' 有歧义：有超过 {count} 个块 ID 以它开头。请多给出几个字符，或给出完整的 ID："},
        {"semantic_not_enabled", "⚠️  语义搜索未启用。\n如需启用，请让用户运行: quillbox model pull {model}\n然后运行: quillbox config set semantic.backend local\n在此之前请用 md_find_blocks 做关键词搜索。"},
        {"arg_out_of_range", "参数无效：'{name}' 超出范围（{value}）。"},
        {"arg_wrong_type", "参数无效：'{name}' 必须是{expected}，收到的是{got}。"},
        {"arg_missing", "参数无效：缺少必需的参数 '{name}'（{expected}）。"},
        {"arg_item_type", "参数无效：'{name}' 的每一项都必须是文本，收到的是{got}。"},
        {"arg_at_least", "参数无效：'{name}' 不能小于 {minimum}。"},
        {"arg_unknown_name", "未知参数 '{name}'"},
        {"arg_unknown_name_suggest", "未知参数 '{name}'，是不是指 '{best}'？"},
        {"arg_unknown", "参数无效：{refusal} {tool} 接受的参数：{known}。"},
        {"arg_none", "无参数"},
        {"arg_not_object", "参数无效：'arguments' 必须是对象。"},
        {"type_null", "null"},
        {"type_boolean", "布尔值"},
        {"type_string", "文本"},
        {"type_integer", "整数"},
        {"type_integer_in_range", "范围内的整数"},
        {"type_number", "数字"},
        {"type_array", "数组"},
        {"type_object", "对象"},
        {"type_other", "不支持的值"},
        {"type_string_array", "文本数组"},
        {"type_nonempty_string_array", "非空的文本数组"},
        {"link_missing_file", "{target}: 文件不存在"},
        {"link_case_mismatch", "{target}: 文件不存在；{actual} 仅大小写不同（GitHub 的链接区分大小写）"},
        {"link_missing_anchor", "{target}: 该文件中没有此锚点（它没有标题）"},
        {"link_missing_anchor_near", "{target}: 没有此锚点；最接近的是 #{anchor}"},
        {"link_anchor_case", "{target}: 锚点大小写不同；请用 #{anchor}"},
        {"links_ok", "✅ 没有失效链接：已检查 {files} 个文件中的 {links} 个相对链接。"},
        {"links_problems", "{files} 个文件的 {links} 个相对链接中有 {count} 个失效（文件:行: 问题）："},
        {"links_more", "… 还有 {rest} 个：再次调用 md_check_links，offset={next}。"},
        {"frontmatter_invalid", "❌ {path} 的前置元数据不是有效的 YAML：{problem}（第 {line} 行，第 {column} 列）。请先修正该行（可用 read_file 查看），再调用 md_frontmatter。"},
        {"frontmatter_toml", "❌ {path} 的前置元数据是 TOML（+++ 行）；md_frontmatter 只读写 YAML 前置元数据。请用 read_file 读取并按文本编辑。"},
        {"frontmatter_none", "{path} 没有前置元数据。如需添加，请用 set 调用 md_frontmatter。"},
        {"frontmatter_read", "{path} 的前置元数据，第 {first}-{last} 行，{count} 个键：{keys}"},
        {"frontmatter_cut", "… 已截断（结果预算）：用 read_file(\"{path}\", offset={offset}) 读取其余部分。"},
        {"frontmatter_not_block_map", "❌ {path} 的前置元数据不是普通的键映射（流式或复杂键）：未写入。请按文本编辑。"},
        {"frontmatter_unchanged", "✅ {path} 的前置元数据已是这些值；未写入。"},
        {"frontmatter_conflict", "❌ 对 {path} 前置元数据的两处修改涉及同一行：未写入。每个键只设置或删除一次。"},
        {"frontmatter_value_invalid", "❌ 修改后前置元数据将不是有效的 YAML（{problem}）：未写入。请检查 set 中的值。"},
        {"frontmatter_part_set", "已设置 {keys}"},
        {"frontmatter_part_removed", "已删除 {keys}"},
        {"frontmatter_part_absent", "不存在：{keys}"},
        {"frontmatter_updated", "✅ {path} 的前置元数据已更新：{changes}。"},
        {"undo_none", "❌ {path} 无可撤销：没有 Quillbox 对它的写入记录。请直接编辑文件。"},
        {"undo_backup_gone", "❌ 无法撤销 {path}：Quillbox 上次写入的备份（{backup}）已不存在。请直接编辑文件。"},
        {"undo_changed", "❌ 未撤销：{path} 在 Quillbox 上次写入后又被修改（现为 {lines} 行，sha {sha}；写入后为 sha {left}）。撤销会丢失该修改：请读取文件后再编辑。"},
        {"undo_nothing", "✅ {path} 已是 Quillbox 上次写入之前的内容；未写入。"},
        {"undo_done", "✅ 已撤销：{path} 已恢复到 Quillbox 上次写入之前（{lines} 行）。其块 id 可能已变：请重新列出。"},
        {"dry_run_header", "试运行，未写入。该写入将修改 {files} 个文件："},
        {"dry_run_cut", "… 差异超出结果预算。请缩小修改范围，或不带 dry_run 直接执行。"},
        {"rename_bad_title", "❌ 新标题必须是一行文本：未写入。"},
        {"rename_no_heading", "❌ {path} 中没有标题 '{heading}'。请调用 md_list_blocks 查看标题，再传入 block_id。"},
        {"rename_ambiguous", "❌ 有多个标题为 '{heading}'（第 {lines} 行）：请传入 block_id（md_list_blocks 可查看）。"},
        {"rename_unchanged", "✅ 标题已是 '{title}'；未写入。"},
        {"rename_path", "❌ 无法重命名：路径 {path} 含制表符或换行。请先重命名该文件。"},
        {"rename_changed", "❌ 写入重命名时有文件被修改；所有文件均已恢复原样。请再次调用 md_rename_heading。"},
        {"rename_done", "✅ 已将 '{old}' 重命名为 '{new}'（#{old_anchor} → #{new_anchor}）；在 {files} 个文件中改写了 {links} 个链接。"},
        {"rename_skipped", "⚠️ 以下链接未改写（源文本中的目标含转义），请手动修正：{where}"},
        // 查找和列出块、md_edit 的回答、目录、Write 钩子。
        {"find_blocks_none", "❌ 在 {path} 中没有找到标题含 '{query}' 的块"},
        {"find_blocks_found", "✅ 在 {path} 中找到 {count} 个标题含 '{query}' 的块："},
        {"find_blocks_cut", "… 已显示 {total} 个匹配中的 {shown} 个（结果预算）。请用更长的查询，或用 md_list_blocks（offset、limit、max_level、under）逐页查看各节。"},
        {"list_blocks_rest", "… 已显示 {total} 个块中的第 {first}-{last} 个。后续的块请调用 md_list_blocks 并设 offset={last}，其他参数不变；max_level 或 under 可缩小列表。"},
        {"edit_done", "✅ md_edit 完成：已更新 {count} 个章节。\n\n"},
        {"edit_not_done", "ℹ️  未能自动修改。找到 {count} 个匹配的章节：\n\n"},
        {"edit_suggestion", "📝 找到章节：**{title}**（第 {start}-{end} 行）\n块 ID：`{block_id}`\n内容：\n---\n{content}\n---{rest}\n请用 md_replace_block(block_id=\"{block_id}\", new_content=\"...\") 修改。"},
        {"edit_suggestion_rest", "\n… 本节第 {next}-{end} 行未显示：md_read_block(block_id=\"{block_id}\", offset={next}) 可继续读取；md_patch_block 可修改其中一部分。"},
        {"edit_failed_entry", "⚠️  更新 **{title}** 失败：{error}\n   块 ID：{block_id} — 请用 md_replace_block 手动修改。"},
        {"edit_too_complex", "修改指令过长或过于复杂，无法解析（{chars} 个字符）。请给出简短的指令，例如“把X改为Y”，或使用 md_replace_block。"},
        {"edit_named_group", "替换文本无效：它按名称引用了分组（\\g<{name}>），但要查找的文字按原样匹配，没有命名分组。请去掉 \\g<...> 重写替换文本，或把反斜杠写两次以保留为文字。"},
        {"toc_no_headings", "本文档中没有标题。"},
        {"toc_no_headings_at_depth", "没有深度 <= {max_depth} 的标题。"},
        {"move_document_end", "文档末尾"},
        {"move_lines_updated", "已更新"},
        {"move_position_before", "之前"},
        {"move_position_after", "之后"},
        {"move_position_as_first_child", "下，作为第一个子章节"},
        {"move_position_as_last_child", "下，作为最后一个子章节"},
        {std::string(HOOK_WRITE_DENIED.key), std::string(HOOK_WRITE_DENIED.zh)},
        // "{path} 超过 {max_lines} 行：本项目禁止用 Write 整体重写它。请用 Quillbox MCP 工具逐节修改：md_list_blocks(\"{path}\") 获取块 ID，md_read_block 读取一节，md_replace_block 写回（或用 md_edit 给出简单指令；结构调整用 md_move_block、md_adjust_level 和 md_generate_toc）。只改几行的小改动可以用 Edit。"},
        }},
    };
    return cat;
}

// The current language is process-wide; a mutex keeps a concurrent set and get well-defined.
std::mutex& lang_mutex() {
    static std::mutex m;
    return m;
}
std::string& current_lang() {
    static std::string lang = "en";
    return lang;
}

[[noreturn]] void value_error(std::string_view key, std::string_view field, const std::string& why) {
    throw MessageValueError("cannot format message '" + std::string(key) + "', placeholder {" +
                            std::string(field) + "}: " + why);
}

struct Spec {
    std::string fill = " ";
    char align = 0;  // '<', '>', '^', '=' or 0 for the type's default
    char sign = 0;   // '+', '-', ' ' or 0
    bool alternate = false;
    bool zero = false;
    std::size_t width = 0;
    char grouping = 0;  // ',' or '_'
    int precision = -1;
    char type = 0;
};

bool is_align(char c) { return c == '<' || c == '>' || c == '^' || c == '='; }

// Parses [[fill]align][sign][#][0][width][,|_][.precision][type].
std::optional<Spec> parse_spec(std::string_view s, std::string& why) {
    Spec spec;
    std::size_t i = 0;
    // The fill may be any code point; find the length of the first one.
    std::size_t first_len = 1;
    if (!s.empty()) {
        auto c = static_cast<unsigned char>(s[0]);
        first_len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (first_len > s.size()) first_len = s.size();
    }
    if (s.size() > first_len && is_align(s[first_len])) {
        spec.fill = std::string(s.substr(0, first_len));
        spec.align = s[first_len];
        i = first_len + 1;
    } else if (!s.empty() && is_align(s[0])) {
        spec.align = s[0];
        i = 1;
    }
    if (i < s.size() && (s[i] == '+' || s[i] == '-' || s[i] == ' ')) spec.sign = s[i++];
    if (i < s.size() && s[i] == '#') {
        spec.alternate = true;
        ++i;
    }
    if (i < s.size() && s[i] == '0') {
        spec.zero = true;
        ++i;
    }
    auto digits = [&](std::size_t& out) {
        std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == start) return false;
        auto r = std::from_chars(s.data() + start, s.data() + i, out);
        if (r.ec != std::errc() || out > 100000) {
            why = "width or precision too large";
            return false;
        }
        return true;
    };
    std::size_t n = 0;
    if (digits(n)) spec.width = n;
    if (!why.empty()) return std::nullopt;
    if (i < s.size() && (s[i] == ',' || s[i] == '_')) spec.grouping = s[i++];
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits(n)) {
            if (why.empty()) why = "format specifier missing precision";
            return std::nullopt;
        }
        spec.precision = static_cast<int>(n);
    }
    if (i < s.size()) spec.type = s[i++];
    if (i < s.size()) {
        why = "invalid format specifier '" + std::string(s) + "'";
        return std::nullopt;
    }
    if (spec.zero && spec.align == 0) {
        spec.fill = "0";
        spec.align = '=';
    }
    return spec;
}

// Shortest round-trip digits of a finite double as d.ddd and a decimal exponent.
void shortest_digits(double v, std::string& digits, int& exp10) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    std::string_view t(buf, static_cast<std::size_t>(r.ptr - buf));
    std::size_t e = t.find('e');
    digits.clear();
    for (char c : t.substr(0, e))
        if (c != '.') digits.push_back(c);
    std::from_chars(t.data() + e + 1 + (t[e + 1] == '+'), t.data() + t.size(), exp10);
}

// Lays out significant digits (no point) with exponent the way Python prints floats:
// positional when -4 <= exp < threshold, always with a digit after the point, else
// d.ddde+XX.
std::string layout_float(const std::string& digits, int exp10, int threshold) {
    std::string out;
    if (exp10 < -4 || exp10 >= threshold) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        char eb[16];
        std::snprintf(eb, sizeof eb, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
        out += eb;
    } else if (exp10 < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out += digits;
    } else {
        auto int_len = static_cast<std::size_t>(exp10) + 1;
        if (digits.size() <= int_len) {
            out = digits;
            out.append(int_len - digits.size(), '0');
            out += ".0";
        } else {
            out = digits.substr(0, int_len) + "." + digits.substr(int_len);
        }
    }
    return out;
}

std::string nonfinite(double v, bool upper) {
    std::string s = std::isnan(v) ? "nan" : "inf";
    if (upper) s = std::isnan(v) ? "NAN" : "INF";
    return s;
}

// Python's repr of a float: shortest round-trip form.
std::string real_repr(double v) {
    if (!std::isfinite(v)) return (v < 0 ? "-" : "") + nonfinite(v, false);
    std::string digits;
    int exp10 = 0;
    shortest_digits(v, digits, exp10);
    if (digits == "0") exp10 = 0;
    return (std::signbit(v) ? "-" : "") + layout_float(digits, exp10, 16);
}

std::string text_form(const MessageArg::Value& v) {
    if (auto p = std::get_if<long long>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<double>(&v)) return real_repr(*p);
    if (auto p = std::get_if<bool>(&v)) return *p ? "True" : "False";
    return std::get<std::string>(v);
}

// printf with exact decimal expansion (glibc rounds the exact binary value, ties to even).
std::string c_format(double v, char conv, int precision, bool alternate) {
    char fmtbuf[8] = "%";
    std::size_t k = 1;
    if (alternate) fmtbuf[k++] = '#';
    fmtbuf[k++] = '.';
    fmtbuf[k++] = '*';
    fmtbuf[k++] = conv;
    fmtbuf[k] = '\0';
    int n = std::snprintf(nullptr, 0, fmtbuf, precision, v);
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), fmtbuf, precision, v);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Digits of |v| in fixed notation with `precision` places, times 100 exactly (the point moves
// two places to the right of the exact expansion, so no rounding happens in a multiply).
std::string percent_digits(double v, int precision, bool alternate) {
    std::string s = c_format(std::fabs(v), 'f', precision + 2, false);
    std::size_t dot = s.find('.');
    std::string int_part = s.substr(0, dot) + s.substr(dot + 1, 2);
    std::string frac = s.substr(dot + 3);
    std::size_t nz = int_part.find_first_not_of('0');
    int_part = nz == std::string::npos ? "0" : int_part.substr(nz);
    if (!frac.empty() || alternate) return int_part + "." + frac;
    return int_part;
}

// Inserts the grouping character into the leading run of digits.
std::string group_digits(const std::string& body, char sep) {
    std::size_t run = 0;
    while (run < body.size() && body[run] >= '0' && body[run] <= '9') ++run;
    std::string out;
    for (std::size_t i = 0; i < run; ++i) {
        if (i > 0 && (run - i) % 3 == 0) out += sep;
        out += body[i];
    }
    out.append(body, run, std::string::npos);
    return out;
}

std::string pad(const std::string& sign, const std::string& body, const Spec& spec, char default_align) {
    std::size_t len = detail::code_point_count(sign) + detail::code_point_count(body);
    if (spec.width <= len) return sign + body;
    std::size_t fill_n = spec.width - len;
    auto fill = [&](std::size_t k) {
        std::string f;
        for (std::size_t i = 0; i < k; ++i) f += spec.fill;
        return f;
    };
    char align = spec.align ? spec.align : default_align;
    switch (align) {
        case '<': return sign + body + fill(fill_n);
        case '^': return fill(fill_n / 2) + sign + body + fill(fill_n - fill_n / 2);
        case '=': return sign + fill(fill_n) + body;
        default: return fill(fill_n) + sign + body;
    }
}

// Where a value is formatted: the message key and the placeholder, for the errors.
struct FieldRef {
    std::string_view key;
    std::string_view field;
    [[noreturn]] void fail(const std::string& why) const { value_error(key, field, why); }
};

std::string code_name(const Spec& spec) { return std::string("format code '") + spec.type + "'"; }

std::string format_text(const std::string& s, const Spec& spec, const FieldRef& at) {
    if (spec.type != 0 && spec.type != 's') at.fail(code_name(spec) + " needs a number, got the text '" + s + "'");
    if (spec.sign) at.fail("a sign does not apply to a text value");
    if (spec.grouping) at.fail(std::string("'") + spec.grouping + "' does not apply to a text value");
    if (spec.align == '=') at.fail("'=' alignment does not apply to a text value");
    std::string body = s;
    if (spec.precision >= 0) {
        // The precision counts characters, not bytes.
        std::size_t i = 0;
        for (int k = 0; k < spec.precision && i < body.size(); ++k) {
            ++i;
            while (i < body.size() && (static_cast<unsigned char>(body[i]) & 0xC0) == 0x80) ++i;
        }
        body.resize(i);
    }
    return pad("", body, spec, '<');
}

// The digits of an integer (without its sign); empty when the code formats it as a real number.
std::string integer_body(long long n, const Spec& spec, const FieldRef& at) {
    const bool negative = n < 0;
    const unsigned long long mag =
        negative ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    const int p = spec.precision < 0 ? 6 : spec.precision;
    const std::string frac = (p > 0 || spec.alternate) ? "." + std::string(static_cast<std::size_t>(p), '0') : "";
    switch (spec.type) {
        case 0:
        case 'd':
            if (spec.precision >= 0) at.fail("a precision does not apply to an integer");
            return std::to_string(mag);
        case 'f':
        case 'F': return std::to_string(mag) + frac;
        case '%': return (mag == 0 ? std::string("0") : std::to_string(mag) + "00") + frac + "%";
        case 'e':
        case 'E':
        case 'g':
        case 'G': return {};
        default: at.fail(code_name(spec) + " does not apply to an integer");
    }
}

// The digits of a real number (without its sign).
std::string real_body(double x, const Spec& spec, const FieldRef& at) {
    const bool finite = std::isfinite(x);
    switch (spec.type) {
        case 0: {
            if (!finite) return nonfinite(x, false);
            if (spec.precision < 0) return real_repr(std::fabs(x));
            const int p = spec.precision == 0 ? 1 : spec.precision;
            const std::string e = c_format(std::fabs(x), 'e', p - 1, false);
            std::string digits;
            for (char c : e.substr(0, e.find('e')))
                if (c != '.') digits.push_back(c);
            while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
            const int exp10 = std::stoi(e.substr(e.find('e') + 1));
            // Like 'g', but positional output keeps a digit after the point.
            return layout_float(digits, exp10, p - 1);
        }
        case 'f':
        case 'F':
            return finite ? c_format(std::fabs(x), 'f', spec.precision < 0 ? 6 : spec.precision, spec.alternate)
                          : nonfinite(x, spec.type == 'F');
        case '%':
            return (finite ? percent_digits(x, spec.precision < 0 ? 6 : spec.precision, spec.alternate)
                           : nonfinite(x, false)) +
                   "%";
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            return finite ? c_format(std::fabs(x), spec.type, spec.precision < 0 ? 6 : spec.precision, spec.alternate)
                          : nonfinite(x, spec.type == 'E' || spec.type == 'G');
        default: at.fail(code_name(spec) + " needs an integer, got the real number " + real_repr(x));
    }
}

std::string format_value(const MessageArg::Value& v, std::string_view spec_text,
                         std::string_view key, std::string_view field) {
    if (spec_text.empty()) return text_form(v);
    const FieldRef at{key, field};
    std::string why;
    auto parsed = parse_spec(spec_text, why);
    if (!parsed) at.fail(why);
    const Spec& spec = *parsed;
    if (auto s = std::get_if<std::string>(&v)) return format_text(*s, spec, at);

    bool negative = false;
    std::string body;
    if (const double* real = std::get_if<double>(&v)) {
        negative = std::signbit(*real) && !std::isnan(*real);
        body = real_body(*real, spec, at);
    } else {
        const long long n = std::holds_alternative<bool>(v) ? (std::get<bool>(v) ? 1 : 0) : std::get<long long>(v);
        negative = n < 0;
        body = integer_body(n, spec, at);
        if (body.empty()) body = real_body(static_cast<double>(n), spec, at);
    }
    std::string sign = negative ? "-" : spec.sign == '+' ? "+" : spec.sign == ' ' ? " " : "";
    if (spec.grouping) {
        std::string grouped = group_digits(body, spec.grouping);
        // Zero padding goes inside the digit groups: 0,001,234 rather than 0001,234.
        if (spec.align == '=' && spec.fill == "0" && std::isdigit(static_cast<unsigned char>(body[0]))) {
            while (sign.size() + grouped.size() < spec.width) {
                body.insert(body.begin(), '0');
                grouped = group_digits(body, spec.grouping);
            }
        }
        body = std::move(grouped);
    }
    return pad(sign, body, spec, '>');
}

// The value after a "!s", "!r" or "!a" conversion (0: none).
MessageArg::Value converted(MessageArg::Value value, char conversion, std::string_view key, std::string_view field) {
    switch (conversion) {
        case 0:
            break;
        case 's':
            value = text_form(value);
            break;
        case 'r':
        case 'a':
            if (auto s = std::get_if<std::string>(&value)) {
                char q = (s->find('\'') != std::string::npos && s->find('"') == std::string::npos) ? '"' : '\'';
                std::string quoted(1, q);
                for (char ch : *s) {
                    if (ch == '\\' || ch == q) quoted += '\\';
                    quoted += ch;
                }
                value = quoted + q;
            } else {
                value = text_form(value);
            }
            break;
        default:
            value_error(key, field, std::string("unknown conversion '!") + conversion + "'");
    }
    return value;
}

// The text of one replacement field, `field` being what stands between its braces.
std::string replacement_field(std::string_view field, const MessageArgs& args, std::string_view key) {
    std::size_t colon = field.find(':');
    std::string_view head = field.substr(0, colon);
    std::string_view spec = colon == std::string_view::npos ? std::string_view{} : field.substr(colon + 1);
    char conversion = 0;
    if (std::size_t bang = head.find('!'); bang != std::string_view::npos) {
        if (head.size() != bang + 2)
            value_error(key, field, "a conversion must be one character before ':'");
        conversion = head[bang + 1];
        head = head.substr(0, bang);
    }
    std::size_t name_end = head.find_first_of(".[");
    std::string_view name = head.substr(0, name_end);
    if (name.empty() || name.find_first_not_of("0123456789") == std::string_view::npos)
        throw MessageKeyError("cannot format message '" + std::string(key) +
                              "': positional placeholder {" + std::string(field) +
                              "} has no argument");
    auto it = args.find(name);
    if (it == args.end())
        throw MessageKeyError("cannot format message '" + std::string(key) + "': no argument '" +
                              std::string(name) + "' for placeholder {" + std::string(field) + "}");
    if (name_end != std::string_view::npos)
        value_error(key, field, "attribute and index access are not supported");
    return format_value(converted(it->second.value(), conversion, key, field), spec, key, name);
}

std::string render(std::string_view tmpl, const MessageArgs& args, std::string_view key) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    std::size_t i = 0;
    while (i < tmpl.size()) {
        char c = tmpl[i];
        if (c == '}') {
            if (i + 1 < tmpl.size() && tmpl[i + 1] == '}') {
                out += '}';
                i += 2;
                continue;
            }
            throw MessageValueError("cannot format message '" + std::string(key) +
                                    "': single '}' in the template");
        }
        if (c != '{') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < tmpl.size() && tmpl[i + 1] == '{') {
            out += '{';
            i += 2;
            continue;
        }
        std::size_t close = tmpl.find_first_of("{}", i + 1);
        if (close == std::string_view::npos || tmpl[close] == '{')
            throw MessageValueError("cannot format message '" + std::string(key) +
                                    "': unmatched '{' in the template");
        out += replacement_field(tmpl.substr(i + 1, close - i - 1), args, key);
        i = close + 1;
    }
    return out;
}

}  // namespace

const MessageCatalogue& MESSAGES = catalogue();

std::string get_message(std::string_view key, const MessageArgs& args) {
    const MessageCatalogue& cat = catalogue();
    std::string lang = get_language();
    auto lit = cat.find(lang);
    if (lit == cat.end()) lit = cat.find(std::string_view("en"));
    std::string_view tmpl = key;
    if (auto k = lit->second.find(key); k != lit->second.end()) {
        tmpl = k->second;
    } else {
        const MessageTable& en = cat.find(std::string_view("en"))->second;
        if (auto e = en.find(key); e != en.end()) tmpl = e->second;
    }
    if (args.empty()) return std::string(tmpl);
    return render(tmpl, args, key);
}

void set_language(std::string_view lang) {
    std::lock_guard<std::mutex> lock(lang_mutex());
    current_lang().assign(lang);
}

std::string get_language() {
    std::lock_guard<std::mutex> lock(lang_mutex());
    return current_lang();
}

}  // namespace quillbox
