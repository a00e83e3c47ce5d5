// A plug-in may use what the host interface declares.
#include "host/pmbus_protocol.h"

int info_count(const PMBusProtocol& codec) { return (codec.reply_frame[4] | (codec.reply_frame[5] << 8)) >> 1; }
int step(const PMBusProtocol& codec) { return codec.poll_step + codec.protocol_ver; }
