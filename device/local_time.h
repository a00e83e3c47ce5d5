// Local time for the device, one-second resolution.
//
// The wall clock (boost second_clock), unless the host program offers a clock
// of its own: an exported C function
//
//   int tzv58_host_local_time(const void* device, long long* seconds)
//
// looked up once, at the first device's creation. It returns 1 and the
// device's local time as seconds since 1970-01-01 00:00:00, or 0 to leave the
// device on the wall clock. A controller's host has no such function.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace tzv58 {

// Looks the hook up (once per process); called by the device's constructor.
void find_host_clock();

boost::posix_time::ptime local_time(const void* device);

}  // namespace tzv58
