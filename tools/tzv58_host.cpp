// tzv58-host: the stand-in host. Loads tzv58_419.so as the real host does
// and creates a device.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/zmx_device.h"

int main(int argc, char** argv) {
    std::string plugin = std::string(TZV58_PLUGIN_DIR) + "/tzv58_419.so";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--plugin") plugin = argv[i + 1];
    void* lib = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "tzv58-host: cannot load %s: %s\n", plugin.c_str(), dlerror());
        return 2;
    }
    auto get = reinterpret_cast<get_providers_fn>(dlsym(lib, "get_providers"));
    if (!get) {
        std::fprintf(stderr, "tzv58-host: %s has no get_providers\n", plugin.c_str());
        return 2;
    }
    {
        std::vector<std::shared_ptr<Provider>> providers = get();
        auto* sp = providers.empty() ? nullptr : dynamic_cast<ZMXSPDeviceProvider*>(providers[0].get());
        if (!sp) {
            std::fprintf(stderr, "tzv58-host: no device provider in %s\n", plugin.c_str());
            return 2;
        }
        std::unique_ptr<ZMXSPDevice> device(sp->create());
        std::printf("loaded %s: device type %s, %d baud\n", plugin.c_str(), device->DeviceType().c_str(),
                    device->baud_rate);
    }
    dlclose(lib);
    return 0;
}
