#pragma once
// Session read tracker (when the cached marker may stand in for a file) and the per-user
// edit statistics with the once-a-day milestone.

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

class SessionReadTracker {
public:
    explicit SessionReadTracker(int max_turns = 15, double repeat_window = 60.0,
                                int repeat_threshold = 3);

    void record_read(const std::string& file_path);
    void record_recent_call(const std::string& file_path);
    bool should_return_cache(const std::string& file_path) const;
    void advance_turn();
    void reset_file(const std::string& file_path);
    void reset_all();

    int turn_counter() const { return _turn_counter; }

private:
    std::map<std::string, int, std::less<>> _read_files;
    std::map<std::string, std::vector<double>, std::less<>> _recent_calls;
    int _turn_counter = 0;
    int _max_turns;
    double _repeat_window;
    int _repeat_threshold;
};

}  // namespace quillbox

// EditTracker is declared below by the tracker module's implementation work.
