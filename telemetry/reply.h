// The decoded reply the host's codec hands the device:
//
//   byte 0..3   VER, ADR, CID1, RTN (not read by the device)
//   byte 4..5   LENID, low byte first: twice the INFO byte count
//   byte 6..    INFO, already converted from ASCII hex
//
// The codec passes on only frames whose INFO holds LENID/2 bytes.
#pragma once

#include <cstdint>

namespace tzv58 {

constexpr int REPLY_INFO_AT = 6;

inline const uint8_t* reply_info(const uint8_t* reply) { return reply + REPLY_INFO_AT; }

// n, the INFO byte count.
inline int reply_info_len(const uint8_t* reply) { return (reply[4] | (reply[5] << 8)) >> 1; }

// DATAFLAG heads the INFO of every poll reply; a reply too short to carry one
// reads as 0.
constexpr uint8_t DATAFLAG_ALARMS = 0x01;
constexpr uint8_t DATAFLAG_STATES = 0x10;

}  // namespace tzv58
