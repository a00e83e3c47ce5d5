// InitSetting with arbitrary JSON text. The JSON library's own exception for
// a value without a text form is the documented answer; anything else (a
// crash, another exception) is a finding.
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz_common.h"
#include "host/host_config.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Json::CharReaderBuilder builder;
    Json::Value config;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &config, &errors)) return 0;
    tzv58_419 dev;
    dev.data_id = 7;
    try {
        fill_threshold_maps(dev, config);
        dev.InitSetting(config);
    } catch (const Json::LogicError&) {
        return 0;  // an array or object where a scalar is expected
    }
    check(dev.data.data_id.get() == 7, "data_id copied into the record");
    check(!dev.float_mode, "float_mode is not configurable");
    check(dev.command_group == 1, "command_group is not configurable");
    return 0;
}
