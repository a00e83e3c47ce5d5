// DeviceIoControl with arbitrary code, input bytes and output length. Checks:
// the result is 0 or -1, nothing is written outside the output buffer (the
// sanitizer sees to that), out_written is 0 or 4 and fits, and no exception
// leaves the call.
#include <vector>

#include "fuzz_common.h"

using namespace fuzz;

// Input: code selector, input mode, output length, output mode, then the
// request bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const int codes[] = {300, 310, 320, 0, -1, 301, 2147483647, -2147483647 - 1};
    const int code = codes[data[0] % 8];
    const int in_mode = data[1] % 4;
    const int out_len = int(data[2] % 12) - 2;
    const bool null_out = data[3] % 8 == 0;
    std::vector<uint8_t> input(data + 4, data + size);

    const void* p = input.empty() ? nullptr : input.data();
    int in_len = int(input.size());
    if (in_mode == 1) in_len = -in_len - 1;               // a negative length
    if (in_mode == 2) p = nullptr;                        // null with a length
    if (in_mode == 3 && in_len > 0) in_len = in_len / 2;  // fewer than given

    std::vector<uint8_t> out(out_len > 0 ? size_t(out_len) : 0);
    void* o = null_out || out.empty() ? nullptr : out.data();
    int written = 0;

    tzv58_419 dev;
    dev.poll_step = 4;
    const int r = dev.DeviceIoControl(code, p, in_len, o, out_len, written);
    check(r == 0 || r == -1, "result 0 or -1");
    check(written == 0 || (written == 4 && o != nullptr && out_len >= 4), "out_written fits the buffer");
    check(dev.ctrl_result == -1 || dev.ctrl_result == 1, "ctrl_result -1 or 1");
    return 0;
}
