#include "tools/faults.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tzv58::tool {

bool parse_faults(const std::string& text, FaultRates& out, std::string& err) {
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        double* rate = name == fault::DROP       ? &out.drop
                       : name == fault::CHECKSUM ? &out.checksum
                       : name == fault::NOISE    ? &out.noise
                       : name == fault::RTN      ? &out.rtn
                       : name == fault::STALL    ? &out.stall
                                                 : nullptr;
        if (!rate) {
            err = "unknown fault '" + name + "' (drop, checksum, noise, rtn, stall)";
            return false;
        }
        const char* value = eq == std::string::npos ? "" : item.c_str() + eq + 1;
        char* end = nullptr;
        const double v = std::strtod(value, &end);
        if (!*value || *end || !(v >= 0.0 && v <= 1.0)) {
            err = "fault '" + name + "' needs a rate from 0 to 1, as in " + name + "=0.1";
            return false;
        }
        *rate = v;
    }
    return true;
}

}  // namespace tzv58::tool
