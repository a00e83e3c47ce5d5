#include "tools/line/reply_filter.h"

#include <cstring>

namespace tzv58::tool {
namespace {

int hex_digit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 0; }

}  // namespace

void ReplyFilter::expect(const std::string& request, uint8_t address) {
    request_len_ = request.size() < sizeof request_ ? request.size() : 0;
    std::memcpy(request_, request.data(), request_len_);
    address_ = address;
    // '~' VER ADR CID1: CID1 is characters 5 and 6.
    cid1_ = request_len_ >= 7 ? uint8_t(hex_digit(request_[5]) << 4 | hex_digit(request_[6])) : 0;
    reply_len_ = 0;
}

bool ReplyFilter::feed(const uint8_t* data, size_t n) {
    if (reply_len_ == 0) parser_.feed(data, n, *this);
    return reply_len_ > 0;
}

void ReplyFilter::flush(bool report) {
    quiet_ = !report;
    parser_.flush(*this);
    quiet_ = false;
    reply_len_ = 0;
}

void ReplyFilter::on_frame(const uint8_t* image, size_t len) {
    if (reply_len_ > 0) return;  // stale: after the reply
    // The frame as it came: the parser takes only upper-case hex with a
    // matching LENGTH and CHKSUM, so the image gives back its characters.
    char wire[MAX_WIRE_FRAME];
    const size_t n = build_frame(wire, sizeof wire, image[0], image[1], image[2], image[3], image + IMAGE_HEADER,
                                 int(len - IMAGE_HEADER));
    if (n == 0) return;
    if (n - 1 == request_len_ && std::memcmp(wire, request_, request_len_) == 0) return;  // our echo
    if (image[1] != address_) {
        if (HostEvents* sibling = siblings_[image[1]])
            sibling->on_frame_error("late", image, len);
        else
            events_->on_frame_error("address", image, len);
        return;
    }
    if (image[2] != cid1_) {
        events_->on_frame_error("unexpected", reinterpret_cast<const uint8_t*>(wire), n);
        return;
    }
    std::memcpy(reply_, wire, n);
    reply_len_ = n;
}

void ReplyFilter::on_drop(const char* reason, const uint8_t* data, size_t len) {
    if (reply_len_ > 0 || quiet_) return;
    events_->on_frame_error(reason, data, len);
}

}  // namespace tzv58::tool
