#include "tools/common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tzv58::tool {

bool read_whole_file(const std::string& path, std::string& text, std::string& err, bool allow_stdin) {
    const bool from_stdin = allow_stdin && path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    const int fd = from_stdin ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!from_stdin) ::close(fd);
        err = "cannot read " + name + ": it is a folder";
        return false;
    }
    text.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = "cannot read " + name + ": " + std::strerror(errno);
            if (!from_stdin) ::close(fd);
            return false;
        }
        break;
    }
    if (!from_stdin) ::close(fd);
    return true;
}

}  // namespace tzv58::tool
