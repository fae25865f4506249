#pragma once
// A tiny BERT sentence model written in the published Hugging Face layout, and a plain-loop
// reference forward pass to check the runtime against.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tiny {

namespace fs = std::filesystem;

struct Spec {
    int hidden = 16;
    int layers = 2;
    int heads = 4;
    int intermediate = 24;
    int max_pos = 64;
    int max_seq_length = 32;
    bool cls_pooling = false;
    bool lowercase = true;          // tokenizer_config do_lower_case
    bool st_lower_case = false;     // sentence_bert_config do_lower_case
    bool bert_prefix = false;       // tensor names start with "bert."
    float eps = 1e-12f;
    unsigned seed = 7;
};

inline const std::vector<std::string>& vocab() {
    static const std::vector<std::string> v = {
        "[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "the", "weather", "is", "lovely", "today", ".", ",", "!",
        "'", "it", "s", "so", "sunny", "outside", "he", "drove", "to", "stadium", "un", "##aff", "##able",
        "hello", "world", "cafe", "中", "文", "##s", "a", "b", "c", "##a", "##b", "##c", "block", "title",
        "semantic", "search", "x", "?", "-", "(", ")", "hel", "##lo", "éa"};
    return v;
}

using Tensors = std::map<std::string, std::pair<std::vector<std::int64_t>, std::vector<float>>>;

inline void write_safetensors(const fs::path& file, const Tensors& tensors, bool with_position_ids = true) {
    nlohmann::ordered_json header;
    header["__metadata__"] = {{"format", "pt"}};
    std::string data;
    if (with_position_ids) {
        std::vector<std::int64_t> ids(8);
        for (int i = 0; i < 8; ++i) ids[i] = i;
        header["embeddings.position_ids"] = {{"dtype", "I64"}, {"shape", {1, 8}}, {"data_offsets", {0, 64}}};
        data.append(reinterpret_cast<const char*>(ids.data()), 64);
    }
    for (const auto& [name, t] : tensors) {
        std::size_t b = data.size();
        data.append(reinterpret_cast<const char*>(t.second.data()), t.second.size() * 4);
        header[name] = {{"dtype", "F32"}, {"shape", t.first}, {"data_offsets", {b, data.size()}}};
    }
    std::string h = header.dump();
    while ((h.size() + 8) % 8) h.push_back(' ');
    std::uint64_t n = h.size();
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 8; ++i) out.put(static_cast<char>((n >> (8 * i)) & 0xFF));
    out << h << data;
}

inline void write_json(const fs::path& p, const nlohmann::json& j) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << j.dump(2);
}

// Random weights; returns the tensors (keys without any prefix).
inline Tensors make_weights(const Spec& s) {
    std::mt19937 rng(s.seed);
    std::normal_distribution<float> nd(0.0f, 0.4f);
    auto t = [&](std::vector<std::int64_t> shape, float offset = 0.0f) {
        std::size_t n = 1;
        for (auto d : shape) n *= static_cast<std::size_t>(d);
        std::vector<float> v(n);
        for (auto& x : v) x = offset + nd(rng);
        return std::make_pair(shape, v);
    };
    const std::int64_t H = s.hidden, I = s.intermediate, V = static_cast<std::int64_t>(vocab().size());
    Tensors w;
    w["embeddings.word_embeddings.weight"] = t({V, H});
    w["embeddings.position_embeddings.weight"] = t({s.max_pos, H});
    w["embeddings.token_type_embeddings.weight"] = t({2, H});
    w["embeddings.LayerNorm.weight"] = t({H}, 1.0f);
    w["embeddings.LayerNorm.bias"] = t({H});
    for (int l = 0; l < s.layers; ++l) {
        std::string b = "encoder.layer." + std::to_string(l) + ".";
        for (const char* p : {"query", "key", "value"}) {
            w[b + "attention.self." + p + ".weight"] = t({H, H});
            w[b + "attention.self." + p + ".bias"] = t({H});
        }
        w[b + "attention.output.dense.weight"] = t({H, H});
        w[b + "attention.output.dense.bias"] = t({H});
        w[b + "attention.output.LayerNorm.weight"] = t({H}, 1.0f);
        w[b + "attention.output.LayerNorm.bias"] = t({H});
        w[b + "intermediate.dense.weight"] = t({I, H});
        w[b + "intermediate.dense.bias"] = t({I});
        w[b + "output.dense.weight"] = t({H, I});
        w[b + "output.dense.bias"] = t({H});
        w[b + "output.LayerNorm.weight"] = t({H}, 1.0f);
        w[b + "output.LayerNorm.bias"] = t({H});
    }
    return w;
}

inline nlohmann::json config_json(const Spec& s) {
    return {{"architectures", {"BertModel"}},
            {"model_type", "bert"},
            {"hidden_act", "gelu"},
            {"hidden_size", s.hidden},
            {"intermediate_size", s.intermediate},
            {"layer_norm_eps", s.eps},
            {"max_position_embeddings", s.max_pos},
            {"num_attention_heads", s.heads},
            {"num_hidden_layers", s.layers},
            {"type_vocab_size", 2},
            {"vocab_size", static_cast<int>(vocab().size())},
            {"pad_token_id", 0}};
}

// Writes the whole model directory; returns its weights for the reference computation.
inline Tensors write_model(const fs::path& dir, const Spec& s = {}) {
    fs::create_directories(dir);
    Tensors w = make_weights(s);
    Tensors named;
    for (const auto& [k, v] : w) named[(s.bert_prefix ? "bert." : "") + k] = v;
    write_safetensors(dir / "model.safetensors", named);
    write_json(dir / "config.json", config_json(s));
    {
        std::ofstream v(dir / "vocab.txt");
        for (const auto& tok : vocab()) v << tok << "\n";
    }
    write_json(dir / "tokenizer_config.json", {{"do_lower_case", s.lowercase}, {"tokenize_chinese_chars", true},
                                               {"strip_accents", nullptr}, {"tokenizer_class", "BertTokenizer"}});
    write_json(dir / "modules.json",
               nlohmann::json::array({{{"idx", 0}, {"name", "0"}, {"path", ""}, {"type", "sentence_transformers.models.Transformer"}},
                                      {{"idx", 1}, {"name", "1"}, {"path", "1_Pooling"}, {"type", "sentence_transformers.models.Pooling"}},
                                      {{"idx", 2}, {"name", "2"}, {"path", "2_Normalize"}, {"type", "sentence_transformers.models.Normalize"}}}));
    write_json(dir / "1_Pooling" / "config.json",
               {{"word_embedding_dimension", s.hidden}, {"pooling_mode_cls_token", s.cls_pooling},
                {"pooling_mode_mean_tokens", !s.cls_pooling}, {"pooling_mode_max_tokens", false}});
    write_json(dir / "sentence_bert_config.json", {{"max_seq_length", s.max_seq_length}, {"do_lower_case", s.st_lower_case}});
    return w;
}

// Straightforward reference: double precision, explicit loops, full padding-free attention.
inline std::vector<std::vector<double>> reference_hidden(const Tensors& w, const Spec& s, const std::vector<std::int32_t>& ids) {
    const int H = s.hidden, I = s.intermediate, n = static_cast<int>(ids.size()), heads = s.heads, dh = H / heads;
    auto W = [&](const std::string& k) -> const std::vector<float>& { return w.at(k).second; };
    auto layer_norm = [&](std::vector<double>& x, const std::string& base) {
        double mean = 0, var = 0;
        for (double v : x) mean += v;
        mean /= H;
        for (double v : x) var += (v - mean) * (v - mean);
        var /= H;
        for (int i = 0; i < H; ++i)
            x[i] = (x[i] - mean) / std::sqrt(var + s.eps) * W(base + ".weight")[i] + W(base + ".bias")[i];
    };
    auto linear = [&](const std::vector<double>& x, const std::string& base, int out_dim) {
        const auto& m = W(base + ".weight");
        const auto& b = W(base + ".bias");
        const int in_dim = static_cast<int>(x.size());
        std::vector<double> y(out_dim);
        for (int o = 0; o < out_dim; ++o) {
            double acc = b[o];
            for (int i = 0; i < in_dim; ++i) acc += m[o * in_dim + i] * x[i];
            y[o] = acc;
        }
        return y;
    };
    std::vector<std::vector<double>> x(n, std::vector<double>(H));
    for (int t = 0; t < n; ++t) {
        for (int i = 0; i < H; ++i)
            x[t][i] = W("embeddings.word_embeddings.weight")[ids[t] * H + i] +
                      W("embeddings.position_embeddings.weight")[t * H + i] +
                      W("embeddings.token_type_embeddings.weight")[i];
        layer_norm(x[t], "embeddings.LayerNorm");
    }
    for (int l = 0; l < s.layers; ++l) {
        std::string b = "encoder.layer." + std::to_string(l) + ".";
        std::vector<std::vector<double>> q(n), k(n), v(n), ctx(n, std::vector<double>(H));
        for (int t = 0; t < n; ++t) {
            q[t] = linear(x[t], b + "attention.self.query", H);
            k[t] = linear(x[t], b + "attention.self.key", H);
            v[t] = linear(x[t], b + "attention.self.value", H);
        }
        for (int h = 0; h < heads; ++h) {
            for (int t = 0; t < n; ++t) {
                std::vector<double> sc(n);
                double mx = -1e300;
                for (int u = 0; u < n; ++u) {
                    double d = 0;
                    for (int j = 0; j < dh; ++j) d += q[t][h * dh + j] * k[u][h * dh + j];
                    sc[u] = d / std::sqrt(static_cast<double>(dh));
                    mx = std::max(mx, sc[u]);
                }
                double sum = 0;
                for (auto& e : sc) sum += (e = std::exp(e - mx));
                for (int j = 0; j < dh; ++j) {
                    double acc = 0;
                    for (int u = 0; u < n; ++u) acc += sc[u] / sum * v[u][h * dh + j];
                    ctx[t][h * dh + j] = acc;
                }
            }
        }
        for (int t = 0; t < n; ++t) {
            auto a = linear(ctx[t], b + "attention.output.dense", H);
            for (int i = 0; i < H; ++i) a[i] += x[t][i];
            layer_norm(a, b + "attention.output.LayerNorm");
            auto inter = linear(a, b + "intermediate.dense", I);
            for (auto& e : inter) e = 0.5 * e * (1.0 + std::erf(e / std::sqrt(2.0)));
            auto o = linear(inter, b + "output.dense", H);
            for (int i = 0; i < H; ++i) o[i] += a[i];
            layer_norm(o, b + "output.LayerNorm");
            x[t] = o;
        }
    }
    return x;
}

inline std::vector<double> reference_embedding(const Tensors& w, const Spec& s, const std::vector<std::int32_t>& ids) {
    auto x = reference_hidden(w, s, ids);
    std::vector<double> v(s.hidden, 0.0);
    if (s.cls_pooling) {
        v = x[0];
    } else {
        for (const auto& row : x)
            for (int i = 0; i < s.hidden; ++i) v[i] += row[i] / static_cast<double>(x.size());
    }
    double norm = 0;
    for (double e : v) norm += e * e;
    for (double& e : v) e /= std::sqrt(norm);
    return v;
}

inline int id_of(const std::string& tok) {
    const auto& v = vocab();
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i] == tok) return static_cast<int>(i);
    return -1;
}

// A fresh directory removed at the end of the test.
struct TempDir : qbtest::TempDir {
    TempDir() : qbtest::TempDir("qb-semantic") {}
};

// Sets or unsets an environment variable for the scope.
struct EnvVar {
    std::string name;
    std::optional<std::string> old;
    EnvVar(std::string n, std::optional<std::string> value) : name(std::move(n)) {
        if (const char* o = std::getenv(name.c_str())) old = o;
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    ~EnvVar() {
        if (old) ::setenv(name.c_str(), old->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};

}  // namespace tiny
