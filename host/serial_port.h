// Serial lines for the stand-in host: raw 8N1, no flow control, exclusive.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#error "the stand-in host's own header: a plug-in builds against host/zmx_device.h and host/pmbus_protocol.h only"
#endif

#include <string>

namespace tzv58 {

// Opens and configures a serial port (termios raw, 8N1, no hardware or
// software flow control, non-blocking). Takes an exclusive flock and sets
// TIOCEXCL. Returns the descriptor, or -1 with a one-line reason in err and
// errno saying why: ENOENT (no such port), EBUSY (another program holds it).
int open_serial_port(const std::string& path, int baud, std::string& err);

// Puts any terminal descriptor (a pseudo-terminal, for example) in raw 8N1.
bool make_raw(int fd, int baud, std::string& err);

// Writes all n bytes, waiting with poll() while the line is busy. -1 on error.
long write_all(int fd, const void* data, size_t n, int timeout_ms);

// Discards whatever is pending in the input.
void discard_input(int fd);

enum class LineWait { input, timeout, hangup, interrupted };

// Waits up to timeout_ms for input with poll(). A hang-up (POLLHUP, POLLERR,
// an unplugged adapter) is reported as such even when bytes are pending.
LineWait wait_input(int fd, int timeout_ms);

}  // namespace tzv58
