#include "tools/live/unix_listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tzv58::tool {
namespace {

// Connections waiting to be accepted: a crowd waits there, in order, while
// the door is full.
constexpr int BACKLOG = 64;

bool fill_address(const std::string& path, sockaddr_un& addr, std::string& err) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        err = "socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) + " bytes long: '" + path + "'";
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

const sockaddr* as_sockaddr(const sockaddr_un& a) { return reinterpret_cast<const sockaddr*>(&a); }

// Someone else could replace the socket in a folder they own, or in one
// anyone may write to without the sticky bit.
bool folder_is_safe(const std::string& path, std::string& err) {
    const std::string folder = folder_of(path);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        err = "cannot listen on " + path + ": " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        err = "cannot listen on " + path + ": the folder " + folder + " belongs to another user (uid " +
              std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
        err = "cannot listen on " + path + ": others may write to the folder " + folder + " (and it has no sticky bit)";
        return false;
    }
    return true;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

UnixListener::~UnixListener() {
    if (fd_ >= 0) ::close(fd_);
    // Remove the file only if it is still ours.
    struct stat st {};
    if (!path_.empty() && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
}

int UnixListener::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

// A socket file at PATH: in use while a process accepts on it, stale
// otherwise; only a stale socket of this user is removed.
bool UnixListener::replace_stale(const std::string& path, std::string& err) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        err = path + " exists and is not a socket; not replacing it";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        err = path + " is a socket of another user (uid " + std::to_string(st.st_uid) + "); not replacing it";
        return false;
    }
    sockaddr_un addr;
    fill_address(path, addr, err);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && (::connect(probe, as_sockaddr(addr), sizeof addr) == 0 || errno == EAGAIN);
    const int why = errno;
    if (probe >= 0) ::close(probe);
    if (live) {
        err = path + ": another process is listening there";
        return false;
    }
    if (why != ECONNREFUSED) {
        err = "cannot check " + path + ": " + std::strerror(why);
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        err = "cannot replace the stale socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool UnixListener::open(const std::string& path, std::string& err) {
    sockaddr_un addr;
    if (!fill_address(path, addr, err) || !folder_is_safe(path, err) || !replace_stale(path, err)) return false;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        err = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // Owner only, from the moment the file exists.
    const mode_t old_mask = ::umask(0177);
    const int bound = ::bind(fd_, as_sockaddr(addr), sizeof addr);
    const int why = errno;
    ::umask(old_mask);
    struct stat st {};
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd_, BACKLOG) != 0 ||
        ::stat(path.c_str(), &st) != 0) {
        err = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? why : errno);
        if (bound == 0) ::unlink(path.c_str());
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    path_ = path;
    return true;
}

}  // namespace tzv58::tool
