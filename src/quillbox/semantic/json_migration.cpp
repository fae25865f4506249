// The JSON vector store of earlier releases, taken into the compact store once. Both files are
// read as a stream of parser events: a store of 250,000 sections is about 2 GB of text, and a
// parsed document of it several times that. What is held at once is the map of section ids to
// content hashes (from metadata.json) and one group of vectors.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>
#include <optional>
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillbox/detail/regular_file.h"
#include "quillbox/semantic.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

using json = nlohmann::json;

// Vectors per put: a group of 384-wide vectors is 6 MB.
constexpr std::size_t GROUP = 4096;

// The bytes of a regular file in chunks, as an input iterator for the parser. A read error ends
// the input early, which the parser then finds incomplete.
class ChunkedFile {
public:
    explicit ChunkedFile(const fs::path& p) : fd_(detail::open_regular_for_reading(p)), buf_(1u << 20) {}

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = const char&;

        Iterator() = default;
        explicit Iterator(ChunkedFile* f) : f_(f->at_end() ? nullptr : f) {}
        const char& operator*() const { return f_->buf_[f_->pos_]; }
        Iterator& operator++() {
            if (++f_->pos_ == f_->len_ && !f_->fill()) f_ = nullptr;
            return *this;
        }
        bool operator==(const Iterator& o) const { return f_ == o.f_; }
        bool operator!=(const Iterator& o) const { return f_ != o.f_; }

    private:
        ChunkedFile* f_ = nullptr;  // null: the end
    };
    Iterator begin() { return Iterator(this); }
    Iterator end() { return Iterator(); }

private:
    bool at_end() { return pos_ == len_ && !fill(); }
    bool fill() {
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buf_.data(), buf_.size());
            if (n < 0 && errno == EINTR) continue;
            pos_ = 0;
            len_ = n > 0 ? static_cast<std::size_t>(n) : 0;
            return len_ > 0;
        }
    }

    detail::FileHandle fd_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, len_ = 0;
};

// Events of the parser that a handler need not look at: accepted, with nesting kept by the
// handler's own depth count.
template <typename Derived>
struct Events {
    int depth = 0;
    bool top_is_object = false;

    Derived& self() { return static_cast<Derived&>(*this); }
    bool null() { return self().scalar(false); }
    bool boolean(bool) { return self().scalar(false); }
    bool number_integer(json::number_integer_t v) { return self().number(static_cast<float>(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return self().number(static_cast<float>(v)); }
    bool number_float(json::number_float_t v, const json::string_t&) { return self().number(static_cast<float>(v)); }
    bool binary(json::binary_t&) { return self().scalar(false); }
    bool start_object(std::size_t) {
        if (depth == 0) top_is_object = true;
        self().container();
        ++depth;
        return depth > 1 || top_is_object;
    }
    bool end_object() {
        --depth;
        return true;
    }
    bool start_array(std::size_t) {
        if (depth == 0) return false;  // not a store: stop here
        self().container();
        ++depth;
        return true;
    }
    bool end_array() {
        --depth;
        self().array_ended();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

// metadata.json: section id -> [title, ..., content hash, ...]; the content hash is the third
// member, a string. Ids without one are left out (a later entry of the same id replaces an
// earlier one, as in a parsed document).
struct MetadataReader : Events<MetadataReader> {
    std::unordered_map<std::string, VectorKey>& hash_of;
    std::string id;
    int member = -1;  // index of the member of the entry being read; -1: not in an entry
    std::optional<VectorKey> hash;

    explicit MetadataReader(std::unordered_map<std::string, VectorKey>& out) : hash_of(out) {}

    bool key(json::string_t& k) {
        if (depth == 1) id = std::move(k);
        return true;
    }
    void member_starts(bool is_hash_string, const std::string* text) {
        if (depth == 2 && member >= 0) {
            if (member == 2 && is_hash_string) hash = vector_key(*text);
            ++member;
        }
    }
    bool scalar(bool) {
        member_starts(false, nullptr);
        if (depth == 1) hash_of.erase(id);  // not an array: no hash
        return true;
    }
    bool number(float) { return scalar(false); }
    bool string(json::string_t& s) {
        member_starts(true, &s);
        if (depth == 1) hash_of.erase(id);
        return true;
    }
    void container() {
        member_starts(false, nullptr);
        if (depth == 1) {
            member = -1;
            hash.reset();
        }
    }
    bool start_array(std::size_t n) {
        const bool entry = depth == 1;
        if (!Events::start_array(n)) return false;
        if (entry) member = 0;
        return true;
    }
    bool start_object(std::size_t n) {
        const bool entry = depth == 1;
        if (!Events::start_object(n)) return false;
        if (entry) hash_of.erase(id);
        return true;
    }
    void array_ended() {
        if (depth != 1 || member < 0) return;
        if (member >= 3 && hash)
            hash_of[id] = *hash;
        else
            hash_of.erase(id);
        member = -1;
    }
};

// vectors.json: section id -> [numbers]. An entry of the store's width, numbers only, whose
// section has a content hash is stored; of several ids with one content hash, the last in id
// order wins, as when the parsed document was walked in order.
struct VectorsReader : Events<VectorsReader> {
    const std::unordered_map<std::string, VectorKey>& hash_of;
    VectorStore& store;
    std::unordered_map<VectorKey, std::string, VectorKeyHash> stored_by;  // key -> id it came from
    std::vector<VectorKey> keys;
    std::vector<std::vector<float>> vectors;
    std::unordered_map<VectorKey, std::size_t, VectorKeyHash> in_group;  // key -> its place in the group
    std::size_t taken = 0;  // usable entries read

    std::string id;
    std::vector<float> v;
    bool in_entry = false, usable = false;

    VectorsReader(const std::unordered_map<std::string, VectorKey>& h, VectorStore& s) : hash_of(h), store(s) {}

    bool key(json::string_t& k) {
        if (depth == 1) id = std::move(k);
        return true;
    }
    bool number(float x) {
        if (in_entry && depth == 2) v.push_back(x);
        return true;
    }
    bool scalar(bool) {
        if (depth == 2) usable = false;  // a member that is not a number
        return true;
    }
    bool string(json::string_t&) { return scalar(false); }
    void container() {
        if (depth == 2) usable = false;
    }
    bool start_array(std::size_t n) {
        const bool entry = depth == 1;
        if (!Events::start_array(n)) return false;
        if (entry) {
            in_entry = usable = true;
            v.clear();
        }
        return true;
    }
    void array_ended() {
        if (depth != 1 || !in_entry) return;
        in_entry = false;
        if (!usable || v.size() != store.dim()) return;
        const auto h = hash_of.find(id);
        if (h == hash_of.end()) return;  // cannot be matched to a section
        ++taken;
        auto [it, fresh] = stored_by.try_emplace(h->second, id);
        if (!fresh) {
            if (id < it->second) return;
            it->second = id;
        }
        // One vector per key in a group: the winner.
        if (auto [at, added] = in_group.try_emplace(h->second, keys.size()); !added) {
            vectors[at->second] = v;
            return;
        }
        keys.push_back(h->second);
        vectors.push_back(v);
        if (keys.size() == GROUP) flush();
    }
    void flush() {
        // A store read before (a migration cut short) may hold them already.
        std::vector<VectorKey> k;
        std::vector<std::vector<float>> x;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (store.contains(keys[i]) && store.vector(keys[i]) == vectors[i]) continue;
            k.push_back(keys[i]);
            x.push_back(std::move(vectors[i]));
        }
        store.put(k, x);
        in_group.clear();
        keys.clear();
        vectors.clear();
    }
};

// Parses `file` into `reader`; whether it was complete and of the expected shape. Unreadable
// files (missing, not regular, cut short, not JSON) are not.
// What the reader does with the data (a store that cannot be written) propagates.
template <typename Reader>
bool parse_stream(const fs::path& file, Reader& reader) {
    std::optional<ChunkedFile> in;
    try {
        in.emplace(file);
    } catch (const fs::filesystem_error&) {
        return false;
    }
    return json::sax_parse(in->begin(), in->end(), &reader) && reader.top_is_object;
}

}  // namespace

std::size_t migrate_json_vectors(const fs::path& vectors_dir, VectorStore& store) {
    const fs::path vf = vectors_dir / "vectors.json", mf = vectors_dir / "metadata.json";
    std::error_code ec;
    if (!fs::exists(vf, ec)) return 0;
    std::unordered_map<std::string, VectorKey> hash_of;
    if (fs::exists(mf, ec)) {
        MetadataReader meta(hash_of);
        if (!parse_stream(mf, meta)) return 0;  // left as it is: its sections are embedded anew
    }
    VectorsReader reader(hash_of, store);
    const bool whole = parse_stream(vf, reader);
    // What was read before a file turned out cut short or damaged is kept; the files stay for a
    // person to look at (another start reads them again and adds nothing twice).
    reader.flush();
    if (!whole) return reader.taken;
    for (const char* name : {"vectors.json", "metadata.json", "model_info.json"}) fs::remove(vectors_dir / name, ec);
    return reader.taken;
}

}  // namespace quillbox
