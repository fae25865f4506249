// The compact vector store: checksummed float32 records appended to one file per model.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <system_error>
#include <utility>

#include "quillbox/detail/fd.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/int8.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

// A record: magic, kind << 24 | width, the 32-byte key, the floats (puts only), and the CRC-32
// of everything between the magic and the CRC.
constexpr std::uint32_t MAGIC = 0x31564251;  // "QBV1"
constexpr std::uint32_t PUT = 1, REMOVE = 2;
constexpr std::size_t HEAD = 8 + 32;
constexpr std::size_t MAX_DIM = 1u << 16;
// The int8 scan and re-rank beat scoring every row in float from about 64 rows (bench_vectors:
// 1.6x at 100 rows, 5x at 250,000), as long as no more than about an eighth of the rows are
// asked for: past that the re-rank scores nearly as many rows as the float path.
constexpr std::size_t INT8_FROM_ROWS = 64;
constexpr std::size_t INT8_MOST_SHARE = 8;
// Keys of changes kept for take_changes(): past this, a follower looks at everything again.
constexpr std::size_t MAX_CHANGES = 1u << 16;

// The CRC-32 of zlib, computed by libdeflate with the CPU's carry-less multiply: reading a store
// of 250,000 sections checks 400 MB, which zlib's own takes more than twice as long over.
std::uint32_t crc32(const unsigned char* p, std::size_t n) { return libdeflate_crc32(0, p, n); }

void put_u32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
std::uint32_t get_u32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void add_record(std::string& out, std::uint32_t kind, std::size_t dim, const VectorKey& key, const float* v) {
    const std::size_t start = out.size();
    put_u32(out, MAGIC);
    put_u32(out, kind << 24 | static_cast<std::uint32_t>(kind == PUT ? dim : 0));
    out.append(reinterpret_cast<const char*>(key.data()), key.size());
    if (kind == PUT) out.append(reinterpret_cast<const char*>(v), dim * sizeof(float));
    const auto* body = reinterpret_cast<const unsigned char*>(out.data() + start + 4);
    put_u32(out, crc32(body, out.size() - start - 4));
}

// The length a record at `p` claims, or 0 when no record starts there.
std::size_t record_length(const unsigned char* p, std::size_t left) {
    if (left < HEAD + 4 || get_u32(p) != MAGIC) return 0;
    const std::uint32_t kd = get_u32(p + 4), kind = kd >> 24, width = kd & 0xFFFFFF;
    if ((kind != PUT && kind != REMOVE) || width > MAX_DIM || (kind == REMOVE && width != 0)) return 0;
    return HEAD + width * sizeof(float) + 4;
}

bool complete_record(const unsigned char* p, std::size_t left) {
    const std::size_t len = record_length(p, left);
    return len != 0 && len <= left && crc32(p + 4, len - 8) == get_u32(p + len - 4);
}

[[noreturn]] void fail(const std::string& what, const fs::path& p) {
    throw std::runtime_error("vector store " + p.string() + ": " + what + ": " + std::strerror(errno));
}

struct FileLock {
    FileLock(int fd, int how) : fd(fd) {
        while (::flock(fd, how) != 0)
            if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "flock");
    }
    ~FileLock() { ::flock(fd, LOCK_UN); }
    int fd;
};

ino_t inode_of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

}  // namespace

VectorKey vector_key(std::string_view source) {
    VectorKey key{};
    unsigned int len = 0;
    if (EVP_Digest(source.data(), source.size(), key.data(), &len, detail::sha256_md(), nullptr) != 1 || len != key.size())
        throw std::runtime_error("SHA-256 failed");
    return key;
}

VectorStore::VectorStore(fs::path file, std::size_t dim) : file_(std::move(file)), dim_(dim) {
    if (dim_ == 0 || dim_ > MAX_DIM) throw std::invalid_argument("vector width out of range");
    lock_file_ = file_;
    lock_file_ += ".lock";
    if (file_.has_parent_path()) fs::create_directories(file_.parent_path());
    lock_fd_ = ::open(lock_file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) fail("cannot open the lock file", lock_file_);
    FileLock lk(lock_fd_, LOCK_SH);
    open_file();
    // Room for every record the file may hold, so that reading it grows nothing.
    const std::size_t rows = static_cast<std::size_t>(file_bytes()) / (HEAD + dim_ * sizeof(float) + 4);
    keys_.reserve(rows);
    at_.reserve(rows);
    row_of_.reserve(rows);
    qbounds_.reserve(rows);
    qdata_.reserve(rows * int8::stride(dim_));
    read_from(0);
}

VectorStore::~VectorStore() {
    if (fd_ >= 0) ::close(fd_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

VectorStore::Changes VectorStore::take_changes() { return std::exchange(changes_, Changes{}); }

void VectorStore::open_file() {
    changes_ = {{}, true};
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(file_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("cannot open", file_);
    read_to_ = 0;
    records_ = 0;
    keys_.clear();
    at_.clear();
    row_of_.clear();
    qdata_.clear();
    qbounds_.clear();
    nonfinite_ = 0;
}

void VectorStore::apply(bool live, const VectorKey& key, const float* v, std::uint64_t at) {
    const std::size_t width = int8::stride(dim_);
    auto quantise = [&](std::size_t row) {
        nonfinite_ -= std::isinf(qbounds_[row].err);
        qbounds_[row] = int8::quantise(v, dim_, qdata_.data() + row * width);
        nonfinite_ += std::isinf(qbounds_[row].err);
    };
    auto it = row_of_.find(key);
    if (live) {
        if (it != row_of_.end()) {
            at_[it->second] = at;
            quantise(it->second);
            return;
        }
        row_of_.emplace(key, keys_.size());
        keys_.push_back(key);
        at_.push_back(at);
        qbounds_.emplace_back();
        qdata_.resize(qdata_.size() + width);
        quantise(keys_.size() - 1);
        return;
    }
    if (it == row_of_.end()) return;
    // The last row takes the removed one's place.
    const std::size_t row = it->second, last = keys_.size() - 1;
    row_of_.erase(it);
    nonfinite_ -= std::isinf(qbounds_[row].err);
    if (row != last) {
        std::copy(qdata_.begin() + static_cast<std::ptrdiff_t>(last * width), qdata_.end(),
                  qdata_.begin() + static_cast<std::ptrdiff_t>(row * width));
        qbounds_[row] = qbounds_[last];
        keys_[row] = keys_[last];
        at_[row] = at_[last];
        row_of_[keys_[row]] = row;
    }
    keys_.pop_back();
    at_.pop_back();
    qdata_.resize(last * width);
    qbounds_.pop_back();
}

void VectorStore::read_row(std::size_t row, float* out) const {
    // A record's floats lie at a multiple of 4 bytes only when nothing torn came before it:
    // read as bytes.
    auto* dst = reinterpret_cast<char*>(out);
    std::size_t got = 0, want = dim_ * sizeof(float);
    while (got < want) {
        const ssize_t n = ::pread(fd_, dst + got, want - got, static_cast<off_t>(at_[row] + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // cut short from outside since it was read
            fail("cannot read", file_);
        }
        got += static_cast<std::size_t>(n);
    }
}

std::vector<float> VectorStore::vector(const VectorKey& key) const {
    auto it = row_of_.find(key);
    if (it == row_of_.end()) return {};
    std::vector<float> v(dim_);
    read_row(it->second, v.data());
    return v;
}

std::vector<float> VectorStore::matrix() const {
    std::vector<float> m(keys_.size() * dim_);
    for (std::size_t r = 0; r < keys_.size(); ++r) read_row(r, m.data() + r * dim_);
    return m;
}

void VectorStore::read_from(std::uintmax_t offset) {
    // Read in large pieces straight into one buffer (not zeroed: a store of 250,000 sections is
    // 400 MB, and a refresh after a group of 32 reads 50 KB); a record cut by a piece's end moves
    // to the buffer's front.
    constexpr std::size_t LONGEST = HEAD + MAX_DIM * sizeof(float) + 4;
    const std::uintmax_t size = file_bytes();
    if (size <= offset) return;
    const std::size_t cap = static_cast<std::size_t>(std::min<std::uintmax_t>(size - offset, 16u << 20)) + LONGEST;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[cap]);
    std::uintmax_t buf_at = offset;  // file offset of buf[0]
    std::size_t have = 0, pos = 0;
    bool eof = false;
    std::vector<float> v(dim_);
    for (;;) {
        // Enough bytes for the longest record, unless the file ends first.
        if (!eof && have - pos < LONGEST) {
            std::memmove(buf.get(), buf.get() + pos, have - pos);
            buf_at += pos;
            have -= pos;
            pos = 0;
            while (!eof && have < cap) {
                const ssize_t n = ::pread(fd_, buf.get() + have, cap - have, static_cast<off_t>(buf_at + have));
                if (n < 0) {
                    if (errno == EINTR) continue;
                    fail("cannot read", file_);
                }
                if (n == 0) eof = true;
                have += static_cast<std::size_t>(n);
            }
        }
        const unsigned char* p = buf.get() + pos;
        const std::size_t left = have - pos;
        if (left < HEAD + 4) break;
        const std::size_t len = record_length(p, left);
        if (len == 0) {
            ++pos;  // after a torn record: the next record starts at its magic
            continue;
        }
        if (left < len) {
            if (!eof) continue;
            // Its end is still being written, unless a whole record follows: then it was torn.
            std::size_t j = 1;
            while (j + HEAD + 4 <= left && !complete_record(p + j, left - j)) ++j;
            if (j + HEAD + 4 > left) break;  // looked at again next time
            pos += j;
            continue;
        }
        if (!complete_record(p, left)) {
            ++pos;
            continue;
        }
        const std::uint32_t kind = get_u32(p + 4) >> 24, width = get_u32(p + 4) & 0xFFFFFF;
        VectorKey key;
        std::memcpy(key.data(), p + 8, key.size());
        if (!changes_.whole) {
            if (changes_.keys.size() < MAX_CHANGES) {
                changes_.keys.push_back(key);
            } else {
                changes_.keys = {};
                changes_.whole = true;
            }
        }
        if (kind == REMOVE) {
            apply(false, key, nullptr, 0);
        } else if (width == dim_) {
            std::memcpy(v.data(), p + HEAD, dim_ * sizeof(float));
            apply(true, key, v.data(), buf_at + pos + HEAD);
        }
        ++records_;
        pos += len;
    }
    read_to_ = buf_at + pos;
}

void VectorStore::refresh() {
    FileLock lk(lock_fd_, LOCK_SH);
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0 || st.st_ino != inode_of(fd_)) open_file();  // compacted meanwhile
    read_from(read_to_);
}

void VectorStore::append(const std::string& records) {
    if (records.empty()) return;
    if (int err = detail::write_fully(fd_, records)) {
        errno = err;
        fail("cannot write", file_);
    }
    read_from(read_to_);
}

void VectorStore::put(const std::vector<VectorKey>& keys, const std::vector<std::vector<float>>& vectors) {
    std::string out;
    for (std::size_t i = 0; i < keys.size() && i < vectors.size(); ++i)
        if (vectors[i].size() == dim_) add_record(out, PUT, dim_, keys[i], vectors[i].data());
    if (out.empty()) return;
    FileLock lk(lock_fd_, LOCK_SH);
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0 || st.st_ino != inode_of(fd_)) open_file();
    read_from(read_to_);
    append(out);
}

void VectorStore::remove(const std::vector<VectorKey>& keys) {
    FileLock lk(lock_fd_, LOCK_SH);
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0 || st.st_ino != inode_of(fd_)) open_file();
    read_from(read_to_);
    std::string out;
    for (const auto& k : keys)
        if (row_of_.count(k)) add_record(out, REMOVE, dim_, k, nullptr);
    append(out);
}

void VectorStore::compact(double dead_share) {
    FileLock lk(lock_fd_, LOCK_EX);
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0 || st.st_ino != inode_of(fd_)) open_file();
    read_from(read_to_);
    const double dead = records_ == 0 ? 0 : 1.0 - static_cast<double>(keys_.size()) / static_cast<double>(records_);
    const bool torn = static_cast<std::uintmax_t>(::lseek(fd_, 0, SEEK_END)) != read_to_;
    if (dead_share > 0 && dead <= dead_share && !torn) return;
    fs::path tmp = file_;
    tmp += ".tmp";
    const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) fail("cannot create", tmp);
    std::string buf;
    std::vector<float> v(dim_);
    int err = 0;
    for (std::size_t r = 0; r < keys_.size() && !err; ++r) {
        read_row(r, v.data());
        add_record(buf, PUT, dim_, keys_[r], v.data());
        if (buf.size() >= (4u << 20) || r + 1 == keys_.size()) {
            err = detail::write_fully(out, buf);
            buf.clear();
        }
    }
    if (!err && ::fsync(out) != 0) err = errno;
    ::close(out);
    if (err || ::rename(tmp.c_str(), file_.c_str()) != 0) {
        if (err) errno = err;
        const int keep = errno;
        ::unlink(tmp.c_str());
        errno = keep;
        fail("cannot compact", file_);
    }
    open_file();
    read_from(0);
}

std::uintmax_t VectorStore::file_bytes() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

std::vector<std::pair<std::size_t, float>> top_scores(const std::vector<float>& scores, std::size_t k) {
    const std::size_t n = scores.size();
    k = std::min(k, n);
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    auto better = [&](std::uint32_t a, std::uint32_t b) {
        return scores[a] > scores[b] || (!(scores[b] > scores[a]) && a < b);
    };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), better);
    std::vector<std::pair<std::size_t, float>> out;
    out.reserve(k);
    for (std::size_t i = 0; i < k; ++i) out.emplace_back(order[i], scores[order[i]]);
    return out;
}

std::vector<std::pair<std::size_t, float>> VectorStore::top(const float* query, std::size_t k, Scoring how) const {
    const std::size_t n = keys_.size();
    if (n == 0 || k == 0) return {};
    const bool int8 = how != Scoring::float32 && nonfinite_ == 0 &&
                      (how == Scoring::int8 || (n >= INT8_FROM_ROWS && k <= n / INT8_MOST_SHARE));
    if (int8) {
        auto row = [this](std::size_t r, float* out) { read_row(r, out); };
        if (auto best = int8::top(row, qdata_.data(), qbounds_.data(), n, dim_, query, k)) return std::move(*best);
    }
    // Row by row: the whole matrix would be 400 MB at 250,000 rows.
    const std::vector<double> qd(query, query + dim_);
    std::vector<float> row(dim_), scores(n);
    for (std::size_t r = 0; r < n; ++r) {
        read_row(r, row.data());
        scores[r] = int8::score(row.data(), qd.data(), dim_);
    }
    return top_scores(scores, k);
}

}  // namespace quillbox
