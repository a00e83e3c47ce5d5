// UniDataDevice::InitSetting: alarm mode and the mode-3 threshold codes.
#pragma once

template <class Data, class Base, int Type>
bool UniDataDevice<Data, Base, Type>::InitSetting(const Json::Value& config) {
    data.data_id.set(this->DataId());
    return Base::InitSetting(config);
}
