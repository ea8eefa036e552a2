// What a node says on standard error: warnings, always printed but rate
// limited, and traces, printed only when the node is verbose.
#pragma once

#include <cstdint>
#include <string>

#include "zre_curve.hpp"

namespace zre {

class NodeLog {
public:
    // Warnings printed per window; then a count of the suppressed ones.
    static constexpr int kMaxWarnings = 20;
    static constexpr int64_t kWarningWindowMs = 10000;

    explicit NodeLog(std::string uuidText) : uuidText_(std::move(uuidText)) {}

    void setName(const std::string& name, bool verbose)
    {
        name_ = name;
        verbose_ = verbose;
    }
    const std::string& name() const { return name_; }
    const std::string& uuidText() const { return uuidText_; }

    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A refusal (of a beacon, a key, a HELLO) logged once per `key`,
    // prefixed with the node's name (see RefusalLog).
    void refuse(const std::string& key, const std::string& line);
    // "zre NAME [UUID6]" for lines built by the caller.
    std::string prefix() const;

    // Peer text in a warning: control characters become '?'.
    static std::string printable(const std::string& text);

private:
    std::string uuidText_;
    std::string name_;
    bool verbose_ = false;
    int64_t windowEnd_ = 0;
    int inWindow_ = 0;
    int suppressed_ = 0;
    RefusalLog refusals_;
};

}  // namespace zre
