// Faults the simulated power system injects on purpose, by name. The names are
// shared with the tests that count them.
#pragma once

#include <string>

namespace tzv58::tool {

struct FaultRates {
    double drop = 0;      // no reply at all
    double checksum = 0;  // a reply whose CHKSUM is wrong
    double noise = 0;     // line noise before the reply
    double rtn = 0;       // an error reply (RTN not 00H)
    double stall = 0;     // the reply comes after the host's reply timeout
};

namespace fault {
constexpr const char* DROP = "drop";
constexpr const char* CHECKSUM = "checksum";
constexpr const char* NOISE = "noise";
constexpr const char* RTN = "rtn";
constexpr const char* STALL = "stall";
}  // namespace fault

// "drop=0.2,checksum=0.1": names as above, rates from 0 to 1. false with a
// one-line reason for an unknown name or a rate out of range.
bool parse_faults(const std::string& text, FaultRates& out, std::string& err);

}  // namespace tzv58::tool
