#include "host/frame.h"

#include <cstring>

namespace tzv58 {
namespace {

const char HEX[] = "0123456789ABCDEF";

void put_hex8(char* p, uint8_t v) {
    p[0] = HEX[v >> 4];
    p[1] = HEX[v & 15];
}

void put_hex16(char* p, uint16_t v) {
    put_hex8(p, uint8_t(v >> 8));
    put_hex8(p + 2, uint8_t(v));
}

// Value of each upper-case hex digit; NOT_HEX for every other byte.
constexpr uint8_t NOT_HEX = 0xFF;
struct hex_table {
    uint8_t v[256];
    constexpr hex_table() : v() {
        for (int c = 0; c < 256; ++c)
            v[c] = c >= '0' && c <= '9' ? uint8_t(c - '0') : c >= 'A' && c <= 'F' ? uint8_t(c - 'A' + 10) : NOT_HEX;
    }
};
constexpr hex_table HEX_VALUE;

// Only for characters already known to be hex digits.
inline int hex8(const char* p) { return (HEX_VALUE.v[uint8_t(p[0])] << 4) | HEX_VALUE.v[uint8_t(p[1])]; }
int hex16(const char* p) { return (hex8(p) << 8) | hex8(p + 2); }

uint16_t negated_sum(unsigned sum) { return uint16_t(0x10000u - (sum & 0xFFFFu)); }

}  // namespace

uint16_t frame_length_field(int info_bytes) {
    const unsigned lenid = unsigned(info_bytes * 2) & 0x0FFFu;
    const unsigned sum = (lenid & 15) + ((lenid >> 4) & 15) + ((lenid >> 8) & 15);
    const unsigned lchk = (16 - sum % 16) % 16;
    return uint16_t((lchk << 12) | lenid);
}

uint16_t frame_checksum(const char* chars, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += uint8_t(chars[i]);
    return negated_sum(sum);
}

size_t build_frame(char* out, size_t cap, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                   const uint8_t* info, int info_len) {
    if (info_len < 0 || info_len > MAX_INFO || (info_len > 0 && !info)) return 0;
    const size_t total = 1 + 12 + size_t(info_len) * 2 + 4 + 1;
    if (!out || cap < total) return 0;
    char* p = out;
    *p++ = char(SOI);
    put_hex8(p, ver);
    put_hex8(p + 2, adr);
    put_hex8(p + 4, cid1);
    put_hex8(p + 6, cid2_or_rtn);
    put_hex16(p + 8, frame_length_field(info_len));
    p += 12;
    for (int i = 0; i < info_len; ++i, p += 2) put_hex8(p, info[i]);
    put_hex16(p, frame_checksum(out + 1, size_t(p - (out + 1))));
    p += 4;
    *p++ = char(EOI);
    return size_t(p - out);
}

void FrameParser::feed(const uint8_t* data, size_t n, FrameSink& sink) {
    if (!data) return;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        if (c == SOI) {
            if (state_ == State::frame) drop(sink, "truncated", false);
            report_noise(sink);
            state_ = State::frame;
            len_ = 0;
            continue;
        }
        switch (state_) {
        case State::hunt:
            if (noise_ < NOISE_KEEP) noise_buf_[noise_] = c;
            ++noise_;
            break;
        case State::discard:
            break;
        case State::frame: {
            if (c == EOI) {
                finish(sink);
                state_ = State::hunt;
                break;
            }
            // The characters up to the next SOI or EOI, copied at once.
            size_t end = i + 1;
            while (end < n && data[end] != SOI && data[end] != EOI) ++end;
            const size_t run = end - i;
            const size_t take = run < MAX_FRAME_CHARS - len_ ? run : MAX_FRAME_CHARS - len_;
            std::memcpy(buf_ + 1 + len_, data + i, take);
            len_ += take;
            if (take < run) {
                drop(sink, "too_long", false);
                state_ = State::discard;
            }
            i = end - 1;
            break;
        }
        }
    }
}

void FrameParser::flush(FrameSink& sink) {
    if (state_ == State::frame) drop(sink, "truncated", false);
    report_noise(sink);
    state_ = State::hunt;
}

void FrameParser::report_noise(FrameSink& sink) {
    if (noise_ == 0) return;
    sink.on_drop("noise", noise_buf_, noise_ < NOISE_KEEP ? noise_ : NOISE_KEEP);
    noise_ = 0;
}

void FrameParser::drop(FrameSink& sink, const char* reason, bool with_eoi) {
    buf_[0] = char(SOI);
    size_t n = 1 + len_;
    if (with_eoi) buf_[n++] = char(EOI);
    sink.on_drop(reason, reinterpret_cast<const uint8_t*>(buf_), n);
    len_ = 0;
}

void FrameParser::finish(FrameSink& sink) {
    const char* f = buf_ + 1;
    if (len_ < 16) return drop(sink, "length", true);
    // One pass: every character a hex digit, and their sum for CHKSUM.
    unsigned any = 0, sum = 0;
    for (size_t i = 0; i < len_; ++i) {
        any |= HEX_VALUE.v[uint8_t(f[i])];
        sum += uint8_t(f[i]);
    }
    if (any > 15) return drop(sink, "hex", true);
    const unsigned length = unsigned(hex16(f + 8));
    const unsigned lenid = length & 0x0FFFu;
    const unsigned nibbles = (lenid & 15) + ((lenid >> 4) & 15) + ((lenid >> 8) & 15) + (length >> 12);
    if (nibbles % 16 != 0) return drop(sink, "lchksum", true);
    if (lenid & 1u) return drop(sink, "length", true);
    if (12 + lenid + 4 != len_) return drop(sink, "length", true);
    for (size_t i = len_ - 4; i < len_; ++i) sum -= uint8_t(f[i]);
    if (negated_sum(sum) != unsigned(hex16(f + len_ - 4))) return drop(sink, "checksum", true);

    for (int i = 0; i < 4; ++i) image_[i] = uint8_t(hex8(f + 2 * i));
    image_[4] = uint8_t(lenid & 0xFF);
    image_[5] = uint8_t(lenid >> 8);
    const size_t info = lenid / 2;
    for (size_t i = 0; i < info; ++i) image_[IMAGE_HEADER + i] = uint8_t(hex8(f + 12 + 2 * i));
    len_ = 0;
    sink.on_frame(image_, IMAGE_HEADER + info);
}

}  // namespace tzv58
