// Reading the files a user names: a path, or "-" for standard input where a
// command allows it. A folder, an unreadable file or a failed read is an
// error with a one-line reason that names the path.
#pragma once

#include <string>

namespace tzv58::tool {

bool read_whole_file(const std::string& path, std::string& text, std::string& err, bool allow_stdin = false);

}  // namespace tzv58::tool
