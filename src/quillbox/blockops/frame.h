#pragma once
// The frame the operations share: token estimate and savings footer, path checks, index
// freshness, listing format.
// Private to blockops and its tests.

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops.h"
#include "quillbox/session.h"

namespace quillbox {

// The PRICING_MODELS row of `model`, or the "default" row for an unknown name (exact,
// case-sensitive).
const PricingModel& _token_coeffs(std::string_view model);

// U+4E00..U+9FFF, U+3000..U+303F, U+FF00..U+FFEF. Inline: it runs once per character of
// every text whose tokens are counted.
inline bool _is_cjk(char32_t cp) noexcept {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFF00 && cp <= 0xFFEF);
}

// Token estimate of a UTF-8 text; at least 1.
long long _count_tokens(std::string_view text, std::string_view model = "sonnet");

// Token figures of a block-wise modification against whole-file work.
struct TokenSavings {
    long long full_tok = 0;
    long long block_tok = 0;
    long long new_tok = 0;
    long long read_savings = 0;
    long long write_savings = 0;
    long long tokens_saved = 0;
    bool paged = false;  // the route compared reads one page of the file, not all of it

    bool operator==(const TokenSavings&) const = default;
};

// What the agent would otherwise do for a change: read the file with its Read tool (all of it,
// or for a file over READ_TOOL_LINES lines or READ_TOOL_TOKENS tokens the page of
// READ_TOOL_LINES lines that starts at the section, within READ_TOOL_TOKENS) and send one Edit
// with the changed text, old and new. Against it, what this write cost: reading the section
// first (when it had to be read), what the call sent and what it answered.
inline constexpr long long READ_TOOL_LINES = 2000, READ_TOOL_TOKENS = 25000;
struct RouteFigures {
    std::string_view full_text;  // the file before the write
    int start = 0;               // the section's first line
    std::string_view section;    // the section as reading it showed it; empty when not read
    std::string_view edit_old;   // the changed stretch before
    std::string_view edit_new;   // and after
    std::string_view sent;       // what the call sent
    long long answer_tokens = 0;
};
// full_tok: the route's read; block_tok: the section's read; new_tok: what was sent;
// read_savings: the route's read less the section read and the answer (input tokens);
// write_savings: the Edit less what was sent (output tokens); tokens_saved: their sum when
// positive, else 0 (and then both parts 0: nothing is claimed).
TokenSavings _route_savings(std::string_view model, const RouteFigures& figures, const PricingRates& rates);

// The figures with nothing claimed: for a write that changed nothing, and for a block
// that is the whole file (block-wise work saved nothing there).
TokenSavings _no_savings(TokenSavings savings);
// Whether every line of `full_text` outside lines start..end (1-based) is blank.
bool _block_is_whole_file(std::string_view full_text, int start, int end);
// The "[QUILLBOX_META] ..." footer priced with `rates`: the saving and what it is against
// (aha_meta, aha_meta_page), or that there was none (aha_meta_none).
std::string _savings_footer(const TokenSavings& savings, const PricingRates& rates);

// ---- Result budget ----------------------------------------------------------------------

// Clients refuse over-long tool results (Claude Code: 25,000 tokens unless
// MAX_MCP_OUTPUT_TOKENS says otherwise), so every answer is kept under a token budget.
inline constexpr long long DEFAULT_RESULT_BUDGET = 20000;
// Smallest budget honoured: below it a cut answer would be little more than its hint.
inline constexpr long long MIN_RESULT_BUDGET = 200;

// The budget of one answer, in estimated tokens: the configuration key
// "result_budget_tokens" (default 20,000), and when the environment sets
// MAX_MCP_OUTPUT_TOKENS, at most four fifths of it (the estimate is not the client's count).
long long _result_budget(const ConfigSource& config);

// The cautious token count used to keep answers under the budget, for a text built piece by
// piece: tokens() is _budget_tokens of the concatenation of everything added. Never below
// _count_tokens (the pricing estimate, a quarter token an English character), and higher for
// digits, punctuation, line feeds, letters and digits mixed at random (base64) and every other
// script, which a real tokenizer splits finely: never below the Claude tokenizer's count, by
// weights measured per kind of character (bench/calibrate_tally.py).
class TokenTally {
public:
    explicit TokenTally(std::string_view model);
    void add(std::string_view text);
    long long tokens() const;
    // What tokens() would be after add(text), without adding it.
    long long tokens_with(std::string_view text) const;
    // The most tokens one byte of any text can add.
    double max_weight() const;

    // The kinds of non-ASCII character it weighs apart.
    enum class Script : unsigned char { wide2, indic, thai, hangul, kana, cjk, supplementary, other, count };

private:
    double coeff_cn_;
    double coeff_en_;
    long long alpha_ = 0, digit_ = 0, space_ = 0, newline_ = 0, punct_ = 0, switch_ = 0;
    std::array<long long, static_cast<std::size_t>(Script::count)> scripts_{};
    unsigned char last_case_ = 0;  // of the last character added, for the switches
};

// The cautious count of `text` (see TokenTally) for `model`.
long long _budget_tokens(std::string_view text, std::string_view model);
// _budget_tokens(text, model) <= budget, without counting a text too short to reach it.
bool _fits_budget(std::string_view text, long long budget, std::string_view model);

// How many of lines[first, last) fit, each preceded by a line feed, after the text counted in
// `base`, while the whole stays within `budget`.
std::size_t _lines_that_fit(const TokenTally& base, const std::vector<std::string>& lines, std::size_t first,
                            std::size_t last, long long budget);

// The longest prefix of `text` (whole code points) that `base` plus the prefix keeps within
// `budget`; for a single line that is too long on its own.
std::string_view _prefix_that_fits(const TokenTally& base, std::string_view text, long long budget);

// `text` when it fits the budget; otherwise its longest prefix of whole lines that fits
// together with one more line, hint(kept_lines), which tells the agent how to get the rest.
// When not even the first line fits, that line is cut at a character boundary.
std::string _fit_to_budget(std::string_view text, long long budget, std::string_view model,
                           const std::function<std::string(std::size_t kept_lines)>& hint);

// ---- Pages of lines ----------------------------------------------------------------------

// Opens the marker put where a line too long for one page is cut. Text sent back with it in
// place of the line's rest is refused: the marker is not the line.
inline constexpr std::string_view CUT_MARK = "⟦✂";

// Whether `sent` holds a cut marker that `original` (the text it replaces) does not.
bool _holds_cut_marker(std::string_view sent, std::string_view original);

// One page of lines, from line `first` at character `column` (1-based code points).
struct LinePage {
    std::string body;
    long long first = 0;       // file line the page starts in
    long long column = 1;      // character of that line the page starts at
    long long last = 0;        // file line the page ends in
    long long line_length = 0; // characters of line `first`, when the page shows part of it
    long long cut_to = 0;      // when cut: the last character of line `first` shown
    long long next = 0;        // where the next page starts: line and character
    long long next_column = 1;
    bool cut() const { return cut_to > 0; }
};

// The characters of `line` (code points) and the byte where character `column` starts.
std::size_t _column_byte(std::string_view line, long long column);

// The page of lines[first - line_of_first ..) up to (not including) line `stop` that fits
// `budget` after what `base` counts. Whole lines, except that a first line too long for the
// page is cut there with the cut marker (page_cut_marker), and the next page starts at the
// next character. `column` must lie within line `first` (or be 1).
LinePage _page_lines(const TokenTally& base, const std::vector<std::string>& lines, long long line_of_first,
                     long long first, long long column, long long stop, long long budget);

// "5-9", "line 5, characters 1-6600 of 100031" or "5-9 (line 5 from character 6601)".
std::string _page_span(const LinePage& page);

// Shortens `text` to at most `max_chars` characters, saying how many were left out.
std::string _shortened(std::string_view text, std::size_t max_chars);

// ---- What a write changed -----------------------------------------------------------------

// The lines a write changed, as a short diff: the removed lines ("-N: text", numbered as they
// were) then the added ones ("+N: text", numbered as they are now), `first_line` being the file
// line of old_lines[0] and new_lines[0]. Lines the two share at the start and the end are left
// out; at most DIFF_MAX_LINES lines a side and DIFF_MAX_CHARS characters a line are shown,
// the rest counted. Empty when nothing changed.
inline constexpr std::size_t DIFF_MAX_LINES = 12;
inline constexpr std::size_t DIFF_MAX_CHARS = 240;
std::string _change_lines(const std::vector<std::string>& old_lines, const std::vector<std::string>& new_lines,
                          long first_line);
// The changed stretch alone, as an editor's old -> new replacement would send it.
std::pair<std::string, std::string> _changed_texts(const std::vector<std::string>& old_lines,
                                                   const std::vector<std::string>& new_lines);

// The tokens of a write's answer with this head and these changes, its footer included.
long long _answer_tokens(const std::string& head, const std::string& changes, std::string_view model);
// A write's answer: `head` (what was done), the changed lines as _change_lines shows them, cut
// to the result budget if need be, and the savings footer.
std::string _write_answer(const Session& session, const std::string& head, const std::string& changes,
                          const std::string& footer);

// The opening path checks on a resolved path: md_only_error when the path text does not end
// in ".md" (case-sensitive), file_not_found when nothing exists there, not_regular_file for a
// directory, FIFO, socket or device; nullopt when they pass. A path that now resolves outside
// the project root (a link swapped in) raises the resolver's PathOutsideRootError.
std::optional<std::string> _check_md_path(const PathResolver& paths, const std::filesystem::path& fp);

// The refusal when the agent named one file and a block of another (block_in_other_file,
// naming the block's file); nullopt when they agree or no file was named.
std::optional<std::string> _check_id_file(const PathResolver& paths, std::string_view file_path, const Block& block);

// The refusal for an id the index does not hold: the file changed, when a re-index gave the
// id up (its section is gone, or no longer to be told from a twin); `otherwise` when the id
// was never known.
Reply _missing_block(Session& session, std::string_view block_id, std::string otherwise);

// The block where the index has it once it describes the file as it is now (re-indexed,
// keeping ids, when it changed since): a stored range can still hash as the session saw it
// while the section has grown past it. Its content hash stays the basis of a change: what the
// session was shown, else what the index held for `block`. Nothing when the section is gone.
std::optional<Block> _fresh_block(Session& session, const Block& block);

// Modification time in seconds since the epoch, with fractions.
double _file_mtime(const std::filesystem::path& fp);
// Today's local date, "%Y-%m-%d".
std::string _today_local();

// The file's state now, as its freshness record holds it: modification time and raw-byte
// SHA-256.
FileState _current_file_state(const std::filesystem::path& fp);
// Records the file's current modification time and raw-byte SHA-256 in file_index (after a
// write by an operation, so the next freshness check trusts the index). Throws on failure;
// callers that must go on catch and log.
void _record_file_state(Indexer& indexer, const std::filesystem::path& fp);

// Whether a record taken too soon after its file's last change to vouch by its figures
// (racily clean) may still be trusted: the watcher is running, saw no other change of the file
// since this process's own last write, and that write left exactly the recorded file.
bool _own_write_vouches(FileWatcher& watcher, const std::filesystem::path& fp, const FileState& recorded);
// Once the racy window after the file's last change has passed, a racily clean record whose
// figures and bytes still hold is written anew, so that later operations trust it by its
// figures. Hashes the whole file; true when the record was renewed.
bool _renew_racy_record(Indexer& indexer, const std::filesystem::path& fp, const FileState& recorded);

// Brings the index entry of `fp` (resolved, existing Markdown file) in step with the file and
// returns its blocks in document order. On any failure: a warning record and a fresh parse
// (blocks not stored); an error of that parse propagates. With RowColumns::listed, blocks read
// from a fresh index carry only what a listing shows.
std::vector<Block> _ensure_fresh_index(Indexer& indexer, FileWatcher& watcher,
                                       const std::filesystem::path& fp, RowColumns columns = RowColumns::all);

// Where a block to be rewritten stands now: its stored range while that still holds the
// recorded content, else wherever that content moved; nullopt when it is gone.
std::optional<std::pair<int, int>> _locate_block(Session& session, const Block& block);

// The freshness record of the file a write left: the figures it took before reading the
// bytes back, and their hash. Nothing when the figures are unknown.
std::optional<FileState> _written_state(const WriteOutcome& written);
// What a replace of lines first..last wrote, as the index takes it to update only the rows it
// touched: the bytes before and after and the written file's record. Nothing when the write's
// figures are unknown. Refers to `written`, which must outlive it.
std::optional<Indexer::LineSplice> _splice_of(const WriteOutcome& written, int first, int last);

// Writes `new_lines` over lines actual_start..actual_end through the safety engine, then the
// bookkeeping of a block rewrite: the session tracker, the block's stored range and hash, a
// re-index keeping identifiers, the file_index row and the statistics row (`op_type`).
// Returns the block's new last line. ModificationError propagates. `lines_before`, when given,
// is the file's text as the operation read it (the file is not read again); `text_after`, when
// given, receives the bytes written. `final_line_end`: the block ends the file and its last
// line gets a line end (WriteBasis::final_line_end).
int _rewrite_block(Session& session, const Block& block, int actual_start, int actual_end, const std::vector<std::string>& new_lines,
                   long long tokens_saved, std::string_view op_type,
                   const std::vector<std::string>* lines_before = nullptr, std::string* text_after = nullptr,
                   bool final_line_end = false);

// ---- Round trips -------------------------------------------------------------------------
// A block is shown as its lines joined by line feeds, so n blank lines at its end show as n
// line feeds after its last non-blank line. The text sent back is split at its line ends (a
// line end at the very end adds no empty line). Its blank lines at the end: when the line
// feeds after its last non-blank line number 0 or 1, or as many as the block showed, or one
// more, the block keeps the blank lines it had (its separation from what follows, byte for
// byte); any other number n gives n - 1 blank lines. So the text read comes back unchanged,
// with or without a closing line feed, and a one-word change is a one-line change. A text
// without a non-blank line is taken as it is; an empty text removes the block's lines.

// A line that is empty or holds only spaces and tabs.
bool _is_blank_line(std::string_view line) noexcept;
// The lines `new_content` stands for as the new text of a block whose lines are `old_lines`.
std::vector<std::string> _block_lines(std::string_view new_content, const std::vector<std::string>& old_lines);

// "#" x level, or "FM" for a block without a heading level.
std::string _level_marker(int level);
// `  id="<uuid>" ## Title lines=3-9`; with `id_length`, the id cut to that many characters in
// the short form `<id> ## Title 3-9`.
std::string _format_block_line(const Block& block, std::size_t id_length = std::string::npos);

// Short ids: the shortest prefix of at least SHORT_ID_LENGTH characters of each block's id
// that no other block of the index shares.
inline constexpr std::size_t SHORT_ID_LENGTH = 8;
std::size_t _short_id_length(Indexer& indexer, const std::string& uuid);
// "✅ File: <path>\n<n> blocks:\n" followed by the block lines.
std::string _format_blocks(const std::vector<Block>& blocks, const std::filesystem::path& file_path);

// ---- The session's view (view.cpp) ------------------------------------------------------

// The hash a change of `block` is checked against: what the session was last shown of it, or
// the index's hash for a block the session never saw.
std::string _expected_hash(const SessionView& view, const Block& block);
// A listing or search showed these blocks: the session based its choice on the index's state.
void _record_listed(SessionView& view, const std::vector<Block>& blocks);
// The session was shown the text whose lines (without ends) are `lines`: every block records
// the hash of those lines at its range (blocks beyond the text are skipped).
void _record_shown_text(SessionView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines);

// The session's own write of lines first..last (1-based): before it, the ids of the file's
// blocks that overlap the range and whose content in `lines_before` is what the session was
// shown. After it, `_record_own_write` gives those blocks the content the write left them
// with, where the updated index agrees with `text_after` (the bytes the write produced);
// blocks outside the range keep their content and their view.
std::vector<std::string> _view_touched_by_write(const SessionView& view, const std::vector<Block>& blocks_before,
                                                const std::vector<std::string>& lines_before,
                                                int first, int last);
// Whether a write of lines first..last (1-based; last = first - 1 inserts before `first`)
// would touch a block the session was shown with other content than `lines` (the file now)
// holds at its range.
bool _view_conflicts(const SessionView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines,
                     int first, int last);
void _record_own_write(SessionView& view, Indexer& indexer, const std::vector<std::string>& ids,
                       std::string_view text_after);

}  // namespace quillbox
