// pmbuspower_419::InitSetting: the plant layout from "appSetting".
#pragma once

template <class Data, int Type>
bool pmbuspower_419<Data, Type>::InitSetting(const Json::Value& config) {
    this->data.data_id.set(this->DataId());
    Base::InitSetting(config);
    return true;
}
