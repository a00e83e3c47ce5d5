#include "tools/sim/faults.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tzv58::tool {

bool parse_faults(const std::string& text, FaultRates& out, std::string& err) {
    const struct {
        const char* name;
        double FaultRates::*rate;
    } kinds[] = {
        {fault::DROP, &FaultRates::drop},         {fault::CHECKSUM, &FaultRates::checksum},
        {fault::NOISE, &FaultRates::noise},       {fault::RTN, &FaultRates::rtn},
        {fault::STALL, &FaultRates::stall},       {fault::TRUNCATE, &FaultRates::truncate},
        {fault::SOI, &FaultRates::soi},           {fault::ECHO, &FaultRates::echo},
        {fault::LATE, &FaultRates::late},         {fault::FOREIGN, &FaultRates::foreign},
        {fault::EXCESS, &FaultRates::excess},
    };
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        double* rate = nullptr;
        for (const auto& k : kinds)
            if (name == k.name) rate = &(out.*k.rate);
        if (!rate) {
            err = "unknown fault '" + name + "' (drop, checksum, noise, rtn, stall, truncate, soi, echo, late, foreign, excess)";
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
