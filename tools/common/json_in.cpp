#include "tools/common/json_in.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include <json/reader.h>

#include "tools/common/files.h"

namespace tzv58::tool {
namespace {

// jsoncpp's report of its first fault, "* Line 2, Column 3\n  Duplicate key: 'a'\n...",
// as "2:3: invalid JSON: duplicate key: 'a'".
std::string first_fault(const std::string& report) {
    int line = 0, column = 0;
    const size_t head = report.find("Line ");
    if (head != std::string::npos) std::sscanf(report.c_str() + head, "Line %d, Column %d", &line, &column);
    const size_t start = report.find('\n');
    std::string what = start == std::string::npos ? report : report.substr(start + 1);
    what = what.substr(0, what.find('\n'));
    while (!what.empty() && (what.front() == ' ' || what.front() == '\t')) what.erase(0, 1);
    while (!what.empty() && (what.back() == '.' || what.back() == ' ')) what.pop_back();
    if (!what.empty()) what[0] = char(std::tolower(static_cast<unsigned char>(what[0])));
    return std::to_string(line) + ":" + std::to_string(column) + ": invalid JSON: " + what;
}

// Line and column (from 1) of a byte offset in text.
std::string position(const std::string& text, size_t offset) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        column = text[i] == '\n' ? 1 : column + 1;
        line += text[i] == '\n';
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

// Where arrays and objects first nest deeper than limit, strings and
// comments skipped; npos when they never do.
size_t too_deep(const std::string& t, int limit) {
    int depth = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i], next = i + 1 < t.size() ? t[i + 1] : '\0';
        if (c == '"') {
            while (++i < t.size() && t[i] != '"') i += t[i] == '\\';
        } else if (c == '/' && (next == '/' || next == '*')) {
            i = next == '/' ? t.find('\n', i) : t.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += next == '*';
        } else if ((c == '[' || c == '{') && ++depth > limit) {
            return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::string::npos;
}

const char* type_name(const Json::Value& v) {
    switch (v.type()) {
    case Json::arrayValue:
        return "an array";
    case Json::stringValue:
        return "a string";
    case Json::booleanValue:
        return "a boolean";
    case Json::nullValue:
        return "null";
    default:
        return "a number";
    }
}

}  // namespace

bool parse_json_strict(const std::string& text, Json::Value& out, std::string& err) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = true;
    builder["strictRoot"] = false;  // the caller says which top level it takes
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const size_t nul = text.find('\0'), deep = too_deep(text, MAX_JSON_DEPTH);
    if (nul != std::string::npos || deep != std::string::npos) {
        err = position(text, std::min(nul, deep)) + ": invalid JSON: " +
              (nul < deep ? "a NUL byte" : "nested deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels");
        return false;
    }
    std::string report;
    try {
        if (reader->parse(text.data(), text.data() + text.size(), &out, &report)) return true;
    } catch (const std::exception& e) {  // none is known past the checks above
        err = "invalid JSON: " + std::string(e.what());
        return false;
    }
    err = first_fault(report);
    return false;
}

bool JsonFile::read(const std::string& path, std::string& err) {
    path_ = path;
    if (!read_whole_file(path, text_, err)) return false;
    if (!parse_json_strict(text_, root_, err)) {
        err = path + (std::isdigit(static_cast<unsigned char>(err[0])) ? ":" : ": ") + err;
        return false;
    }
    if (root_.isObject()) return true;
    err = path + ":" + position(text_, size_t(root_.getOffsetStart())) + ": the top level is " + type_name(root_) +
          ", not an object";
    return false;
}

std::string JsonFile::where(const std::string& member) const {
    const Json::Value* v = &root_;
    size_t pos = 0;
    while (v && pos < member.size()) {
        if (member[pos] == '[') {
            const size_t close = member.find(']', pos);
            if (close == std::string::npos || !v->isArray()) return path_;
            const unsigned long i = std::strtoul(member.c_str() + pos + 1, nullptr, 10);
            v = i < v->size() ? &(*v)[Json::ArrayIndex(i)] : nullptr;
            pos = close + 1;
        } else {
            if (member[pos] == '.') ++pos;
            const size_t end = member.find_first_of(".[", pos);
            const std::string name = member.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            v = v->isObject() ? v->find(name.data(), name.data() + name.size()) : nullptr;
            pos = end == std::string::npos ? member.size() : end;
        }
    }
    return v ? at(*v) : path_;
}

std::string JsonFile::at(const Json::Value& v) const {
    const std::string line_column = position(text_, size_t(v.getOffsetStart()));
    return path_ + ":" + line_column.substr(0, line_column.find(':'));
}

}  // namespace tzv58::tool
