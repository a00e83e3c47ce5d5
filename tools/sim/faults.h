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
    double stall = 0;     // busy: the reply comes after the host's reply timeout, requests meanwhile are lost
    double truncate = 0;  // a reply cut short
    double soi = 0;       // a second SOI in the middle of a reply
    double echo = 0;      // the request comes back before the reply (a two-wire RS-485 adapter)
    double late = 0;      // the reply comes after the host's reply timeout; later requests are still answered
    double foreign = 0;   // a reply for another address comes before the reply
    double excess = 0;    // an analog reply with one AC channel or rectifier module more than a record holds
};

namespace fault {
constexpr const char* DROP = "drop";
constexpr const char* CHECKSUM = "checksum";
constexpr const char* NOISE = "noise";
constexpr const char* RTN = "rtn";
constexpr const char* STALL = "stall";
constexpr const char* TRUNCATE = "truncate";
constexpr const char* SOI = "soi";
constexpr const char* ECHO = "echo";
constexpr const char* LATE = "late";
constexpr const char* FOREIGN = "foreign";
constexpr const char* EXCESS = "excess";
}  // namespace fault

// "drop=0.2,checksum=0.1": names as above, each at most once, rates from 0
// to 1 in decimal. false with a one-line reason for an unknown or repeated
// name, an empty entry, or a rate that is out of range or not a number.
bool parse_faults(const std::string& text, FaultRates& out, std::string& err);

}  // namespace tzv58::tool
