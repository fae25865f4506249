#include <gtest/gtest.h>
#include <sentencepiece_processor.h>
#include <sentencepiece_trainer.h>

#include <cmath>

#include "quillbox/semantic.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/semantic/runtime.h"
#include "tiny_model.h"

using namespace quillbox;
using tiny::id_of;

namespace {

double max_diff(const std::vector<float>& a, const std::vector<double>& b) {
    EXPECT_EQ(a.size(), b.size());
    double d = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

std::vector<std::int32_t> ids_of(std::initializer_list<const char*> toks) {
    std::vector<std::int32_t> out;
    for (auto t : toks) out.push_back(id_of(t));
    return out;
}

}  // namespace

TEST(Encoder, ForwardPassMatchesReferenceSingleAndBatched) {
    for (bool cls : {false, true}) {
        for (bool prefix : {false, true}) {
            tiny::TempDir tmp;
            tiny::Spec spec;
            spec.cls_pooling = cls;
            spec.bert_prefix = prefix;
            spec.eps = 1e-5f;
            auto w = tiny::write_model(tmp.path, spec);
            SentenceEncoder enc(tmp.path);
            EXPECT_EQ(enc.dim(), 16u);
            std::vector<std::string> texts = {"The weather is lovely today.", "Hello", "",
                                              "he drove to the stadium , it is so sunny outside !"};
            auto batch = enc.encode_batch(texts, 3);  // uneven batches: padding/masking across lengths
            ASSERT_EQ(batch.size(), texts.size());
            for (std::size_t i = 0; i < texts.size(); ++i) {
                auto ids = enc.tokenize(texts[i]);
                auto ref = tiny::reference_embedding(w, spec, ids);
                EXPECT_LT(max_diff(batch[i], ref), 2e-5) << "text " << i << " cls=" << cls << " prefix=" << prefix;
                auto single = enc.encode(texts[i]);
                EXPECT_LT(max_diff(single, ref), 2e-5);
                double norm = 0;
                for (float x : single) norm += double(x) * x;
                EXPECT_NEAR(norm, 1.0, 1e-5);
            }
        }
    }
}

TEST(Encoder, HiddenStatesOfEveryTokenMatchReference) {
    tiny::TempDir tmp;
    tiny::Spec spec;
    spec.layers = 3;
    auto w = tiny::write_model(tmp.path, spec);
    embed::BertModel model(tmp.path);
    std::vector<std::vector<std::int32_t>> batch = {ids_of({"[CLS]", "hello", "world", "[SEP]"}),
                                                    ids_of({"[CLS]", "[SEP]"}),
                                                    ids_of({"[CLS]", "un", "##aff", "##able", "!", "x", "[SEP]"})};
    auto hs = model.hidden_states(batch, 0);
    for (std::size_t b = 0; b < batch.size(); ++b) {
        auto ref = tiny::reference_hidden(w, spec, batch[b]);
        ASSERT_EQ(hs[b].size(), ref.size() * 16);
        std::vector<double> flat;
        for (auto& row : ref) flat.insert(flat.end(), row.begin(), row.end());
        EXPECT_LT(max_diff(hs[b], flat), 5e-5);
    }
}

TEST(Encoder, TruncatesLongTextsToMaxSeqLength) {
    tiny::TempDir tmp;
    tiny::Spec spec;
    spec.max_seq_length = 10;
    tiny::write_model(tmp.path, spec);
    SentenceEncoder enc(tmp.path);
    std::string huge;
    for (int i = 0; i < 20000; ++i) huge += "hello world ";
    auto ids = enc.tokenize(huge);
    ASSERT_EQ(ids.size(), 10u);
    EXPECT_EQ(ids.front(), id_of("[CLS]"));
    EXPECT_EQ(ids.back(), id_of("[SEP]"));
    EXPECT_EQ(enc.encode(huge).size(), 16u);
}

TEST(WordPiece, BasicTokenizationRules) {
    tiny::TempDir tmp;
    tiny::write_model(tmp.path);
    auto tok = embed::load_tokenizer(tmp.path);
    auto* wp = dynamic_cast<embed::WordPieceTokenizer*>(tok.get());
    ASSERT_NE(wp, nullptr);
    using V = std::vector<std::string>;
    // Lower-casing, accent stripping (NFD, marks dropped), punctuation split, control chars dropped.
    EXPECT_EQ(wp->basic_tokens("Héllo,WORLD!\x01 Ça\tva?"), (V{"hello", ",", "world", "!", "ca", "va", "?"}));
    // Every CJK ideograph stands alone; other scripts stay whole words.
    EXPECT_EQ(wp->basic_tokens("中文abc ПРИВЕТ"), (V{"中", "文", "abc", "привет"}));
    EXPECT_EQ(wp->basic_tokens("it's"), (V{"it", "'", "s"}));
    // The tokenizer lower-cases each character alone (no final sigma); the sentence-level
    // do_lower_case is a whole-string mapping.
    EXPECT_EQ(wp->basic_tokens("ΣΊΣΥΦΟΣ"), (V{"σισυφοσ"}));
    EXPECT_EQ(embed::lower_case("ΣΊΣΥΦΟΣ"), "σίσυφος");
    EXPECT_EQ(wp->wordpiece("unaffable"), (V{"un", "##aff", "##able"}));
    EXPECT_EQ(wp->wordpiece("unaffablez"), (V{"[UNK]"}));
    EXPECT_EQ(wp->wordpiece(std::string(101, 'a')), (V{"[UNK]"}));
    EXPECT_EQ(tok->encode("Hello, world", 32), ids_of({"[CLS]", "hello", ",", "world", "[SEP]"}));
    // Scripts without vocabulary entries become [UNK]; nothing crashes, invalid bytes vanish.
    EXPECT_EQ(tok->encode("😀 שלום مرحبا \xff\xfe", 32), ids_of({"[CLS]", "[UNK]", "[UNK]", "[UNK]", "[SEP]"}));
}

TEST(WordPiece, CaseHandlingFollowsTheModelFiles) {
    // tokenizer.json overrides: no lower-casing and so no accent stripping either.
    tiny::TempDir tmp;
    tiny::write_model(tmp.path);
    nlohmann::json vocab = nlohmann::json::object();
    for (std::size_t i = 0; i < tiny::vocab().size(); ++i) vocab[tiny::vocab()[i]] = i;
    tiny::write_json(tmp.path / "tokenizer.json",
                     {{"normalizer", {{"type", "BertNormalizer"}, {"lowercase", false}, {"strip_accents", nullptr},
                                      {"handle_chinese_chars", true}, {"clean_text", true}}},
                      {"model", {{"type", "WordPiece"}, {"unk_token", "[UNK]"}, {"continuing_subword_prefix", "##"},
                                 {"max_input_chars_per_word", 100}, {"vocab", vocab}}}});
    {
        auto tok = embed::load_tokenizer(tmp.path);
        EXPECT_EQ(tok->encode("Hello hello éa", 32), ids_of({"[CLS]", "[UNK]", "hello", "éa", "[SEP]"}));
    }
    // sentence_bert_config do_lower_case lower-cases before such a tokenizer.
    tiny::write_json(tmp.path / "sentence_bert_config.json", {{"max_seq_length", 32}, {"do_lower_case", true}});
    SentenceEncoder enc(tmp.path);
    EXPECT_EQ(enc.tokenize("HELLO World"), ids_of({"[CLS]", "hello", "world", "[SEP]"}));
}

TEST(SentencePiece, XlmrIdsAreShiftedByOne) {
    tiny::TempDir tmp;
    {
        std::ofstream corpus(tmp.path / "corpus.txt");
        for (int i = 0; i < 50; ++i)
            corpus << "the weather is lovely today\nes ist schönes wetter heute\n今天天气很好\nsunny outside\n";
    }
    auto st = sentencepiece::SentencePieceTrainer::Train(
        "--input=" + (tmp.path / "corpus.txt").string() + " --model_prefix=" + (tmp.path / "sp").string() +
        " --vocab_size=60 --model_type=bpe --character_coverage=1.0 --minloglevel=2");
    ASSERT_TRUE(st.ok()) << st.ToString();
    tiny::TempDir model;
    tiny::write_model(model.path);
    std::filesystem::copy_file(tmp.path / "sp.model", model.path / "sentencepiece.bpe.model");
    sentencepiece::SentencePieceProcessor sp;
    ASSERT_TRUE(sp.Load((tmp.path / "sp.model").string()).ok());

    auto tok = embed::load_tokenizer(model.path);
    EXPECT_EQ(tok->pad_id(), 1);
    std::vector<int> pieces;
    ASSERT_TRUE(sp.Encode("the weather 🌧", &pieces).ok());
    std::vector<std::int32_t> expect{0};
    for (int p : pieces) expect.push_back(p == sp.unk_id() ? 3 : p + 1);
    expect.push_back(2);
    auto ids = tok->encode("the weather 🌧", 64);
    EXPECT_EQ(ids, expect);
    EXPECT_NE(std::find(ids.begin(), ids.end(), 3), ids.end()) << "the emoji is unknown to this vocabulary";
    EXPECT_EQ(tok->encode("the weather is lovely today", 4).size(), 4u);
    EXPECT_EQ(tok->encode("", 8), (std::vector<std::int32_t>{0, 2}));
}

TEST(ModelFiles, CorruptOrForeignFilesGiveClearErrors) {
    auto expect_error = [](const std::filesystem::path& dir, const std::string& fragment) {
        try {
            SentenceEncoder enc(dir);
            ADD_FAILURE() << "no error for " << fragment;
        } catch (const ModelError& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    };
    tiny::TempDir tmp;
    const auto dir = tmp.path / "m";
    tiny::write_model(dir);
    const auto st = dir / "model.safetensors";
    const std::string good = detail::read_file_bytes(st);

    std::ofstream(st, std::ios::binary | std::ios::trunc) << good.substr(0, good.size() / 2);
    expect_error(dir, "outside the file");
    std::ofstream(st, std::ios::binary | std::ios::trunc) << good.substr(0, 5);
    expect_error(dir, "truncated");
    std::ofstream(st, std::ios::binary | std::ios::trunc) << std::string("\xff\xff\xff\xff\0\0\0\0garbage", 15);
    expect_error(dir, "truncated or not a safetensors");
    std::string bad_header = good;
    bad_header[9] = '#';
    std::ofstream(st, std::ios::binary | std::ios::trunc) << bad_header;
    expect_error(dir, "unreadable safetensors header");

    // Shapes that disagree with config.json.
    std::ofstream(st, std::ios::binary | std::ios::trunc) << good;
    tiny::Spec other;
    other.hidden = 32;
    auto cfg = tiny::config_json(other);
    tiny::write_json(dir / "config.json", cfg);
    expect_error(dir, "expected [");
    // Another architecture.
    cfg["model_type"] = "gpt2";
    tiny::write_json(dir / "config.json", cfg);
    expect_error(dir, "unsupported model architecture \"gpt2\"");
    std::ofstream(dir / "config.json") << "{not json";
    expect_error(dir, "not valid JSON");
    tiny::write_json(dir / "config.json", tiny::config_json({}));
    std::filesystem::remove(dir / "model.safetensors");
    expect_error(dir, "no model.safetensors");
    expect_error(tmp.path / "missing", "does not exist");
}
