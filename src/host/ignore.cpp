#include "host/ignore.h"

#include <git2.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "host/log.h"

namespace fs = std::filesystem;

namespace quillbox::host {

namespace {

// libgit2 is set up once per process and never shut down: its users may live until exit.
void init_libgit2() {
    static const bool done = [] {
        git_libgit2_init();
        // Only ignore rules are read: a repository another user owns (a shared checkout,
        // a container's bind mount) answers as well as one's own.
        git_libgit2_opts(GIT_OPT_SET_OWNER_VALIDATION, 0);
        return true;
    }();
    (void)done;
}

bool always_skipped(const std::string& name) { return name == ".git" || name == ".quillbox"; }

// Without a repository: hidden folders and node_modules, as before git's rules were asked.
bool skipped_without_git(const std::string& name) {
    return always_skipped(name) || (!name.empty() && name[0] == '.') || name == "node_modules";
}

std::string git_error_text() {
    const git_error* e = git_error_last();
    return e && e->message ? e->message : "unknown error";
}

git_repository* open_repository(const fs::path& dir) {
    init_libgit2();
    git_repository* repo = nullptr;
    if (git_repository_open_ext(&repo, dir.c_str(), 0, nullptr) != 0) return nullptr;
    if (git_repository_is_bare(repo) || !git_repository_workdir(repo)) {
        git_repository_free(repo);
        return nullptr;
    }
    return repo;
}

fs::path workdir_of(git_repository* repo) {
    std::string w = git_repository_workdir(repo);
    while (w.size() > 1 && w.back() == '/') w.pop_back();
    std::error_code ec;
    fs::path canonical = fs::canonical(w, ec);
    return ec ? fs::path(w) : canonical;
}

}  // namespace

std::optional<fs::path> git_top_level(const fs::path& dir) {
    git_repository* repo = open_repository(dir);
    if (!repo) return std::nullopt;
    fs::path top = workdir_of(repo);
    git_repository_free(repo);
    return top;
}

bool git_ignore_line_needed(const fs::path& root, const fs::path& dir) {
    git_repository* repo = open_repository(root);
    if (!repo) return false;
    const std::string rel = dir.lexically_relative(workdir_of(repo)).generic_string();
    int ignored = 0;
    const int rc = git_ignore_path_is_ignored(&ignored, repo, (rel + "/").c_str());
    git_repository_free(repo);
    return rc == 0 && !ignored && !rel.starts_with("..");
}

struct IgnoreRules::Repo {
    git_repository* repo = nullptr;
    git_index* index = nullptr;  // what is tracked: git never ignores a tracked file
    ~Repo() {
        if (index) git_index_free(index);
        if (repo) git_repository_free(repo);
    }
};

IgnoreRules::IgnoreRules(fs::path root) : root_(std::move(root)) {
    git_repository* repo = open_repository(root_);
    if (!repo) return;
    repo_ = std::make_unique<Repo>();
    repo_->repo = repo;
    workdir_ = workdir_of(repo);
    if (git_repository_index(&repo_->index, repo) != 0) {
        log_line(Level::debug, "the git index of {} cannot be read ({}); tracked files count as untracked",
                 workdir_.string(), git_error_text());
        repo_->index = nullptr;
    }
}

IgnoreRules::~IgnoreRules() = default;

bool IgnoreRules::ignored_by_git(const fs::path& path, bool is_dir) const {
    const fs::path rel = path.lexically_relative(workdir_);
    if (rel.empty() || rel == ".") return false;
    std::string text = rel.generic_string();
    if (text.starts_with("..")) return false;  // outside the work tree: no rule of it applies
    std::lock_guard<std::mutex> lk(mu_);
    int ignored = 0;
    if (git_ignore_path_is_ignored(&ignored, repo_->repo, (is_dir ? text + "/" : text).c_str()) != 0) {
        log_line(Level::debug, "git cannot say whether {} is ignored ({})", path.string(), git_error_text());
        return false;
    }
    if (!ignored || !repo_->index) return ignored != 0;
    // Tracked despite the rules (added with --force): git does not ignore it.
    if (!is_dir) return git_index_get_bypath(repo_->index, text.c_str(), 0) == nullptr;
    std::size_t pos = 0;
    return git_index_find_prefix(&pos, repo_->index, (text + "/").c_str()) != 0;
}

bool IgnoreRules::is_ignored(const fs::path& path, bool is_dir) const {
    const fs::path rel = path.lexically_relative(root_);
    if (rel.empty() || rel == "." || rel.native().starts_with("..")) return false;
    // Every folder on the way, not only the last name: a caller may ask about one deep path.
    for (auto it = rel.begin(); it != rel.end(); ++it) {
        const bool folder = std::next(it) != rel.end() || is_dir;
        const std::string part = it->string();
        if (folder && (repo_ ? always_skipped(part) : skipped_without_git(part))) return true;
    }
    return repo_ && ignored_by_git(path, is_dir);
}

template <class Visit>
void IgnoreRules::walk(const fs::path& top, Visit&& visit) const {
    std::error_code ec;
    fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code e2;
        const bool link = entry.is_symlink(e2);
        const bool dir = entry.is_directory(e2);
        if (dir && !link) {
            // The folder's own name first: most skips need no git lookup.
            const std::string name = entry.path().filename().string();
            const bool skip = repo_ ? (always_skipped(name) || ignored_by_git(entry.path(), true))
                                    : skipped_without_git(name);
            if (skip) {
                it.disable_recursion_pending();
                continue;
            }
        }
        visit(entry, dir, link);
    }
}

std::vector<fs::path> IgnoreRules::markdown_files(const fs::path& dir) const {
    const fs::path top = dir.empty() ? root_ : dir;
    std::vector<fs::path> out;
    walk(top, [&](const fs::directory_entry& entry, bool is_dir, bool) {
        if (is_dir) return;
        const fs::path& p = entry.path();
        std::error_code ec;
        if (!p.native().ends_with(".md") || !entry.is_regular_file(ec)) return;
        if (repo_ && ignored_by_git(p, false)) return;
        out.push_back(p);
    });
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t IgnoreRules::watched_folder_count() const {
    std::size_t n = 1;
    walk(root_, [&](const fs::directory_entry&, bool is_dir, bool link) {
        if (is_dir && !link) ++n;
    });
    return n;
}

}  // namespace quillbox::host
