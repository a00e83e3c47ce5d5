#include "tools/common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tzv58::tool {
namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

}  // namespace

InputFile::~InputFile() {
    if (own_ && fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const std::string& path, bool allow_stdin, size_t max_bytes, std::string& err) {
    const bool from_stdin = allow_stdin && path == "-";
    name_ = from_stdin ? "standard input" : path;
    if (from_stdin) {
        fd_ = 0;
        return true;
    }
    // Without O_NONBLOCK, opening a FIFO would wait for its writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    own_ = fd_ >= 0;
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        err = "cannot read " + name_ + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        err = "cannot read " + name_ + ": it is " + kind_of(st.st_mode) + ", not a file";
        return false;
    }
    if (size_t(st.st_size) > max_bytes) {
        err = "cannot read " + name_ + ": it holds " + std::to_string(st.st_size) + " bytes, more than the " +
              std::to_string(max_bytes) + " it can be";
        return false;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
}

long InputFile::read(char* buf, size_t n, std::string& err) {
    for (;;) {
        const ssize_t got = ::read(fd_, buf, n);
        if (got >= 0) return long(got);
        if (errno == EINTR) continue;
        err = "cannot read " + name_ + ": " + std::strerror(errno);
        return -1;
    }
}

bool read_whole_file(const std::string& path, std::string& text, std::string& err, bool allow_stdin, size_t max_bytes) {
    InputFile in;
    if (!in.open(path, allow_stdin, max_bytes, err)) return false;
    text.clear();
    char buf[65536];
    for (;;) {
        const long n = in.read(buf, sizeof buf, err);
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buf, size_t(n));
        if (text.size() > max_bytes) {
            err = "cannot read " + in.name() + ": it holds more than the " + std::to_string(max_bytes) +
                  " bytes it can be";
            return false;
        }
    }
}

}  // namespace tzv58::tool
