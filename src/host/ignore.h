#pragma once
// Which files and folders of a project Quillbox leaves alone: the one rule that `reindex`, the
// server's background index, its file watcher and `doctor` share. In a git repository that is
// git's own answer (.gitignore at every level, .git/info/exclude, the user's excludes file; a
// tracked file is never ignored), asked through libgit2; without one, hidden folders and
// node_modules. Folders named .git or .quillbox are skipped everywhere.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quillbox::host {

// The top level of the git work tree that holds `dir`, when there is one.
std::optional<std::filesystem::path> git_top_level(const std::filesystem::path& dir);

// Whether `dir` (a folder under `root`, in a git work tree) still needs a line in
// root/.gitignore: false outside a work tree and when git already ignores it.
bool git_ignore_line_needed(const std::filesystem::path& root, const std::filesystem::path& dir);

class IgnoreRules {
public:
    // `root` is the canonical project root.
    explicit IgnoreRules(std::filesystem::path root);
    ~IgnoreRules();
    IgnoreRules(const IgnoreRules&) = delete;
    IgnoreRules& operator=(const IgnoreRules&) = delete;

    // Whether git's rules apply (the root lies in a work tree).
    bool in_repository() const { return repo_ != nullptr; }
    const std::filesystem::path& root() const { return root_; }

    // Whether `path` (absolute, under the root) is left alone; `is_dir` says what it is. The
    // root itself never is. Safe to call from several threads.
    bool is_ignored(const std::filesystem::path& path, bool is_dir) const;

    // The .md files under `dir` (the root when empty) that are not ignored, without following
    // links to folders; sorted.
    std::vector<std::filesystem::path> markdown_files(const std::filesystem::path& dir = {}) const;
    // The folders a watcher of the root watches: the root and every folder below it that is not
    // ignored (nor below an ignored one), links to folders not followed.
    std::size_t watched_folder_count() const;

private:
    template <class Visit>
    void walk(const std::filesystem::path& top, Visit&& visit) const;
    bool ignored_by_git(const std::filesystem::path& path, bool is_dir) const;

    std::filesystem::path root_;
    std::filesystem::path workdir_;  // of the repository, without trailing slash
    struct Repo;
    std::unique_ptr<Repo> repo_;
    mutable std::mutex mu_;  // libgit2's repository objects are not for concurrent use
};

}  // namespace quillbox::host
