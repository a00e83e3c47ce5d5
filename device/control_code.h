// The codes DeviceIoControl acts on (device/control.h tells what each does);
// any other code reads whether the last command was answered. The host
// program names them from here too.
#pragma once

namespace tzv58 {

enum control_code { SET_TIME = 300, SET_PARAM = 310, REMOTE_CONTROL = 320 };

}  // namespace tzv58
