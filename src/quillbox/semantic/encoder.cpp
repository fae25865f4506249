#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

extern "C" void openblas_set_num_threads(int num_threads);

namespace quillbox {

namespace fs = std::filesystem;

namespace {
// Batches run on one thread per core, each with a single-threaded BLAS: the element-wise and
// attention work parallelises too, not only the large matrix products.
void single_threaded_blas() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}
}  // namespace

struct SentenceEncoder::Impl {
    explicit Impl(const fs::path& dir)
        : model(dir), tokenizer(embed::load_tokenizer(dir)), pipe(embed::read_pipeline_config(dir, model.config())) {
        single_threaded_blas();
    }
    embed::BertModel model;
    std::unique_ptr<embed::Tokenizer> tokenizer;
    embed::PipelineConfig pipe;
};

namespace {
std::unique_ptr<SentenceEncoder::Impl> open_model(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw ModelError("model directory " + dir.string() + " does not exist");
    return std::make_unique<SentenceEncoder::Impl>(dir);
}
}  // namespace

SentenceEncoder::SentenceEncoder(const fs::path& model_dir) : impl_(open_model(model_dir)) {}
SentenceEncoder::~SentenceEncoder() = default;

std::size_t SentenceEncoder::dim() const { return static_cast<std::size_t>(impl_->model.config().hidden_size); }
std::size_t SentenceEncoder::max_seq_length() const { return impl_->pipe.max_seq_length; }

std::vector<std::int32_t> SentenceEncoder::tokenize(std::string_view text) const {
    if (impl_->pipe.do_lower_case) return impl_->tokenizer->encode(embed::lower_case(text), impl_->pipe.max_seq_length);
    return impl_->tokenizer->encode(text, impl_->pipe.max_seq_length);
}

std::vector<float> SentenceEncoder::encode(std::string_view text) const {
    return impl_->model.embed({tokenize(text)}, impl_->tokenizer->pad_id(), impl_->pipe.pooling).front();
}

std::vector<std::vector<float>> SentenceEncoder::encode_batch(const std::vector<std::string>& texts,
                                                              std::size_t batch_size) const {
    if (batch_size == 0) batch_size = 1;
    std::vector<std::vector<std::int32_t>> ids;
    ids.reserve(texts.size());
    for (const auto& t : texts) ids.push_back(tokenize(t));
    // Similar lengths together keep the per-sequence attention blocks even.
    std::vector<std::size_t> order(texts.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return ids[a].size() > ids[b].size(); });
    std::vector<std::vector<float>> out(texts.size());
    const std::size_t batches = (order.size() + batch_size - 1) / batch_size;
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mu;
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < batches;) {
            try {
                const std::size_t start = k * batch_size, end = std::min(order.size(), start + batch_size);
                std::vector<std::vector<std::int32_t>> batch;
                for (std::size_t i = start; i < end; ++i) batch.push_back(std::move(ids[order[i]]));
                auto vecs = impl_->model.embed(batch, impl_->tokenizer->pad_id(), impl_->pipe.pooling);
                for (std::size_t i = start; i < end; ++i) out[order[i]] = std::move(vecs[i - start]);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mu);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    const std::size_t workers = std::min<std::size_t>(batches, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
    return out;
}

}  // namespace quillbox
