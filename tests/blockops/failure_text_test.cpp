// The words for refused and rolled-back writes come from the catalogue, in the session's language.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "quillbox/blockops/failure_text.h"
#include "quillbox/decode_error.h"
#include "quillbox/detail/limits.h"
#include "quillbox/i18n.h"
#include "quillbox/safety.h"
#include "quillbox/semantic.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

// Whether the text holds a CJK ideograph (U+4E00..U+9FFF: lead bytes E4..E9 of a 3-byte form).
bool has_cjk(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0xE4 && c <= 0xE9) return true;
    return false;
}

struct Failure {
    std::string name;
    std::exception_ptr error;
    fs::path file;    // the text must name it
    fs::path backup;  // and this one, when set
};

template <class F>
std::exception_ptr raised(F&& f) {
    try {
        f();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

struct LanguageGuard {
    ~LanguageGuard() { set_language("en"); }
};

}  // namespace

// Each way a write is refused or undone, provoked on a real file where the engine allows it
// (the waits of 3 s and the read-back mismatches are built from their facts): an English
// session reads English naming the file (and the backup), a Chinese session reads Chinese.
TEST(FailureText, RefusedAndRolledBackWritesSpeakTheSessionsLanguage) {
    LanguageGuard guard;
    qbtest::TempDir dir;
    const fs::path backups = dir / "backups";
    const fs::path file = dir.write("notes.md", "a\nb\nc\n");
    SafetyEngine engine(backups);
    std::vector<Failure> failures;

    engine.set_before_rename_hook([&](const fs::path& p) { qbtest::write_file(p, "a\nb\nc\nuser\n"); });
    failures.push_back({"changed", raised([&] { engine.apply_replace(file, 1, 1, {"A"}); }), file, {}});
    engine.set_before_rename_hook(nullptr);

    qbtest::write_file(file, "a\nb\nc\n");
    engine.set_after_rename_hook([&](const fs::path& p) { qbtest::write_file(p, "theirs\n"); });
    const std::exception_ptr overwritten = raised([&] { engine.apply_replace(file, 1, 1, {"A"}); });
    engine.set_after_rename_hook(nullptr);
    fs::path backup;
    try {
        std::rethrow_exception(overwritten);
    } catch (const ModificationError& e) {
        ASSERT_EQ(e.kind(), WriteFailure::overwritten);
        backup = e.backup();
    }
    ASSERT_FALSE(backup.empty());
    failures.push_back({"overwritten", overwritten, file, backup});

    const fs::path locked_file = dir.write("ro.md", "x\n");
    fs::permissions(locked_file, fs::perms::owner_read | fs::perms::group_read);
    failures.push_back({"read-only", raised([&] { engine.apply_replace(locked_file, 1, 1, {"y"}); }), locked_file, {}});
    const fs::path missing = dir / "gone.md";
    failures.push_back({"missing", raised([&] { engine.apply_replace(missing, 1, 1, {"y"}); }), missing, {}});
    fs::create_directories(dir / "folder.md");
    failures.push_back(
        {"directory", raised([&] { engine.apply_replace(dir / "folder.md", 1, 1, {"y"}); }), dir / "folder.md", {}});

    for (WriteFailure kind : {WriteFailure::writer_busy, WriteFailure::locked}) {
        failures.push_back({"waited", std::make_exception_ptr(ModificationError(kind, file)), file, {}});
    }
    for (WriteFailure kind :
         {WriteFailure::content_mismatch, WriteFailure::prefix_modified, WriteFailure::suffix_modified}) {
        failures.push_back({"rolled back", std::make_exception_ptr(ModificationError(kind, file)), {}, {}});
    }
    failures.push_back({"restore failed",
                        std::make_exception_ptr(SafetyFileError("cannot restore", file,
                                                                std::make_error_code(std::errc::io_error), backup)),
                        file, backup});
    failures.push_back({"too large", std::make_exception_ptr(FileTooLargeError()), {}, {}});
    failures.push_back({"not UTF-8", std::make_exception_ptr(DecodeError(3, "bad byte")), {}, {}});
    failures.push_back({"model", std::make_exception_ptr(SemanticModelError("all-MiniLM-L6-v2", "offline")), {}, {}});

    for (const Failure& f : failures) {
        ASSERT_TRUE(f.error) << f.name << ": no error raised";
        std::string texts[2];
        for (int zh = 0; zh < 2; ++zh) {
            set_language(zh ? "zh" : "en");
            try {
                std::rethrow_exception(f.error);
            } catch (const std::exception& e) {
                const std::optional<std::string> text = failure_text(e);
                ASSERT_TRUE(text) << f.name << ": " << e.what();
                EXPECT_EQ(has_cjk(*text), zh == 1) << f.name << ": " << *text;
                EXPECT_EQ(text->find('{'), std::string::npos) << f.name << ": " << *text;
                if (!f.file.empty()) {
                    EXPECT_NE(text->find(f.file.string()), std::string::npos) << *text;
                }
                if (!f.backup.empty()) {
                    EXPECT_NE(text->find(f.backup.string()), std::string::npos) << *text;
                }
                texts[zh] = *text;
            }
        }
        EXPECT_NE(texts[0], texts[1]) << f.name;
    }

    // Other errors are left to the caller.
    EXPECT_FALSE(failure_text(std::runtime_error("boom")));
}
