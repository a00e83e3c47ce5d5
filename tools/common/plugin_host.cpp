#include "tools/common/plugin_host.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <exception>
#include <fstream>
#include <sstream>

#include <json/reader.h>

#include "host/host_config.h"

namespace tzv58::tool {

LoadedDevice::~LoadedDevice() {
    // The device's code lives in the library: destroy it before unloading.
    device_.reset();
    providers_.clear();
    if (lib_) dlclose(lib_);
}

bool LoadedDevice::load(const std::string& path, std::string& err) {
    // A path (not a name the loader looks up) names a file: dlopen would wait
    // on a FIFO's writer.
    struct stat st {};
    if (path.find('/') != std::string::npos && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        err = "cannot load plug-in " + path + ": it is not a file";
        return false;
    }
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib_) {
        const char* why = dlerror();
        err = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    auto get = reinterpret_cast<get_providers_fn>(dlsym(lib_, "get_providers"));
    if (!get) {
        err = "plug-in " + path + " has no get_providers";
        return false;
    }
    providers_ = get();
    auto* provider = providers_.empty() ? nullptr : dynamic_cast<ZMXSPDeviceProvider*>(providers_[0].get());
    if (!provider) {
        err = "plug-in " + path + " offers no serial device provider";
        return false;
    }
    device_.reset(provider->create());
    codec_ = device_ ? dynamic_cast<PMBusProtocol*>(device_.get()) : nullptr;
    if (!codec_) {
        err = "plug-in " + path + " created no protocol device";
        return false;
    }
    return true;
}

std::string default_plugin_path() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, size_t(n));
        dir.erase(dir.find_last_of('/') + 1);
        // Beside the program (a build tree) or where cmake --install puts it.
        for (const char* rel : {"tzv58_419.so", "../tzv58_419.so", "../lib/tzv58/tzv58_419.so"})
            if (access((dir + rel).c_str(), R_OK) == 0) return dir + rel;
    }
    return std::string(TZV58_PLUGIN_DIR) + "/tzv58_419.so";
}

bool apply_config(ZMXSPDevice& device, const Json::Value& config, unsigned data_id, std::string& err) {
    if (!config.isObject()) {
        err = "configuration must be a JSON object";
        return false;
    }
    try {
        fill_threshold_maps(device, config);
        device.data_id = data_id;
        device.InitSetting(config);
    } catch (const std::exception& e) {
        err = std::string("configuration rejected: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace tzv58::tool
