// The rows the archiver records and the history queries return: property
// samples, status changes, log records, peers entering and leaving, and the
// times when nothing was recorded. Times are microseconds since the Unix
// epoch (UTC) in every backend.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace corvo::history {

using Micros = int64_t;

// A time that is not known (a sender without a time stamp).
constexpr Micros kNoTime = std::numeric_limits<Micros>::min();

// Value types, numbered as the wire's property types.
enum ValueType : int {
    TYPE_INT = 0,
    TYPE_STRING = 1,
    TYPE_DOUBLE = 2,
    TYPE_STR_LIST = 4,
    TYPE_INT_LIST = 5,
    TYPE_DOUBLE_LIST = 6,
};

// Whether values of this type are numbers (aggregates apply).
bool isNumeric(int type);
// "int", "string", "double", "str_list", "int_list", "double_list", or "type N".
std::string typeName(int type);

// One value as stored: numbers as numbers, text as text, lists whole (as a
// JSON array in `text`). A NaN double is stored as NULL and read back as NaN.
struct Value {
    int type = TYPE_INT;
    int64_t intValue = 0;
    double realValue = 0.0;
    std::string text;

    static Value ofInt(int64_t v);
    static Value ofReal(double v);
    static Value ofText(std::string v);
    static Value ofList(int type, std::string json);
    // The value as text: numbers in full precision, text unquoted, lists as
    // their JSON array.
    std::string toString() const;
    // The value in JSON: number (null for NaN and infinities), string, array.
    std::string toJson() const;
    bool operator==(const Value& other) const;
};

enum SampleSource : int {
    SOURCE_BROADCAST = 0,  // a property broadcast
    SOURCE_INFO = 1,       // the value in the peer's Info when it entered
};

struct Sample {
    std::string peer;
    std::string property;
    std::string unit;
    Value value;
    Micros sendTime = kNoTime;  // the sender's clock: recorded, not trusted
    Micros recvTime = 0;
    int source = SOURCE_BROADCAST;
};

struct StatusChange {
    std::string peer;
    uint32_t value = 0;
    std::string name;  // empty when the peer declared no name for it
    Micros recvTime = 0;
};

struct LogRecord {
    std::string peer;
    Micros time = kNoTime;  // the sender's time stamp
    std::string logger;
    int level = 0;  // TRACE 0 .. ERROR 4 (other numbers are kept as sent)
    std::string text;
    Micros recvTime = 0;
};

struct PeerEvent {
    std::string peer;
    std::string uuid;
    std::string kind;  // "enter" or "exit"
    std::string peerType;
    Micros recvTime = 0;
};

// A time span in which rows were dropped (buffer full) or in which no
// archiver was recording.
struct Gap {
    Micros start = 0;
    Micros end = 0;
    int64_t dropped = 0;  // rows lost in the span; 0 for "not recording"
    std::string reason;   // "dropped" or "not recording"
};

using Record = std::variant<Sample, StatusChange, LogRecord, PeerEvent, Gap>;

// Approximate memory one record holds (for buffer bounds).
size_t recordBytes(const Record& record);
// The receive time of a record (a gap's start).
Micros recordTime(const Record& record);

// Text from a peer, made valid UTF-8 without NUL bytes (invalid sequences
// become U+FFFD) so that every backend stores it unchanged from then on.
std::string cleanText(const std::string& text);

// A peer's time stamp as microseconds, or kNoTime when it lies outside the
// years 1970 to 9999.
Micros peerTime(int64_t seconds, int32_t nanos);

// "2026-12-08T01:02:03.123456Z"; "" for kNoTime.
std::string isoTime(Micros t);

// JSON text of a string (quoted and escaped).
std::string jsonString(const std::string& text);

}  // namespace corvo::history
