// pmbuspower_419::RunCheckThreshold: mains failure (mode 1) and the AC and DC
// threshold checks (mode 2).
#pragma once

template <class Data, int Type>
void pmbuspower_419<Data, Type>::RunCheckThreshold() {}
