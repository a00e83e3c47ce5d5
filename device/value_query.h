// pmbuspower_419::Get_Value: single values from the record.
#pragma once

#include <stdexcept>

template <class Data, int Type>
float pmbuspower_419<Data, Type>::Get_Value(unsigned int, const std::string&) const {
    std::cout << "in pmbuspower_419 Get_Value" << std::endl;
    throw std::out_of_range("数据未就绪");
}
