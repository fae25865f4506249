#include <gtest/gtest.h>

#include "host/config.h"
#include "quillbox/i18n.h"
#include "common/temp_dir.h"

using namespace quillbox;
using qbtest::CurrentDir;
using qbtest::TempDir;
using namespace quillbox::host;

namespace {

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(Config, DefaultsAndPricingFollowTheModel) {
    Config cfg;
    EXPECT_EQ(cfg.get("cache_enabled"), "true");
    EXPECT_EQ(cfg.get("pricing_model"), "sonnet");
    EXPECT_EQ(cfg.get("language"), "en");
    EXPECT_EQ(cfg.get("no_such_key"), "");
    EXPECT_EQ(cfg.pricing_rates(), (PricingRates{"$", 3.0, 15.0}));

    cfg.set("pricing_model", "opus");
    cfg.set("pricing.currency", "€");
    cfg.set("pricing.opus.output", "80");
    EXPECT_EQ(cfg.pricing_rates(), (PricingRates{"€", 15.0, 80.0}));
    cfg.unset("pricing.opus.output");
    EXPECT_EQ(cfg.pricing_rates().output, 75.0);
}

TEST(Config, RefusesUnknownKeysAndInvalidValuesWithTheCatalogueTexts) {
    Config cfg;
    std::string key_error = error_of([&] { cfg.set("colour", "blue"); });
    EXPECT_EQ(key_error.rfind("Error: 'colour' is not a valid config key. Valid keys: pricing_model, cache_enabled, ", 0), 0u)
        << key_error;

    EXPECT_EQ(error_of([&] { cfg.set("cache_enabled", "maybe"); }),
              "Error: 'maybe' is not valid for 'cache_enabled'. Valid values: true, false");
    EXPECT_THROW(cfg.set("pricing_model", "gpt-5"), ConfigValueError);
    EXPECT_THROW(cfg.set("pricing.sonnet.input", "-1"), ConfigValueError);
    EXPECT_THROW(cfg.set("pricing.sonnet.input", "3 dollars"), ConfigValueError);
    EXPECT_THROW(cfg.set("session.turn_idle_seconds", "0"), ConfigValueError);
    EXPECT_THROW(cfg.set("semantic.endpoint", "localhost:8080"), ConfigValueError);
    EXPECT_THROW(cfg.set("semantic.model", "bert-base"), ConfigValueError);
    EXPECT_THROW(require_config_key("semantic"), ConfigKeyError);
    EXPECT_EQ(cfg.get("cache_enabled"), "true");  // refused values changed nothing

    // Accepted values come back in their stored form.
    cfg.set("cache_enabled", "False");
    EXPECT_EQ(cfg.get("cache_enabled"), "false");
    cfg.set("session.turn_idle_seconds", "45.5");
    EXPECT_EQ(cfg.get_number("session.turn_idle_seconds"), 45.5);

    // Chinese names the placeholders differently; both are passed.
    set_language("zh");
    std::string zh_key = error_of([&] { cfg.set("colour", "blue"); });
    std::string zh_value = error_of([&] { cfg.set("language", "fr"); });
    set_language("en");
    EXPECT_EQ(zh_key.rfind("错误：'colour' 不是有效的配置项。", 0), 0u) << zh_key;
    EXPECT_EQ(zh_value, "错误：'fr' 对 'language' 无效。有效值：en, zh");
}

TEST(Config, SavesOnlySetKeysAndReadsThemBack) {
    TempDir dir;
    auto file = dir.path / ".quillbox" / "config.toml";
    Config cfg;
    cfg.set("pricing_model", "deepseek");
    cfg.set("cache_enabled", "false");
    cfg.set("semantic.model", "multilingual-e5-small");
    cfg.set("pricing.currency", "¥");
    cfg.set("pricing.deepseek.input", "2");
    cfg.save(file);

    std::string text = dir.read(".quillbox/config.toml");
    // The semantic engine reads its model from a plain `model = "..."` line.
    EXPECT_NE(text.find("\n[semantic]\nmodel = \"multilingual-e5-small\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("cache_enabled = false\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("language"), std::string::npos) << "defaults are not written";

    Config back = Config::load(file);
    EXPECT_TRUE(back.warnings().empty());
    for (const char* key : {"pricing_model", "cache_enabled", "semantic.model", "pricing.currency",
                            "pricing.deepseek.input", "language"})
        EXPECT_EQ(back.get(key), cfg.get(key)) << key;
    EXPECT_EQ(back.pricing_rates(), (PricingRates{"¥", 2.0, 1.1}));
}

TEST(Config, KeepsUnknownKeysAndIgnoresBadValuesInTheFile) {
    TempDir dir;
    auto file = dir.write("config.toml",
                          "language = \"zh\"\ncache_enabled = \"sometimes\"\nfuture_key = [1, 2]\n"
                          "[semantic]\nbackend = \"local\"\nextra = 'x'\n");
    Config cfg = Config::load(file);
    EXPECT_EQ(cfg.get("language"), "zh");
    EXPECT_EQ(cfg.get("cache_enabled"), "true");  // invalid in the file: default, with a warning
    EXPECT_EQ(cfg.warnings().size(), 3u);

    cfg.set("pricing_model", "kimi");
    cfg.save(file);
    Config again = Config::load(file);
    EXPECT_EQ(again.get("pricing_model"), "kimi");
    EXPECT_EQ(again.get("language"), "zh");
    std::string text = dir.read("config.toml");
    EXPECT_NE(text.find("future_key = [ 1, 2 ]"), std::string::npos) << text;
    EXPECT_NE(text.find("extra = \"x\""), std::string::npos) << text;
    EXPECT_NE(text.find("cache_enabled = \"sometimes\""), std::string::npos) << "the user's entry is not dropped";
}

TEST(Config, MissingFileGivesDefaultsAndBrokenFileIsAnError) {
    TempDir dir;
    EXPECT_EQ(Config::load(dir.path / "nothing.toml").get("pricing_model"), "sonnet");
    auto broken = dir.write("config.toml", "language = \"en\nx = = 1\n");
    std::string err = error_of([&] { Config::load(broken); });
    EXPECT_NE(err.find("config.toml:1:"), std::string::npos) << err;
}

// Counts become integers in the program (the backups kept, the hook's line limit): a value no
// integer holds, or a fraction, would be converted with undefined behaviour. The file keeps the
// default, `config set` refuses it.
TEST(Config, CountsAreWholeNumbersAnIntegerHolds) {
    TempDir dir;
    auto file = dir.write("config.toml",
                          "hook.max_lines = 1e300\nresult_budget_tokens = 1e300\n"
                          "[backups]\nkeep_per_file = 2.5\nmax_age_days = 1e300\n");
    Config cfg = Config::load(file);
    EXPECT_EQ(cfg.get("hook.max_lines"), "100");
    EXPECT_EQ(cfg.get("result_budget_tokens"), "20000");
    EXPECT_EQ(cfg.get("backups.keep_per_file"), "20");
    EXPECT_EQ(cfg.get("backups.max_age_days"), "30");
    EXPECT_EQ(cfg.warnings().size(), 4u);

    EXPECT_THROW(cfg.set("backups.keep_per_file", "1e19"), std::invalid_argument);
    EXPECT_THROW(cfg.set("hook.max_lines", "12.5"), std::invalid_argument);
    cfg.set("backups.keep_per_file", "1000000");
    cfg.set("pricing.opus.input", "1.25");
    EXPECT_EQ(cfg.get("backups.keep_per_file"), "1000000");
    EXPECT_EQ(cfg.get("pricing.opus.input"), "1.25");
}

// A negative zero is zero: it reads, saves and reads back as "0".
TEST(Config, NegativeZeroReadsAsZero) {
    TempDir dir;
    auto file = dir.write("config.toml", "[pricing.opus]\ninput = -0.0\n");
    Config cfg = Config::load(file);
    EXPECT_EQ(cfg.get("pricing.opus.input"), "0");
    cfg.set("pricing.opus.output", "-0");
    EXPECT_EQ(cfg.get("pricing.opus.output"), "0");
    cfg.save(file);
    Config again = Config::load(file);
    EXPECT_EQ(again.get("pricing.opus.input"), "0");
    EXPECT_EQ(again.get("pricing.opus.output"), "0");
}
