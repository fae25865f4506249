// The opening checks of an operation on the path and block it was given.

#include <sys/stat.h>

#include <system_error>

#include "quillbox/blockops/path_checks.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;

namespace quillbox {

std::optional<std::string> check_md_path(const PathResolver& paths, const fs::path& fp) {
    const std::string text = fp.string();
    if (!text.ends_with(".md")) return get_message("md_only_error");
    // One look at the file: whether it exists and what it is.
    struct stat st {};
    if (::stat(fp.c_str(), &st) != 0) return get_message("file_not_found", {{"path", fp}});
    if (const char* kind = detail::non_regular_kind(st.st_mode))
        return get_message("not_regular_file", {{"path", fp}, {"kind", kind}});
    // A stored path may have become a link since it was indexed: it must still resolve inside
    // the project (the resolver raises PathOutsideRootError otherwise).
    (void)paths.resolve(fp.string());
    return std::nullopt;
}

std::optional<std::string> check_id_file(const PathResolver& paths, std::string_view file_path, const Block& block) {
    if (file_path.empty()) return std::nullopt;
    fs::path asked;
    try {
        asked = paths.resolve(file_path);
    } catch (const std::exception&) {
        asked = fs::path(file_path);
    }
    if (asked == block.file_path) return std::nullopt;
    std::error_code ec;
    if (fs::equivalent(asked, block.file_path, ec) && !ec) return std::nullopt;
    return get_message("block_in_other_file",
                       {{"block_id", block.uuid}, {"block_file", block.file_path}, {"file_path", asked}});
}

}  // namespace quillbox
