// A count with its noun for people: "1 reply", "2 replies", "0 replies".
#pragma once

#include <string>

namespace tzv58::tool {

inline std::string counted(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace tzv58::tool
