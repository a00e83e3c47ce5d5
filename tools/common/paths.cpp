#include "tools/common/paths.h"

#include <sys/stat.h>

#include <cerrno>

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

}  // namespace

PathKind path_kind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::absent;
    if (S_ISREG(st.st_mode)) return PathKind::regular;
    return S_ISDIR(st.st_mode) ? PathKind::folder : PathKind::other;
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
