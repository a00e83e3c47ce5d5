// DC distribution (42H) reply decoders. A unit-2 decoder is its unit-1 twin
// applied to the second unit.
#pragma once

template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_dc_analog_unit(dc_unit_t&, const unsigned char*, int, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_dc_alarm_unit(dc_unit_t&, const unsigned char*, int) { return -1; }
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_41(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(0), p, len, 4);
}
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_41_2(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(1), p, len, 4);
}
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_42(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(0), p, len, 2);
}
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_42_2(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(1), p, len, 2);
}
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_44(const unsigned char* p, int len) {
    return decode_dc_alarm_unit(this->data.dc(0), p, len);
}
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_44_2(const unsigned char* p, int len) {
    return decode_dc_alarm_unit(this->data.dc(1), p, len);
}
