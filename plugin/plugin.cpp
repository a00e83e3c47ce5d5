// The plug-in's entry point: get_providers hands the host one provider, which
// creates one tzv58_419 device per power system and, to a host that asks,
// tells the model as data (device/model.h).
#include <memory>
#include <vector>

#include "device/model.h"
#include "device/tzv58_419.h"

class tzv58_419Provider : public ZMXSPDeviceProvider, public tzv58::model_provider {
public:
    ~tzv58_419Provider() override = default;
    ZMXSPDevice* create() const override { return new tzv58_419(); }
    const tzv58::model_descriptor& model() const override { return tzv58_419::model(); }
};

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<tzv58_419Provider>());
    return providers;
}
