#include <sentencepiece_processor.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

namespace quillbox::embed {

namespace fs = std::filesystem;

namespace {

bool is_whitespace(UChar32 c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || u_charType(c) == U_SPACE_SEPARATOR;
}

bool is_control(UChar32 c) {
    if (c == '\t' || c == '\n' || c == '\r') return false;
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_UNASSIGNED:
        case U_PRIVATE_USE_CHAR:
        case U_SURROGATE:
            return true;
        default:
            return false;
    }
}

bool is_punctuation(UChar32 c) {
    if ((c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) ||
        (c >= 123 && c <= 126))
        return true;
    switch (u_charType(c)) {
        case U_CONNECTOR_PUNCTUATION:
        case U_DASH_PUNCTUATION:
        case U_START_PUNCTUATION:
        case U_END_PUNCTUATION:
        case U_INITIAL_PUNCTUATION:
        case U_FINAL_PUNCTUATION:
        case U_OTHER_PUNCTUATION:
            return true;
        default:
            return false;
    }
}

bool is_chinese_char(UChar32 c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0x2A700 && c <= 0x2B73F) ||
           (c >= 0x2B740 && c <= 0x2B81F) || (c >= 0x2B820 && c <= 0x2CEAF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

std::string to_utf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::string strip_accents(const icu::UnicodeString& s) {
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(err);
    icu::UnicodeString d = U_SUCCESS(err) ? nfd->normalize(s, err) : s;
    if (U_FAILURE(err)) d = s;
    std::string out;
    for (int32_t i = 0; i < d.length();) {
        UChar32 c = d.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) == U_NON_SPACING_MARK) continue;
        detail::append_utf8(out, static_cast<char32_t>(c));
    }
    return out;
}

// Character by character, without context rules such as the final sigma, as the reference
// tokenizers lower-case.
icu::UnicodeString lower_each_char(const icu::UnicodeString& s) {
    icu::UnicodeString out;
    for (int32_t i = 0; i < s.length();) {
        UChar32 c = s.char32At(i);
        i += U16_LENGTH(c);
        if (c < 0x80) {
            out.append(static_cast<UChar32>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        } else {
            icu::UnicodeString one(c);
            one.toLower(icu::Locale::getRoot());
            out.append(one);
        }
    }
    return out;
}

std::int32_t lookup(const std::unordered_map<std::string, std::int32_t>& vocab, const std::string& tok,
                    const char* role) {
    auto it = vocab.find(tok);
    if (it == vocab.end())
        throw ModelError(std::string("the vocabulary has no ") + role + " token " + tok);
    return it->second;
}

}  // namespace

std::string lower_case(std::string_view text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    u.toLower(icu::Locale::getRoot());
    return to_utf8(u);
}

WordPieceTokenizer::WordPieceTokenizer(std::unordered_map<std::string, std::int32_t> vocab,
                                       WordPieceOptions opt)
    : vocab_(std::move(vocab)), opt_(std::move(opt)) {
    unk_ = lookup(vocab_, opt_.unk_token, "unknown");
    cls_ = lookup(vocab_, opt_.cls_token, "classifier");
    sep_ = lookup(vocab_, opt_.sep_token, "separator");
    pad_ = lookup(vocab_, opt_.pad_token, "padding");
}

std::vector<std::string> WordPieceTokenizer::basic_tokens(std::string_view text) const {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    // Clean and space out CJK characters; whitespace separates words.
    std::vector<icu::UnicodeString> words;
    icu::UnicodeString cur;
    auto flush = [&] {
        if (!cur.isEmpty()) words.push_back(cur);
        cur.remove();
    };
    for (int32_t i = 0; i < u.length();) {
        UChar32 c = u.char32At(i);
        i += U16_LENGTH(c);
        if (opt_.clean_text && (c == 0 || c == 0xFFFD || is_control(c))) continue;
        if (is_whitespace(c)) {
            flush();
            continue;
        }
        if (opt_.tokenize_chinese_chars && is_chinese_char(c)) {
            flush();
            cur.append(c);
            flush();
            continue;
        }
        cur.append(c);
    }
    flush();

    const bool strip = opt_.strip_accents.value_or(opt_.lowercase);
    std::vector<std::string> out;
    for (auto& w : words) {
        if (opt_.lowercase) w = lower_each_char(w);
        std::string norm = strip ? strip_accents(w) : to_utf8(w);
        // Punctuation characters stand alone.
        std::string piece;
        for (std::size_t i = 0; i < norm.size();) {
            std::size_t start = i;
            char32_t c = detail::next_code_point(norm, i);
            if (is_punctuation(static_cast<UChar32>(c))) {
                if (!piece.empty()) out.push_back(std::move(piece));
                piece.clear();
                out.push_back(norm.substr(start, i - start));
            } else {
                piece.append(norm, start, i - start);
            }
        }
        if (!piece.empty()) out.push_back(std::move(piece));
    }
    return out;
}

std::vector<std::string> WordPieceTokenizer::wordpiece(const std::string& word) const {
    std::vector<std::size_t> bounds;  // byte offsets of code point starts, plus the end
    for (std::size_t i = 0; i < word.size();) {
        bounds.push_back(i);
        detail::next_code_point(word, i);
    }
    bounds.push_back(word.size());
    const std::size_t n = bounds.size() - 1;
    if (n > opt_.max_input_chars_per_word) return {opt_.unk_token};
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < n) {
        std::size_t end = n;
        std::string found;
        bool ok = false;
        while (start < end) {
            std::string sub = word.substr(bounds[start], bounds[end] - bounds[start]);
            if (start > 0) sub = opt_.prefix + sub;
            if (vocab_.count(sub)) {
                found = std::move(sub);
                ok = true;
                break;
            }
            --end;
        }
        if (!ok) return {opt_.unk_token};
        pieces.push_back(std::move(found));
        start = end;
    }
    return pieces;
}

std::vector<std::int32_t> WordPieceTokenizer::encode(std::string_view text, std::size_t max_len) const {
    std::vector<std::int32_t> ids{cls_};
    const std::size_t limit = max_len < 2 ? 0 : max_len - 2;
    for (const auto& w : basic_tokens(text)) {
        if (ids.size() - 1 >= limit) break;
        for (const auto& p : wordpiece(w)) {
            if (ids.size() - 1 >= limit) break;
            auto it = vocab_.find(p);
            ids.push_back(it == vocab_.end() ? unk_ : it->second);
        }
    }
    ids.push_back(sep_);
    return ids;
}

namespace {

// XLM-R vocabulary through SentencePiece: fairseq puts <s>, <pad>, </s>, <unk> first and shifts
// every other piece by one.
class XlmrTokenizer : public Tokenizer {
public:
    explicit XlmrTokenizer(const fs::path& model) {
        auto st = sp_.Load(model.string());
        if (!st.ok()) throw ModelError("cannot load " + model.string() + ": " + st.ToString());
    }
    std::vector<std::int32_t> encode(std::string_view text, std::size_t max_len) const override {
        std::vector<int> pieces;
        auto st = sp_.Encode(absl::string_view(text.data(), text.size()), &pieces);
        if (!st.ok()) throw ModelError("sentencepiece failed: " + st.ToString());
        std::vector<std::int32_t> ids{0};
        const std::size_t limit = max_len < 2 ? 0 : max_len - 2;
        for (int p : pieces) {
            if (ids.size() - 1 >= limit) break;
            ids.push_back(p == sp_.unk_id() ? 3 : p + 1);
        }
        ids.push_back(2);
        return ids;
    }
    std::int32_t pad_id() const override { return 1; }

private:
    sentencepiece::SentencePieceProcessor sp_;
};

nlohmann::json read_json(const fs::path& p) {
    std::string text = detail::read_file_bytes(p);
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) throw ModelError(p.string() + " is not valid JSON");
    return j;
}

std::string token_text(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_object() && v.contains("content") && v["content"].is_string())
        return v["content"].get<std::string>();
    return {};
}

void apply_tokenizer_config(const nlohmann::json& tc, WordPieceOptions& opt) {
    if (!tc.is_object()) return;
    if (tc.contains("do_lower_case") && tc["do_lower_case"].is_boolean())
        opt.lowercase = tc["do_lower_case"].get<bool>();
    if (tc.contains("strip_accents") && tc["strip_accents"].is_boolean())
        opt.strip_accents = tc["strip_accents"].get<bool>();
    if (tc.contains("tokenize_chinese_chars") && tc["tokenize_chinese_chars"].is_boolean())
        opt.tokenize_chinese_chars = tc["tokenize_chinese_chars"].get<bool>();
    for (auto [key, field] : {std::pair{"unk_token", &opt.unk_token}, {"cls_token", &opt.cls_token},
                              {"sep_token", &opt.sep_token}, {"pad_token", &opt.pad_token}}) {
        if (tc.contains(key)) {
            std::string t = token_text(tc[key]);
            if (!t.empty()) *field = t;
        }
    }
}

}  // namespace

std::unique_ptr<Tokenizer> load_tokenizer(const fs::path& dir) {
    if (fs::exists(dir / "sentencepiece.bpe.model"))
        return std::make_unique<XlmrTokenizer>(dir / "sentencepiece.bpe.model");

    WordPieceOptions opt;
    std::unordered_map<std::string, std::int32_t> vocab;
    if (fs::exists(dir / "tokenizer_config.json"))
        apply_tokenizer_config(read_json(dir / "tokenizer_config.json"), opt);

    if (fs::exists(dir / "vocab.txt")) {
        std::string text = detail::read_file_bytes(dir / "vocab.txt");
        std::int32_t id = 0;
        for (auto& line : detail::split_lines(detail::normalize_newlines(text))) {
            vocab.insert_or_assign(line, id++);
        }
    }
    nlohmann::json tj;
    if (fs::exists(dir / "tokenizer.json")) {
        tj = read_json(dir / "tokenizer.json");
        const auto& model = tj.value("model", nlohmann::json::object());
        if (model.value("type", "") != "WordPiece") {
            if (vocab.empty())
                throw ModelError((dir / "tokenizer.json").string() + ": unsupported tokenizer model " +
                                 model.value("type", std::string("(none)")));
            tj = nlohmann::json();  // vocab.txt with tokenizer_config.json describes it instead
        }
    }
    if (tj.is_object()) {
        const auto& model = tj.value("model", nlohmann::json::object());
        if (vocab.empty() && model.contains("vocab") && model["vocab"].is_object()) {
            for (auto& [tok, id] : model["vocab"].items())
                if (id.is_number_integer()) vocab.emplace(tok, id.get<std::int32_t>());
        }
        if (model.contains("unk_token") && model["unk_token"].is_string())
            opt.unk_token = model["unk_token"].get<std::string>();
        if (model.contains("continuing_subword_prefix") && model["continuing_subword_prefix"].is_string())
            opt.prefix = model["continuing_subword_prefix"].get<std::string>();
        if (model.contains("max_input_chars_per_word") &&
            model["max_input_chars_per_word"].is_number_unsigned())
            opt.max_input_chars_per_word = model["max_input_chars_per_word"].get<std::size_t>();
        const auto& norm = tj.value("normalizer", nlohmann::json());
        if (norm.is_object() && norm.value("type", "") == "BertNormalizer") {
            if (norm.contains("lowercase") && norm["lowercase"].is_boolean())
                opt.lowercase = norm["lowercase"].get<bool>();
            if (norm.contains("strip_accents") && norm["strip_accents"].is_boolean())
                opt.strip_accents = norm["strip_accents"].get<bool>();
            else
                opt.strip_accents.reset();
            if (norm.contains("handle_chinese_chars") && norm["handle_chinese_chars"].is_boolean())
                opt.tokenize_chinese_chars = norm["handle_chinese_chars"].get<bool>();
            if (norm.contains("clean_text") && norm["clean_text"].is_boolean())
                opt.clean_text = norm["clean_text"].get<bool>();
        }
    }
    if (vocab.empty())
        throw ModelError(dir.string() + " has no tokenizer (vocab.txt, tokenizer.json or "
                                        "sentencepiece.bpe.model)");
    return std::make_unique<WordPieceTokenizer>(std::move(vocab), std::move(opt));
}

}  // namespace quillbox::embed
