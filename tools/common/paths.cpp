#include "tools/common/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdlib>

namespace tzv58::tool {
namespace {

// A file as the system knows it; for a name not yet taken, its folder and
// its last component.
struct FileId {
    bool counts = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;  // empty for a file that is there

    bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino && name == o.name; }
};

std::string folder_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string shared_folder_words(const std::string& path) {
    return " in " + folder_of(path) + ", a folder others may write to";
}

std::string other_user(const std::string& path, uid_t uid) {
    return path + " belongs to another user (uid " + std::to_string(uid) + ")" + shared_folder_words(path) +
           "; it is not written";
}

FileId file_id(const std::string& path) {
    FileId id;
    struct stat st {};
    if (path == "-" || path.empty()) return id;
    if (::stat(path.c_str(), &st) == 0) {
        id.counts = S_ISREG(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        return id;
    }
    if (errno != ENOENT) return id;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    id.name = slash == std::string::npos ? path : path.substr(slash + 1);
    id.counts = !id.name.empty();
    if (::stat(folder.c_str(), &st) == 0) {
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    } else {
        id.name = path;  // a folder not there either: the name as written
    }
    return id;
}

// The folder with its links followed; empty when it cannot be.
std::string real_folder(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string folder = real ? real : "";
    std::free(real);
    return folder;
}

}  // namespace

PathKind path_kind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::absent;
    if (S_ISREG(st.st_mode)) return PathKind::regular;
    return S_ISDIR(st.st_mode) ? PathKind::folder : PathKind::other;
}

bool in_shared_folder(const std::string& path) {
    struct stat st {};
    return ::stat(folder_of(path).c_str(), &st) == 0 && (st.st_mode & S_IWOTH);
}

bool check_shared_folder(const std::string& path, int& nofollow, std::string& err) {
    nofollow = 0;
    if (!in_shared_folder(path)) return true;
    nofollow = O_NOFOLLOW;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (S_ISLNK(st.st_mode)) {
        err = path + " is a symbolic link" + shared_folder_words(path) + "; it is not followed";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        err = other_user(path, st.st_uid);
        return false;
    }
    return true;
}

bool opened_own_file(int fd, const std::string& path, std::string& err) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid == ::geteuid()) return true;
    err = other_user(path, st.st_uid);
    return false;
}

int standard_stream_named(const std::string& path) {
    // /proc/self and /proc/thread-self are links too: both folders as they resolve.
    const std::string own[] = {real_folder("/proc/self/fd"), real_folder("/proc/thread-self/fd")};
    std::string p = path;
    for (int links = 0; links < 40 && !p.empty(); ++links) {
        const size_t slash = p.find_last_of('/');
        const std::string folder = real_folder(slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash));
        const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        if (folder.empty() || name.empty()) return -1;
        if ((folder == own[0] || folder == own[1]) && name.size() == 1 && name[0] >= '0' && name[0] <= '2')
            return name[0] - '0';
        const std::string full = folder == "/" ? "/" + name : folder + "/" + name;
        struct stat st {};
        char target[PATH_MAX];
        if (::lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return -1;
        const ssize_t n = ::readlink(full.c_str(), target, sizeof target - 1);
        if (n <= 0) return -1;
        p = target[0] == '/' ? std::string(target, size_t(n)) : folder + "/" + std::string(target, size_t(n));
    }
    return -1;
}

bool paths_distinct(const std::vector<NamedPath>& paths, std::string& err) {
    std::vector<FileId> ids;
    for (const NamedPath& p : paths) ids.push_back(file_id(p.path));
    for (size_t i = 0; i < ids.size(); ++i)
        for (size_t j = i + 1; j < ids.size(); ++j) {
            if (!ids[i].counts || !(ids[i] == ids[j]) || !(paths[i].written || paths[j].written)) continue;
            err = paths[j].what + " names " + paths[j].path + ", the same file as " + paths[i].what +
                  ": nothing was opened";
            return false;
        }
    return true;
}

}  // namespace tzv58::tool
