#pragma once
// The error for text that is not valid UTF-8. Header-only: outline, safety and the host all
// raise or catch it without linking to each other.

#include <cstddef>
#include <stdexcept>
#include <string>

namespace quillbox {

// Invalid UTF-8 in a file or text. `offset` is the byte offset of the first bad byte.
class DecodeError : public std::runtime_error {
public:
    DecodeError(std::size_t offset, const std::string& what)
        : std::runtime_error(what), offset_(offset) {}
    std::size_t offset() const noexcept { return offset_; }

private:
    std::size_t offset_;
};

}  // namespace quillbox
