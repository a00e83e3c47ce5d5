// Byte helpers for the wire and the record image.
//
// Wire integers are big-endian; record fields and wire floats are little-endian.
// Every access is byte-wise, so the code is correct on any host byte order and
// never forms a pointer to an unaligned float.
#pragma once

#include <cstdint>
#include <cstring>

namespace tzv58 {

inline uint16_t load_be16(const uint8_t* p) { return uint16_t((uint16_t(p[0]) << 8) | p[1]); }

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline float bits_to_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint32_t float_to_bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline float load_f32le(const uint8_t* p) { return bits_to_float(load_le32(p)); }
inline void store_f32le(uint8_t* p, float v) { store_le32(p, float_to_bits(v)); }

// A little-endian IEEE single inside the packed record (alignment 1).
struct f32le {
    uint8_t b[4];
    float get() const { return load_f32le(b); }
    void set(float v) { store_f32le(b, v); }
    // Wire floats arrive least significant byte first: copied as they stand.
    void set_raw(const uint8_t* p) { std::memcpy(b, p, 4); }
};

// A little-endian unsigned 32-bit integer inside the packed record.
struct u32le {
    uint8_t b[4];
    uint32_t get() const { return load_le32(b); }
    void set(uint32_t v) { store_le32(b, v); }
};

static_assert(sizeof(f32le) == 4 && alignof(f32le) == 1, "f32le must be a plain 4-byte image");
static_assert(sizeof(u32le) == 4 && alignof(u32le) == 1, "u32le must be a plain 4-byte image");

// Bounded reader over untrusted bytes: every read checks that the bytes are
// there and neither reads nor advances when they are not.
class byte_reader {
public:
    byte_reader(const uint8_t* p, int len) : p_(p), len_(len > 0 && p ? len : 0) {}

    bool u8(uint8_t& v) {
        if (len_ - pos_ < 1) return false;
        v = p_[pos_++];
        return true;
    }
    bool be16(uint16_t& v) {
        if (len_ - pos_ < 2) return false;
        v = load_be16(p_ + pos_);
        pos_ += 2;
        return true;
    }
    // Four raw bytes, as a wire float arrives.
    bool raw4(const uint8_t*& v) { return bytes(v, 4); }
    // n raw bytes in place; v points into the input.
    bool bytes(const uint8_t*& v, long n) {
        if (n < 0 || len_ - pos_ < n) return false;
        v = p_ + pos_;
        pos_ += int(n);
        return true;
    }
    bool skip(long n) {
        if (n < 0 || len_ - pos_ < n) return false;
        pos_ += int(n);
        return true;
    }
    int pos() const { return pos_; }
    int left() const { return len_ - pos_; }

private:
    const uint8_t* p_;
    int len_;
    int pos_ = 0;
};

}  // namespace tzv58
