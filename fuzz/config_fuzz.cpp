// The config.toml reader: any file loads or is refused as not TOML; what loads answers every key.

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
