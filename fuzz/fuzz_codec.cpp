// The frame codec fed arbitrary byte streams in arbitrary pieces. Every frame
// it accepts must be a well-formed frame: rebuilding it gives the same image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/frame.h"

using namespace tzv58;

namespace {

struct Checker : FrameSink {
    void on_frame(const uint8_t* image, size_t len) override {
        if (len < IMAGE_HEADER || len > MAX_IMAGE) std::abort();
        const size_t lenid = size_t(image[4]) | size_t(image[5]) << 8;
        if (lenid % 2 || lenid > 0x0FFF || IMAGE_HEADER + lenid / 2 != len) std::abort();
        // Rebuild the frame and parse it again: the image must come back.
        std::vector<char> wire(MAX_WIRE_FRAME);
        const size_t n = build_frame(wire.data(), wire.size(), image[0], image[1], image[2], image[3],
                                     image + IMAGE_HEADER, int(len - IMAGE_HEADER));
        if (n == 0) std::abort();
        Echo echo;
        FrameParser again;
        again.feed(reinterpret_cast<const uint8_t*>(wire.data()), n, echo);
        if (echo.frames != 1 || echo.len != len || std::memcmp(echo.image.data(), image, len) != 0) std::abort();
        ++frames;
    }
    void on_drop(const char* reason, const uint8_t*, size_t len) override {
        if (!reason || !*reason || len > MAX_FRAME_CHARS + 2) std::abort();
    }
    struct Echo : FrameSink {
        void on_frame(const uint8_t* image, size_t n) override {
            ++frames;
            len = n;
            this->image.assign(image, image + n);
        }
        void on_drop(const char*, const uint8_t*, size_t) override { ++drops; }
        int frames = 0, drops = 0;
        size_t len = 0;
        std::vector<uint8_t> image;
    };
    int frames = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // First byte: the size of the pieces the line delivers the rest in.
    const size_t piece = size_t(data[0] % 64) + 1;
    FrameParser parser;
    Checker check;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        // Exactly sized copies, so that a read past a piece is caught.
        std::vector<uint8_t> chunk(data + at, data + at + n);
        parser.feed(chunk.data(), chunk.size(), check);
    }
    parser.flush(check);
    return 0;
}
