#include "tools/common/exit_status.h"

#include <cstdio>

#include "tools/common/text_guard.h"

namespace tzv58::tool {

int say(int status, const std::string& msg) {
    // One line, whatever a file or a name it quotes holds.
    std::fprintf(stderr, "tzv58-host: %s\n", shown(msg).c_str());
    return status;
}

}  // namespace tzv58::tool
