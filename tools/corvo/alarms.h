// corvo alarms: the operator's view of corvo-alarmd (the peer "alarmd").
//   corvo alarms                          active, shelved and disabled alarms (--json: an array)
//   corvo alarms ack RULE                 acknowledge (a name or a shell pattern)
//   corvo alarms shelve RULE DURATION [REASON...]
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tool.h"

namespace corvo::tool {

// The task for the words after "alarms"; null with `status` set on a usage
// error.
std::unique_ptr<Task> makeAlarmsTask(const std::vector<std::string>& words, int& status);

// The text of the string field `key` of a flat JSON object, "" when absent
// (for the objects corvo-alarmd publishes).
std::string jsonTextField(const std::string& json, const std::string& key);

}  // namespace corvo::tool
