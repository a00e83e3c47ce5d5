// Rectifier (41H) reply decoders.
#pragma once

template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_rc_analog(const unsigned char*, int, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_41(const unsigned char* p, int len) { return decode_rc_analog(p, len, 4); }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_42(const unsigned char* p, int len) { return decode_rc_analog(p, len, 2); }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_43(const unsigned char*, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse41_44(const unsigned char*, int) { return -1; }
