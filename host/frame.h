// Wire framing of the telecom power-monitoring protocol.
//
//   '~' VER ADR CID1 CID2|RTN LENGTH INFO CHKSUM CR
//
// Every field after SOI is upper-case ASCII hex. LENGTH carries LENID (INFO
// characters, low 12 bits) and LCHKSUM (high 4 bits: the LENID nibbles plus
// LCHKSUM sum to 0 mod 16). CHKSUM is the two's complement of the sum of the
// characters between SOI and CHKSUM, mod 65536.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

#include <cstddef>
#include <cstdint>

namespace tzv58 {

constexpr uint8_t SOI = 0x7E;
constexpr uint8_t EOI = 0x0D;
// LENID has 12 bits and counts characters: at most 2047 INFO bytes.
constexpr int MAX_INFO = 2047;
// Characters after SOI: header 12, INFO, CHKSUM 4.
constexpr size_t MAX_FRAME_CHARS = 12 + 2 * MAX_INFO + 4;
// Decoded reply image: VER, ADR, CID1, RTN, LENID (2, low byte first), INFO.
constexpr size_t IMAGE_HEADER = 6;
constexpr size_t MAX_IMAGE = IMAGE_HEADER + MAX_INFO;
// A frame with CR, SOI included.
constexpr size_t MAX_WIRE_FRAME = 1 + MAX_FRAME_CHARS + 1;

uint16_t frame_length_field(int info_bytes);
uint16_t frame_checksum(const char* chars, size_t n);

// Builds a frame (SOI to CHKSUM, then CR) into out. Returns its length with CR,
// or 0 when INFO is out of range or out is too small.
size_t build_frame(char* out, size_t cap, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                   const uint8_t* info, int info_len);

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // A frame that passed every check, as its decoded image.
    virtual void on_frame(const uint8_t* image, size_t len) = 0;
    // Bytes that were dropped, and why.
    virtual void on_drop(const char* reason, const uint8_t* data, size_t len) = 0;
};

// Reply parser: takes bytes as they arrive, in any pieces, and hands complete,
// checked frames to the sink. Never reads or writes outside its buffers.
class FrameParser {
public:
    void feed(const uint8_t* data, size_t n, FrameSink& sink);
    // Reports stray bytes still held and forgets a partial frame (reply timeout).
    void flush(FrameSink& sink);
    bool in_frame() const { return state_ == State::frame; }

    // Reported noise is cut to this many bytes.
    static constexpr size_t NOISE_KEEP = 64;

private:
    enum class State { hunt, frame, discard };
    void finish(FrameSink& sink);
    void report_noise(FrameSink& sink);
    void drop(FrameSink& sink, const char* reason, bool with_eoi);

    State state_ = State::hunt;
    size_t len_ = 0;                 // characters after SOI
    char buf_[MAX_FRAME_CHARS + 2];  // SOI, characters, EOI (for reports)
    size_t noise_ = 0;               // stray bytes seen in hunt
    uint8_t noise_buf_[NOISE_KEEP];
    uint8_t image_[MAX_IMAGE];
};

}  // namespace tzv58
