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

// Bounds on a state file read back. The longest line written: a name, the
// longest state name, two times, BY and NOTE clipped by the engine, each
// byte possibly escaped to two; the file holds at most one line per rule.
constexpr size_t kMaxStateFileBytes = 64 * 1024 * 1024;
constexpr size_t kMaxStateFieldBytes = 4096;
constexpr size_t kMaxStateLineBytes =
    kMaxNameBytes + 1 + 11 + 1 + 32 + 1 + 32 + 1 + 2 * kMaxByBytes + 1 + 2 * kMaxReasonBytes + 1;
static_assert(kMaxStateFileBytes >= 4096 + kMaxRules * kMaxStateLineBytes, "a state file written is read back");
static_assert(2 * kMaxByBytes <= kMaxStateFieldBytes && 2 * kMaxReasonBytes <= kMaxStateFieldBytes);

// Where the state is kept when no --state is given:
// $HOME/.local/share/corvo/alarmd.state; without HOME, alarmd.state in the
// service's state directory ($STATE_DIRECTORY, which systemd sets), else
// /var/lib/corvo/alarmd.state.
std::string defaultStatePath();

std::string formatState(const std::vector<SavedState>& saved);
// `skipped` counts lines that could not be read.
std::vector<SavedState> parseState(const std::string& text, size_t& skipped);

// Writes the file atomically (a temporary file in the same folder, synced,
// then renamed). Returns "" or why it failed.
std::string writeFileAtomically(const std::string& path, const std::string& content);
// The whole file; `error` says why it could not be read ("" when missing).
std::string readStateFile(const std::string& path, std::string& error, bool& missing);

}  // namespace corvo::alarmd
