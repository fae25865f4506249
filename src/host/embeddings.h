#pragma once
// The embedding provider for semantic search behind an OpenAI-compatible `/v1/embeddings`
// endpoint (Ollama, llama.cpp server, TEI, vLLM, OpenAI itself), configured in config.toml:
// semantic.backend = "openai", semantic.endpoint, semantic.endpoint_model, optionally
// semantic.api_key_env and semantic.timeout_seconds.

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/session.h"

namespace quillbox::host {

class Config;

// The endpoint failed, answered with an HTTP error, sent something that is not an embeddings
// answer, or the provider is not configured completely. what() says which, with the URL.
class EmbeddingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EmbeddingSettings {
    std::string endpoint;      // base URL, e.g. http://127.0.0.1:11434
    std::string model;         // sent as "model"
    std::string api_key_env;   // environment variable with the bearer token; empty: none
    double timeout_seconds = 60;
    std::size_t batch_size = 128;  // texts per request (servers limit the batch size)
};

// The embeddings URL of a base URL: ".../v1/embeddings" appended, unless the URL already ends
// in "/v1" (then "/embeddings") or in "/embeddings" (then as it is).
std::string embeddings_url(std::string_view endpoint);

// Vectors of an embeddings answer, ordered by their "index" (or their position when the
// answer has no indices). Throws EmbeddingError when the answer is not JSON, has no "data"
// array, holds another number of vectors than `expected`, or a vector that is not a list of
// numbers.
std::vector<std::vector<double>> parse_embeddings_answer(std::string_view body, std::size_t expected);

class OpenAIEmbeddingProvider : public EmbeddingProvider {
public:
    explicit OpenAIEmbeddingProvider(EmbeddingSettings settings);

    // Empty texts are not sent (endpoints refuse them); they get an empty vector, which
    // scores 0. Throws EmbeddingError.
    std::vector<std::vector<double>> encode(const std::vector<std::string>& texts) override;
    // The embeddings URL and the model name.
    std::string cache_key() const override { return url_ + " " + settings_.model; }

    const EmbeddingSettings& settings() const { return settings_; }
    const std::string& url() const { return url_; }

private:
    std::vector<std::vector<double>> request(const std::vector<std::string>& batch) const;

    EmbeddingSettings settings_;
    std::string url_;
};

// The provider the configuration asks for: an OpenAIEmbeddingProvider when semantic.backend
// is "openai", else nullptr (the local engine, or search switched off).
std::shared_ptr<EmbeddingProvider> make_embedding_provider(const Config& config);

}  // namespace quillbox::host
