#include "host/milestones.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <random>

#include "host/commands.h"
#include "host/log.h"
#include "quillbox/i18n.h"
#include "quillbox/indexer.h"
#include "quillbox/safety.h"

namespace fs = std::filesystem;

namespace quillbox::host {

EditFigures read_edit_figures(const fs::path& index_db) {
    const UsageSummary u = Indexer::usage_summary(index_db);
    return {u.operations_today, u.tokens_saved_today, u.operations, u.tokens_saved};
}

std::string milestone_line(const AhaTrigger& t) {
    const std::string tokens = group_thousands(t.tokens_saved);
    if (t.method == "edit_count") return get_message("milestone_edits", {{"count", t.edit_count}, {"tokens", tokens}});
    return get_message("milestone_tokens", {{"tokens", tokens}});
}

fs::path ensure_install_secret(const fs::path& data_dir) {
    const fs::path file = data_dir / ActivityRecord::INSTALL_SECRET_FILE_NAME;
    std::error_code ec;
    if (fs::exists(file, ec)) return file;
    std::random_device rd;
    std::string secret;
    for (int i = 0; i < 32; ++i) secret += fmt::format("{:02x}", rd() & 0xff);
    // O_EXCL: when two servers start at once, the first secret stays.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        secret += '\n';
        [[maybe_unused]] auto n = ::write(fd, secret.data(), secret.size());
        ::close(fd);
    }
    return file;
}

std::unique_ptr<Milestones> Milestones::open(const fs::path& data_dir) {
    try {
        const fs::path file = data_dir / ACTIVITY_DB_NAME;
        std::error_code ec;
        const bool fresh = !fs::exists(fs::symlink_status(file, ec));
        ActivityRecord tracker(file, ensure_install_secret(data_dir));
        if (fresh) {
            // Earlier versions kept this table in the index database.
            try {
                tracker.import_from(data_dir / "index.db");
            } catch (const std::exception& e) {
                log_line(Level::warning, "earlier edit activity not carried over: {}", e.what());
            }
        }
        return std::make_unique<Milestones>(std::move(tracker), data_dir / "index.db");
    } catch (const std::exception& e) {
        log_line(Level::warning, "edit statistics are off: {}", e.what());
        return nullptr;
    }
}

std::optional<std::string> Milestones::after_edit() {
    try {
        const EditFigures f = read_edit_figures(index_db_);
        tracker_.record_edit();
        if (auto t = tracker_.check_aha_trigger(f.today_edits, f.today_tokens)) {
            log_line(Level::info, "daily milestone reached ({}: {} edits, {} tokens)", t->method, t->edit_count,
                     t->tokens_saved);
            return milestone_line(*t);
        }
    } catch (const std::exception& e) {
        log_line(Level::warning, "edit statistics failed: {}", e.what());
    }
    return std::nullopt;
}

ToolRegistry with_milestone_reports(const ToolRegistry& tools, Milestones& milestones, const SafetyEngine& safety) {
    ToolRegistry out;
    for (ToolSpec spec : tools.all()) {
        if (!spec.annotations.read_only) {
            spec.handler = [inner = spec.handler, &milestones, &safety](ToolContext& ctx, const json& args) {
                const auto writes = safety.writes_completed();
                Reply reply = inner(ctx, args);  // a Reply, so that a refusal stays marked
                if (safety.writes_completed() != writes)
                    if (auto line = milestones.after_edit()) reply += "\n" + *line;
                return reply;
            };
        }
        out.add(std::move(spec));
    }
    return out;
}

}  // namespace quillbox::host
