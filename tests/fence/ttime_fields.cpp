// The inside of the host's time value is the host's.
#include "host/zmx_device.h"

unsigned hour(const ttime_t& t) { return t.hour; }
