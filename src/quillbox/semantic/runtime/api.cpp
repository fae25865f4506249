// The runtime library's entry: a model loaded with its tokenizer and pipeline.
#include <mutex>

#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

#include <cblas.h>

#include <climits>

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

void matrix_vector(const float* m, std::size_t rows, std::size_t dim, const float* q, float* out) {
    if (rows == 0) return;
    // BLAS counts rows in int: a larger matrix goes in slices.
    constexpr std::size_t SLICE = INT_MAX / 2;
    for (std::size_t r = 0; r < rows; r += SLICE) {
        const std::size_t n = std::min(SLICE, rows - r);
        cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(n), static_cast<int>(dim), 1.0f, m + r * dim,
                    static_cast<int>(dim), q, 1, 0.0f, out + r, 1);
    }
}

const RuntimeApi API{RUNTIME_VERSION, &open_model, &matrix_vector};

}  // namespace

}  // namespace quillbox::embed

extern "C" __attribute__((visibility("default"))) const quillbox::embed::RuntimeApi* quillbox_semantic_runtime() {
    return &quillbox::embed::API;
}
