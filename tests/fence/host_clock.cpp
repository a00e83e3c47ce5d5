// The stand-in host's clock is reached only through the hook it exports.
#include "host/zmx_device.h"

bool later(const ZMXVDevice& d) { return d.LocalTime() > d.last_update; }
