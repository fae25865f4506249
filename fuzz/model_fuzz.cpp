// The model-file loaders: a safetensors header and its tensors, config.json, and the tokenizer
// files (vocab.txt, tokenizer.json, tokenizer_config.json), and config.json beside a small set
// of real weights, run through the encoder. The first byte picks the file; a corrupt file is
// refused with an exception, never read out of bounds, and what loads gives finite vectors.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_common.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

using namespace quillbox;
using namespace quillbox::embed;

namespace {

constexpr std::string_view VOCAB = "[PAD]\n[UNK]\n[CLS]\n[SEP]\n[MASK]\nhello\nworld\n##s\n你\n好\n";

// A one-layer BERT of hidden size 8 with small deterministic weights, as model.safetensors.
std::string tiny_weights() {
    constexpr std::int64_t V = 13, H = 8, I = 16, P = 16, T = 2;
    std::vector<std::pair<std::string, std::vector<std::int64_t>>> tensors = {
        {"embeddings.word_embeddings.weight", {V, H}},
        {"embeddings.position_embeddings.weight", {P, H}},
        {"embeddings.token_type_embeddings.weight", {T, H}},
        {"embeddings.LayerNorm.weight", {H}},
        {"embeddings.LayerNorm.bias", {H}},
    };
    const std::string l = "encoder.layer.0.";
    for (const char* part : {"query", "key", "value"}) {
        tensors.push_back({l + "attention.self." + part + ".weight", {H, H}});
        tensors.push_back({l + "attention.self." + part + ".bias", {H}});
    }
    for (const auto& [name, shape] : std::vector<std::pair<std::string, std::vector<std::int64_t>>>{
             {"attention.output.dense.weight", {H, H}}, {"attention.output.dense.bias", {H}},
             {"attention.output.LayerNorm.weight", {H}}, {"attention.output.LayerNorm.bias", {H}},
             {"intermediate.dense.weight", {I, H}}, {"intermediate.dense.bias", {I}},
             {"output.dense.weight", {H, I}}, {"output.dense.bias", {H}},
             {"output.LayerNorm.weight", {H}}, {"output.LayerNorm.bias", {H}}})
        tensors.push_back({l + name, shape});
    nlohmann::json header = nlohmann::json::object();
    std::string blob;
    unsigned seed = 1;
    for (const auto& [name, shape] : tensors) {
        std::int64_t count = 1;
        for (auto d : shape) count *= d;
        const std::size_t begin = blob.size();
        for (std::int64_t i = 0; i < count; ++i) {
            seed = seed * 1103515245u + 12345u;
            const float v = name.find("LayerNorm.weight") != std::string::npos
                                ? 1.0f
                                : static_cast<float>((seed >> 16) % 200) / 1000.0f - 0.1f;
            char raw[4];
            std::memcpy(raw, &v, 4);
            blob.append(raw, 4);
        }
        header[name] = {{"dtype", "F32"}, {"shape", shape}, {"data_offsets", {begin, blob.size()}}};
    }
    const std::string h = header.dump();
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((h.size() >> (8 * i)) & 0xFF);
    return out + h + blob;
}

void encode_with(const std::filesystem::path& dir) {
    auto tokenizer = load_tokenizer(dir);
    for (const char* text : {"Hello worlds, 你好!", "", "\xe2\x80\x8b x"}) {
        auto ids = tokenizer->encode(text, 16);
        if (ids.size() > 16) qbfuzz::fail("encode gave more ids than asked");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body = qbfuzz::as_text(data + 1, size - 1);
    const auto dir = qbfuzz::scratch() / "model";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    try {
        switch (data[0] % 6) {
            case 0: {
                SafeTensors tensors(qbfuzz::put("model/model.safetensors", body));
                for (const auto& name : tensors.names()) (void)tensors.get(name);
                break;
            }
            case 1:
                (void)read_bert_config(qbfuzz::put("model/config.json", body));
                break;
            case 2:
                qbfuzz::put("model/vocab.txt", body);
                encode_with(dir);
                break;
            case 3:
                qbfuzz::put("model/tokenizer.json", body);
                encode_with(dir);
                break;
            case 5: {
                static const std::string weights = tiny_weights();
                qbfuzz::put("model/model.safetensors", weights);
                qbfuzz::put("model/config.json", body);
                BertModel model(dir);
                const auto pipeline = read_pipeline_config(dir, model.config());
                for (const auto& v : model.embed({{2, 8, 9, 3}, {2, 40000, 3}, {}}, 0, pipeline.pooling))
                    for (float x : v)
                        if (!std::isfinite(x)) qbfuzz::fail("the encoder gave a value that is not finite");
                break;
            }
            default:
                qbfuzz::put("model/vocab.txt", VOCAB);
                qbfuzz::put("model/tokenizer_config.json", body);
                encode_with(dir);
                break;
        }
    } catch (const ModelError&) {
    } catch (const std::exception&) {
        // The server turns any other exception into an error answer as well.
    }
    return 0;
}
