// Texts that came from a file, the serial line or a socket, made safe for
// where they go: a terminal never receives a character it acts on rather
// than shows (an escape sequence can retitle the window, clear the screen or
// rewrite what the operator reads; a bidirectional control reorders a line),
// a one-line message stays one line, a spreadsheet opens a CSV cell as text,
// never as a formula, and a JSON string is valid UTF-8. Every text the
// program shows passes here: one guard, one rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tzv58::tool {

// The character at s[i]: its length in bytes, with its code point in
// `code`; 0 for a byte that starts no well-formed UTF-8 sequence (an
// overlong form, a surrogate, past U+10FFFF, cut short), with in `bad` how
// many bytes make the ill-formed part that one U+FFFD stands for.
size_t utf8_char(const std::string& s, size_t i, uint32_t& code, size_t& bad);

// A character a terminal acts on: C0, DEL, C1 (U+0080 to U+009F), and the
// bidirectional controls U+202A to U+202E and U+2066 to U+2069.
bool terminal_control(uint32_t code);

// For a terminal: each byte of a terminal control and each byte that is not
// part of valid UTF-8 as \xNN; other UTF-8 (Chinese alarm texts) as it is.
// With keep_lines, line breaks and tabs stay.
std::string shown(const std::string& s, bool keep_lines = false);

// Valid UTF-8: each byte that is not part of a valid sequence becomes
// U+FFFD.
std::string valid_utf8(const std::string& s);

// A CSV cell a spreadsheet takes as text: one that begins with =, +, -, @,
// a tab or a carriage return and is not a number gets a leading
// apostrophe. Quoting (RFC 4180) is left to the caller.
std::string spreadsheet_text(const std::string& s);

}  // namespace tzv58::tool
