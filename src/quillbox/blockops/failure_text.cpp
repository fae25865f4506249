#include "quillbox/blockops/failure_text.h"

#include <filesystem>
#include <system_error>

#include "quillbox/decode_error.h"
#include "quillbox/detail/limits.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/i18n.h"
#include "quillbox/safety.h"
#include "quillbox/semantic.h"

namespace quillbox {

namespace {

const char* write_failure_key(WriteFailure kind) {
    switch (kind) {
        case WriteFailure::writer_busy: return "write_busy";
        case WriteFailure::locked: return "write_locked";
        case WriteFailure::changed: return "write_changed";
        case WriteFailure::content_mismatch: return "write_mismatch";
        case WriteFailure::prefix_modified: return "write_prefix_modified";
        case WriteFailure::suffix_modified: return "write_suffix_modified";
        case WriteFailure::overwritten: return "write_overwritten";
    }
    return "write_mismatch";
}

std::string fs_error_text(const std::filesystem::filesystem_error& e) {
    const std::string path = e.path1().string();
    if (e.code() == std::error_code(ESTALE, std::generic_category()))
        return get_message("root_replaced", {{"path", detail::confinement_root()}});
    if (e.code() == std::errc::no_such_file_or_directory && !path.empty())
        return get_message("file_not_found", {{"path", path}});
    if (e.code() == std::errc::is_a_directory) return get_message("fs_is_directory", {{"path", path}});
    if (e.code() == std::errc::permission_denied) return get_message("fs_permission_denied", {{"path", path}});
    if (path.empty()) return get_message("error_generic", {{"error", e.code().message()}});
    return get_message("fs_error", {{"error", e.code().message()}, {"path", path}});
}

}  // namespace

std::optional<std::string> failure_text(const std::exception& e) {
    if (const auto* m = dynamic_cast<const ModificationError*>(&e))
        return get_message(write_failure_key(m->kind()), {{"path", m->file()}, {"backup", m->backup()}});
    if (dynamic_cast<const FileTooLargeError*>(&e)) return get_message("file_too_large");
    if (dynamic_cast<const DecodeError*>(&e)) return get_message("encoding_error");
    if (const auto* n = dynamic_cast<const detail::NotRegularFileError*>(&e))
        return get_message("not_regular_file", {{"path", n->path1()}, {"kind", n->kind()}});
    if (const auto* s = dynamic_cast<const SafetyFileError*>(&e)) {
        if (!s->backup().empty())
            return get_message("write_restore_failed",
                               {{"path", s->path1()}, {"error", s->code().message()}, {"backup", s->backup()}});
        if (s->code() == std::errc::permission_denied) {
            std::error_code ec;
            if (std::filesystem::is_directory(s->path1(), ec))
                return get_message("folder_read_only", {{"path", s->path1()}});
            return get_message("file_read_only", {{"path", s->path1()}});
        }
        return fs_error_text(*s);
    }
    if (const auto* f = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) return fs_error_text(*f);
    if (const auto* sm = dynamic_cast<const SemanticModelError*>(&e))
        return get_message("semantic_model_failed", {{"model", sm->model()}, {"error", sm->cause()}});
    return std::nullopt;
}

}  // namespace quillbox
