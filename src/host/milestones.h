#pragma once
// The daily milestone: after each successful modification the server records the edit and
// asks the activity record whether today's figures (from the index's statistics table) reach
// the milestone; when they do, the tool's answer ends with one short line saying so.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/tools.h"
#include "quillbox/tracker.h"

namespace quillbox {
class Indexer;
class SafetyEngine;
}  // namespace quillbox

namespace quillbox::host {

// Today's and all-time figures of the statistics table.
struct EditFigures {
    long long today_edits = 0;
    long long today_tokens = 0;
    long long all_edits = 0;
    long long all_tokens = 0;
};
EditFigures read_edit_figures(const std::filesystem::path& index_db);

// The line for a reached milestone, in the current language.
std::string milestone_line(const AhaTrigger& trigger);

// The data directory's installation secret, created once (random, mode 0600) when missing.
std::filesystem::path ensure_install_secret(const std::filesystem::path& data_dir);

// The activity record's own file in the data directory.
inline constexpr const char* ACTIVITY_DB_NAME = "activity.db";

class Milestones {
public:
    // Opens the activity record on its own file (carrying over the activity that earlier versions
    // kept in the index database); none when that fails (logged).
    static std::unique_ptr<Milestones> open(const std::filesystem::path& data_dir);
    Milestones(ActivityRecord tracker, std::filesystem::path index_db)
        : tracker_(std::move(tracker)), index_db_(std::move(index_db)) {}

    // After a successful modification: the milestone line when one is reached, else none.
    // Never throws; a database problem is logged and costs only the line.
    std::optional<std::string> after_edit();

private:
    ActivityRecord tracker_;
    std::filesystem::path index_db_;
};

// The tools with every handler that is not read-only wrapped: when the safety engine completed
// a write during the call, the milestone is asked for and its line appended to the answer.
ToolRegistry with_milestone_reports(const ToolRegistry& tools, Milestones& milestones, const SafetyEngine& safety);

}  // namespace quillbox::host
