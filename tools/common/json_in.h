// The JSON the program is given (a configuration, a plant, event lines),
// read strictly: one value and nothing after it, no member named twice, no
// NaN, infinity or single quotes, no NUL byte (where jsoncpp would take the
// text to end), nested at most MAX_JSON_DEPTH deep. Comments are allowed, as
// jsoncpp's own reader (the controller's) allows them.
#pragma once

#include <string>

#include <json/value.h>

namespace tzv58::tool {

constexpr int MAX_JSON_DEPTH = 100;

// One JSON value. false with "LINE:COLUMN: invalid JSON: what" for the first
// fault ("2:3: invalid JSON: duplicate key: 'a'"; "1:101: invalid JSON:
// nested deeper than 100 levels").
bool parse_json_strict(const std::string& text, Json::Value& out, std::string& err);

// A JSON file whose top level is an object, kept with its text so that a
// member's line can be named.
class JsonFile {
public:
    // false with one line: "PATH:LINE:COLUMN: what", or "cannot read PATH: why".
    bool read(const std::string& path, std::string& err);
    const Json::Value& root() const { return root_; }
    const std::string& path() const { return path_; }
    // "PATH:LINE" of the member a path names ("ac.channels[0].d", members
    // by name, entries by index); "PATH" when it names nothing there.
    std::string where(const std::string& member) const;
    // "PATH:LINE" of a value of root().
    std::string at(const Json::Value& v) const;

private:
    std::string path_, text_;
    Json::Value root_;
};

}  // namespace tzv58::tool
