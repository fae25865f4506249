#pragma once
// The file key: the one name of a file under which the index, the watcher's marks and the
// host's resolvers all know it.

#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

namespace quillbox::detail {

// Absolute and normalised, symbolic links resolved over the part of the path that exists
// (the rest kept as written), no trailing separator. Never throws: where the file system
// cannot answer, the absolute path normalised as text is the key.
inline std::filesystem::path file_key(const std::filesystem::path& p) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    if (ec) abs = p;
    fs::path key = fs::weakly_canonical(abs, ec);
    if (ec) key = abs.lexically_normal();
    // "/a/b/" and "/a/b" name the same entry.
    std::string s = key.string();
    if (s.size() > 1 && s.back() == '/') {
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        return fs::path(std::move(s));
    }
    return key;
}

// True when `p` is `root` or lies below it, compared element by element after lexical
// normalisation (no file system access).
inline bool path_within(const std::filesystem::path& p, const std::filesystem::path& root) {
    const std::filesystem::path pn = p.lexically_normal();
    const std::filesystem::path rn = root.lexically_normal();
    auto pi = pn.begin();
    for (auto ri = rn.begin(); ri != rn.end(); ++ri, ++pi) {
        if (ri->empty() && std::next(ri) == rn.end()) return true;  // root ends in a separator
        if (pi == pn.end() || *pi != *ri) return false;
    }
    return true;
}

}  // namespace quillbox::detail
