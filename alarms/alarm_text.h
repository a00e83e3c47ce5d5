// Alarm texts without heap traffic: numbers formatted by the stream's own
// output into a stack buffer, and constant texts turned into strings once.
#pragma once

#include <array>
#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>

namespace tzv58 {

// An output stream over a fixed buffer on the stack. Floats come out as the
// default stream output writes them (six significant digits, general
// notation, independent of the C locale); output past the buffer is dropped.
class stack_text {
public:
    stack_text() : os_(&buf_) {}
    stack_text(const stack_text&) = delete;
    stack_text& operator=(const stack_text&) = delete;

    template <class T>
    stack_text& operator<<(const T& v) {
        os_ << v;
        return *this;
    }
    std::string str() const { return buf_.str(); }

private:
    struct fixed_buf : std::streambuf {
        char b[192];
        fixed_buf() { setp(b, b + sizeof b); }
        std::string str() const { return std::string(pbase(), pptr()); }
    };
    fixed_buf buf_;
    std::ostream os_;
};

// One string per row, made from a text field of a constant table.
template <class Row, size_t N>
std::array<std::string, N> texts_of(const Row (&rows)[N], const char* const Row::*field) {
    std::array<std::string, N> out;
    for (size_t k = 0; k < N; ++k) out[k] = rows[k].*field;
    return out;
}

}  // namespace tzv58
