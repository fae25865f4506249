// What a write answers: the lines it changed, cut to the result budget, and its footer.

#include <algorithm>
#include <string>
#include <vector>

#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/write_answer.h"
#include "quillbox/detail/lines.h"
#include "quillbox/i18n.h"

namespace quillbox {

namespace {

// Lines the two sides share at their start and at their end.
std::pair<std::size_t, std::size_t> shared_ends(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::size_t head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    std::size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return {head, tail};
}

}  // namespace

std::string change_lines(const std::vector<std::string>& old_lines, const std::vector<std::string>& new_lines,
                         long first_line) {
    // Plain names, not a structured binding: the lambda below captures them.
    const auto ends = shared_ends(old_lines, new_lines);
    const std::size_t head = ends.first, tail = ends.second;
    std::string out;
    auto side = [&](const std::vector<std::string>& lines, char sign, const char* more_key) {
        const std::size_t end = lines.size() - tail;
        for (std::size_t i = head; i < end; ++i) {
            if (i - head == DIFF_MAX_LINES) {
                if (!out.empty()) out += '\n';
                out += get_message(more_key, {{"count", static_cast<long long>(end - i)}});
                break;
            }
            if (!out.empty()) out += '\n';
            out += sign;
            out += std::to_string(first_line + static_cast<long>(i));
            out += ": ";
            out += shortened(lines[i], DIFF_MAX_CHARS);
        }
    };
    side(old_lines, '-', "diff_more_removed");
    side(new_lines, '+', "diff_more_added");
    return out;
}

std::pair<std::string, std::string> changed_texts(const std::vector<std::string>& old_lines,
                                                  const std::vector<std::string>& new_lines) {
    const auto [head, tail] = shared_ends(old_lines, new_lines);
    return {detail::join_lines(old_lines, head, old_lines.size() - tail),
            detail::join_lines(new_lines, head, new_lines.size() - tail)};
}

long long answer_tokens(const std::string& head, const std::string& changes, std::string_view model) {
    // The footer is one short line.
    constexpr long long FOOTER_TOKENS = 30;
    return _count_tokens(head, model) + _count_tokens(changes, model) + FOOTER_TOKENS;
}

std::string write_answer(const Session& session, const std::string& head, const std::string& changes,
                         const std::string& footer) {
    const std::string model = session.setting("pricing_model");
    const long long room = result_budget(*session.config) - budget_tokens(head + "\n\n" + footer, model);
    std::string out = head;
    if (!changes.empty()) {
        out += '\n';
        out += fit_to_budget(changes, room, model, [](std::size_t) { return get_message("diff_cut"); });
    }
    out += '\n';
    out += footer;
    return out;
}

}  // namespace quillbox
