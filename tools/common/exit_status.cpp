#include "tools/common/exit_status.h"

#include <cstdio>

#include "tools/common/text_guard.h"

namespace tzv58::tool {

int say(int status, const std::string& msg) {
    tell(stderr, msg);
    return status;
}

void tell(FILE* to, const std::string& msg) {
    // One line, whatever a file or a name it quotes holds.
    std::fprintf(to, "tzv58-host: %s\n", shown(msg).c_str());
}

}  // namespace tzv58::tool
