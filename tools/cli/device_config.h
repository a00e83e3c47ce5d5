// The device's configuration file (--config), checked before the device
// sees it. The device itself takes whatever it is given: a member it does not
// know is ignored, a JSON boolean reads as 0, "2abc" as 2. Here every member
// must be one it reads, of a type it reads as meant (docs/configuration.md).
#pragma once

#include <string>

#include "tools/common/json_in.h"

namespace tzv58::tool {

// false with one line, "FILE:LINE: MEMBER: what" ("device.json:3:
// appSetting.has_dc: true is a JSON boolean, which the device reads as 0:
// write 1 or 0").
bool check_device_config(const JsonFile& file, std::string& err);

}  // namespace tzv58::tool
