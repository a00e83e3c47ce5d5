// Texts that came from a file, the serial line or a socket, made safe for
// where they go: a terminal never receives a control character (an escape
// sequence can retitle the window, clear the screen or rewrite what the
// operator reads), a one-line message stays one line, a spreadsheet opens a
// CSV cell as text, never as a formula, and a JSON string is valid UTF-8.
#pragma once

#include <string>

namespace tzv58::tool {

// For a terminal: each byte of a control character (C0, DEL, C1) and each
// byte that is not part of valid UTF-8 as \xNN; other UTF-8 (Chinese alarm
// texts) as it is. With keep_lines, line breaks and tabs stay.
std::string shown(const std::string& s, bool keep_lines = false);

// Valid UTF-8: each byte that is not part of a valid sequence becomes
// U+FFFD.
std::string valid_utf8(const std::string& s);

// A CSV cell a spreadsheet takes as text: one that begins with =, +, -, @,
// a tab or a carriage return and is not a number gets a leading
// apostrophe. Quoting (RFC 4180) is left to the caller.
std::string spreadsheet_text(const std::string& s);

}  // namespace tzv58::tool
