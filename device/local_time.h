// Local time for the device, one-second resolution.
//
// The wall clock (boost second_clock), unless the host program offers a clock
// of its own: a C function
//
//   int tzv58_host_local_time(const void* device, long long* seconds)
//
// that returns 1 and the device's local time as seconds since 1970-01-01
// 00:00:00, or 0 to leave the device on the wall clock. The plug-in refers to
// it weakly: the loader binds it where the host program defines it and leaves
// it null elsewhere (a controller's host has no such function), so the
// plug-in needs nothing to look it up with.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace tzv58 {

boost::posix_time::ptime local_time(const void* device);

}  // namespace tzv58
