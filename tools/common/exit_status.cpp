#include "tools/common/exit_status.h"

#include <cstdio>

namespace tzv58::tool {

int say(int status, const std::string& msg) {
    std::fprintf(stderr, "tzv58-host: %s\n", msg.c_str());
    return status;
}

}  // namespace tzv58::tool
