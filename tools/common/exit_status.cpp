#include "tools/common/exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/common/text_guard.h"

namespace tzv58::tool {

int say(int status, const std::string& msg) {
    tell(stderr, msg);
    return status;
}

int start_error(const std::string& msg) {
    for (const int e : {EMFILE, ENFILE, ENOMEM, EAGAIN})
        if (msg.find(std::strerror(e)) != std::string::npos) return failure(msg);
    return usage_error(msg);
}

void tell(FILE* to, const std::string& msg) {
    // One line, whatever a file or a name it quotes holds.
    std::fprintf(to, "tzv58-host: %s\n", shown(msg).c_str());
}

}  // namespace tzv58::tool
