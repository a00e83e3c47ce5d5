// AC distribution (40H) reply decoders.
#pragma once

template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_ac_analog(const unsigned char*, int, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse40_41(const unsigned char* p, int len) { return decode_ac_analog(p, len, 4); }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse40_42(const unsigned char* p, int len) { return decode_ac_analog(p, len, 2); }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse40_43(const unsigned char*, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse40_44(const unsigned char*, int) { return -1; }
