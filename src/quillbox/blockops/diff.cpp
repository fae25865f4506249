// Unified diffs of a write, and the dry run of any writing operation.

#include <algorithm>
#include <string>
#include <vector>

#include "quillbox/blockops.h"

#include "quillbox/blockops/links.h"
#include "quillbox/i18n.h"
#include "quillbox/safety.h"

namespace quillbox {
namespace {

struct Line {
    std::string_view text;  // without its end
    bool ended = true;      // followed by a line end
};

std::vector<Line> lines_of(std::string_view s) {
    std::vector<Line> out;
    std::size_t b = 0;
    while (b < s.size()) {
        std::size_t e = s.find('\n', b);
        if (e == std::string_view::npos) {
            out.push_back({s.substr(b), false});
            break;
        }
        std::string_view l = s.substr(b, e - b);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        out.push_back({l, true});
        b = e + 1;
    }
    return out;
}

bool same(const Line& a, const Line& b) { return a.text == b.text && a.ended == b.ended; }

enum class Op { keep, del, add };
struct Edit {
    Op op;
    std::size_t a, b;  // indices into before / after
};

// The edit script: common ends trimmed, the middle by longest common subsequence while it is
// small, else replaced as a whole.
std::vector<Edit> edit_script(const std::vector<Line>& x, const std::vector<Line>& y) {
    std::size_t pre = 0;
    while (pre < x.size() && pre < y.size() && same(x[pre], y[pre])) ++pre;
    std::size_t suf = 0;
    while (suf < x.size() - pre && suf < y.size() - pre && same(x[x.size() - 1 - suf], y[y.size() - 1 - suf])) ++suf;
    std::vector<Edit> out;
    for (std::size_t i = 0; i < pre; ++i) out.push_back({Op::keep, i, i});
    const std::size_t n = x.size() - pre - suf, m = y.size() - pre - suf;
    if (n * m <= 4'000'000) {
        std::vector<std::vector<std::uint32_t>> L(n + 1, std::vector<std::uint32_t>(m + 1, 0));
        for (std::size_t i = n; i-- > 0;)
            for (std::size_t j = m; j-- > 0;)
                L[i][j] = same(x[pre + i], y[pre + j]) ? L[i + 1][j + 1] + 1 : std::max(L[i + 1][j], L[i][j + 1]);
        std::size_t i = 0, j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && same(x[pre + i], y[pre + j])) {
                out.push_back({Op::keep, pre + i, pre + j});
                ++i, ++j;
            } else if (i < n && (j == m || L[i + 1][j] >= L[i][j + 1])) {
                out.push_back({Op::del, pre + i, pre + j});
                ++i;
            } else {
                out.push_back({Op::add, pre + i, pre + j});
                ++j;
            }
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) out.push_back({Op::del, pre + i, pre});
        for (std::size_t j = 0; j < m; ++j) out.push_back({Op::add, pre + n, pre + j});
    }
    for (std::size_t k = 0; k < suf; ++k) out.push_back({Op::keep, pre + n + k, pre + m + k});
    return out;
}

void put_line(std::string& out, char mark, const Line& l) {
    out += mark;
    out.append(l.text);
    out += '\n';
    if (!l.ended) out += "\\ No newline at end of file\n";
}

}  // namespace

std::string unified_diff(std::string_view before, std::string_view after, std::string_view label) {
    const std::vector<Line> x = lines_of(before), y = lines_of(after);
    const std::vector<Edit> script = edit_script(x, y);
    std::string out = "--- a/" + std::string(label) + "\n+++ b/" + std::string(label) + "\n";
    constexpr std::size_t CONTEXT = 3;
    std::size_t k = 0;
    while (k < script.size()) {
        while (k < script.size() && script[k].op == Op::keep) ++k;
        if (k == script.size()) break;
        std::size_t start = k >= CONTEXT ? k - CONTEXT : 0;
        // Extend over changes closer than two contexts apart.
        std::size_t end = k;
        for (;;) {
            while (end < script.size() && script[end].op != Op::keep) ++end;
            std::size_t run = end;
            while (run < script.size() && script[run].op == Op::keep) ++run;
            if (run < script.size() && run - end <= 2 * CONTEXT) {
                end = run;
                continue;
            }
            end = std::min(end + CONTEXT, script.size());
            break;
        }
        std::size_t a0 = script[start].a, b0 = script[start].b, na = 0, nb = 0;
        for (std::size_t i = start; i < end; ++i) {
            if (script[i].op != Op::add) ++na;
            if (script[i].op != Op::del) ++nb;
        }
        out += "@@ -" + std::to_string(na ? a0 + 1 : a0) + "," + std::to_string(na) + " +" +
               std::to_string(nb ? b0 + 1 : b0) + "," + std::to_string(nb) + " @@\n";
        for (std::size_t i = start; i < end; ++i) {
            const Edit& e = script[i];
            if (e.op == Op::keep) put_line(out, ' ', x[e.a]);
            else if (e.op == Op::del) put_line(out, '-', x[e.a]);
            else put_line(out, '+', y[e.b]);
        }
        k = end;
    }
    return out;
}

std::string dry_run_answer(const Session& session, const std::vector<DryRunWrite>& writes) {
    const std::filesystem::path root = links::project_root(session);
    std::string out = get_message("dry_run_header", {{"files", static_cast<long long>(writes.size())}});
    for (const auto& w : writes) {
        out += '\n';
        out += unified_diff(w.before, w.after, links::display_path(w.path, root));
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return links::fit(session, out, [](std::size_t) { return get_message("dry_run_cut"); });
}

Reply dry_run(const Session& session, const std::function<Reply()>& op) {
    DryRunScope scope;
    try {
        return op();  // no write: a refusal, or nothing to change
    } catch (const DryRunWrite& w) {
        return dry_run_answer(session, {w});
    }
}

}  // namespace quillbox
