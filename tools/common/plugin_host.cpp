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

namespace {

// The library and its providers, held while any model of theirs is.
struct Library {
    void* handle = nullptr;
    std::vector<std::shared_ptr<Provider>> providers;
    ~Library() {
        // The providers' code lives in the library: they go first.
        providers.clear();
        if (handle) dlclose(handle);
    }
};

// The providers that create serial devices and tell their model.
struct Offered {
    const ZMXSPDeviceProvider* creates;
    const model_descriptor* model;
};

std::string known_names(const std::vector<Offered>& offered) {
    std::string names;
    for (const Offered& o : offered) names += (names.empty() ? "" : ", ") + std::string(o.model->name);
    return names;
}

// The provider of the model named `name` ("" for the only one).
const Offered* pick(const std::vector<Offered>& offered, const std::string& path, const std::string& name,
                    std::string& err) {
    if (offered.empty()) {
        err = "plug-in " + path + " tells no model (no serial device provider with a descriptor)";
        return nullptr;
    }
    if (name.empty() && offered.size() > 1) {
        err = "plug-in " + path + " has models " + known_names(offered) + ": give --model NAME";
        return nullptr;
    }
    for (const Offered& o : offered)
        if (name.empty() || name == o.model->name) return &o;
    err = "unknown model '" + name + "' (known: " + known_names(offered) + ")";
    return nullptr;
}

bool open_library(const std::string& path, Library& lib, std::string& err) {
    // A path (not a name the loader looks up) names a file: dlopen would wait
    // on a FIFO's writer.
    struct stat st {};
    if (path.find('/') != std::string::npos && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        err = "cannot load plug-in " + path + ": it is not a file";
        return false;
    }
    lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        const char* why = dlerror();
        err = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    auto get = reinterpret_cast<get_providers_fn>(dlsym(lib.handle, "get_providers"));
    if (!get) {
        err = "plug-in " + path + " has no get_providers";
        return false;
    }
    lib.providers = get();
    return true;
}

// Loads the library, picks the model; creates, when asked, its provider.
bool load(const std::string& path, const std::string& name, ModelRef& model, const ZMXSPDeviceProvider** creates,
          std::string& err) {
    auto lib = std::make_shared<Library>();
    if (!open_library(path, *lib, err)) return false;
    std::vector<Offered> offered;
    for (const auto& p : lib->providers) {
        const auto* c = dynamic_cast<const ZMXSPDeviceProvider*>(p.get());
        const auto* m = dynamic_cast<const model_provider*>(p.get());
        if (c && m) offered.push_back({c, &m->model()});
    }
    const Offered* chosen = pick(offered, path, name, err);
    if (!chosen) return false;
    const model_descriptor& d = *chosen->model;
    if (!rows_fit(d.values.rows, d.record_size)) {
        err = "plug-in " + path + ": model " + d.name + " has values beyond its " + std::to_string(d.record_size) +
              "-byte record";
        return false;
    }
    // The descriptor keeps the library loaded.
    model = ModelRef(lib, &d);
    if (creates) *creates = chosen->creates;
    return true;
}

}  // namespace

bool load_model(const std::string& path, const std::string& name, ModelRef& model, std::string& err) {
    return load(path, name, model, nullptr, err);
}

LoadedDevice::~LoadedDevice() {
    // The device's code lives in the library: it goes before the model lets
    // go of the library.
    device_.reset();
}

bool LoadedDevice::load(const std::string& path, const std::string& name, std::string& err) {
    const ZMXSPDeviceProvider* provider = nullptr;
    if (!tool::load(path, name, model_, &provider, err)) return false;
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
