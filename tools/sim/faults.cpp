#include "tools/sim/faults.h"

#include <sstream>

#include "tools/common/options.h"

namespace tzv58::tool {

bool parse_faults(const std::string& text, FaultRates& out, std::string& err) {
    const struct {
        const char* name;
        double FaultRates::*rate;
    } kinds[] = {
        {fault::DROP, &FaultRates::drop},     {fault::CHECKSUM, &FaultRates::checksum},
        {fault::NOISE, &FaultRates::noise},   {fault::RTN, &FaultRates::rtn},
        {fault::STALL, &FaultRates::stall},   {fault::TRUNCATE, &FaultRates::truncate},
        {fault::SOI, &FaultRates::soi},       {fault::ECHO, &FaultRates::echo},
        {fault::LATE, &FaultRates::late},     {fault::FOREIGN, &FaultRates::foreign},
        {fault::EXCESS, &FaultRates::excess},
    };
    if (text.empty() || text.front() == ',' || text.back() == ',' || text.find(",,") != std::string::npos) {
        err = (text.empty() ? std::string("no fault") : "an empty entry in '" + text + "'") +
              ": give NAME=RATE,... (e.g. drop=0.2,checksum=0.1)";
        return false;
    }
    std::istringstream items(text);
    std::string item, given = ",";
    while (std::getline(items, item, ',')) {
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        double* rate = nullptr;
        for (const auto& k : kinds)
            if (name == k.name) rate = &(out.*k.rate);
        if (!rate) {
            err = "unknown fault '" + name +
                  "' (drop, checksum, noise, rtn, stall, truncate, soi, echo, late, foreign, excess)";
            return false;
        }
        if (given.find("," + name + ",") != std::string::npos) {
            err = "fault '" + name + "' is given twice";
            return false;
        }
        given += name + ",";
        double v = -1;
        if (eq == std::string::npos || !parse_real(item.substr(eq + 1), v) || !(v >= 0.0 && v <= 1.0)) {
            err = "fault '" + name + "' needs a rate from 0 to 1, as in " + name + "=0.1";
            return false;
        }
        *rate = v;
    }
    return true;
}

}  // namespace tzv58::tool
