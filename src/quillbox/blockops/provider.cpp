// The embedding-provider slot of the host registry.

#include <mutex>

#include "quillbox/host.h"

namespace quillbox {

namespace {

struct ProviderSlot {
    std::mutex mu;
    std::shared_ptr<EmbeddingProvider> provider;
};

ProviderSlot& slot() {
    static ProviderSlot s;
    return s;
}

}  // namespace

void set_embedding_provider(std::shared_ptr<EmbeddingProvider> provider) {
    auto& s = slot();
    std::lock_guard lk(s.mu);
    s.provider = std::move(provider);
}

std::shared_ptr<EmbeddingProvider> get_provider() {
    auto& s = slot();
    std::lock_guard lk(s.mu);
    return s.provider;
}

}  // namespace quillbox
