// One configuration value, read the way every configuration key is read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include <json/value.h>

namespace tzv58 {

// A key is present when its value is not null. Its text form (a string as it
// stands, a number in decimal, true/false for a boolean) goes through atoi,
// so "2abc" reads 2 and a boolean reads 0. A value with no text form (an
// array, an object) makes the JSON library throw, and the throw reaches the
// host.
inline bool setting_int(const Json::Value& object, const char* key, int32_t& out) {
    const Json::Value& v = object[key];
    if (v.isNull()) return false;
    out = std::atoi(v.asString().c_str());
    return true;
}

inline bool setting_flag(const Json::Value& object, const char* key, bool& out) {
    int32_t n = 0;
    if (!setting_int(object, key, n)) return false;
    out = n != 0;
    return true;
}

}  // namespace tzv58
