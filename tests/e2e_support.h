// Helpers for tests that run the built tzv58-host: run it with fork+exec,
// capture its output, read the JSON-lines events it wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "telemetry/record.h"

// Whether this build of tzv58-host keeps history files (a target without
// SQLite has none).
#ifndef TZV58_HOST_HISTORY
#define TZV58_HOST_HISTORY 1
#endif
constexpr bool HOST_HAS_HISTORY = TZV58_HOST_HISTORY;

// args, and --history db where this build keeps history.
inline std::vector<std::string> with_history(std::vector<std::string> args, const std::string& db) {
    if (HOST_HAS_HISTORY) args.insert(args.end(), {"--history", db});
    return args;
}

struct HostRun {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out, err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A shell script in dir, made executable.
inline std::string script(const std::string& dir, const std::string& name, const std::string& body) {
    const std::string path = dir + "/" + name;
    spit(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

// Scratch folders go when the test program ends, unless TZV58_KEEP_SCRATCH
// is set (to look at the events of a failed run).
struct ScratchFolders {
    ~ScratchFolders() {
        if (std::getenv("TZV58_KEEP_SCRATCH")) return;
        std::error_code ignored;
        for (const std::string& d : made) std::filesystem::remove_all(d, ignored);
    }
    std::vector<std::string> made;
};

// A fresh folder for one test's files.
inline std::string scratch_dir() {
    static ScratchFolders folders;
    char tmpl[] = "/tmp/tzv58-e2e-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) throw std::runtime_error("mkdtemp failed");
    folders.made.push_back(dir);
    return dir;
}

// The command line that runs tzv58-host with these arguments; under
// emulation the target program runs through the emulator.
struct HostArgv {
    explicit HostArgv(const std::vector<std::string>& args) {
        std::istringstream emulator(TZV58_EMULATOR);
        for (std::string word; emulator >> word;) words.push_back(word);
        words.push_back(TZV58_HOST_PATH);
        words.insert(words.end(), args.begin(), args.end());
        for (std::string& w : words) ptrs.push_back(&w[0]);
        ptrs.push_back(nullptr);
    }
    HostArgv(const HostArgv&) = delete;
    HostArgv& operator=(const HostArgv&) = delete;
    char* operator[](size_t i) const { return ptrs[i]; }
    char* const* data() const { return ptrs.data(); }

    std::vector<std::string> words;
    std::vector<char*> ptrs;  // into words, then nullptr
};

// Starts tzv58-host with these arguments, its output going to out and err and
// its standard input from in_path; returns its pid.
inline pid_t start_host(const std::vector<std::string>& args, const std::string& out, const std::string& err,
                        const std::string& in_path = "/dev/null") {
    HostArgv argv(args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int i = open(in_path.c_str(), O_RDONLY);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

inline int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Runs tzv58-host with these arguments (standard input from in_path, or
// empty) and waits for it to end.
inline HostRun run_host(const std::vector<std::string>& args, const std::string& in_path = "/dev/null") {
    const std::string dir = scratch_dir();
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    const pid_t pid = start_host(args, out, err, in_path);
    HostRun r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    r.status = exit_status(status);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

// Waits up to timeout_ms for a child to end: its exit status, or -1 when it
// is still running (then it is stopped by its pid with SIGKILL and reaped).
inline int wait_child(pid_t pid, int timeout_ms) {
    int status = 0;
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return exit_status(status);
        if (r < 0 && errno != EINTR) return -1;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Waits up to timeout_ms until the file holds `count` lines containing text.
inline bool wait_for_lines(const std::string& path, const std::string& text, int count, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        int n = 0;
        std::istringstream lines(slurp(path));
        for (std::string line; std::getline(lines, line);) n += line.find(text) != std::string::npos;
        if (n >= count) return true;
        usleep(20000);
    }
    return false;
}

inline std::vector<Json::Value> read_events(const std::string& path) {
    std::vector<Json::Value> events;
    std::istringstream lines(slurp(path));
    std::string line;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    while (std::getline(lines, line)) {
        Json::Value v;
        std::string why;
        if (!reader->parse(line.data(), line.data() + line.size(), &v, &why))
            ADD_FAILURE() << "event line is not JSON: " << line << " (" << why << ")";
        events.push_back(v);
    }
    return events;
}

inline std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

// The record of a publish event.
inline tzv58_419_Data_t published_record(const Json::Value& event) {
    tzv58_419_Data_t r{};
    const std::vector<uint8_t> bytes = unhex(event["record"].asString());
    EXPECT_EQ(bytes.size(), sizeof r);
    if (bytes.size() == sizeof r) std::memcpy(&r, bytes.data(), sizeof r);
    return r;
}

inline int count_events(const std::vector<Json::Value>& events, const char* name) {
    int n = 0;
    for (const Json::Value& e : events) n += e["event"].asString() == name;
    return n;
}

// The first line of a text.
inline std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }
