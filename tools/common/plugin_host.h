// Loads the plug-in as the real host does (dlopen, get_providers, create) and
// applies a device's configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/pmbus_protocol.h"

namespace tzv58::tool {

class LoadedDevice {
public:
    LoadedDevice() = default;
    LoadedDevice(const LoadedDevice&) = delete;
    LoadedDevice& operator=(const LoadedDevice&) = delete;
    ~LoadedDevice();

    // Loads the library and creates one device. false with a one-line reason.
    bool load(const std::string& plugin_path, std::string& err);

    bool loaded() const { return device_ != nullptr; }
    ZMXSPDevice& device() { return *device_; }
    // The device's frame codec: poll_step, address, flush_input.
    PMBusProtocol& codec() { return *codec_; }

private:
    void* lib_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    std::unique_ptr<ZMXSPDevice> device_;
    PMBusProtocol* codec_ = nullptr;
};

// The plug-in built beside this program.
std::string default_plugin_path();

// Threshold maps first, then data_id, then InitSetting. false with a reason
// when the device rejects the configuration (a JSON type error, for one).
bool apply_config(ZMXSPDevice& device, const Json::Value& config, unsigned data_id, std::string& err);

}  // namespace tzv58::tool
