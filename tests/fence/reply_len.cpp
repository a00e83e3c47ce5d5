// The decoded length is the stand-in codec's own member.
#include "host/pmbus_protocol.h"

int decoded(const PMBusProtocol& codec) { return codec.reply_len; }
