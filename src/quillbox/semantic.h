#pragma once
// Semantic search: a local sentence-embedding runtime (BERT encoders from their published
// Hugging Face files), where models are found or fetched, and the on-disk vector store.

#include <array>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillbox/outline.h"  // Block

namespace quillbox {

// ---------------------------------------------------------------------------------------------
// Models

struct ModelSpec {
    int dim = 0;
    std::string lang;
    std::string repo;  // where the hub keeps it
};

// The models the engine accepts, keyed by model name (ordered by name).
extern const std::map<std::string, ModelSpec> AVAILABLE_MODELS;

// Bad or unsupported model files (weights, configuration, tokenizer), or a failed download.
class ModelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The Hugging Face repository of a model name ("sentence-transformers/all-MiniLM-L6-v2").
// Throws std::invalid_argument for a name outside AVAILABLE_MODELS.
std::string model_repo(std::string_view model_name);

// The files fetched for a model, relative to the model directory; `required` ones must exist.
struct ModelFile {
    std::string name;
    bool required = false;
};
std::vector<ModelFile> model_files(std::string_view model_name);

// $HF_HUB_CACHE, else $HF_HOME/hub, else $XDG_CACHE_HOME/huggingface/hub, else
// ~/.cache/huggingface/hub.
std::filesystem::path hf_hub_cache();
// Quillbox's own model directory: $QUILLBOX_MODEL_DIR, else $XDG_DATA_HOME/quillbox/models,
// else ~/.local/share/quillbox/models. A model lives in its subdirectory named after it.
std::filesystem::path quillbox_model_dir();

// Where a usable copy of the model is on disk (hub cache snapshot first, then Quillbox's own
// directory), or none.
std::optional<std::filesystem::path> find_model_dir(std::string_view model_name);

struct ModelStatus {
    std::string name;
    int dim = 0;
    std::string lang;
    std::string repo;
    std::optional<std::filesystem::path> location;  // none: not on this machine
};
std::vector<ModelStatus> list_models();

// Download progress of one file: bytes so far and the total (0 when unknown).
using ProgressCallback =
    std::function<void(const std::string& file, std::uint64_t done, std::uint64_t total)>;
// A progress bar on standard error when it is a terminal, otherwise nothing.
ProgressCallback terminal_progress();

// Downloads the model's files from $HF_ENDPOINT (default https://huggingface.co) into the hub
// cache and returns the snapshot directory. Files already complete are kept. Throws ModelError.
std::filesystem::path pull_model(std::string_view model_name, const ProgressCallback& progress = {});

// find_model_dir, else pull_model (unless HF_HUB_OFFLINE is set). Throws ModelError.
std::filesystem::path ensure_model(std::string_view model_name, const ProgressCallback& progress = {});

// A sentence encoder loaded from a model directory (config.json, model.safetensors, tokenizer
// files and the sentence-transformers pooling files). Vectors are L2-normalised. Thread-safe for
// concurrent encode calls.
class SentenceEncoder {
public:
    explicit SentenceEncoder(const std::filesystem::path& model_dir);
    ~SentenceEncoder();
    SentenceEncoder(const SentenceEncoder&) = delete;
    SentenceEncoder& operator=(const SentenceEncoder&) = delete;

    std::size_t dim() const;
    std::size_t max_seq_length() const;
    // Token ids with the special tokens, truncated to max_seq_length.
    std::vector<std::int32_t> tokenize(std::string_view text) const;
    std::vector<float> encode(std::string_view text) const;
    std::vector<std::vector<float>> encode_batch(const std::vector<std::string>& texts,
                                                 std::size_t batch_size = 32) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Vector store

// The runtime error raised when the model cannot be loaded; the underlying error is nested.
// It carries the model's name and the underlying error's text; the words shown to people come
// from the message catalogue (semantic_model_failed). what() is an English text for the log.
class SemanticModelError : public std::runtime_error {
public:
    SemanticModelError(std::string model, std::string cause)
        : std::runtime_error("semantic search model " + model + " could not be loaded: " + cause),
          model_(std::move(model)),
          cause_(std::move(cause)) {}
    const std::string& model() const noexcept { return model_; }
    const std::string& cause() const noexcept { return cause_; }

private:
    std::string model_;
    std::string cause_;
};

// Texts to vectors, one per text in order, each `dim` numbers: the local model, or whatever a
// caller puts in its place.
using BatchEncoder = std::function<std::vector<std::vector<float>>(const std::vector<std::string>& texts)>;

class VectorStore;

// The local model and the vectors it made: one VectorStore per model in the vectors folder
// (<model>.qbv), keyed by the content hash of what was embedded. The JSON store of earlier
// releases (vectors.json, metadata.json, model_info.json) is taken in once and removed.
class SemanticEngine {
public:
    // Throws std::invalid_argument for an unknown explicit model name, std::runtime_error when
    // the store cannot be opened or config.toml is not TOML. With `encoder`, texts are embedded
    // by it instead of the local model (which is then never loaded).
    explicit SemanticEngine(std::filesystem::path vectors_dir, std::optional<std::string> model_name = std::nullopt,
                            BatchEncoder encoder = {});
    ~SemanticEngine();
    SemanticEngine(const SemanticEngine&) = delete;
    SemanticEngine& operator=(const SemanticEngine&) = delete;

    // Thread-safe; the model is loaded on first use (SemanticModelError when it cannot be).
    std::vector<float> encode(std::string_view text);
    std::vector<std::vector<float>> encode_batch(const std::vector<std::string>& texts);
    // Whether encoding can work without a download: an encoder was given, or the model is here.
    bool model_at_hand() const;

    // Not thread-safe: the caller guards it.
    VectorStore& store() { return *store_; }
    const VectorStore& store() const { return *store_; }
    // Vectors taken in from the JSON store when it was opened.
    std::size_t migrated() const { return migrated_; }
    const std::string& model_name() const { return model_name_; }
    std::size_t dim() const { return static_cast<std::size_t>(model_dim_); }
    const std::filesystem::path& vectors_dir() const { return vectors_dir_; }
    // The store file of a model in `vectors_dir`.
    static std::filesystem::path store_file(const std::filesystem::path& vectors_dir, std::string_view model_name);

    // Model selection: $QUILLBOX_SEMANTIC_MODEL when it names a known model, else semantic.model
    // (or, in older files, a top-level "model") of <vectors_dir>/../config.toml when it names
    // one, else "bge-small-zh-v1.5". Throws detail::ConfigSyntaxError (a runtime_error) for a
    // config.toml that is not TOML.
    static std::string _load_config(const std::filesystem::path& vectors_dir);

private:
    SentenceEncoder& _get_model();

    std::filesystem::path vectors_dir_;
    std::string model_name_;
    int model_dim_ = 0;
    BatchEncoder encoder_;
    std::mutex model_mu_;
    std::unique_ptr<SentenceEncoder> model_;
    std::unique_ptr<VectorStore> store_;
    std::size_t migrated_ = 0;
};

// Vectors of texts as one embedding provider gave them, kept in a JSON file so that the provider
// is asked for each text once. A file written for another provider (another `provider_key`),
// or one that cannot be read, counts as empty: it is only a cache.
class TextVectorCache {
public:
    TextVectorCache(std::filesystem::path file, std::string provider_key);

    const std::vector<double>* find(const std::string& text) const;
    void put(const std::string& text, std::vector<double> vector);
    // Forgets every text `keep` does not hold, so the file follows what is still asked for.
    void retain(const std::vector<std::string>& keep);
    std::size_t size() const { return vectors_.size(); }
    // Writes the file (through a temporary file) when anything changed since it was read.
    void save();

private:
    std::filesystem::path file_;
    std::string provider_key_;
    std::unordered_map<std::string, std::vector<double>> vectors_;
    bool changed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Compact vector store

namespace int8 {
struct RowBound;
}

// The key of one stored vector: the SHA-256 of what it was made from (a section's content hash).
using VectorKey = std::array<unsigned char, 32>;
struct VectorKeyHash {
    std::size_t operator()(const VectorKey& k) const noexcept {
        std::size_t h;
        std::memcpy(&h, k.data(), sizeof h);
        return h;
    }
};
VectorKey vector_key(std::string_view source);

// float32 vectors of one width by key, in a binary file of checksummed records appended one
// write at a time (O_APPEND), so two processes writing at once both keep their records and a
// torn record (a crash mid-write) is skipped. In memory: each live vector's key, where its floats
// lie in the file, and an int8 copy that ranks the rows; the floats themselves are read from the
// file when a query re-ranks its candidates (a few dozen rows), so 250,000 vectors of 384 take
// about 120 MB, not 500. The file is rewritten only to compact it, under an exclusive lock;
// appends take the lock shared and reopen the file when it was replaced meanwhile.
class VectorStore {
public:
    // Creates the file (and its folder) when missing. Throws std::runtime_error when it cannot
    // be opened.
    VectorStore(std::filesystem::path file, std::size_t dim);
    ~VectorStore();
    VectorStore(const VectorStore&) = delete;
    VectorStore& operator=(const VectorStore&) = delete;

    std::size_t dim() const { return dim_; }
    std::size_t size() const { return keys_.size(); }
    bool contains(const VectorKey& key) const { return row_of_.count(key) != 0; }
    // The vector of `key`, read from the file; empty when the store has none.
    std::vector<float> vector(const VectorKey& key) const;
    // Vectors of another width are ignored.
    void put(const std::vector<VectorKey>& keys, const std::vector<std::vector<float>>& vectors);
    void put(const VectorKey& key, const std::vector<float>& vector) { put(std::vector{key}, {vector}); }
    void remove(const std::vector<VectorKey>& keys);
    // Takes in what other processes appended since the last look.
    void refresh();
    // What the store took in since the last call, its own writes and others' alike: the keys put
    // or removed, or `whole` when it read the file from its start (at open, after another
    // process compacted it, or when too much changed to list).
    struct Changes {
        std::vector<VectorKey> keys;
        bool whole = false;
    };
    Changes take_changes();
    // Rewrites the file with the live vectors only, when dead records make up more than
    // `dead_share` of it (always for 0).
    void compact(double dead_share = 0.5);
    std::uintmax_t file_bytes() const;

    // Row r holds the vector of keys()[r].
    const std::vector<VectorKey>& keys() const { return keys_; }
    // Every row's floats, read from the file: row r at r * dim().
    std::vector<float> matrix() const;
    // The `k` rows most similar to `query` (dot product summed in double, rounded to float),
    // best first, ties by row. Over many rows an int8 copy of the matrix finds the candidates
    // and their float scores rank them: the answer is the same either way. `how` picks the way
    // (int8 is passed over for a query or matrix holding NaN or infinities).
    enum class Scoring { automatic, float32, int8 };
    std::vector<std::pair<std::size_t, float>> top(const float* query, std::size_t k,
                                                   Scoring how = Scoring::automatic) const;

private:
    void open_file();
    void read_from(std::uintmax_t offset);
    void apply(bool live, const VectorKey& key, const float* v, std::uint64_t at);
    void read_row(std::size_t row, float* out) const;
    void append(const std::string& records);

    std::filesystem::path file_, lock_file_;
    std::size_t dim_;
    int fd_ = -1;
    int lock_fd_ = -1;
    std::uintmax_t read_to_ = 0;  // the file is taken in up to here
    std::uintmax_t records_ = 0;  // records read or written, dead ones included
    Changes changes_{{}, true};
    std::vector<VectorKey> keys_;
    std::vector<std::uint64_t> at_;  // where each row's floats begin in the file
    std::unordered_map<VectorKey, std::size_t, VectorKeyHash> row_of_;
    // The int8 copy of the rows, kept by apply(): int8::stride(dim_) bytes and one bound per row.
    std::vector<std::int8_t> qdata_;
    std::vector<int8::RowBound> qbounds_;
    std::size_t nonfinite_ = 0;  // rows holding a NaN or an infinity
};

// The `k` best of `n` scores, best first (ties: lower index first).
std::vector<std::pair<std::size_t, float>> top_scores(const std::vector<float>& scores, std::size_t k);

// Takes the vectors of the JSON store of earlier releases in `vectors_dir` (vectors.json with
// metadata.json) into `store`, keyed by each block's content hash, and removes the JSON files
// once they are in. Returns how many vectors were taken; 0 when there is no JSON store. Of a
// vectors.json cut short or damaged, the entries before the damage are taken and the files
// stay where they are (another run adds nothing twice); an unreadable metadata.json takes none.
std::size_t migrate_json_vectors(const std::filesystem::path& vectors_dir, VectorStore& store);

// ---------------------------------------------------------------------------------------------
// JSON text as the store writes it: one line, ASCII only (\uXXXX escapes, surrogate pairs),
// ", " and ": " separators, numbers in the shortest form that reads back to the same double.
namespace semantic_json {
void append_string(std::string& out, std::string_view utf8);
void append_number(std::string& out, double v);
}  // namespace semantic_json

}  // namespace quillbox
