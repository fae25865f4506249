#pragma once
// The bilingual (English / Chinese) message catalogue and the process-wide language.

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quillbox {

// A named message argument: an integer, a real, a boolean or a text (paths become text).
class MessageArg {
public:
    using Value = std::variant<long long, double, bool, std::string>;
    MessageArg(int v) : v_(static_cast<long long>(v)) {}
    MessageArg(long v) : v_(static_cast<long long>(v)) {}
    MessageArg(long long v) : v_(v) {}
    MessageArg(unsigned v) : v_(static_cast<long long>(v)) {}
    MessageArg(unsigned long v) : v_(static_cast<long long>(v)) {}
    MessageArg(unsigned long long v) : v_(static_cast<long long>(v)) {}
    MessageArg(double v) : v_(v) {}
    MessageArg(bool v) : v_(v) {}
    MessageArg(const char* v) : v_(std::string(v)) {}
    MessageArg(std::string v) : v_(std::move(v)) {}
    MessageArg(std::string_view v) : v_(std::string(v)) {}
    MessageArg(const std::filesystem::path& p) : v_(p.string()) {}
    const Value& value() const { return v_; }

private:
    Value v_;
};

using MessageArgs = std::map<std::string, MessageArg, std::less<>>;

// Raised when a placeholder has no argument (while some argument was given).
class MessageKeyError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};
// Raised when a format spec does not fit the value.
class MessageValueError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Language code -> message key -> template. Exactly "en" and "zh", with the same keys.
using MessageTable = std::map<std::string, std::string, std::less<>>;
using MessageCatalogue = std::map<std::string, MessageTable, std::less<>>;
extern const MessageCatalogue& MESSAGES;

// Template of `key` in the current language (falling back to English, then to the key
// itself), with its {name} / {name:spec} placeholders filled from `args`. Without any
// argument the template comes back unchanged, braces included.
std::string get_message(std::string_view key, const MessageArgs& args = {});
// Any code is stored as given; unsupported ones format in English.
void set_language(std::string_view lang);
std::string get_language();

}  // namespace quillbox
