// Random sequences of agent calls, outside edits, re-indexes and restarts, checked after every
// step against a plain model of the files: the sections of each file in order, each with an
// identity of the model's own. The invariants:
//   - a successful write changed exactly the target section as asked, and nothing else;
//   - a refusal changed nothing;
//   - every read returned the file's current bytes;
//   - an id names the section it named when it was handed out, or is refused.
// QB_STATEFUL_OPS and QB_STATEFUL_SEED set the length and seed (scripts/stateful runs it long).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "fixture.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"

namespace qbtest {
namespace {

using quillbox::Reply;

struct Section {
    int uid;
    int level;
    std::string title;
    std::vector<std::string> body;  // non-blank lines, each holding one unique word
};

struct Doc {
    std::string preamble;  // lines before the first heading, each with its line end
    std::vector<Section> sections;

    std::string render() const {
        std::string out = preamble;
        for (const Section& s : sections) {
            out += std::string(static_cast<std::size_t>(s.level), '#') + " " + s.title + "\n";
            for (const std::string& l : s.body) out += l + "\n";
        }
        return out;
    }
    // Index of the section with this identity.
    std::optional<std::size_t> find(int uid) const {
        for (std::size_t i = 0; i < sections.size(); ++i)
            if (sections[i].uid == uid) return i;
        return std::nullopt;
    }
    // One past the last section of the subtree of section i.
    std::size_t subtree_end(std::size_t i) const {
        std::size_t e = i + 1;
        while (e < sections.size() && sections[e].level > sections[i].level) ++e;
        return e;
    }
    std::size_t preamble_lines() const { return static_cast<std::size_t>(std::count(preamble.begin(), preamble.end(), '\n')); }
    // The block of section i as a block read shows it: its lines and its subsections', joined.
    std::string block_text(std::size_t i) const {
        std::string out;
        for (std::size_t k = i; k < subtree_end(i); ++k) {
            if (k > i) out += '\n';
            out += std::string(static_cast<std::size_t>(sections[k].level), '#') + " " + sections[k].title;
            for (const std::string& l : sections[k].body) out += "\n" + l;
        }
        return out;
    }
    // The titles (with levels) from the top down to section i.
    std::string path(std::size_t i) const {
        std::string out = std::to_string(sections[i].level) + sections[i].title;
        int level = sections[i].level;
        for (std::size_t k = i; k-- > 0;)
            if (sections[k].level < level) {
                out = std::to_string(sections[k].level) + sections[k].title + "/" + out;
                level = sections[k].level;
            }
        return out;
    }
    bool has_twin(std::size_t i) const {
        for (std::size_t k = 0; k < sections.size(); ++k)
            if (k != i && path(k) == path(i)) return true;
        return false;
    }
    std::size_t start_line(std::size_t i) const {
        std::size_t line = preamble_lines() + 1;
        for (std::size_t k = 0; k < i; ++k) line += 1 + sections[k].body.size();
        return line;
    }
};

std::string between(const std::string& reply, const std::string& open, const std::string& close) {
    const std::size_t a = reply.find(open);
    const std::size_t b = reply.rfind(close);
    if (a == std::string::npos || b == std::string::npos || b < a + open.size()) return {};
    return reply.substr(a + open.size(), b - a - open.size());
}

class Stateful : public StructureTest {
protected:
    std::mt19937 rng;
    std::vector<fs::path> files;
    std::map<fs::path, Doc> model;
    std::map<fs::path, std::vector<std::pair<std::string, Doc>>> snapshots;  // bytes and doc
    struct Held {
        fs::path file;
        int uid;
        std::string path;  // the section's place in the outline when the index last agreed
        std::string text;  // and its text then
        bool twin = false;  // and whether another section stood at the same place in the outline
    };
    std::map<std::string, Held> ids;  // every id handed out, with what it named
    std::vector<std::string> handed;   // the same ids in the order they were handed out
    int next_uid = 0, next_word = 0;
    std::map<std::string, int> counts;
    std::map<std::string, int> moves;  // the moves refused, by reason
    std::map<std::string, int> kills;  // where the kills landed and what they left
    std::set<int> revived;  // sections a revert brought back: their old ids may be retired
    std::string step;
    bool trace = std::getenv("QB_STATEFUL_TRACE") != nullptr;

    std::size_t pick(std::size_t n) { return n ? static_cast<std::size_t>(rng() % n) : 0; }
    // Words of one length: none is part of another, as md_edit replaces text, not words.
    std::string word() {
        char buf[16];
        std::snprintf(buf, sizeof buf, "w%07d", next_word++);
        return buf;
    }

    void violation(const std::string& what) {
        ++counts["violations"];
        ADD_FAILURE() << step << ": " << what;
    }

    // A new document: twin titles within it, none shared with an earlier one (a rewrite that
    // keeps a title in its place reads as that section edited).
    Doc random_doc() {
        const std::string g = " " + std::to_string(next_uid);
        const std::vector<std::string> titles{"Example" + g, "Install" + g, "Usage" + g, "Notes" + g};
        Doc d;
        const std::size_t n = 2 + pick(7);
        int level = 1;
        for (std::size_t i = 0; i < n; ++i) {
            level = std::clamp(level + static_cast<int>(pick(3)) - 1, 1, 4);
            Section s{next_uid++, level, titles[pick(titles.size())], {}};
            for (std::size_t k = pick(3); k > 0; --k) s.body.push_back("text " + word());
            d.sections.push_back(std::move(s));
        }
        return d;
    }

    void stop() {
        session.reset();
        safety.reset();
        indexer.reset();
        watcher.reset();
    }
    void start() {
        watcher = std::make_unique<quillbox::FileWatcher>(root, [](const fs::path&) {});
        indexer = std::make_unique<quillbox::Indexer>(root / "index.db");
        safety = std::make_unique<quillbox::SafetyEngine>(root / "backups", &watcher->file_writes());
        session = std::make_unique<quillbox::Session>(*indexer, *watcher, *safety);
        // A server's start-up housekeeping, then nothing a killed write left may remain.
        (void)quillbox::recover_interrupted_rename(*safety);
        safety->cleanup(root, 0);
        for (const auto& e : fs::directory_iterator(root))
            if (e.path().filename().string().ends_with(".quillbox-tmp")) violation("left after a start: " + e.path().string());
    }
    void restart() {
        stop();
        start();
        ++counts["restart"];
    }

    // A server killed (SIGKILL) while it replaces a held section: a child process with its own
    // server objects on the same index, which tells the parent through a pipe how far it got
    // (begun, before the rename, after it, done). The kill lands where it is held (before the
    // rename, after it), or at a random moment of the whole write or of what follows the
    // rename (read-back, index update), drawn from how long those took in earlier children.
    // After it: the next start is clean, the file holds the old text or the new as the child's
    // progress allows, the held id names its section or is refused, and the index follows the
    // bytes.
    struct Mark {
        char stage;  // 'b' begun, 'p' before the rename, 'r' after it, 'e' done
        long long ns;
    };
    static long long now_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    double whole_ns = 8e6, tail_ns = 3e6;  // how long a write and its part after the rename take

    void killed_write(const fs::path& f) {
        const Pick h = held_id(f);
        if (h.id.empty() || !h.at || h.alt) return;
        Doc changed = model[f];
        changed.sections[*h.at].body = {"new " + word()};
        const std::string text = changed.block_text(*h.at), before = read_file(f);
        const std::size_t mode = pick(4);  // held before the rename, after it; timed from the start, from the rename
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
        stop();  // no database connection may cross the fork
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pipe_fds[0]);
            const int out = pipe_fds[1];
            auto mark = [out](char stage) {
                const Mark m{stage, now_ns()};
                (void)!::write(out, &m, sizeof m);
            };
            start();
            safety->set_before_rename_hook([&](const fs::path&) {
                mark('p');
                while (mode == 0) ::pause();
            });
            safety->set_after_rename_hook([&](const fs::path&) {
                mark('r');
                while (mode == 1) ::pause();
            });
            mark('b');
            (void)quillbox::do_replace_block(*session, f, h.id, text);
            mark('e');
            ::_exit(0);
        }
        ::close(pipe_fds[1]);
        if (pid < 0) {
            ::close(pipe_fds[0]);
            return start();
        }
        std::vector<Mark> marks;
        auto next_mark = [&] {
            Mark m{};
            if (::read(pipe_fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) return false;
            marks.push_back(m);
            return true;
        };
        const char anchor = "prbr"[mode];
        while (next_mark() && marks.back().stage != anchor && marks.back().stage != 'e') {
        }
        if (!marks.empty() && marks.back().stage == anchor && mode >= 2)
            std::this_thread::sleep_for(std::chrono::nanoseconds(pick(static_cast<std::size_t>((mode == 2 ? whole_ns : tail_ns) * 1.2) + 1)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        while (next_mark()) {
        }
        ::close(pipe_fds[0]);
        auto at = [&](char stage) -> std::optional<long long> {
            for (const Mark& m : marks)
                if (m.stage == stage) return m.ns;
            return std::nullopt;
        };
        const char last = marks.empty() ? '-' : marks.back().stage;
        if (last == 'e') {  // a child that finished tells how long the parts took
            if (at('b')) whole_ns = 0.7 * whole_ns + 0.3 * static_cast<double>(*at('e') - *at('b'));
            if (at('r')) tail_ns = 0.7 * tail_ns + 0.3 * static_cast<double>(*at('e') - *at('r'));
        }

        start();
        const std::string after = read_file(f);
        std::string where = last == 'b'   ? "before the rename"
                            : last == 'p' ? "at the rename"
                            : last == 'r' ? "after the rename"
                            : last == 'e' ? "after the end"
                                          : "before it began";
        if (last == 'r') {
            const std::optional<quillbox::Block> row = indexer->get_block(h.id);
            where += row && row->content_hash == quillbox::compute_hash(text) ? ", indexed" : ", not indexed";
        }
        if (after == before) {
            if (last == 'r') violation("a kill after the rename left the old text");
            ++kills[where + (last == 'e' ? ", refused" : ", old text")];
        } else if (after == changed.render()) {
            if (last == 'b' || last == '-') violation("a kill before the rename left the new text");
            model[f] = changed;
            ++kills[where + ", new text"];
        } else {
            return violation("a kill left\n" + after + "\nwhere the file held\n" + before);
        }
        // Whatever the index held when the child died, the held id names its section or is
        // refused, and the next listing shows the bytes on disk.
        const Reply r = quillbox::do_read_block(*session, f, h.id, {});
        if (r.rfind("✅ Block ID:", 0) == 0) {
            const std::string got = between(r, "\n---\n", "\n---");
            if (got != model[f].block_text(*h.at))
                violation("after a kill (" + where + ") id " + h.id + " read\n" + got + "\nfrom\n" + model[f].render());
        } else {
            // Refused already before the kill, or a twin's edit the index cannot place.
            ++kills[after == before && last == 'e'  ? "held id refused before and after the kill"
                    : model[f].has_twin(*h.at) ? "held id of a twin refused after the kill"
                                               : "held id refused after the kill (" + where + ")"];
        }
        agent_list(f);
        const std::vector<quillbox::Block> rows = indexer->list_blocks(f);
        for (std::size_t i = 0; i < rows.size() && i < model[f].sections.size(); ++i)
            if (rows[i].content_hash != quillbox::compute_hash(model[f].block_text(i)))
                violation("after a kill (" + where + ") the index holds another text of " + rows[i].title);
    }

    // The file must hold what the model says.
    void check_file(const fs::path& f) {
        if (read_file(f) != model[f].render()) violation("file differs from the model:\n" + read_file(f) + "\nmodel:\n" + model[f].render());
    }

    // A listing: every listed block is the model's section at its place; an id already handed
    // out must still name the section it named.
    void agent_list(const fs::path& f) {
        const Reply r = quillbox::do_list_blocks(*session, f.string());
        if (r.refused()) return violation("listing refused: " + r);
        check_rows(f);
        ++counts["list"];
    }

    // The index's rows of the file, as a listing would show them, against the model.
    void check_rows(const fs::path& f) {
        const std::vector<quillbox::Block> rows = list(f);
        const Doc& d = model[f];
        if (rows.size() != d.sections.size()) return violation("listing has " + std::to_string(rows.size()) + " blocks, the model " + std::to_string(d.sections.size()));
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Section& s = d.sections[i];
            if (rows[i].title != s.title || rows[i].level != s.level) return violation("listed block " + std::to_string(i) + " is " + rows[i].title);
            auto [it, fresh] = ids.try_emplace(rows[i].uuid, Held{f, s.uid, d.path(i), d.block_text(i), d.has_twin(i)});
            if (fresh) handed.push_back(rows[i].uuid);
            if (!fresh && (it->second.uid != s.uid || it->second.file != f)) {
                if (it->second.file == f && rebinds_to(it->second) == std::optional<std::size_t>(i)) {
                    it->second.uid = s.uid;
                    ++counts["rebound"];
                } else {
                    violation("id " + rows[i].uuid + " named section " + std::to_string(it->second.uid) + ", now names " +
                              std::to_string(s.uid));
                }
            }
            it->second.path = d.path(i);
            it->second.text = d.block_text(i);
            it->second.twin = d.has_twin(i);
        }
    }

    // After a call that may have re-indexed the file: where the index holds the model's
    // sections (same text, same ids), the held ids learn their place and text as the index
    // now has them. Nothing is checked here.
    void sync(const fs::path& f) {
        const std::vector<quillbox::Block> rows = indexer->list_blocks(f);
        const Doc& d = model[f];
        if (rows.size() != d.sections.size()) return;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            auto it = ids.find(rows[i].uuid);
            if (it == ids.end() || it->second.file != f || it->second.uid != d.sections[i].uid) continue;
            const std::string text = d.block_text(i);
            if (quillbox::compute_hash(text) != rows[i].content_hash) continue;
            it->second.path = d.path(i);
            it->second.text = text;
            it->second.twin = d.has_twin(i);
        }
    }

    // Where an id may have passed to another of the model's sections: by text, when its own
    // section no longer holds the text it had when the index last agreed and one section
    // alone holds it now (the bytes cannot tell that from the section moved: a revert that
    // brings back an old section with that text); else by place, when its section left the
    // place it had and one section alone stands there now (the texts cannot tell that from
    // the section edited in place).
    std::optional<std::size_t> rebinds_to(const Held& h) {
        const Doc& d = model[h.file];
        const auto own = d.find(h.uid);
        if (!own || d.block_text(*own) != h.text) {
            std::optional<std::size_t> same;
            for (std::size_t i = 0; i < d.sections.size(); ++i)
                if (d.block_text(i) == h.text) {
                    if (same) {
                        same.reset();
                        break;
                    }
                    same = i;
                }
            if (same) return same;
        }
        if (own && d.path(*own) == h.path) return std::nullopt;
        std::optional<std::size_t> only;
        for (std::size_t i = 0; i < d.sections.size(); ++i)
            if (d.path(i) == h.path) {
                if (only) return std::nullopt;
                only = i;
            }
        return only;
    }

    // The newest id held for each of the model's sections of `f`.
    std::vector<std::string> current_ids(const fs::path& f) {
        std::vector<std::string> out;
        std::set<int> seen;
        for (auto it = handed.rbegin(); it != handed.rend(); ++it)
            if (const Held& h = ids[*it]; h.file == f && seen.insert(h.uid).second && model[f].find(h.uid)) out.push_back(*it);
        return out;
    }

    // A held id, the index of its section now (if that section still exists) and of the
    // section it may have passed to by place.
    struct Pick {
        std::string id;
        std::optional<std::size_t> at, alt;
    };
    Pick held_id(const fs::path& f) {
        // Mostly the newest id of a section that is still there, listing the file first when
        // there is none, as an agent told to list the blocks does; now and then any id ever held.
        std::vector<std::string> mine;
        for (const std::string& id : handed)
            if (ids[id].file == f) mine.push_back(id);
        if (pick(10) < 8) {
            std::vector<std::string> live = current_ids(f);
            if (live.empty() && !model[f].sections.empty()) {
                agent_list(f);
                live = current_ids(f);
            }
            if (!live.empty()) mine.swap(live);
        }
        if (mine.empty()) return {};
        const std::string id = mine[pick(mine.size())];
        Pick p{id, model[f].find(ids[id].uid), rebinds_to(ids[id])};
        if (trace)
            std::printf("  held %s uid %d at %d alt %d path %s\n", id.c_str(), ids[id].uid, p.at ? int(*p.at) : -1,
                        p.alt ? int(*p.alt) : -1, ids[id].path.c_str());
        return p;
    }

    void rebind(const std::string& id, const fs::path& f, std::size_t to) {
        ids[id].uid = model[f].sections[to].uid;
        ++counts["rebound"];
    }

    void agent_read(const fs::path& f, bool paged) {
        const Pick h = held_id(f);
        if (h.id.empty()) return;
        const Doc& d = model[f];
        std::vector<std::optional<std::size_t>> candidates{h.at, h.alt};
        quillbox::LineWindow window;
        std::size_t skip = 0;
        const std::optional<std::size_t> at = h.at ? h.at : h.alt;
        if (paged && at) {
            skip = pick(d.subtree_end(*at) - *at);  // within the heading lines at least
            window.offset = static_cast<long long>(d.start_line(*at) + skip);
            window.limit = static_cast<long long>(1 + pick(3));
        }
        const Reply r = quillbox::do_read_block(*session, f, h.id, window);
        if (r.rfind("✅ Block ID:", 0) != 0 || r.find("\n---\n") == std::string::npos) return;  // refused or cached
        const std::string got = between(r, "\n---\n", "\n---");
        for (const auto& c : candidates) {
            if (!c) continue;
            std::string expect = d.block_text(*c);
            if (paged && c != at) {
                // The window was set for the other one: a run of this one's lines will do.
                const std::string whole = "\n" + expect + "\n";
                if (got.empty() || whole.find("\n" + got + "\n") == std::string::npos) continue;
                rebind(h.id, f, *c);
                ++counts["read page"];
                return;
            }
            if (paged) {
                const std::vector<std::string> lines = detail_split(expect);
                expect.clear();
                const auto n = static_cast<std::size_t>(*window.limit);
                for (std::size_t k = skip; k < std::min(lines.size(), skip + n); ++k) expect += (k > skip ? "\n" : "") + lines[k];
            }
            if (got == expect) {
                if (c == h.alt && c != h.at) rebind(h.id, f, *c);
                ++counts[paged ? "read page" : "read"];
                return;
            }
        }
        violation("read of id " + h.id + " gave\n" + got + "\nfrom\n" + d.render());
    }

    static std::vector<std::string> detail_split(const std::string& s) {
        std::vector<std::string> out;
        std::size_t at = 0;
        for (;;) {
            const std::size_t nl = s.find('\n', at);
            out.push_back(s.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
            if (nl == std::string::npos) return out;
            at = nl + 1;
        }
    }

    void agent_read_file(const fs::path& f) {
        const Reply r = quillbox::do_read_file(*session, f.string());
        const std::string got = between(r, "\n---\n", "\n---");
        if (r.rfind("File: ", 0) != 0) return;  // cached marker
        std::string bytes = model[f].render();
        if (got != bytes && got + "\n" != bytes) violation("read_file gave\n" + got);
        ++counts["read file"];
    }

    // A write through a held id: on success the file must be the model with `change` applied
    // to the id's section (or to the one it passed to by place); on refusal the file is as it
    // was.
    template <class Call, class Change>
    Reply agent_write(const char* name, const fs::path& f, const Pick& h, Call call, Change change) {
        const std::string before = read_file(f);
        Reply r;
        try {
            r = call();
        } catch (const std::exception& e) {
            r = Reply::refusal(e.what());
        }
        const std::string after = read_file(f);
        if (r.refused()) {
            if (after != before) violation(std::string(name) + " refused (" + r + ") but changed the file");
            ++counts[std::string(name) + " refused"];
            return r;
        }
        for (const auto& c : {h.at, h.alt}) {
            if (!c) continue;
            Doc d = model[f];
            if (!change(d, *c)) return r;  // not a change the model follows
            if (d.render() == after || (after == before && r.find("✅") == std::string::npos)) {
                if (after != before) {
                    if (c == h.alt && c != h.at && !h.id.empty()) rebind(h.id, f, *c);
                    model[f] = d;
                    ++counts[name];
                } else {
                    unchanged(name, f, d);
                }
                return r;
            }
            if (after == before && d.render() == before) {
                unchanged(name, f, d);
                return r;
            }
        }
        violation(std::string(name) + " answered\n" + r + "\nand changed\n" + before + "\ninto\n" + after +
                  "\nwhile the model holds\n" + model[f].render());
        return r;
    }

    // A write that left the bytes as they were. A section moved past its identical twin reads
    // the same either way, so whether its id moved with it is the index's to say.
    void unchanged(const char* name, const fs::path& f, Doc& d) {
        ++counts[std::string(name) + " unchanged"];
        bool reordered = false;
        for (std::size_t i = 0; i < d.sections.size(); ++i) reordered |= d.sections[i].uid != model[f].sections[i].uid;
        if (reordered) settle(f, {std::move(d), model[f]});
    }

    void agent_replace(const fs::path& f) {
        const Pick h = held_id(f);
        if (h.id.empty()) return;
        const std::vector<std::string> body{"new " + word()};
        const std::optional<std::size_t> at = h.at ? h.at : h.alt;
        std::string text = "# Gone\nnew " + word();
        if (at) {
            Doc d = model[f];
            d.sections[*at].body = body;
            text = d.block_text(*at);
        }
        // The text names the subsections of one candidate; for another it would not be this
        // change, so only that one counts.
        Pick only = h;
        if (at == h.at) only.alt.reset();
        else only.at.reset();
        agent_write("replace", f, only, [&] { return quillbox::do_replace_block(*session, f, h.id, text); },
                    [&](Doc& d, std::size_t i) {
                        d.sections[i].body = body;
                        return true;
                    });
    }

    // A word of section `at`'s own body (not a subsection's), or nothing.
    std::optional<std::pair<std::size_t, std::string>> body_word(const Doc& d, std::size_t at) {
        if (d.sections[at].body.empty()) return std::nullopt;
        const std::size_t line = pick(d.sections[at].body.size());
        const std::string& l = d.sections[at].body[line];
        return std::pair{line, l.substr(l.rfind(' ') + 1)};
    }

    // The word `from` changed to `to` in the own body of section i, when it is there.
    static bool change_word(Doc& d, std::size_t i, const std::string& from, const std::string& to) {
        for (std::string& l : d.sections[i].body)
            if (l.size() >= from.size() && l.compare(l.size() - from.size(), from.size(), from) == 0) {
                l.replace(l.size() - from.size(), from.size(), to);
                return true;
            }
        return true;  // not there: the model is left as it is
    }

    void agent_patch(const fs::path& f) {
        const Pick h = held_id(f);
        const std::optional<std::size_t> at = h.at ? h.at : h.alt;
        if (h.id.empty() || !at) return;
        auto w = body_word(model[f], *at);
        if (!w) return;
        const std::string from = w->second, to = word();
        agent_write("patch", f, h, [&] { return quillbox::do_patch_block(*session, f, h.id, from, to); },
                    [&](Doc& d, std::size_t i) { return change_word(d, i, from, to); });
    }

    void agent_edit(const fs::path& f) {
        Doc& d = model[f];
        if (d.sections.empty()) return;
        const std::size_t at = pick(d.sections.size());
        auto w = body_word(d, at);
        if (!w) return;
        const std::string from = w->second, to = word();
        agent_write("md_edit", f, Pick{"", at, std::nullopt},
                    [&] { return quillbox::do_md_edit(*session, f.string(), "change " + from + " to " + to); },
                    [&](Doc& m, std::size_t i) { return change_word(m, i, from, to); });
    }

    void agent_move(const fs::path& f) {
        const Pick h = held_id(f);
        const Pick t = pick(4) ? move_target(f, h) : held_id(f);
        if (h.id.empty() || t.id.empty()) return;
        const char* position = pick(2) ? "before" : "after";
        const std::optional<std::size_t> to = t.at ? t.at : t.alt;
        const int target_uid = to ? model[f].sections[*to].uid : -1;
        const Doc before = model[f];
        const Reply r = agent_write("move", f, h, [&] { return quillbox::do_move_block(*session, h.id, t.id, position); },
                    [&](Doc& d, std::size_t s) {
                        const std::size_t e = d.subtree_end(s);
                        std::vector<Section> moved(d.sections.begin() + static_cast<long>(s), d.sections.begin() + static_cast<long>(e));
                        d.sections.erase(d.sections.begin() + static_cast<long>(s), d.sections.begin() + static_cast<long>(e));
                        const auto found = d.find(target_uid);
                        if (!found) {  // inside the moved section: nothing moves
                            d.sections.insert(d.sections.begin() + static_cast<long>(s), moved.begin(), moved.end());
                            return true;
                        }
                        const std::size_t where = std::string_view(position) == "before" ? *found : d.subtree_end(*found);
                        d.sections.insert(d.sections.begin() + static_cast<long>(where), moved.begin(), moved.end());
                        return true;
                    });
        if (r.refused()) ++moves[move_refusal(f, r, before, h, t, position)];
        check_rows(f);
    }

    // Mostly a target a user would move the section next to: another section, outside the
    // moved one, of its level or a higher rank; else any held id.
    Pick move_target(const fs::path& f, const Pick& h) {
        const Doc& d = model[f];
        if (!h.at || h.alt) return held_id(f);
        std::vector<std::string> fit;
        for (const std::string& id : current_ids(f)) {
            const std::size_t i = *d.find(ids[id].uid);
            if ((i < *h.at || i >= d.subtree_end(*h.at)) && d.sections[i].level <= d.sections[*h.at].level) fit.push_back(id);
        }
        if (fit.empty()) return held_id(f);
        const std::string id = fit[pick(fit.size())];
        return Pick{id, d.find(ids[id].uid), rebinds_to(ids[id])};
    }

    // What the model knows of a held id the index retired.
    std::string retired_why(const Doc& d, const Pick& p) {
        const Held& h = ids[p.id];
        const auto own = d.find(h.uid);
        if (!own) return "section gone";
        if (revived.count(h.uid)) return "section brought back by a revert";
        for (auto it = handed.rbegin(); it != handed.rend() && *it != p.id; ++it)
            if (ids[*it].file == h.file && ids[*it].uid == h.uid) return "a newer id listed";
        const bool same_text = d.block_text(*own) == h.text, same_place = d.path(*own) == h.path;
        const std::string how = same_place ? (same_text ? "section as it was" : "section changed in place")
                                           : (same_text ? "section moved" : "section moved and changed");
        std::size_t same_title = 0;
        for (const Section& x : d.sections) same_title += x.title == d.sections[*own].title;
        const bool twin = h.twin || same_title > 1;
        return how + (twin ? ", a twin then or now" : ", its title unique");
    }

    // Which of the sections a move of `id` touches the agent was shown otherwise than they are.
    std::string shown_differs(const std::vector<quillbox::Block>& rows, const std::string& id) {
        const auto b = std::find_if(rows.begin(), rows.end(), [&](const quillbox::Block& x) { return x.uuid == id; });
        if (b == rows.end()) return "source not listed";
        std::string out;
        for (const quillbox::Block& x : rows) {
            if (x.end_line < b->start_line || x.start_line > b->end_line) continue;
            const auto shown = session->view.shown(x.uuid);
            if (shown && *shown != x.content_hash)
                out = x.uuid == id ? "the agent was shown an older text of the section" : out.empty() ? "the agent was shown an older text around it" : out;
        }
        return out.empty() ? "unexplained" : out;
    }

    // Why a move was refused, by what the model knows of the two ids.
    std::string move_refusal(const fs::path& f, const std::string& r, const Doc& d, const Pick& h, const Pick& t, const char* position) {
        auto gone = [](const Pick& p) { return !p.at && !p.alt; };
        if (r.find("not found") != std::string::npos) {
            const Pick& p = r.find(h.id) != std::string::npos ? h : t;
            return gone(p) ? "id of a section gone" : "id of a live section not found";
        }
        if (r.find("FILE_CHANGED") != std::string::npos) {
            for (const Pick* p : {&h, &t})
                if (indexer->was_retired(p->id)) return "retired id, " + retired_why(d, *p);
            if (gone(h) || gone(t)) return "file changed, a section gone";
            // The section must be as the agent was shown it, and so must the sections around it.
            const std::vector<quillbox::Block> rows = indexer->list_blocks(f);
            return "file changed, " + shown_differs(rows, h.id);
        }
        if (r.find("own subtree") != std::string::npos) return "target inside the moved section";
        if (r.find("Level conflict") != std::string::npos) {
            const auto a = h.at ? h.at : h.alt, b = t.at ? t.at : t.alt;
            if (!a || !b) return "level conflict, a section gone";
            return "level conflict h" + std::to_string(d.sections[*a].level) + " " + position + " h" +
                   std::to_string(d.sections[*b].level);
        }
        return r.substr(0, 60);
    }

    void agent_level(const fs::path& f) {
        const Pick h = held_id(f);
        if (h.id.empty()) return;
        const int delta = pick(2) ? 1 : -1;
        // Only changes that keep every heading a heading (levels 1 to 4).
        for (const auto& c : {h.at, h.alt}) {
            if (!c) continue;
            const Doc& d = model[f];
            for (std::size_t k = *c; k < d.subtree_end(*c); ++k)
                if (d.sections[k].level + delta < 1 || d.sections[k].level + delta > 4) return;
        }
        agent_write("level", f, h, [&] { return quillbox::do_adjust_level(*session, h.id, delta); },
                    [&](Doc& d, std::size_t s) {
                        for (std::size_t k = s, e = d.subtree_end(s); k < e; ++k) d.sections[k].level += delta;
                        return true;
                    });
        check_rows(f);
    }

    void agent_toc(const fs::path& f) {
        const std::string before = read_file(f);
        const Reply r = quillbox::do_generate_toc(*session, f.string(), true, true);
        const std::string after = read_file(f);
        if (r.refused()) {
            if (after != before) violation("toc refused but changed the file");
            return;
        }
        // The sections are as they were; the table stands before them.
        Doc d = model[f];
        const std::string sections = Doc{"", d.sections}.render();
        if (after.size() < sections.size() || after.substr(after.size() - sections.size()) != sections ||
            after.find("<!-- toc -->") != 0)
            return violation("toc changed more than the table:\n" + after);
        model[f].preamble = after.substr(0, after.size() - sections.size());
        ++counts["toc"];
    }

    // An outside save of `d`. Bytes that cannot tell which section the edit touched (a twin
    // deleted beside its twin, a revert that puts identical twins back) leave several readings:
    // `also` holds the others, and the index's ids pick one of them.
    void write_outside(const fs::path& f, const Doc& d, bool by_rename, std::vector<Doc> also = {}) {
        const std::string bytes = d.render();
        if (bytes == model[f].render()) {
            also.assign(1, d);  // the same bytes are the same sections, in the same order
            also.front().sections = model[f].sections;
        } else {
            also.insert(also.begin(), d);
        }
        if (by_rename) {
            const fs::path tmp = f.parent_path() / (".~" + f.filename().string());
            write_file(tmp, bytes);
            fs::rename(tmp, f);
        } else {
            std::ofstream(f, std::ios::binary | std::ios::trunc) << bytes;
        }
        settle(f, std::move(also));
        snapshots[f].push_back({bytes, model[f]});
        if (snapshots[f].size() > 6) snapshots[f].erase(snapshots[f].begin());
    }

    // The model takes the first reading whose sections every listed id it holds still names
    // (a fresh id fits any); with one reading there is nothing to ask the index.
    void settle(const fs::path& f, std::vector<Doc> readings) {
        if (readings.size() > 1) {
            ++counts["ambiguous"];
            const std::vector<quillbox::Block> rows = list(f);
            for (Doc& d : readings) {
                bool fits = rows.size() == d.sections.size();
                for (std::size_t i = 0; fits && i < rows.size(); ++i)
                    if (auto it = ids.find(rows[i].uuid); it != ids.end())
                        fits = it->second.file == f && it->second.uid == d.sections[i].uid;
                if (fits) {
                    model[f] = std::move(d);
                    return;
                }
            }
        }
        model[f] = std::move(readings.front());  // none fits: the next listing reports it
    }

    // `d` with the identities of each run of sections alike in text and place reordered every
    // way (a few at most): nothing in the bytes orders them.
    static std::vector<Doc> twin_orders(const Doc& d) {
        std::map<std::string, std::vector<std::size_t>> alike;
        for (std::size_t i = 0; i < d.sections.size(); ++i) alike[d.path(i) + "\x1d" + d.block_text(i)].push_back(i);
        std::vector<Doc> out{d};
        for (const auto& [key, at] : alike) {
            if (at.size() < 2) continue;
            std::vector<Doc> more;
            for (const Doc& base : out) {
                std::vector<int> uids;
                for (std::size_t i : at) uids.push_back(base.sections[i].uid);
                std::sort(uids.begin(), uids.end());
                do {
                    Doc v = base;
                    for (std::size_t k = 0; k < at.size(); ++k) v.sections[at[k]].uid = uids[k];
                    more.push_back(std::move(v));
                } while (std::next_permutation(uids.begin(), uids.end()) && more.size() < 24);
            }
            out.swap(more);
        }
        return out;
    }

    void outside_edit(const fs::path& f) {
        Doc d = model[f];
        const std::size_t kind = pick(4);
        if (kind == 3 && !snapshots[f].empty()) {
            std::vector<Doc> readings = twin_orders(snapshots[f][pick(snapshots[f].size())].second);
            const Doc d0 = readings.front();
            readings.erase(readings.begin());
            for (const Section& x : d0.sections)
                if (!model[f].find(x.uid)) revived.insert(x.uid);
            write_outside(f, d0, pick(2), std::move(readings));
            ++counts["outside revert"];
            return;
        }
        if (d.sections.empty()) return;
        const std::size_t at = pick(d.sections.size());
        std::vector<Doc> also;
        if (kind == 0 && d.sections.size() > 1) {
            d.sections.erase(d.sections.begin() + static_cast<long>(at));  // its subsections stay
            for (std::size_t k = 0; k < model[f].sections.size(); ++k) {
                Doc other = model[f];
                other.sections.erase(other.sections.begin() + static_cast<long>(k));
                if (k != at && other.render() == d.render()) also.push_back(std::move(other));
            }
            ++counts["outside delete"];
        } else if (kind == 1) {
            d.sections[at].body.push_back("added " + word());
            ++counts["outside edit"];
        } else {
            if (at + 1 < d.sections.size() && d.sections[at].level == d.sections[at + 1].level &&
                d.subtree_end(at) == at + 1 && d.subtree_end(at + 1) == at + 2) {
                std::swap(d.sections[at], d.sections[at + 1]);
                ++counts["outside swap"];
            } else {
                d.sections[at].body.insert(d.sections[at].body.begin(), "top " + word());
                ++counts["outside edit"];
            }
        }
        write_outside(f, d, pick(2), std::move(also));
    }

    void reindex() {
        std::vector<fs::path> keys;
        for (const fs::path& f : files) keys.push_back(quillbox::detail::file_key(f));
        indexer->index_files(keys, [&](std::size_t, int, std::exception_ptr e) {
            if (e) violation("reindex failed");
        });
        ++counts["reindex"];
    }

    void run(std::uint32_t seed, long ops) {
        rng.seed(seed);
        for (const char* name : {"a.md", "b.md"}) {
            const fs::path f = md(name, "");
            files.push_back(f);
            model[f] = random_doc();
            write_outside(f, model[f], false);
        }
        for (long i = 0; i < ops && !HasFailure(); ++i) {
            const fs::path& f = files[pick(files.size())];
            const std::size_t op = pick(100);
            step = "seed " + std::to_string(seed) + " step " + std::to_string(i) + " op " + std::to_string(op) + " on " +
                   f.filename().string();
            if (op < 14) agent_list(f);
            else if (op < 24) agent_read(f, false);
            else if (op < 30) agent_read(f, true);
            else if (op < 33) agent_read_file(f);
            else if (op < 45) agent_replace(f);
            else if (op < 55) agent_patch(f);
            else if (op < 60) agent_edit(f);
            else if (op < 67) agent_move(f);
            else if (op < 72) agent_level(f);
            else if (op < 75) agent_toc(f);
            else if (op < 90) outside_edit(f);
            else if (op < 94) reindex();
            else if (op < 95) restart();
            else if (op < 97) killed_write(f);
            else {
                // A new document now and then keeps the outlines varied.
                write_outside(f, random_doc(), pick(2));
                ++counts["outside new"];
            }
            for (const fs::path& g : files) {
                check_file(g);
                sync(g);
            }
            if (trace) {
                std::printf("%s\n%s", step.c_str(), model[f].render().c_str());
                for (const Section& s : model[f].sections) std::printf(" %d", s.uid);
                for (const fs::path& g : files) {
                    std::printf("\n  rows of %s:", g.filename().c_str());
                    for (const quillbox::Block& b : indexer->list_blocks(g)) {
                        auto it = ids.find(b.uuid);
                        std::printf(" %d:%s:%.4s", b.start_line, it == ids.end() ? "new" : std::to_string(it->second.uid).c_str(), b.uuid.c_str());
                    }
                }
                std::printf("\n\n");
            }
        }
    }
};

TEST_F(Stateful, AgentCallsOutsideEditsReindexesAndRestartsAgreeWithTheModel) {
    const char* ops_env = std::getenv("QB_STATEFUL_OPS");
    const char* seed_env = std::getenv("QB_STATEFUL_SEED");
    const long ops = ops_env ? std::atol(ops_env) : 600;
    const auto seed = static_cast<std::uint32_t>(seed_env ? std::strtoul(seed_env, nullptr, 10) : 22);
    run(seed, ops);
    std::string figures = "seed " + std::to_string(seed) + ", " + std::to_string(ops) + " operations:";
    for (const auto& [k, v] : counts) figures += " " + k + "=" + std::to_string(v);
    std::printf("%s\n", figures.c_str());
    std::string tally = "seed " + std::to_string(seed) + " moves:";
    for (const auto& [k, v] : moves) tally += " " + k + "=" + std::to_string(v) + ";";
    std::printf("%s\n", tally.c_str());
    std::string landed = "seed " + std::to_string(seed) + " kills:";
    for (const auto& [k, v] : kills) landed += " " + k + "=" + std::to_string(v) + ";";
    std::printf("%s\n", landed.c_str());
    // Not vacuous: writes and reads went through.
    EXPECT_GT(counts["replace"] + counts["patch"], ops / 50);
    EXPECT_GT(counts["read"], ops / 50);
    EXPECT_GT(counts["move"], ops / 200);
}

}  // namespace
}  // namespace qbtest
