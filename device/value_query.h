// pmbuspower_419::Get_Value: single values from the record.
//
//   "out_v"  DC output voltage of the first DC unit, as stored
//   "ac"     1.0 when all six AC input phase voltages (both channels) are
//            below 150.0, else 0.0
//
// Refusals, tested in this order: no round completed yet ("数据未就绪"),
// the record older than 60 s on the host clock ("数据已超时"; a clock set
// back counts as fresh), an id not served ("不支持变量").
#pragma once

#include <cstdint>
#include <stdexcept>

#include "device/pmbuspower_419.h"
#include "telemetry/diag.h"

namespace tzv58 {
inline constexpr int64_t VALUE_MAX_AGE_S = 60;
inline constexpr float AC_FAIL_BELOW_V = 150.0f;
}  // namespace tzv58

template <class Data, int Type>
float pmbuspower_419<Data, Type>::Get_Value(unsigned int, const std::string& signal_id) const {
    tzv58::diag_line::get_value(diag());
    if (!this->data_ready) throw std::out_of_range("数据未就绪");

    const boost::posix_time::ptime now = this->local_time();
    // A record whose age cannot be told is not answered from.
    if (now.is_special() || this->last_update.is_special() ||
        int64_t((now - this->last_update).total_seconds()) > tzv58::VALUE_MAX_AGE_S)
        throw std::out_of_range("数据已超时");

    if (signal_id == "out_v") return this->data.dc0.out_v.get();
    if (signal_id == "ac") {
        for (const ac_channel_t& ch : this->data.channel) {
            // A NaN is not below the limit either.
            if (!(ch.a.get() < tzv58::AC_FAIL_BELOW_V) || !(ch.b.get() < tzv58::AC_FAIL_BELOW_V) ||
                !(ch.c.get() < tzv58::AC_FAIL_BELOW_V))
                return 0.0f;
        }
        return 1.0f;
    }
    throw std::out_of_range("不支持变量");
}
