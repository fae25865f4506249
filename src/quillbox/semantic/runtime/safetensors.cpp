#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <nlohmann/json.hpp>

#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

namespace quillbox::embed {

namespace {

float half_to_float(std::uint16_t h) {
    std::uint32_t sign = (h & 0x8000u) << 16;
    std::uint32_t exp = (h >> 10) & 0x1F;
    std::uint32_t mant = h & 0x3FF;
    std::uint32_t bits;
    if (exp == 0) {
        if (mant == 0) {
            bits = sign;
        } else {  // subnormal: renormalise
            exp = 127 - 15 + 1;
            while ((mant & 0x400) == 0) {
                mant <<= 1;
                --exp;
            }
            mant &= 0x3FF;
            bits = sign | (exp << 23) | (mant << 13);
        }
    } else if (exp == 31) {
        bits = sign | 0x7F800000u | (mant << 13);
    } else {
        bits = sign | ((exp + 127 - 15) << 23) | (mant << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::string shape_text(const std::vector<std::int64_t>& s) {
    std::string out = "[";
    for (std::size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
    return out + "]";
}

using Owned = std::vector<std::unique_ptr<std::vector<float>>>;

// Maps the whole file read-only; throws with a reason for anything that is not a readable
// regular file of at least the 8-byte header length.
void* map_file(const std::filesystem::path& file, std::size_t& length) {
    const std::string where = file.string();
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ModelError("cannot open " + where + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ModelError(where + " is not a regular file");
    }
    length = static_cast<std::size_t>(st.st_size);
    if (length < 8) {
        ::close(fd);
        throw ModelError(where + " is truncated (" + std::to_string(length) + " bytes)");
    }
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) throw ModelError("cannot map " + where + ": " + std::strerror(errno));
    return map;
}

// The floats of one tensor as F32: in place when the file holds aligned F32, else converted
// into a buffer kept in `owned`.
const float* tensor_floats(const std::string& dtype, const unsigned char* src, std::size_t count, Owned& owned) {
    if (dtype == "F32" && reinterpret_cast<std::uintptr_t>(src) % alignof(float) == 0)
        return reinterpret_cast<const float*>(src);
    auto buf = std::make_unique<std::vector<float>>(count);
    if (dtype == "F32") {
        std::memcpy(buf->data(), src, count * 4);
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint16_t h = static_cast<std::uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
            if (dtype == "F16") {
                (*buf)[i] = half_to_float(h);
            } else {
                std::uint32_t bits = static_cast<std::uint32_t>(h) << 16;
                std::memcpy(&(*buf)[i], &bits, 4);
            }
        }
    }
    const float* out = buf->data();
    owned.push_back(std::move(buf));
    return out;
}

// One entry of the header, checked against the data area; nothing for tensors of types
// that are not needed (integer buffers such as position_ids).
std::optional<Tensor> read_tensor(const std::string& where, const std::string& name, const nlohmann::json& info,
                                  const unsigned char* data, std::size_t data_len, Owned& owned) {
    auto bad = [&](const std::string& why) { return ModelError(where + ": tensor " + name + " " + why); };
    if (!info.is_object() || !info.contains("dtype") || !info.contains("shape") || !info.contains("data_offsets"))
        throw bad("has an incomplete description");
    const auto& dt = info["dtype"];
    const auto& shape = info["shape"];
    const auto& offs = info["data_offsets"];
    if (!dt.is_string() || !shape.is_array() || !offs.is_array() || offs.size() != 2 ||
        !offs[0].is_number_unsigned() || !offs[1].is_number_unsigned())
        throw bad("has an incomplete description");
    Tensor t;
    std::size_t count = 1;
    for (const auto& d : shape) {
        if (!d.is_number_unsigned()) throw bad("has a bad shape");
        auto v = d.get<std::uint64_t>();
        if (v != 0 && count > std::numeric_limits<std::size_t>::max() / 8 / v) throw bad("is too large");
        count *= static_cast<std::size_t>(v);
        t.shape.push_back(static_cast<std::int64_t>(v));
    }
    const auto b = offs[0].get<std::uint64_t>(), e = offs[1].get<std::uint64_t>();
    if (b > e || e > data_len) throw bad("lies outside the file (truncated download?)");
    const std::string dtype = dt.get<std::string>();
    const std::size_t elem = dtype == "F32" ? 4 : (dtype == "F16" || dtype == "BF16") ? 2 : 0;
    if (elem == 0) return std::nullopt;
    if (e - b != count * elem) throw bad("has " + std::to_string(e - b) + " bytes for shape " + shape_text(t.shape));
    t.count = count;
    t.data = tensor_floats(dtype, data + b, count, owned);
    return t;
}

}  // namespace

SafeTensors::SafeTensors(const std::filesystem::path& file) : file_(file) {
    const std::string where = file.string();
    map_ = map_file(file, length_);
    try {
        const auto* bytes = static_cast<const unsigned char*>(map_);
        std::uint64_t header_len = 0;
        for (int i = 7; i >= 0; --i) header_len = (header_len << 8) | bytes[i];
        if (header_len > length_ - 8)
            throw ModelError(where + " is truncated or not a safetensors file (header of " +
                             std::to_string(header_len) + " bytes in a file of " + std::to_string(length_) + ")");
        const char* hbeg = reinterpret_cast<const char*>(bytes + 8);
        nlohmann::json header = nlohmann::json::parse(hbeg, hbeg + header_len, nullptr, false);
        if (header.is_discarded() || !header.is_object())
            throw ModelError(where + " has an unreadable safetensors header");
        const unsigned char* data = bytes + 8 + header_len;
        const std::size_t data_len = length_ - 8 - header_len;
        for (auto& item : header.items()) {
            // Named copies rather than a structured binding: clang 14 cannot capture one.
            const std::string& name = item.key();
            if (name == "__metadata__") continue;
            if (auto t = read_tensor(where, name, item.value(), data, data_len, owned_))
                tensors_.emplace(name, std::move(*t));
        }
    } catch (...) {
        ::munmap(map_, length_);
        map_ = nullptr;
        throw;
    }
}

SafeTensors::~SafeTensors() {
    if (map_) ::munmap(map_, length_);
}

const Tensor& SafeTensors::get(const std::string& name, const std::vector<std::int64_t>& shape) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) throw ModelError(file_.string() + " has no tensor " + name);
    if (!shape.empty() && it->second.shape != shape)
        throw ModelError(file_.string() + ": tensor " + name + " has shape " +
                         shape_text(it->second.shape) + ", expected " + shape_text(shape));
    return it->second;
}

std::vector<std::string> SafeTensors::names() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : tensors_) out.push_back(k);
    return out;
}

}  // namespace quillbox::embed
