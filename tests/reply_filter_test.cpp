// What the live line lets through to the device: only a reply to the request
// awaited; never its echo, nor a frame for another address or command group.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/frame.h"
#include "tools/line/reply_filter.h"

namespace {

using tzv58::tool::ReplyFilter;

struct Drops : HostEvents {
    std::vector<std::string> reasons;
    void on_frame_error(const char* reason, const uint8_t*, size_t) override { reasons.push_back(reason); }
};

std::string wire(uint8_t adr, uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info) {
    char out[tzv58::MAX_WIRE_FRAME];
    const size_t n = tzv58::build_frame(out, sizeof out, 0x20, adr, cid1, cid2, info.data(), int(info.size()));
    return std::string(out, n);
}

bool feed(ReplyFilter& f, const std::string& bytes) {
    return f.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string held(const ReplyFilter& f) { return std::string(reinterpret_cast<const char*>(f.reply()), f.reply_len()); }

const std::string REQUEST = "~20014042E00201FD3B";  // 40H/42H, INFO 01H, to ADR 1
const std::string REPLY = wire(1, 0x40, 0x00, {0x11, 0x02, 0x59, 0xD8});

TEST(ReplyFilter, TheEchoOfTheRequestIsDroppedWithoutAWordAndTheReplyBehindItLetThrough) {
    Drops drops;
    ReplyFilter f(drops);
    f.expect(REQUEST, 1);
    EXPECT_FALSE(feed(f, REQUEST + "\r"));
    EXPECT_TRUE(feed(f, REPLY));
    EXPECT_EQ(held(f), REPLY);
    EXPECT_TRUE(drops.reasons.empty());
    // An echo of another request is no echo of this one: a reply of RTN 42H.
    f.expect(REQUEST, 1);
    EXPECT_TRUE(feed(f, wire(1, 0x40, 0x43, {0x01})));
}

TEST(ReplyFilter, FramesOfAnotherCommandGroupOrAddressAreDroppedAndReported) {
    Drops drops;
    ReplyFilter f(drops);
    f.expect(REQUEST, 1);
    EXPECT_FALSE(feed(f, wire(1, 0x41, 0x00, {0x11, 0x02})));  // a late reply to 41H/42H
    EXPECT_FALSE(feed(f, wire(2, 0x40, 0x00, {0x11, 0x02})));  // another power system's
    EXPECT_TRUE(feed(f, REPLY));
    EXPECT_EQ(drops.reasons, (std::vector<std::string>{"unexpected", "address"}));
}

TEST(ReplyFilter, WhatFollowsTheReplyIsStaleAndOnlyATimeoutReportsAPartialFrame) {
    Drops drops;
    ReplyFilter f(drops);
    f.expect(REQUEST, 1);
    EXPECT_TRUE(feed(f, REPLY + "junk" + wire(1, 0x40, 0x00, {0x99})));
    EXPECT_EQ(held(f), REPLY);
    EXPECT_TRUE(drops.reasons.empty());
    f.flush(false);
    EXPECT_EQ(f.reply_len(), 0u);
    EXPECT_FALSE(feed(f, REPLY.substr(0, 9)));  // cut short
    f.flush(false);                             // stale input: not a word
    EXPECT_TRUE(drops.reasons.empty());
    EXPECT_FALSE(feed(f, REPLY.substr(0, 9)));
    f.flush(true);  // a reply timeout
    EXPECT_EQ(drops.reasons, std::vector<std::string>{"truncated"});
    EXPECT_TRUE(feed(f, REPLY)) << "the request stays awaited after a flush";
}

}  // namespace
