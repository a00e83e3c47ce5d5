#include "host/frame.h"

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

// The value of an upper-case hex digit, or -1 for any other character.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Only for characters already known to be hex digits.
uint8_t hex8(const char* p) { return uint8_t(hex_value(p[0]) * 16 + hex_value(p[1])); }
unsigned hex16(const char* p) { return unsigned(hex8(p)) * 256 + hex8(p + 2); }

unsigned lenid_nibble_sum(unsigned lenid) { return (lenid & 15) + ((lenid >> 4) & 15) + ((lenid >> 8) & 15); }

}  // namespace

uint16_t frame_length_field(int info_bytes) {
    const unsigned lenid = unsigned(info_bytes * 2) & 0x0FFFu;
    const unsigned lchk = (16 - lenid_nibble_sum(lenid) % 16) % 16;
    return uint16_t((lchk << 12) | lenid);
}

uint16_t frame_checksum(const char* chars, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += uint8_t(chars[i]);
    return uint16_t(0x10000u - sum % 0x10000u);
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
        case State::frame:
            if (c == EOI) {
                finish(sink);
                state_ = State::hunt;
            } else if (len_ == MAX_FRAME_CHARS) {
                drop(sink, "too_long", false);
                state_ = State::discard;
            } else {
                buf_[1 + len_++] = char(c);
            }
            break;
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
    // The header's 12 characters and CHKSUM's 4 at least.
    if (len_ < 16) return drop(sink, "length", true);
    for (size_t i = 0; i < len_; ++i)
        if (hex_value(f[i]) < 0) return drop(sink, "hex", true);
    const unsigned length = hex16(f + 8);
    const unsigned lenid = length & 0x0FFFu;
    if ((lenid_nibble_sum(lenid) + (length >> 12)) % 16 != 0) return drop(sink, "lchksum", true);
    if (lenid % 2 != 0) return drop(sink, "length", true);
    if (12 + lenid + 4 != len_) return drop(sink, "length", true);
    if (frame_checksum(f, len_ - 4) != hex16(f + len_ - 4)) return drop(sink, "checksum", true);

    for (int i = 0; i < 4; ++i) image_[i] = hex8(f + 2 * i);
    image_[4] = uint8_t(lenid & 0xFF);
    image_[5] = uint8_t(lenid >> 8);
    const size_t info = lenid / 2;
    for (size_t i = 0; i < info; ++i) image_[IMAGE_HEADER + i] = hex8(f + 12 + 2 * i);
    len_ = 0;
    sink.on_frame(image_, IMAGE_HEADER + info);
}

}  // namespace tzv58
