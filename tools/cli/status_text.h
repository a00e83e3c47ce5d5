// The status object of a running poll (tools/live/status.h) as lines for a
// person: what `tzv58-host get` prints.
#pragma once

#include <string>

#include <json/value.h>

namespace tzv58::tool {

// The link, the rounds and the age of the data, then every value the power
// system reported as "name: value unit" in the order of the model's values
// (dc[0].out_v: 53.5 V), alarm bytes with their meaning, a count with what
// the record holds of it, then what is known of the alarms: active ones,
// mains failure, the power system's status bytes; "unknown" with the last
// known while the data is not current. st: the status object; model: the
// model's values as GET /model serves them (tools/live/status.h). why: one
// line saying why the values are not current ("" when they are).
std::string status_text(const Json::Value& st, const Json::Value& model, std::string& why);

// "age: 0.4 s (round of T)", marked when the data is not current; why: one
// line saying why it is not ("" when it is), for a silent power system in
// the words said on standard error ("no answer from the power system at
// address 1 since 11:02:07"). link, data and address: the status object's
// members of those names.
std::string age_line(const Json::Value& link, const Json::Value& data, int address, std::string& why);

// The link in words: "open since T", "down since T (hang-up)".
std::string link_words(const Json::Value& link);

// Mains failure as the device's alarm says it, from a status object:
// "mains failure since T", "mains: no failure alarm",
// or "mains: not checked by the device" (it reports no such alarm).
std::string mains_words(const Json::Value& st);

// The device's answer for a value id, with its unit or meaning: "53.5 V";
// for ac, beside it what the mains-failure alarm says (from st, the status
// object): "1 (the device's own value, not its alarm; mains: no failure alarm)".
std::string id_value_text(const std::string& id, const Json::Value& value, const Json::Value& st);

}  // namespace tzv58::tool
