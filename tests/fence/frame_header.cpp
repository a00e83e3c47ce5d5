// The stand-in codec's framing constants are not the plug-in's.
#include "host/frame.h"

int at() { return int(tzv58::IMAGE_HEADER); }
