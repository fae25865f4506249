#include <Eigen/Core>
#include <unsupported/Eigen/SpecialFunctions>
#include <cmath>
#include <cblas.h>
#include <nlohmann/json.hpp>

#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

namespace quillbox::embed {

namespace fs = std::filesystem;
using Mat = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using CMap = Eigen::Map<const Mat>;
using Vec = Eigen::Map<const Eigen::RowVectorXf>;

namespace {

nlohmann::json read_json(const fs::path& p) {
    std::string text;
    try {
        text = detail::read_file_bytes(p);
    } catch (const std::exception& e) {
        throw ModelError("cannot read " + p.string() + ": " + e.what());
    }
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) throw ModelError(p.string() + " is not valid JSON");
    return j;
}

int positive_int(const nlohmann::json& j, const char* key, const fs::path& file,
                 std::optional<int> fallback = std::nullopt) {
    if (!j.contains(key)) {
        if (fallback) return *fallback;
        throw ModelError(file.string() + " lacks \"" + key + "\"");
    }
    const auto& v = j[key];
    if (!v.is_number_integer() || v.get<long long>() <= 0 || v.get<long long>() > 10'000'000)
        throw ModelError(file.string() + ": \"" + key + "\" is not a sensible positive integer");
    return static_cast<int>(v.get<long long>());
}

}  // namespace

BertConfig read_bert_config(const fs::path& file) {
    auto j = read_json(file);
    if (!j.is_object()) throw ModelError(file.string() + " is not a JSON object");
    std::string type = j.value("model_type", std::string());
    if (type != "bert") {
        std::string arch;
        if (j.contains("architectures") && j["architectures"].is_array() && !j["architectures"].empty() &&
            j["architectures"][0].is_string())
            arch = j["architectures"][0].get<std::string>();
        throw ModelError(file.string() + ": unsupported model architecture \"" +
                         (type.empty() ? arch : type) + "\" (only BERT encoders are supported)");
    }
    if (j.value("position_embedding_type", std::string("absolute")) != "absolute")
        throw ModelError(file.string() + ": only absolute position embeddings are supported");
    BertConfig c;
    c.vocab_size = positive_int(j, "vocab_size", file);
    c.hidden_size = positive_int(j, "hidden_size", file);
    c.num_hidden_layers = positive_int(j, "num_hidden_layers", file);
    c.num_attention_heads = positive_int(j, "num_attention_heads", file);
    c.intermediate_size = positive_int(j, "intermediate_size", file);
    c.max_position_embeddings = positive_int(j, "max_position_embeddings", file);
    c.type_vocab_size = positive_int(j, "type_vocab_size", file, 2);
    if (j.contains("layer_norm_eps")) {
        if (!j["layer_norm_eps"].is_number() || !(j["layer_norm_eps"].get<double>() > 0))
            throw ModelError(file.string() + ": \"layer_norm_eps\" must be a positive number");
        c.layer_norm_eps = j["layer_norm_eps"].get<float>();
    }
    c.hidden_act = j.value("hidden_act", std::string("gelu"));
    if (c.hidden_act != "gelu" && c.hidden_act != "gelu_new" && c.hidden_act != "gelu_pytorch_tanh" &&
        c.hidden_act != "relu")
        throw ModelError(file.string() + ": unsupported activation \"" + c.hidden_act + "\"");
    if (c.hidden_size % c.num_attention_heads != 0)
        throw ModelError(file.string() + ": hidden_size is not a multiple of num_attention_heads");
    return c;
}

PipelineConfig read_pipeline_config(const fs::path& dir, const BertConfig& cfg) {
    PipelineConfig p;
    p.max_seq_length = static_cast<std::size_t>(std::min(512, cfg.max_position_embeddings));
    fs::path pooling_dir = dir / "1_Pooling";
    if (fs::exists(dir / "modules.json")) {
        auto m = read_json(dir / "modules.json");
        if (m.is_array()) {
            for (const auto& mod : m) {
                if (!mod.is_object()) continue;
                std::string type = mod.value("type", std::string());
                if (type.size() >= 7 && type.compare(type.size() - 7, 7, "Pooling") == 0 &&
                    mod.contains("path") && mod["path"].is_string())
                    pooling_dir = dir / mod["path"].get<std::string>();
            }
        }
    }
    if (fs::exists(pooling_dir / "config.json")) {
        auto pc = read_json(pooling_dir / "config.json");
        if (!pc.is_object()) throw ModelError((pooling_dir / "config.json").string() + " is not an object");
        if (pc.value("pooling_mode_cls_token", false)) {
            p.pooling = Pooling::cls;
        } else if (pc.value("pooling_mode_mean_tokens", false)) {
            p.pooling = Pooling::mean;
        } else {
            throw ModelError((pooling_dir / "config.json").string() +
                             ": only mean and CLS pooling are supported");
        }
    }
    if (fs::exists(dir / "sentence_bert_config.json")) {
        auto sc = read_json(dir / "sentence_bert_config.json");
        if (sc.is_object()) {
            if (sc.contains("max_seq_length") && sc["max_seq_length"].is_number_integer() &&
                sc["max_seq_length"].get<long long>() >= 2)
                p.max_seq_length = std::min<std::size_t>(sc["max_seq_length"].get<std::size_t>(),
                                                         cfg.max_position_embeddings);
            if (sc.contains("do_lower_case") && sc["do_lower_case"].is_boolean())
                p.do_lower_case = sc["do_lower_case"].get<bool>();
        }
    }
    return p;
}

struct BertModel::Weights {
    struct Layer {
        Mat qkv_w;  // 3H x H: query, key and value stacked
        Eigen::RowVectorXf qkv_b;
        const float *o_w, *o_b, *ln1_g, *ln1_b, *i_w, *i_b, *f_w, *f_b, *ln2_g, *ln2_b;
    };
    BertConfig cfg;
    const float *word, *pos, *type, *ln_g, *ln_b;
    std::vector<Layer> layers;
};

BertModel::BertModel(const fs::path& dir) {
    auto cfg = read_bert_config(dir / "config.json");
    if (!fs::exists(dir / "model.safetensors"))
        throw ModelError(dir.string() + " has no model.safetensors");
    file_ = std::make_unique<SafeTensors>(dir / "model.safetensors");
    w_ = std::make_unique<Weights>();
    w_->cfg = cfg;
    const std::int64_t H = cfg.hidden_size, I = cfg.intermediate_size;
    std::string pre = file_->has("embeddings.word_embeddings.weight") ? "" : "bert.";
    auto t = [&](const std::string& name, std::vector<std::int64_t> shape) {
        return file_->get(pre + name, shape).data;
    };
    auto ln = [&](const std::string& base, const char* which) {
        std::string a = base + (which[0] == 'g' ? ".weight" : ".bias");
        std::string b = base + (which[0] == 'g' ? ".gamma" : ".beta");
        return file_->has(pre + a) ? t(a, {H}) : t(b, {H});
    };
    w_->word = t("embeddings.word_embeddings.weight", {cfg.vocab_size, H});
    w_->pos = t("embeddings.position_embeddings.weight", {cfg.max_position_embeddings, H});
    w_->type = t("embeddings.token_type_embeddings.weight", {cfg.type_vocab_size, H});
    w_->ln_g = ln("embeddings.LayerNorm", "g");
    w_->ln_b = ln("embeddings.LayerNorm", "b");
    for (int l = 0; l < cfg.num_hidden_layers; ++l) {
        const std::string b = "encoder.layer." + std::to_string(l) + ".";
        Weights::Layer L;
        L.qkv_w.resize(3 * H, H);
        L.qkv_b.resize(3 * H);
        const char* parts[3] = {"query", "key", "value"};
        for (int k = 0; k < 3; ++k) {
            L.qkv_w.middleRows(k * H, H) = CMap(t(b + "attention.self." + parts[k] + ".weight", {H, H}), H, H);
            L.qkv_b.segment(k * H, H) = Vec(t(b + "attention.self." + parts[k] + ".bias", {H}), H);
        }
        L.o_w = t(b + "attention.output.dense.weight", {H, H});
        L.o_b = t(b + "attention.output.dense.bias", {H});
        L.ln1_g = ln(b + "attention.output.LayerNorm", "g");
        L.ln1_b = ln(b + "attention.output.LayerNorm", "b");
        L.i_w = t(b + "intermediate.dense.weight", {I, H});
        L.i_b = t(b + "intermediate.dense.bias", {I});
        L.f_w = t(b + "output.dense.weight", {H, I});
        L.f_b = t(b + "output.dense.bias", {H});
        L.ln2_g = ln(b + "output.LayerNorm", "g");
        L.ln2_b = ln(b + "output.LayerNorm", "b");
        w_->layers.push_back(std::move(L));
    }
}

BertModel::~BertModel() = default;

const BertConfig& BertModel::config() const { return w_->cfg; }

namespace {

void layer_norm(Mat& x, const float* g, const float* b, float eps) {
    const Eigen::Index H = x.cols();
    Vec gv(g, H), bv(b, H);
    for (Eigen::Index r = 0; r < x.rows(); ++r) {
        auto row = x.row(r);
        float mean = row.mean();
        row.array() -= mean;
        float var = row.squaredNorm() / static_cast<float>(H);
        row *= 1.0f / std::sqrt(var + eps);
        row = row.cwiseProduct(gv) + bv;
    }
}

void activate(Mat& x, const std::string& act) {
    float* p = x.data();
    const Eigen::Index n = x.size();
    if (act == "gelu") {
        auto a = x.array();
        a = 0.5f * a * (1.0f + (a * 0.70710678118654752f).erf());
    } else if (act == "relu") {
        for (Eigen::Index i = 0; i < n; ++i) p[i] = std::max(0.0f, p[i]);
    } else {
        const float k = 0.7978845608028654f;
        for (Eigen::Index i = 0; i < n; ++i)
            p[i] = 0.5f * p[i] * (1.0f + std::tanh(k * (p[i] + 0.044715f * p[i] * p[i] * p[i])));
    }
}

// c (rows x n) = a (rows x k) times the transpose of the row-major n x k weight w, plus what c
// holds times `beta`: straight to BLAS, so that the result is neither zeroed first nor copied.
void times_transposed(const Mat& a, const float* w, Eigen::Index n, Mat& c, float beta) {
    const Eigen::Index rows = a.rows(), k = a.cols();
    if (rows == 0) return;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), static_cast<int>(n),
                static_cast<int>(k), 1.0f, a.data(), static_cast<int>(k), w, static_cast<int>(k), beta, c.data(),
                static_cast<int>(n));
}

// Every row of c set to the bias: the product is then added on top of it.
void fill_rows(Mat& c, const float* bias) { c.rowwise() = Vec(bias, c.cols()); }

}  // namespace

// The batch is packed: the real tokens of all sequences stacked, no padding rows. Attention is
// computed per sequence over its own tokens only, which is exactly what the padding mask does.
static Mat run_encoder(const BertModel::Weights& w, const std::vector<std::vector<std::int32_t>>& batch,
                       std::vector<Eigen::Index>& offsets) {
    const auto& c = w.cfg;
    const Eigen::Index H = c.hidden_size, I = c.intermediate_size;
    const Eigen::Index heads = c.num_attention_heads, dh = H / heads;
    offsets.assign(1, 0);
    for (const auto& s : batch) {
        if (static_cast<int>(s.size()) > c.max_position_embeddings)
            throw ModelError("sequence of " + std::to_string(s.size()) + " tokens exceeds the model's " +
                             std::to_string(c.max_position_embeddings) + " positions");
        offsets.push_back(offsets.back() + static_cast<Eigen::Index>(s.size()));
    }
    const Eigen::Index N = offsets.back();
    Mat x(N, H);
    for (std::size_t b = 0; b < batch.size(); ++b) {
        for (std::size_t i = 0; i < batch[b].size(); ++i) {
            std::int32_t id = batch[b][i];
            if (id < 0 || id >= c.vocab_size) id = 0;
            x.row(offsets[b] + static_cast<Eigen::Index>(i)) =
                Vec(w.word + static_cast<std::size_t>(id) * H, H) + Vec(w.pos + i * H, H) + Vec(w.type, H);
        }
    }
    layer_norm(x, w.ln_g, w.ln_b, c.layer_norm_eps);

    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    Mat qkv(N, 3 * H), ctx(N, H), inter(N, I), scores;
    for (const auto& L : w.layers) {
        qkv.rowwise() = L.qkv_b;
        times_transposed(x, L.qkv_w.data(), 3 * H, qkv, 1.0f);
        for (std::size_t b = 0; b < batch.size(); ++b) {
            const Eigen::Index off = offsets[b], len = offsets[b + 1] - offsets[b];
            for (Eigen::Index h = 0; h < heads; ++h) {
                auto q = qkv.block(off, h * dh, len, dh);
                auto k = qkv.block(off, H + h * dh, len, dh);
                auto v = qkv.block(off, 2 * H + h * dh, len, dh);
                scores.noalias() = (q * k.transpose()) * scale;
                for (Eigen::Index r = 0; r < len; ++r) {
                    auto row = scores.row(r);
                    float m = row.maxCoeff();
                    row = (row.array() - m).exp();
                    row /= row.sum();
                }
                ctx.block(off, h * dh, len, dh).noalias() = scores * v;
            }
        }
        // The residual sums build up in x itself: bias first, then the product added onto it.
        x.rowwise() += Vec(L.o_b, H);
        times_transposed(ctx, L.o_w, H, x, 1.0f);
        layer_norm(x, L.ln1_g, L.ln1_b, c.layer_norm_eps);
        fill_rows(inter, L.i_b);
        times_transposed(x, L.i_w, I, inter, 1.0f);
        activate(inter, c.hidden_act);
        x.rowwise() += Vec(L.f_b, H);
        times_transposed(inter, L.f_w, H, x, 1.0f);
        layer_norm(x, L.ln2_g, L.ln2_b, c.layer_norm_eps);
    }
    return x;
}

std::vector<std::vector<float>> BertModel::hidden_states(const std::vector<std::vector<std::int32_t>>& batch,
                                                         std::int32_t) const {
    std::vector<Eigen::Index> off;
    Mat x = run_encoder(*w_, batch, off);
    std::vector<std::vector<float>> out;
    for (std::size_t b = 0; b < batch.size(); ++b) {
        const auto* p = x.data() + off[b] * x.cols();
        out.emplace_back(p, p + (off[b + 1] - off[b]) * x.cols());
    }
    return out;
}

std::vector<std::vector<float>> BertModel::embed(const std::vector<std::vector<std::int32_t>>& batch,
                                                 std::int32_t, Pooling pooling) const {
    std::vector<Eigen::Index> off;
    Mat x = run_encoder(*w_, batch, off);
    std::vector<std::vector<float>> out;
    for (std::size_t b = 0; b < batch.size(); ++b) {
        const Eigen::Index len = off[b + 1] - off[b];
        Eigen::RowVectorXf v;
        if (len == 0) {
            v = Eigen::RowVectorXf::Zero(x.cols());
        } else if (pooling == Pooling::cls) {
            v = x.row(off[b]);
        } else {
            v = x.middleRows(off[b], len).colwise().mean();
        }
        // Same guard as torch.nn.functional.normalize.
        float n = std::max(v.norm(), 1e-12f);
        v /= n;
        out.emplace_back(v.data(), v.data() + v.size());
    }
    return out;
}

}  // namespace quillbox::embed
