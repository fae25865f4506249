#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace embed {

namespace {

constexpr const char* RUNTIME_LIBRARY = "libquillbox_semantic_runtime.so." QUILLBOX_SEMANTIC_SOVERSION;

// This module's own library file: the runtime library lies beside it.
fs::path own_folder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&runtime), &info) == 0 || !info.dli_fname) return {};
    std::error_code ec;
    fs::path p = fs::canonical(info.dli_fname, ec);
    return ec ? fs::path() : p.parent_path();
}

const RuntimeApi* load_runtime(std::string& why) {
    void* lib = nullptr;
    if (const fs::path dir = own_folder(); !dir.empty()) lib = ::dlopen((dir / RUNTIME_LIBRARY).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) lib = ::dlopen(RUNTIME_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        why = ::dlerror();
        return nullptr;
    }
    using Entry = const RuntimeApi* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(lib, RUNTIME_SYMBOL));
    const RuntimeApi* api = entry ? entry() : nullptr;
    if (!api || api->version < RUNTIME_VERSION) {
        why = std::string(RUNTIME_LIBRARY) + " is not this release's";
        return nullptr;
    }
    return api;  // kept loaded for the life of the process
}

}  // namespace

const RuntimeApi& runtime() {
    static std::string why;
    static const RuntimeApi* const api = load_runtime(why);
    if (!api) throw ModelError("the embedding runtime cannot be loaded: " + why);
    return *api;
}

}  // namespace embed

struct SentenceEncoder::Impl {
    explicit Impl(const fs::path& dir) : model(embed::runtime().open_model(dir)) {}
    std::unique_ptr<embed::LoadedModel> model;
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

std::size_t SentenceEncoder::dim() const { return impl_->model->dim(); }
std::size_t SentenceEncoder::max_seq_length() const { return impl_->model->max_seq_length(); }

std::vector<std::int32_t> SentenceEncoder::tokenize(std::string_view text) const { return impl_->model->tokenize(text); }

std::vector<float> SentenceEncoder::encode(std::string_view text) const {
    return impl_->model->embed({tokenize(text)}).front();
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
    // A call of fewer texts than a batch per core still runs on every core: its batches shrink.
    // Sequences are packed without padding, so smaller batches cost little.
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    batch_size = std::max<std::size_t>(1, std::min(batch_size, (texts.size() + cores - 1) / cores));
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
                auto vecs = impl_->model->embed(batch);
                for (std::size_t i = start; i < end; ++i) out[order[i]] = std::move(vecs[i - start]);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mu);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    const std::size_t workers = std::min(batches, cores);
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
    return out;
}

}  // namespace quillbox
