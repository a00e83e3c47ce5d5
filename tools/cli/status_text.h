// The status object of a running poll (tools/live/status.h) as lines for a
// person: what `tzv58-host get` prints.
#pragma once

#include <string>

#include <json/value.h>

namespace tzv58::tool {

// The link, the rounds and the age of the data, then every value the power
// system reported as "name: value unit" in the order served
// (dc[0].out_v: 53.5 V), alarm bytes with their meaning, then the active
// alarms. body: the object's text, st: the same parsed. why: one line saying
// why the values are not current ("" when they are).
std::string status_text(const std::string& body, const Json::Value& st, std::string& why);

// "age: 0.4 s (round of T)", marked when the data is not current; why: one
// line saying why it is not ("" when it is). link and data: the status
// object's members of those names.
std::string age_line(const Json::Value& link, const Json::Value& data, std::string& why);

// The link in words: "open since T", "down since T (hang-up)".
std::string link_words(const Json::Value& link);

// The device's answer for a value id, with its unit or meaning: "53.5 V",
// "0 (no mains failure: ...)".
std::string id_value_text(const std::string& id, const Json::Value& value);

}  // namespace tzv58::tool
