// What the live line lets through to the device's codec: only a reply to the
// request awaited. Replies carry no command code, only CID1, so a reply that
// comes late, or a frame that is not a reply at all, could otherwise be
// decoded as the answer to another request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/frame.h"
#include "host/host_events.h"

namespace tzv58::tool {

class ReplyFilter : private FrameSink {
public:
    explicit ReplyFilter(HostEvents& events) : events_(&events) {}

    // The request just sent (wire characters without CR) to this address.
    void expect(const std::string& request, uint8_t address);
    // The same on a bus: what is dropped is told to `events`, the
    // observers of the power system that awaits the reply.
    void expect(const std::string& request, uint8_t address, HostEvents& events) {
        events_ = &events;
        expect(request, address);
    }
    // Another power system on the bus: a frame from its address is its own
    // reply come late (its request timed out), told to its observers as
    // "late", not to those of the power system awaiting a reply.
    void add_sibling(uint8_t address, HostEvents& events) { siblings_[address] = &events; }

    // Feeds received bytes. true once a reply to the request is held: then
    // everything after it is stale and ignored.
    //  - a frame that is byte for byte the request is its echo (two-wire
    //    RS-485 adapters send every request back): dropped without a word;
    //  - a frame for another address: dropped, reported as "address" (or as
    //    "late" to a sibling at that address);
    //  - a frame whose CID1 is not the request's: dropped, reported as
    //    "unexpected";
    //  - bytes the frame parser drops are reported with its reason.
    bool feed(const uint8_t* data, size_t n);

    // The reply held, as wire characters with CR.
    const uint8_t* reply() const { return reply_; }
    size_t reply_len() const { return reply_len_; }

    // Forgets the reply held and any partial frame; report: say what was
    // dropped (a reply timeout), or not (stale input).
    void flush(bool report);

private:
    void on_frame(const uint8_t* image, size_t len) override;
    void on_drop(const char* reason, const uint8_t* data, size_t len) override;

    HostEvents* events_;
    HostEvents* siblings_[256] = {};
    FrameParser parser_;
    bool quiet_ = false;  // drops go unreported
    uint8_t address_ = 0, cid1_ = 0;
    size_t request_len_ = 0;
    char request_[MAX_WIRE_FRAME];
    uint8_t reply_[MAX_WIRE_FRAME];
    size_t reply_len_ = 0;
};

}  // namespace tzv58::tool
