// tzv58_419::RunCheckThreshold: the power-system checks, then the model's table.
#include "device/tzv58_419.h"

void tzv58_419::RunCheckThreshold() { pmbuspower_419::RunCheckThreshold(); }
