// The runtime library's entry: a model loaded with its tokenizer and pipeline.
#include <mutex>

#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

extern "C" void openblas_set_num_threads(int num_threads);

namespace quillbox::embed {

namespace {

namespace fs = std::filesystem;

// Batches run on one thread per core, each with a single-threaded BLAS: the element-wise and
// attention work parallelises too, not only the large matrix products.
void single_threaded_blas() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

class Model : public LoadedModel {
public:
    explicit Model(const fs::path& dir)
        : model_(dir), tokenizer_(load_tokenizer(dir)), pipe_(read_pipeline_config(dir, model_.config())) {
        single_threaded_blas();
    }
    std::size_t dim() const override { return static_cast<std::size_t>(model_.config().hidden_size); }
    std::size_t max_seq_length() const override { return pipe_.max_seq_length; }
    std::vector<std::int32_t> tokenize(std::string_view text) const override {
        if (pipe_.do_lower_case) return tokenizer_->encode(lower_case(text), pipe_.max_seq_length);
        return tokenizer_->encode(text, pipe_.max_seq_length);
    }
    std::vector<std::vector<float>> embed(const std::vector<std::vector<std::int32_t>>& batch) const override {
        return model_.embed(batch, tokenizer_->pad_id(), pipe_.pooling);
    }

private:
    BertModel model_;
    std::unique_ptr<Tokenizer> tokenizer_;
    PipelineConfig pipe_;
};

LoadedModel* open_model(const fs::path& dir) { return new Model(dir); }

const RuntimeApi API{RUNTIME_VERSION, &open_model};

}  // namespace

}  // namespace quillbox::embed

extern "C" __attribute__((visibility("default"))) const quillbox::embed::RuntimeApi* quillbox_semantic_runtime() {
    return &quillbox::embed::API;
}
