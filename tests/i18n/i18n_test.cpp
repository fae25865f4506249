#include "quillbox/i18n.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>

using namespace quillbox;

namespace {

// Restores English after each test: the language is process-wide.
class I18n : public ::testing::Test {
protected:
    void TearDown() override { set_language("en"); }
};

std::string fmt1(const std::string& spec, MessageArg v) {
    // The unknown-key path formats the key itself, which lets a test use any template.
    return get_message("{v" + spec + "}", {{"v", std::move(v)}});
}

}  // namespace

TEST_F(I18n, CatalogueHasTheSameKeysInBothLanguages) {
    ASSERT_EQ(MESSAGES.size(), 2u);
    ASSERT_EQ(MESSAGES.begin()->first, "en");
    const auto& en = MESSAGES.at("en");
    const auto& zh = MESSAGES.at("zh");
    // A floor, not a pin: new messages come with new features.
    EXPECT_GE(en.size(), 162u);
    std::set<std::string> ek, zk;
    for (auto& [k, v] : en) ek.insert(k);
    for (auto& [k, v] : zh) zk.insert(k);
    EXPECT_EQ(ek, zk);
}

// A Chinese template that names an argument the English one does not gets no value from the
// caller, and fails only for Chinese sessions: both languages name the same arguments, and every
// template formats with them. (The configuration errors are given both spellings.)
TEST_F(I18n, BothLanguagesNameTheSameArgumentsAndFormatWithThem) {
    const std::regex placeholder(R"(\{([a-z_]+)(:[^}]*)?\})");
    auto arguments = [&](const std::string& templ) {
        std::map<std::string, std::string> names;  // name -> spec
        for (std::sregex_iterator it(templ.begin(), templ.end(), placeholder), end; it != end; ++it)
            names[(*it)[1]] = (*it)[2];
        return names;
    };
    const std::set<std::string> both_spellings = {"invalid_config_key", "invalid_config_value", "path_outside_root"};
    for (const auto& [key, en] : MESSAGES.at("en")) {
        const std::string& zh = MESSAGES.at("zh").at(key);
        auto names = arguments(en);
        const auto zh_names = arguments(zh);
        if (!both_spellings.contains(key)) {
            std::set<std::string> e, z;
            for (const auto& [n, spec] : names) e.insert(n);
            for (const auto& [n, spec] : zh_names) z.insert(n);
            EXPECT_EQ(e, z) << key;
        }
        names.insert(zh_names.begin(), zh_names.end());
        MessageArgs args;
        for (const auto& [n, spec] : names) {
            if (spec.find_first_of("f%") != std::string::npos) args.emplace(n, 0.5);
            else if (spec.find_first_of("d,") != std::string::npos) args.emplace(n, 3);
            else args.emplace(n, "x");
        }
        for (const char* language : {"en", "zh"}) {
            set_language(language);
            EXPECT_NO_THROW(get_message(key, args)) << key << " " << language;
        }
    }
}

TEST_F(I18n, TemplatesKeepTheirExactBytes) {
    const auto& en = MESSAGES.at("en");
    const auto& zh = MESSAGES.at("zh");
    // Leading line feed and the warning sign with its variation selector.
    EXPECT_EQ(en.at("search_low_confidence"),
              "\n\xE2\x9A\xA0\xEF\xB8\x8F Low confidence match ({score:.0%}). Please verify.");
    EXPECT_EQ(en.at("block_not_found_guidance"),
              "\xE2\x9D\x8C Error: Block not found.\nPlease call md_list_blocks(\"{file_path}\") first "
              "to get a valid block_id.");
    EXPECT_EQ(zh.at("file_too_large"),
              "ERROR: FILE_TOO_LARGE\n文件超出大小限制（5MB或10万行）。请拆分文件。");
    EXPECT_EQ(zh.at("invalid_config_key"), "错误：'{key}' 不是有效的配置项。有效项：{valid_keys}");
}

TEST_F(I18n, LanguageSelectionAndFallbacks) {
    EXPECT_EQ(get_language(), "en");
    EXPECT_EQ(get_message("cache_hit", {{"sha", "abc"}, {"lines", 12}}), "[cached, sha=abc, 12 lines]");
    set_language("zh");
    EXPECT_EQ(get_language(), "zh");
    EXPECT_EQ(get_message("cache_hit", {{"sha", "abc"}, {"lines", 12}}), "[已缓存, sha=abc, 12 行]");
    set_language("fr");
    EXPECT_EQ(get_language(), "fr");
    EXPECT_EQ(get_message("file_not_found", {{"path", "a.md"}}), "File not found: a.md");
    set_language("");
    EXPECT_EQ(get_message("cache_miss"), "[not cached, reading full file]");
}

TEST_F(I18n, NoArgumentsReturnsTheTemplateAndUnknownKeysReturnThemselves) {
    EXPECT_EQ(get_message("cache_hit"), "[cached, sha={sha}, {lines} lines]");
    EXPECT_EQ(get_message("no_such_key"), "no_such_key");
    EXPECT_EQ(get_message("no_such_key", {{"x", 1}}), "no_such_key");
    EXPECT_EQ(get_message("odd {x} key", {{"x", 1}}), "odd 1 key");
    // Without arguments even a malformed template comes back untouched.
    EXPECT_EQ(get_message("broken {"), "broken {");
}

TEST_F(I18n, MissingPlaceholderIsAKeyErrorAndUnusedArgumentsAreIgnored) {
    EXPECT_THROW(get_message("cache_hit", {{"sha", "abc"}}), MessageKeyError);
    EXPECT_EQ(get_message("file_not_found", {{"path", "x.md"}, {"extra", 3.5}}), "File not found: x.md");
    EXPECT_THROW(get_message("{}", {{"x", 1}}), MessageKeyError);
    EXPECT_THROW(get_message("{x", {{"x", 1}}), MessageValueError);
    EXPECT_THROW(get_message("x}", {{"x", 1}}), MessageValueError);
    EXPECT_EQ(get_message("{{x}} {x}", {{"x", 1}}), "{x} 1");
}

TEST_F(I18n, ConfigMessagesFormatInBothLanguagesWithBothSpellings) {
    MessageArgs args{{"config_key", "colour"}, {"key", "colour"}, {"valid_keys", "language, pricing_model"},
                     {"config_value", "pink"}, {"value", "pink"}, {"valid_values", "en, zh"}};
    EXPECT_EQ(get_message("invalid_config_key", args),
              "Error: 'colour' is not a valid config key. Valid keys: language, pricing_model");
    set_language("zh");
    EXPECT_EQ(get_message("invalid_config_value", args), "错误：'pink' 对 'colour' 无效。有效值：en, zh");
}

TEST_F(I18n, SavingsFooterAndPaths) {
    EXPECT_EQ(get_message("aha_meta", {{"tokens", 1234567}, {"currency", "¥"}, {"amount", 2.5}}),
              "[QUILLBOX_META] ~1,234,567 tokens (¥2.5000) saved against reading the whole file and one Edit.");
    std::filesystem::path p = "/tmp/docs/read me.md";
    EXPECT_EQ(get_message("file_not_found", {{"path", p}}), "File not found: /tmp/docs/read me.md");
    set_language("zh");
    EXPECT_EQ(get_message("block_not_found_guidance", {{"file_path", p}}),
              "❌ 错误：块不存在。\n请先调用 md_list_blocks(\"/tmp/docs/read me.md\") 获取有效的 block_id。");
}

TEST_F(I18n, SignedIntegers) {
    auto adjusted = [](MessageArg d) {
        return get_message("level_adjusted", {{"title", "T"}, {"delta", std::move(d)}, {"count", 2}, {"lines", "3-9"}});
    };
    EXPECT_EQ(adjusted(0), "Heading 'T' adjusted (+0).\n  Headings changed: 2\n  Lines: 3-9");
    EXPECT_EQ(fmt1(":+d", 1), "+1");
    EXPECT_EQ(fmt1(":+d", -2), "-2");
    EXPECT_EQ(fmt1(":+d", true), "+1");
    EXPECT_THROW(adjusted(1.0), MessageValueError);
    EXPECT_THROW(adjusted("1"), MessageValueError);
}

TEST_F(I18n, ThousandsGrouping) {
    EXPECT_EQ(fmt1(":,", 0), "0");
    EXPECT_EQ(fmt1(":,", 1000), "1,000");
    EXPECT_EQ(fmt1(":,", -1234567), "-1,234,567");
    EXPECT_EQ(fmt1(":,", std::numeric_limits<long long>::min()), "-9,223,372,036,854,775,808");
    EXPECT_EQ(fmt1(":,", true), "1");
    EXPECT_EQ(fmt1(":,", 1234.5), "1,234.5");
    EXPECT_EQ(fmt1(":,", 1e16), "1e+16");
    EXPECT_THROW(fmt1(":,", "1234"), MessageValueError);
}

TEST_F(I18n, TwoDecimalsRoundTheExactBinaryValueTiesToEven) {
    EXPECT_EQ(fmt1(":.2f", 0.125), "0.12");   // exact tie, down to even
    EXPECT_EQ(fmt1(":.2f", 0.375), "0.38");   // exact tie, up to even
    EXPECT_EQ(fmt1(":.2f", 0.0421), "0.04");
    EXPECT_EQ(fmt1(":.2f", 2.675), "2.67");   // stored just below the tie
    EXPECT_EQ(fmt1(":.2f", 0.135), "0.14");   // stored just above
    EXPECT_EQ(fmt1(":.2f", -1.5), "-1.50");
    EXPECT_EQ(fmt1(":.2f", 3), "3.00");
    EXPECT_EQ(fmt1(":.2f", std::numeric_limits<double>::infinity()), "inf");
    EXPECT_THROW(fmt1(":.2f", "2.5"), MessageValueError);
}

TEST_F(I18n, WholePercentIsExactTimesHundred) {
    EXPECT_EQ(get_message("search_low_confidence", {{"score", 0.456}}),
              "\n⚠️ Low confidence match (46%). Please verify.");
    EXPECT_EQ(fmt1(":.0%", 0.125), "12%");  // 12.5 exactly: tie to even
    EXPECT_EQ(fmt1(":.0%", 0.135), "14%");
    // 0.015 is stored as 0.01499999…: exactly 1.499…%, although 0.015 * 100 rounds to 1.5.
    EXPECT_EQ(fmt1(":.0%", 0.015), "1%");
    EXPECT_EQ(fmt1(":.0%", 0.0), "0%");
    EXPECT_EQ(fmt1(":.0%", 12.345), "1235%");  // stored as 12.34500000000000064
    EXPECT_EQ(fmt1(":.1%", 0.4567), "45.7%");
    EXPECT_EQ(fmt1(":.0%", 1), "100%");
    EXPECT_THROW(fmt1(":.0%", "0.5"), MessageValueError);
}

TEST_F(I18n, PlainTextForms) {
    EXPECT_EQ(fmt1("", 42), "42");
    EXPECT_EQ(fmt1("", true), "True");
    EXPECT_EQ(fmt1("", false), "False");
    EXPECT_EQ(fmt1("", 1.0), "1.0");
    EXPECT_EQ(fmt1("", 0.1), "0.1");
    EXPECT_EQ(fmt1("", -0.0), "-0.0");
    EXPECT_EQ(fmt1("", 0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(fmt1("", 1e15), "1000000000000000.0");
    EXPECT_EQ(fmt1("", 1e16), "1e+16");
    EXPECT_EQ(fmt1("", 1.5e-7), "1.5e-07");
    EXPECT_EQ(fmt1("", 0.0001), "0.0001");
    EXPECT_EQ(fmt1("", 1e-5), "1e-05");
    EXPECT_EQ(fmt1("", 5e-324), "5e-324");
    EXPECT_EQ(fmt1("", std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(fmt1("", std::nan("")), "nan");
    EXPECT_EQ(fmt1("", "text {x}"), "text {x}");  // values are not formatted again
}

TEST_F(I18n, OtherSpecsBehaveLikeTheFormatMiniLanguage) {
    EXPECT_EQ(fmt1(":>5", "ab"), "   ab");
    EXPECT_EQ(fmt1(":05d", -42), "-0042");
    EXPECT_EQ(fmt1(":.1s", "逗号"), "逗");
    EXPECT_EQ(fmt1(":.3", 123.0), "1.23e+02");
    EXPECT_EQ(fmt1("!r", "it"), "'it'");
    EXPECT_THROW(fmt1(":+", "x"), MessageValueError);
    EXPECT_THROW(fmt1(":.2d", 3), MessageValueError);
    EXPECT_THROW(fmt1(":q", 3), MessageValueError);
}

TEST_F(I18n, LanguageChangesFromAnotherThreadAreSafe) {
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) set_language(i % 2 ? "zh" : "en");
    });
    for (int i = 0; i < 2000; ++i) {
        std::string m = get_message("cache_miss");
        ASSERT_TRUE(m == "[not cached, reading full file]" || m == "[未缓存，读取全文]") << m;
    }
    writer.join();
}
