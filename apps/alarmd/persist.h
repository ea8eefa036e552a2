// The state file of corvo-alarmd: acks, shelves, disables and unacknowledged
// alarms, so that they survive a restart. One line per rule that is not
// normal: RULE, STATE, SINCE, UNTIL, BY, NOTE separated by tabs (times in
// Unix seconds; tab, line feed and backslash in BY and NOTE written as \t,
// \n, \\). Lines that cannot be read are skipped and counted.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine.h"

namespace corvo::alarmd {

// Bounds on a state file read back.
constexpr size_t kMaxStateFileBytes = 16 * 1024 * 1024;
constexpr size_t kMaxStateFieldBytes = 4096;

std::string formatState(const std::vector<SavedState>& saved);
// `skipped` counts lines that could not be read.
std::vector<SavedState> parseState(const std::string& text, size_t& skipped);

// Writes the file atomically (a temporary file in the same folder, synced,
// then renamed). Returns "" or why it failed.
std::string writeFileAtomically(const std::string& path, const std::string& content);
// The whole file; `error` says why it could not be read ("" when missing).
std::string readStateFile(const std::string& path, std::string& error, bool& missing);

}  // namespace corvo::alarmd
