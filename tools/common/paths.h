// The files a command writes or keeps, checked before any of them is opened:
// two options naming one file would overwrite each other (a trend drawn over
// the history file it was read from, events written over a database); and a
// name in a folder others may write to, where a link or a file another user
// planted waits for the program to write through it.
#pragma once

#include <string>
#include <vector>

namespace tzv58::tool {

// What a path names, links followed.
enum class PathKind { absent, regular, folder, other };
PathKind path_kind(const std::string& path);

// One file an option names: what to call it in a message ("option --plot",
// "the history file") and its path; whether the command writes it (or keeps
// it, as a database) or only reads it. "-" stands for a standard stream.
struct NamedPath {
    std::string what;
    std::string path;
    bool written = true;
};

// false with one line naming both when two of the paths are one file that
// at least one of them writes: the same device and inode, or, for files not
// there yet, the same name in the same folder. Only regular files (and
// names not yet taken) count: two options may both name /dev/null, or "-".
bool paths_distinct(const std::vector<NamedPath>& paths, std::string& err);

// Whether the folder of path is one others may write to (world-writable,
// sticky as /tmp or not). There a file is written only if it is this user's
// own: a final symbolic link is not followed (O_NOFOLLOW) and a file of
// another user is refused, whoever runs the program, root too.
bool in_shared_folder(const std::string& path);

// false with a one-line reason when path, in such a folder, is a symbolic
// link or a file of another user; nofollow is then O_NOFOLLOW for the open,
// else 0. A name not yet taken is fine.
bool check_shared_folder(const std::string& path, int& nofollow, std::string& err);

// After opening fd at path with nofollow set: the file is this user's.
bool opened_own_file(int fd, const std::string& path, std::string& err);

// The standard descriptor of this program (0, 1 or 2) that path names by
// its descriptor (/dev/stdout, /dev/fd/1, /proc/self/fd/2, or a link to
// one); -1 for any other path. Such a name means what the descriptor is when
// it is opened, and the program points descriptor 1 elsewhere (console.h):
// an output named so is told at start, before any descriptor moves.
int standard_stream_named(const std::string& path);

}  // namespace tzv58::tool
