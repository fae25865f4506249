#pragma once
// Private parts of the embedding runtime: weight files, configuration, tokenizers and the
// BERT encoder. They live in the module's private library libquillbox_semantic_runtime (the
// sources in runtime/), which holds everything that needs BLAS, Eigen or SentencePiece; the
// module loads it the first time a model runs, so that no other start of the program pays for
// those libraries. Eigen stays inside the .cpp files.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillbox::embed {

// A float32 view of one tensor (converted from F16/BF16, or copied when misaligned).
struct Tensor {
    std::vector<std::int64_t> shape;
    const float* data = nullptr;
    std::size_t count = 0;
};

// A memory-mapped model.safetensors file. Throws ModelError for a corrupt or truncated file.
class SafeTensors {
public:
    explicit SafeTensors(const std::filesystem::path& file);
    ~SafeTensors();
    SafeTensors(const SafeTensors&) = delete;
    SafeTensors& operator=(const SafeTensors&) = delete;

    bool has(const std::string& name) const { return tensors_.count(name) != 0; }
    // Throws ModelError when missing or of another shape than `shape` (when given).
    const Tensor& get(const std::string& name, const std::vector<std::int64_t>& shape = {}) const;
    std::vector<std::string> names() const;

private:
    std::filesystem::path file_;
    void* map_ = nullptr;
    std::size_t length_ = 0;
    std::map<std::string, Tensor> tensors_;
    std::vector<std::unique_ptr<std::vector<float>>> owned_;
};

struct BertConfig {
    int vocab_size = 0;
    int hidden_size = 0;
    int num_hidden_layers = 0;
    int num_attention_heads = 0;
    int intermediate_size = 0;
    int max_position_embeddings = 0;
    int type_vocab_size = 0;
    float layer_norm_eps = 1e-12f;
    std::string hidden_act = "gelu";
};
// Reads config.json; throws ModelError for another architecture or missing fields.
BertConfig read_bert_config(const std::filesystem::path& file);

enum class Pooling { mean, cls };

// What the sentence-transformers files say about the pipeline.
struct PipelineConfig {
    Pooling pooling = Pooling::mean;
    std::size_t max_seq_length = 512;
    bool do_lower_case = false;  // applied to the text before the tokenizer
};
PipelineConfig read_pipeline_config(const std::filesystem::path& model_dir, const BertConfig& cfg);

class Tokenizer {
public:
    virtual ~Tokenizer() = default;
    // Ids with the special tokens, at most max_len of them (max_len >= 2).
    virtual std::vector<std::int32_t> encode(std::string_view text, std::size_t max_len) const = 0;
    virtual std::int32_t pad_id() const = 0;
};

struct WordPieceOptions {
    bool lowercase = true;
    std::optional<bool> strip_accents;  // none: follows lowercase
    bool tokenize_chinese_chars = true;
    bool clean_text = true;
    std::string unk_token = "[UNK]";
    std::string cls_token = "[CLS]";
    std::string sep_token = "[SEP]";
    std::string pad_token = "[PAD]";
    std::string prefix = "##";
    std::size_t max_input_chars_per_word = 100;
};

class WordPieceTokenizer : public Tokenizer {
public:
    WordPieceTokenizer(std::unordered_map<std::string, std::int32_t> vocab, WordPieceOptions opt);
    std::vector<std::int32_t> encode(std::string_view text, std::size_t max_len) const override;
    std::int32_t pad_id() const override { return pad_; }
    // The basic (pre-WordPiece) tokens: cleaned, lower-cased, split.
    std::vector<std::string> basic_tokens(std::string_view text) const;
    std::vector<std::string> wordpiece(const std::string& word) const;

private:
    std::unordered_map<std::string, std::int32_t> vocab_;
    WordPieceOptions opt_;
    std::int32_t unk_, cls_, sep_, pad_;
};

// Full Unicode lower-case mapping of UTF-8 text (invalid bytes become U+FFFD).
std::string lower_case(std::string_view text);

// Loads the tokenizer a model directory describes: sentencepiece.bpe.model (XLM-R vocabulary
// with the fairseq id offset), else tokenizer.json, else tokenizer_config.json + vocab.txt.
std::unique_ptr<Tokenizer> load_tokenizer(const std::filesystem::path& model_dir);

// The BERT encoder over float32 weights.
class BertModel {
public:
    BertModel(const std::filesystem::path& model_dir);
    ~BertModel();
    const BertConfig& config() const;
    // Last hidden states for a padded batch: result[b] is lengths x hidden, row-major, for the
    // real tokens of sequence b (padding rows dropped). Sequences shorter than the longest are
    // padded with pad_id and masked out of attention.
    std::vector<std::vector<float>> hidden_states(const std::vector<std::vector<std::int32_t>>& batch,
                                                  std::int32_t pad_id) const;
    // Pooled, L2-normalised sentence vectors.
    std::vector<std::vector<float>> embed(const std::vector<std::vector<std::int32_t>>& batch,
                                          std::int32_t pad_id, Pooling pooling) const;

    struct Weights;

private:
    std::unique_ptr<SafeTensors> file_;
    std::unique_ptr<Weights> w_;
};

// A model with its tokenizer and pipeline, ready to encode: what the runtime library hands
// the module.
class LoadedModel {
public:
    virtual ~LoadedModel() = default;
    virtual std::size_t dim() const = 0;
    virtual std::size_t max_seq_length() const = 0;
    // Token ids with the special tokens (the pipeline's lower-casing applied), at most
    // max_seq_length of them.
    virtual std::vector<std::int32_t> tokenize(std::string_view text) const = 0;
    // Pooled, L2-normalised vectors of a batch of token id sequences. Thread-safe.
    virtual std::vector<std::vector<float>> embed(const std::vector<std::vector<std::int32_t>>& batch) const = 0;
};

// The runtime library's entry points, got through its one exported symbol RUNTIME_SYMBOL.
// Work that needs BLAS belongs behind this table: add a member at the end and raise
// RUNTIME_VERSION.
struct RuntimeApi {
    int version;
    // Loads a model directory. Throws ModelError.
    LoadedModel* (*open_model)(const std::filesystem::path& model_dir);
};
inline constexpr int RUNTIME_VERSION = 3;
inline constexpr const char* RUNTIME_SYMBOL = "quillbox_semantic_runtime";

// The runtime library, loaded on the first call (from the folder of the module's own library,
// else wherever the loader finds it). Throws ModelError when it cannot be loaded.
const RuntimeApi& runtime();

}  // namespace quillbox::embed
