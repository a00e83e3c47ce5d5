// The live socket's file (--listen PATH): a Unix stream socket, mode 0600,
// in a folder that only this user or root can change.
#pragma once

#include <sys/types.h>

#include <string>

namespace tzv58::tool {

class UnixListener {
public:
    UnixListener() = default;
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;
    // Removes the file, if it is still the one bound here.
    ~UnixListener();

    // Binds and listens at PATH. A stale socket file of this user is
    // replaced; a socket another process listens on, a socket of another
    // user, a file that is no socket, and a folder owned by another user or
    // writable by others (without the sticky bit) are refused. false with a
    // one-line reason.
    bool open(const std::string& path, std::string& err);
    // The listening descriptor, handed over to the server (which closes it).
    int release();
    const std::string& path() const { return path_; }

private:
    bool replace_stale(const std::string& path, std::string& err);

    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// The folder of a path ("." for a bare name).
std::string folder_of(const std::string& path);

}  // namespace tzv58::tool
