#pragma once
// The bilingual (English / Chinese) message catalogue and the process-wide language.

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
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

std::string get_message(std::string_view key, const MessageArgs& args = {});
void set_language(std::string_view lang);
std::string get_language();

}  // namespace quillbox
