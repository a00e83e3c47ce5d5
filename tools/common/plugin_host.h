// Loads the plug-in as the real host does (dlopen, get_providers, create),
// picks the model by name among what its providers tell (device/model.h),
// and applies a device's configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "device/model.h"
#include "host/pmbus_protocol.h"

namespace tzv58::tool {

// A model's descriptor, which lives in the plug-in: whoever keeps one keeps
// the library loaded.
using ModelRef = std::shared_ptr<const model_descriptor>;

// Loads the library and finds the model named `name` ("" for its only one).
// A model whose values reach past its record is refused. false with a
// one-line reason: a library that cannot be loaded, tells no model, or
// tells several and no name was given; an unknown name, with the known ones.
bool load_model(const std::string& plugin_path, const std::string& name, ModelRef& model, std::string& err);

class LoadedDevice {
public:
    LoadedDevice() = default;
    LoadedDevice(const LoadedDevice&) = delete;
    LoadedDevice& operator=(const LoadedDevice&) = delete;
    ~LoadedDevice();

    // Loads the library and creates one device of the model (load_model).
    bool load(const std::string& plugin_path, const std::string& model_name, std::string& err);
    bool load(const std::string& plugin_path, std::string& err) { return load(plugin_path, "", err); }

    bool loaded() const { return device_ != nullptr; }
    ZMXSPDevice& device() { return *device_; }
    // The device's frame codec: poll_step, address, flush_input.
    PMBusProtocol& codec() { return *codec_; }
    // What the device's model is: its record, its values.
    const ModelRef& model() const { return model_; }

private:
    ModelRef model_;
    std::unique_ptr<ZMXSPDevice> device_;
    PMBusProtocol* codec_ = nullptr;
};

// The plug-in built beside this program.
std::string default_plugin_path();

// Threshold maps first, then data_id, then InitSetting. false with a reason
// when the device rejects the configuration (a JSON type error, for one).
bool apply_config(ZMXSPDevice& device, const Json::Value& config, unsigned data_id, std::string& err);

}  // namespace tzv58::tool
