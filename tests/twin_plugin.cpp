// tzv58_twin's registration: a plug-in of its own (tests/CMakeLists.txt
// builds every tests/*_plugin.cpp as one), whose provider creates the twin
// and tells its model.
#include <memory>
#include <vector>

#include "device/pmbuspower_419_impl.h"
#include "twin_model.h"

template class UniDataDevice<twin::record, PMBusProtocol, twin::TYPE>;
template class pmbuspower_419<twin::record, twin::TYPE>;

namespace {

class provider : public ZMXSPDeviceProvider, public tzv58::model_provider {
public:
    ZMXSPDevice* create() const override { return new twin::device(); }
    const tzv58::model_descriptor& model() const override { return twin::MODEL; }
};

}  // namespace

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers() {
    return {std::make_shared<provider>()};
}
