#pragma once
// The size limits every Markdown file of the system keeps, for reading and for writing alike.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace quillbox {

inline constexpr std::uintmax_t MAX_FILE_SIZE = 5242880;
inline constexpr std::size_t MAX_FILE_LINES = 100000;

// A file over MAX_FILE_SIZE bytes or MAX_FILE_LINES lines; what() is exactly "FILE_TOO_LARGE".
class FileTooLargeError : public std::invalid_argument {
public:
    FileTooLargeError() : std::invalid_argument("FILE_TOO_LARGE") {}
};

}  // namespace quillbox
