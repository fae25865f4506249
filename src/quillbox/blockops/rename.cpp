// A heading renamed with every link to its anchor across the project: all files or none,
// also across a crash (a journal in the data directory lets the next start finish or undo).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillbox/blockops.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/links.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/detail/atomic_file.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace quillbox {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view JOURNAL_HEADER = "quillbox-rename 1";

struct FileChange {
    fs::path path;
    std::string before;
    std::string after;
};

struct Edit {
    std::size_t begin, len;
    std::string text;
};

std::string apply_edits(std::string text, std::vector<Edit> edits) {
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin > b.begin; });
    std::size_t limit = std::string::npos;
    for (const auto& e : edits) {
        if (e.begin + e.len > limit) continue;  // overlapping: the later one wins
        text.replace(e.begin, e.len, e.text);
        limit = e.begin;
    }
    return text;
}

// The file a relative link of `from` leads to, or nothing for an external one.
std::optional<fs::path> link_target(const fs::path& from, const fs::path& root, std::string_view dest) {
    if (dest.empty() || dest.starts_with("//")) return std::nullopt;
    std::size_t i = 0;
    if (std::isalpha(static_cast<unsigned char>(dest[0]))) {
        while (i < dest.size() && (std::isalnum(static_cast<unsigned char>(dest[i])) || dest[i] == '+' ||
                                   dest[i] == '.' || dest[i] == '-'))
            ++i;
        if (i < dest.size() && dest[i] == ':') return std::nullopt;
    }
    std::string path(dest.substr(0, dest.find('#')));
    if (auto q = path.find('?'); q != std::string::npos) path.erase(q);
    path = links::percent_decode(path);
    if (path.empty()) return from;
    fs::path t = path.front() == '/' ? root / path.substr(1) : from.parent_path() / path;
    return t.lexically_normal();
}

// The heading's source with its title replaced: on its line for an ATX heading, the text
// lines for a setext one. An attribute list after the old title stays.
std::optional<std::string> retitled(const std::string& raw, const Block& block, const HeadingAnchor& heading,
                                    const std::string& new_title) {
    const auto spans = detail::line_spans(raw);
    const auto first = static_cast<std::size_t>(block.start_line - 1);
    if (block.start_line < 1 || first >= spans.size()) return std::nullopt;
    std::string title = new_title;
    static const std::string_view brace = " {#";
    if (heading.explicit_id && title.find("{#") == std::string::npos) {
        const std::size_t at = block.title.rfind(brace);
        if (at != std::string::npos) title += block.title.substr(at);
    }
    const std::string_view line(raw.data() + spans[first].begin, spans[first].len);
    std::size_t hash = line.find_first_not_of(" \t>");
    const bool atx = hash != std::string_view::npos && line[hash] == '#';
    std::string out = raw;
    if (atx) {
        std::size_t at = line.find(block.title, hash);
        if (at == std::string_view::npos) return std::nullopt;
        out.replace(spans[first].begin + at, block.title.size(), title);
        return out;
    }
    // Setext: the text lines end before the underline (the parser's last line).
    const auto last = static_cast<std::size_t>(std::max(heading.end_line - 1, block.start_line));
    if (last - 1 >= spans.size() || last < first + 1) return std::nullopt;
    const std::size_t indent = line.find_first_not_of(" \t");
    const std::size_t b = spans[first].begin + (indent == std::string_view::npos ? 0 : indent);
    const std::size_t e = spans[last - 1].begin + spans[last - 1].len;
    out.replace(b, e - b, title);
    return out;
}

fs::path data_dir_of(const SafetyEngine& safety) { return safety.backup_dir().parent_path(); }

// Held by the process that writes a rename (a kill releases it): recovery leaves the journal
// of a rename still in progress alone, and two renames take turns.
class RenameLock {
public:
    RenameLock(const SafetyEngine& safety, bool wait) {
        std::error_code ec;
        fs::create_directories(data_dir_of(safety), ec);
        fd_ = ::open((data_dir_of(safety) / "rename.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0 && ::flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) held_ = true;
    }
    ~RenameLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    RenameLock(const RenameLock&) = delete;
    RenameLock& operator=(const RenameLock&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};
fs::path journal_path(const SafetyEngine& safety) { return data_dir_of(safety) / "rename.journal"; }

bool writable_path(const fs::path& p) { return p.string().find_first_of("\t\n") == std::string::npos; }

struct JournalEntry {
    fs::path path;
    fs::path before_copy;
    std::string before_sha, after_sha;
};

std::vector<JournalEntry> read_journal(const fs::path& journal) {
    std::vector<JournalEntry> out;
    std::ifstream in(journal, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != JOURNAL_HEADER) return out;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t b = 0;
        for (;;) {
            std::size_t e = line.find('\t', b);
            f.push_back(line.substr(b, e == std::string::npos ? std::string::npos : e - b));
            if (e == std::string::npos) break;
            b = e + 1;
        }
        if (f.size() == 4) out.push_back({f[0], f[1], f[2], f[3]});
    }
    return out;
}

// Puts a file back from its copy while it holds what the rename wrote.
bool restore(SafetyEngine& safety, const JournalEntry& e) {
    std::string now;
    try {
        now = detail::read_file_bytes(e.path);
    } catch (const std::exception&) {
        return false;
    }
    if (detail::sha256_hex(now) != e.after_sha) return false;
    const std::string before = detail::read_file_bytes(e.before_copy);
    if (detail::sha256_hex(before) != e.before_sha) return false;
    safety.apply_bytes(e.path, before, WriteBasis::file(e.after_sha));
    return true;
}

void remove_journal(const SafetyEngine& safety) {
    std::error_code ec;
    fs::remove(journal_path(safety), ec);
    fs::remove_all(data_dir_of(safety) / "rename", ec);
}

// Writes every change or none: copies of the old bytes and the journal first, then each file
// through the verified write; a failure puts back the files already written.
void commit_all(SafetyEngine& safety, const std::vector<FileChange>& changes) {
    const fs::path dir = data_dir_of(safety) / "rename";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    std::vector<JournalEntry> entries;
    std::string journal = std::string(JOURNAL_HEADER) + "\n";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        JournalEntry e{changes[i].path, dir / (std::to_string(i) + ".before"), detail::sha256_hex(changes[i].before),
                       detail::sha256_hex(changes[i].after)};
        detail::replace_file(e.before_copy, changes[i].before);
        journal += e.path.string() + "\t" + e.before_copy.string() + "\t" + e.before_sha + "\t" + e.after_sha + "\n";
        entries.push_back(std::move(e));
    }
    detail::replace_file(journal_path(safety), journal);
    std::size_t done = 0;
    try {
        for (; done < changes.size(); ++done)
            safety.apply_bytes(changes[done].path, changes[done].after, WriteBasis::file(entries[done].before_sha));
    } catch (...) {
        for (std::size_t i = 0; i < done; ++i) {
            try {
                restore(safety, entries[i]);
            } catch (const std::exception& e) {
                log_warning("rename: could not put back %s: %s", entries[i].path.c_str(), e.what());
            }
        }
        remove_journal(safety);
        throw;
    }
    remove_journal(safety);
}

}  // namespace

namespace {

std::string recover_locked(SafetyEngine& safety);

}  // namespace

std::string recover_interrupted_rename(SafetyEngine& safety) {
    std::error_code ec;
    if (!fs::exists(journal_path(safety), ec) && !fs::exists(data_dir_of(safety) / "rename", ec)) return {};
    RenameLock lock(safety, false);
    if (!lock.held()) return {};  // a rename is being written right now
    return recover_locked(safety);
}

namespace {

std::string recover_locked(SafetyEngine& safety) {
    const fs::path journal = journal_path(safety);
    std::error_code ec;
    // The temporary file of a journal whose write a kill cut short.
    for (fs::directory_iterator it(data_dir_of(safety), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().starts_with(".rename.journal.quillbox-")) fs::remove(it->path(), ec);
    ec.clear();
    if (!fs::exists(journal, ec)) {
        fs::remove_all(data_dir_of(safety) / "rename", ec);  // copies of a rename that never began
        return {};
    }
    const std::vector<JournalEntry> entries = read_journal(journal);
    std::size_t written = 0;
    for (const auto& e : entries) {
        try {
            if (detail::sha256_hex(detail::read_file_bytes(e.path)) == e.after_sha) ++written;
        } catch (const std::exception&) {
        }
    }
    std::string outcome;
    if (!entries.empty() && written == entries.size()) {
        outcome = "finished";  // every file was written: only the journal was left
    } else {
        std::size_t restored = 0;
        for (const auto& e : entries) {
            try {
                restored += restore(safety, e);
            } catch (const std::exception& ex) {
                log_warning("rename recovery: could not put back %s: %s", e.path.c_str(), ex.what());
            }
        }
        outcome = "undone (" + std::to_string(restored) + " files put back)";
    }
    remove_journal(safety);
    log_warning("An interrupted heading rename over %zu files was %s.", entries.size(), outcome.c_str());
    return outcome;
}

}  // namespace

Reply do_rename_heading(Session& session, std::string_view file_path, std::string_view block_id, std::string_view heading, std::string_view new_title_arg,
                        bool dry_run) {
    Indexer& indexer = session.index;
    SafetyEngine& safety = session.safety;
    const fs::path fp = session.resolve(file_path);
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
    const fs::path root = links::project_root(session);
    const std::string shown = links::display_path(fp, root);
    const std::string new_title(detail::strip_white_space(new_title_arg));
    if (new_title.empty() || new_title.find_first_of("\r\n") != std::string::npos)
        return Reply::refusal(get_message("rename_bad_title"));

    // The heading: by id, else by its title.
    std::vector<Block> blocks = _ensure_fresh_index(indexer, session.watcher, fp);
    std::optional<Block> block;
    if (!block_id.empty()) {
        block = structure::find_block(blocks, block_id);
        if (!block) return Reply::refusal(get_message("block_not_found_guidance", {{"file_path", shown}}));
    } else {
        std::string want(detail::strip_white_space(heading));
        while (!want.empty() && want.front() == '#') want.erase(0, 1);
        want = std::string(detail::strip_white_space(want));
        std::vector<const Block*> hits;
        for (const auto& b : blocks)
            if (b.title == want) hits.push_back(&b);
        if (hits.empty())
            for (const auto& b : blocks)
                if (structure::lower(b.title) == structure::lower(want)) hits.push_back(&b);
        if (hits.empty()) return Reply::refusal(get_message("rename_no_heading", {{"heading", want}, {"path", shown}}));
        if (hits.size() > 1) {
            std::string lines;
            for (const Block* b : hits) lines += (lines.empty() ? "" : ", ") + std::to_string(b->start_line);
            return Reply::refusal(get_message("rename_ambiguous", {{"heading", want}, {"lines", lines}}));
        }
        block = *hits.front();
    }
    if (block->block_type != "heading") return Reply::refusal(*structure::refuse_non_heading(block, block->uuid));
    if (block->title == new_title) return get_message("rename_unchanged", {{"title", new_title}});

    const AnchorStyle style = links::configured_anchor_style(session);
    const std::string raw = detail::read_file_bytes(fp);
    detail::validate_utf8(raw, fp.string());
    const DocumentAnchors old_anchors = document_anchors(raw, style);
    const HeadingAnchor* target = links::heading_of(old_anchors, *block);
    if (!target) return Reply::refusal(get_message("file_changed"));
    const std::optional<std::string> renamed = retitled(raw, *block, *target, new_title);
    if (!renamed) return Reply::refusal(get_message("file_changed"));
    const DocumentAnchors new_anchors = document_anchors(*renamed, style);
    if (new_anchors.headings.size() != old_anchors.headings.size())
        return Reply::refusal(get_message("rename_bad_title"));

    // Old anchor -> new anchor of every heading whose anchor moves: the renamed one, and those
    // whose duplicate numbering shifts. Links to each keep leading to the same heading.
    std::map<std::string, std::string> moved;
    for (std::size_t i = 0; i < old_anchors.headings.size(); ++i)
        if (old_anchors.headings[i].anchor != new_anchors.headings[i].anchor)
            moved[old_anchors.headings[i].anchor] = new_anchors.headings[i].anchor;
    const std::size_t target_index = static_cast<std::size_t>(target - old_anchors.headings.data());
    const std::string old_anchor = target->anchor, new_anchor = new_anchors.headings[target_index].anchor;

    std::vector<FileChange> changes;
    std::vector<std::string> skipped;
    std::size_t rewritten = 0;
    std::vector<fs::path> files = links::project_markdown_files(root);
    if (std::find(files.begin(), files.end(), fp) == files.end()) files.push_back(fp);
    for (const fs::path& f : files) {
        std::string before;
        if (f == fp) {
            before = raw;
        } else {
            try {
                before = detail::read_file_bytes(f);
                detail::validate_utf8(before, f.string());
            } catch (const std::exception&) {
                continue;
            }
        }
        const std::string text = f == fp ? *renamed : before;
        std::vector<Edit> edits;
        for (const MarkdownLink& link : document_links(text)) {
            if (link.image) continue;
            const std::size_t hash = link.destination.find('#');
            if (hash == std::string::npos) continue;
            const std::optional<fs::path> to = link_target(f, root, link.destination);
            if (!to || *to != fp) continue;
            auto it = moved.find(links::percent_decode(std::string_view(link.destination).substr(hash + 1)));
            if (it == moved.end()) continue;
            if (link.dest_begin == std::string::npos) {
                skipped.push_back(links::display_path(f, root) + ":" + std::to_string(link.line));
                continue;
            }
            edits.push_back({link.dest_begin + hash + 1, link.destination.size() - hash - 1, it->second});
            ++rewritten;
        }
        std::string after = apply_edits(text, std::move(edits));
        if (f == fp) {
            // The table of contents names the heading too.
            const std::size_t start = after.find(TOC_START_MARKER);
            const std::size_t stop = start == std::string::npos ? start : after.find(TOC_STOP_MARKER, start);
            if (stop != std::string::npos) {
                const std::string from = "[" + toc_entry_title(block->title) + "](#" + new_anchor + ")";
                const std::size_t at = after.find(from, start);
                if (at != std::string::npos && at < stop)
                    after.replace(at, from.size(), "[" + toc_entry_title(new_title) + "](#" + new_anchor + ")");
            }
        }
        if (after != before) {
            if (!writable_path(f)) return Reply::refusal(get_message("rename_path", {{"path", f}}));
            changes.push_back({f, std::move(before), std::move(after)});
        }
    }

    if (dry_run) {
        std::vector<DryRunWrite> writes;
        for (const auto& c : changes) writes.push_back({c.path, c.before, c.after});
        return dry_run_answer(session, writes);
    }
    try {
        RenameLock lock(safety, true);
        recover_locked(safety);
        commit_all(safety, changes);
    } catch (const FileChangedError&) {
        return Reply::refusal(get_message("rename_changed"));
    }
    for (const auto& c : changes) structure::forget_file_state(indexer, c.path);
    std::string out = get_message("rename_done", {{"old", block->title},
                                                  {"new", new_title},
                                                  {"old_anchor", old_anchor},
                                                  {"new_anchor", new_anchor},
                                                  {"links", static_cast<long long>(rewritten)},
                                                  {"files", static_cast<long long>(changes.size())}});
    if (!skipped.empty()) {
        std::string where;
        for (const auto& s : skipped) where += (where.empty() ? "" : ", ") + s;
        out += "\n" + get_message("rename_skipped", {{"where", where}});
    }
    return links::fit(session, out, [](std::size_t) { return std::string("…"); });
}

}  // namespace quillbox
