// A small JSON object writer for the tool's output lines: members in the
// order they are added, strings escaped, floats in their shortest exact form.
#pragma once

#include "host/hex.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tzv58::tool {

// Upper-case hex without separators.
// The shortest decimal text that reads back as the same float ("53.01").
std::string float_text(float v);
// A JSON string literal, quotes included. UTF-8 passes through unchanged,
// but for the characters a terminal acts on (terminal_control: C0, DEL, C1,
// bidirectional controls), written as \u escapes, so that a JSON line is
// safe on a terminal too; a byte that is no part of a well-formed UTF-8
// sequence (text from a file, the line or a client) becomes U+FFFD, one for
// each maximal ill-formed subpart, so that every JSON text the program
// writes is UTF-8.
std::string json_quote(const std::string& s);
// A JSON text that came from elsewhere (a server's answer), made safe on a
// terminal: each terminal control in it written as a \u escape and each byte
// that is no UTF-8 as U+FFFD, as json_quote writes them; the line breaks and
// tabs between its members stay. Outside its strings a JSON text holds no such
// character, so the text means what it meant.
std::string json_shown(const std::string& json);
// Whether s is well-formed UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF).
bool is_utf8(const std::string& s);

class JsonLine {
public:
    JsonLine& str(const char* key, const std::string& v);
    JsonLine& num(const char* key, long long v);
    JsonLine& real(const char* key, float v);
    JsonLine& boolean(const char* key, bool v);
    // A value already in JSON form (an array, an object).
    JsonLine& raw(const char* key, const std::string& json);
    std::string text() const { return body_ + "}"; }

private:
    void key(const char* k);
    std::string body_ = "{";
};

}  // namespace tzv58::tool
