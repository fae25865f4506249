// The config.toml reader: any file loads or is refused as not TOML; what loads answers every key,
// survives a save, and holds whole numbers where the program needs integers.

#include <cmath>
#include <cstdint>

#include <string>

#include "fuzz_common.h"
#include "host/config.h"

using namespace quillbox::host;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = qbfuzz::put("config.toml", qbfuzz::as_text(data, size));
    try {
        Config config = Config::load(path);
        for (const auto& key : config_keys()) (void)config.get(key.key);
        (void)config.pricing_rates();
        (void)config.get_bool("cache_enabled");
        (void)config.get_number("session.turn_idle_seconds");
        // The program turns these into integers (a count of backups, of lines, of tokens): what
        // the reader accepts must be a whole number an integer holds.
        for (const char* key : {"backups.keep_per_file", "hook.max_lines", "result_budget_tokens"}) {
            const double d = config.get_number(key);
            if (!(d >= 0 && d == std::trunc(d) && d < 9.2e18))
                qbfuzz::fail(std::string(key) + " reads as " + config.get(key) + ", not a whole number of a sensible size");
        }
        // What was read survives a save and a second load unchanged.
        config.save(qbfuzz::scratch() / "saved.toml");
        Config again = Config::load(qbfuzz::scratch() / "saved.toml");
        for (const auto& key : config_keys())
            if (again.get(key.key) != config.get(key.key))
                qbfuzz::fail(key.key + " reads '" + config.get(key.key) + "', after saving '" + again.get(key.key) + "'");
    } catch (const ConfigFileError&) {
    }
    return 0;
}
