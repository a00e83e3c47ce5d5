// A connection to a running poll's live socket (tools/live/live_api.h):
// HTTP/1.1 requests with JSON answers, each within a deadline.
#pragma once

#include <memory>
#include <string>

#include <json/value.h>

namespace tzv58::tool {

class LiveConnection {
public:
    LiveConnection();
    ~LiveConnection();
    LiveConnection(const LiveConnection&) = delete;
    LiveConnection& operator=(const LiveConnection&) = delete;

    // Connects to PATH: 0, or an exit status after one line on stderr. A
    // socket that belongs to neither this user nor root is not trusted (2);
    // one nobody listens on is a failure (1).
    int open(const std::string& path);

    // One request and its JSON answer (and its text, when asked for). false
    // with the reason: the answer's "error" for a refused request, or what
    // went wrong on the way; a refusal's answer is kept all the same.
    bool ask(const char* method, const std::string& target, const std::string& body, Json::Value& answer,
             std::string& err, std::string* text = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tzv58::tool
