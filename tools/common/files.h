// Reading the files a user names: a regular file, or "-" for standard input
// where a command allows it. Anything else (a folder, a FIFO, a device, a
// socket) is refused at once with a one-line reason that names the path:
// nothing waits for a writer that may never come, nor reads without end.
#pragma once

#include <cstddef>
#include <string>

namespace tzv58::tool {

// What a text file the program reads (a configuration, a plant, a script)
// may hold at most.
constexpr size_t MAX_TEXT_FILE = 16u << 20;

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // false with a one-line reason: not there, unreadable, not a regular
    // file, or a regular file larger than max_bytes.
    bool open(const std::string& path, bool allow_stdin, size_t max_bytes, std::string& err);
    // The path, or "standard input".
    const std::string& name() const { return name_; }
    // Up to n bytes into buf: how many, 0 at the end, -1 with a reason.
    long read(char* buf, size_t n, std::string& err);

private:
    int fd_ = -1;
    bool own_ = false;
    std::string name_;
};

// The whole file, at most max_bytes of it: a longer one (standard input
// included) is refused once max_bytes + 1 have been read.
bool read_whole_file(const std::string& path, std::string& text, std::string& err, bool allow_stdin = false,
                     size_t max_bytes = MAX_TEXT_FILE);

}  // namespace tzv58::tool
