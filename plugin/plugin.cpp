// The plug-in's entry point: get_providers hands the host one provider, which
// creates one tzv58_419 device per power system.
#include <memory>
#include <vector>

#include "device/tzv58_419.h"

class tzv58_419Provider : public ZMXSPDeviceProvider {
public:
    ~tzv58_419Provider() override = default;
    ZMXSPDevice* create() const override { return new tzv58_419(); }
};

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<tzv58_419Provider>());
    return providers;
}
