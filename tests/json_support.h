// One JSON text read strictly enough for a test: a text that does not parse
// is a failure of the test that names the reader's reason and the text.
#pragma once

#include <json/reader.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

inline Json::Value parse_json(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string why;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &why)) << why << "\n" << text;
    return v;
}
