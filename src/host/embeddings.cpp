#include "host/embeddings.h"

#include <curl/curl.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "host/config.h"
#include "quillbox/detail/curl.h"
#include "quillbox/detail/utf8.h"

namespace quillbox::host {

namespace {

using json = nlohmann::json;

// An answer larger than this is not an embeddings answer of one batch.
constexpr std::size_t MAX_ANSWER_BYTES = 256u << 20;

struct Body {
    std::string data;
    bool too_large = false;
};

std::size_t on_body(char* ptr, std::size_t size, std::size_t n, void* user) {
    auto* body = static_cast<Body*>(user);
    const std::size_t bytes = size * n;
    if (body->data.size() + bytes > MAX_ANSWER_BYTES) {
        body->too_large = true;
        return 0;  // aborts the transfer
    }
    body->data.append(ptr, bytes);
    return bytes;
}

// Text from a server for a message: one line, valid UTF-8, at most `limit` bytes.
std::string excerpt(std::string_view text, std::size_t limit = 300) {
    std::string out;
    for (char c : text.substr(0, limit)) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    if (auto bad = detail::find_invalid_utf8(out); bad != std::string_view::npos) out.resize(bad);
    if (text.size() > limit) out += "…";
    return out;
}

// What an error answer says: OpenAI's {"error": {"message": …}}, Ollama's {"error": "…"},
// {"message": …}, or the start of the body.
std::string error_detail(const std::string& body) {
    try {
        json doc = json::parse(body);
        if (doc.is_object()) {
            if (auto it = doc.find("error"); it != doc.end()) {
                if (it->is_string()) return excerpt(it->get<std::string>());
                if (it->is_object() && it->contains("message") && (*it)["message"].is_string())
                    return excerpt((*it)["message"].get<std::string>());
            }
            if (auto it = doc.find("message"); it != doc.end() && it->is_string())
                return excerpt(it->get<std::string>());
        }
    } catch (const json::exception&) {
    }
    return excerpt(body);
}

}  // namespace

std::string embeddings_url(std::string_view endpoint) {
    std::string base(endpoint);
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (base.ends_with("/embeddings")) return base;
    if (base.ends_with("/v1")) return base + "/embeddings";
    return base + "/v1/embeddings";
}

std::vector<std::vector<double>> parse_embeddings_answer(std::string_view body, std::size_t expected) {
    json doc;
    try {
        doc = json::parse(body);
    } catch (const json::parse_error& e) {
        throw EmbeddingError(fmt::format("it is not JSON ({}): {}", e.what(), excerpt(body, 120)));
    }
    if (!doc.is_object() || !doc.contains("data") || !doc["data"].is_array())
        throw EmbeddingError("it has no \"data\" list: " + excerpt(doc.dump(), 120));
    const json& data = doc["data"];
    if (data.size() != expected)
        throw EmbeddingError(fmt::format("it holds {} embeddings for {} texts", data.size(), expected));

    std::vector<std::vector<double>> out(expected);
    std::vector<bool> seen(expected, false);
    for (std::size_t pos = 0; pos < data.size(); ++pos) {
        const json& item = data[pos];
        if (!item.is_object() || !item.contains("embedding") || !item["embedding"].is_array())
            throw EmbeddingError(fmt::format("data[{}] has no \"embedding\" list of numbers", pos));
        std::size_t index = pos;
        if (auto it = item.find("index"); it != item.end()) {
            if (!it->is_number_unsigned() && !(it->is_number_integer() && it->get<long long>() >= 0))
                throw EmbeddingError(fmt::format("data[{}].index is not a whole number >= 0", pos));
            index = it->get<std::size_t>();
        }
        if (index >= expected || seen[index])
            throw EmbeddingError(fmt::format("data[{}].index {} is out of range or repeated", pos, index));
        seen[index] = true;
        const json& emb = item["embedding"];
        auto& vec = out[index];
        vec.reserve(emb.size());
        for (const auto& x : emb) {
            if (!x.is_number())
                throw EmbeddingError(fmt::format("data[{}].embedding holds {} instead of a number", pos,
                                                 excerpt(x.dump(), 40)));
            vec.push_back(x.get<double>());
        }
    }
    return out;
}

OpenAIEmbeddingProvider::OpenAIEmbeddingProvider(EmbeddingSettings settings)
    : settings_(std::move(settings)), url_(embeddings_url(settings_.endpoint)) {
    if (settings_.batch_size == 0) settings_.batch_size = 1;
}

std::vector<std::vector<double>> OpenAIEmbeddingProvider::encode(const std::vector<std::string>& texts) {
    if (settings_.endpoint.empty())
        throw EmbeddingError("semantic.backend is \"openai\" but semantic.endpoint is not set: run `quillbox "
                             "config set semantic.endpoint http://HOST:PORT` (or set semantic.backend to local)");
    if (settings_.model.empty())
        throw EmbeddingError("semantic.backend is \"openai\" but semantic.endpoint_model is not set: run "
                             "`quillbox config set semantic.endpoint_model MODEL` with a model the endpoint serves");

    std::vector<std::vector<double>> out(texts.size());
    std::vector<std::size_t> pending;  // positions of the non-empty texts
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!texts[i].empty()) pending.push_back(i);
    for (std::size_t start = 0; start < pending.size(); start += settings_.batch_size) {
        const std::size_t stop = std::min(pending.size(), start + settings_.batch_size);
        std::vector<std::string> batch;
        batch.reserve(stop - start);
        for (std::size_t k = start; k < stop; ++k) batch.push_back(texts[pending[k]]);
        auto vecs = request(batch);
        for (std::size_t k = start; k < stop; ++k) out[pending[k]] = std::move(vecs[k - start]);
    }
    return out;
}

std::vector<std::vector<double>> OpenAIEmbeddingProvider::request(const std::vector<std::string>& batch) const {
    std::string auth;
    if (!settings_.api_key_env.empty()) {
        const char* key = std::getenv(settings_.api_key_env.c_str());
        if (!key || !*key)
            throw EmbeddingError(fmt::format("semantic.api_key_env names {}, but {} is not set in the environment "
                                             "of the Quillbox server",
                                             settings_.api_key_env, settings_.api_key_env));
        auth = std::string("Authorization: Bearer ") + key;
    }
    const std::string payload = json{{"model", settings_.model}, {"input", batch}}.dump(
        -1, ' ', false, json::error_handler_t::replace);

    detail::CurlHandle c;
    if (!c.h) throw EmbeddingError("cannot start a request to " + url_);
    c.headers = curl_slist_append(c.headers, "Content-Type: application/json");
    c.headers = curl_slist_append(c.headers, "Accept: application/json");
    c.headers = curl_slist_append(c.headers, "Expect:");  // no 100-continue round trip for large batches
    if (!auth.empty()) c.headers = curl_slist_append(c.headers, auth.c_str());

    const double timeout = settings_.timeout_seconds > 0 ? settings_.timeout_seconds : 60.0;
    const long timeout_ms = static_cast<long>(std::min(timeout, 86400.0) * 1000.0);
    Body body;
    char err[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c.h, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(c.h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c.h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c.h, CURLOPT_POST, 1L);
    curl_easy_setopt(c.h, CURLOPT_POSTFIELDS, payload.data());
    curl_easy_setopt(c.h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(c.h, CURLOPT_HTTPHEADER, c.headers);
    curl_easy_setopt(c.h, CURLOPT_USERAGENT, "quillbox");
    curl_easy_setopt(c.h, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(c.h, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout_ms, 10000L));
    curl_easy_setopt(c.h, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(c.h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c.h, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(c.h);
    long status = 0;
    curl_easy_getinfo(c.h, CURLINFO_RESPONSE_CODE, &status);

    if (body.too_large)
        throw EmbeddingError(fmt::format("the embeddings endpoint {} sent an answer over {} MB", url_,
                                         MAX_ANSWER_BYTES >> 20));
    if (rc == CURLE_OPERATION_TIMEDOUT)
        throw EmbeddingError(fmt::format("the embeddings endpoint {} did not answer within {} s "
                                         "(semantic.timeout_seconds)",
                                         url_, timeout));
    if (rc != CURLE_OK)
        throw EmbeddingError(fmt::format("cannot reach the embeddings endpoint {}: {}", url_,
                                         err[0] ? err : curl_easy_strerror(rc)));
    if (status < 200 || status >= 300) {
        std::string detail = error_detail(body.data);
        throw EmbeddingError(fmt::format("the embeddings endpoint {} answered HTTP {}{}{}", url_, status,
                                         detail.empty() ? "" : ": ", detail));
    }
    try {
        return parse_embeddings_answer(body.data, batch.size());
    } catch (const EmbeddingError& e) {
        throw EmbeddingError(fmt::format("the embeddings endpoint {} sent an unusable answer: {}", url_, e.what()));
    }
}

std::shared_ptr<EmbeddingProvider> make_embedding_provider(const Config& config) {
    if (config.get("semantic.backend") != "openai") return nullptr;
    EmbeddingSettings s;
    s.endpoint = config.get("semantic.endpoint");
    s.model = config.get("semantic.endpoint_model");
    s.api_key_env = config.get("semantic.api_key_env");
    s.timeout_seconds = config.get_number("semantic.timeout_seconds");
    return std::make_shared<OpenAIEmbeddingProvider>(std::move(s));
}

}  // namespace quillbox::host
