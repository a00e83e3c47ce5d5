// pmbuspower_419::DeviceIoControl: control commands and the answer query.
#pragma once

template <class Data, int Type>
int pmbuspower_419<Data, Type>::DeviceIoControl(int, const void*, int, void*, int, int&) { return -1; }
