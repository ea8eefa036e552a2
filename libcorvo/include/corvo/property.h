/// @file
/// A named, typed value that a daemon publishes, and the copies that peers
/// keep of it. Every local change is published at once through the
/// property's owner.
#pragma once

#include "corvo/export.h"

#include <boost/variant.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "corvo/proto/property.pb.h"

namespace corvo {

class Property;

/// What a property needs of the program that owns it: a way to publish its
/// value, and someone to tell when a value breaks its limits or choices.
/// `Daemon` implements it; a property without an owner (a peer's copy, a
/// value being composed) publishes nothing.
class CORVO_API PropertyOwner {
public:
    /// Broadcasts the current value of `property` (a property of this owner).
    virtual void publish(const Property& property) = 0;
    /// `property` now holds a value outside its limits or choices; the value
    /// is kept. By default nothing is done.
    virtual void outOfRange(const Property& /*property*/) {}

protected:
    ~PropertyOwner() = default;
};

/// Bounds on what one property holds when its data comes from a peer (a
/// change request, a broadcast, or the Info that describes it). Data beyond
/// them is refused, never truncated. A daemon never publishes its own value
/// beyond them (Daemon::publish, Daemon::beforeInit), nor a string, list item
/// or choice label that is not valid UTF-8 (no peer could decode it).
/// - a string value, and each string of a STR_LIST: kMaxPropertyStringBytes;
/// - the items of a list: kMaxPropertyListItems;
/// - the choices of an INT: kMaxPropertyChoices, each label at most
///   kMaxPropertyStringBytes.
/// Bytes of one string value, list item or choice label.
constexpr size_t kMaxPropertyStringBytes = 64 * 1024;
/// Items of one list value.
constexpr size_t kMaxPropertyListItems = 16 * 1024;
/// Choices of one INT property.
constexpr size_t kMaxPropertyChoices = 1024;
/// A daemon's own value of one property, in the bytes a peer counts for it
/// (every string, plus 64 per list item or choice, plus 8 per number of a
/// list): at most this, well under the 16 MiB a peer keeps (network.h
/// kMaxPeerBytes, kMaxPayloadBytes).
constexpr size_t kMaxOwnValueBytes = 4 * 1024 * 1024;
/// The values in one Info of a daemon together, counted the same way: at
/// most this; the values past it travel empty.
constexpr size_t kMaxOwnInfoValueBytes = 12 * 1024 * 1024;

/// True when `text` is valid UTF-8 (what a protobuf string field must hold).
CORVO_API bool isValidUtf8(std::string_view text);

/// Why the value data of `msg` breaks the bounds above, or empty when it keeps
/// them. M is corvo::proto::Property or corvo::proto::PropertyChange.
template <class M>
CORVO_API std::string boundsViolation(const M& msg);

/// Value type -> property type that holds it: long -> INT, double -> DOUBLE,
/// std::string -> STRING.
extern CORVO_API const std::unordered_map<std::type_index, corvo::proto::Property_PropertyType> property_typemap;

/// One typed value with its description, limits, choices and unit. A
/// daemon's own properties have the daemon as `master` and publish every
/// change; the copies a node keeps of peers' properties have none.
class CORVO_API Property {
public:
    /// The value's type, as on the wire.
    using Type = corvo::proto::Property_PropertyType;
    /// A limit: an integer for INT, a real number for DOUBLE.
    using Limit = boost::variant<long, double>;

    /// The six value types.
    /// INT: a signed 64-bit integer in intValue, optionally with limits and
    /// named choices.
    static constexpr Type INT = corvo::proto::Property_PropertyType_INT;
    /// STRING: a text in strValue, at most kMaxPropertyStringBytes from a peer.
    static constexpr Type STRING = corvo::proto::Property_PropertyType_STRING;
    /// DOUBLE: a real number in doubleValue, optionally with limits.
    static constexpr Type DOUBLE = corvo::proto::Property_PropertyType_DOUBLE;
    /// STR_LIST: texts in strList, at most kMaxPropertyListItems from a peer.
    static constexpr Type STR_LIST = corvo::proto::Property_PropertyType_STR_LIST;
    /// INT_LIST: signed 64-bit integers in intList.
    static constexpr Type INT_LIST = corvo::proto::Property_PropertyType_INT_LIST;
    /// DOUBLE_LIST: real numbers in doubleList.
    static constexpr Type DOUBLE_LIST = corvo::proto::Property_PropertyType_DOUBLE_LIST;

    /// An INT named "" without owner.
    Property();
    /// A property of `master` (null: no owner); INT and DOUBLE start with
    /// their type's full range as limits.
    Property(std::string name, Type type, std::string description, bool writable, PropertyOwner* master,
             std::string egu = "");
    /// A peer's property, as described in its Info.
    explicit Property(corvo::proto::Property msg);

    /// Typed setters: store, broadcast, then check limits and choices.
    /// The type must match, else CorvoTypeError and nothing changes.
    /// This one sets a STRING; on a property with an owner, a text beyond
    /// kMaxPropertyStringBytes is offered to the owner (a Daemon refuses to
    /// publish it and logs an error) and the previous value is kept.
    void setValue(std::string v);
    /// Sets a STRING from a C string (not null; copied, not kept).
    void setValue(const char* v) { setValue(std::string(v)); }
    /// Sets a DOUBLE; a value outside the limits is kept and reported to the
    /// owner (PropertyOwner::outOfRange).
    void setValue(double v);
    /// Sets an INT (or a DOUBLE, converted); a value outside the limits or
    /// choices is kept and reported to the owner (PropertyOwner::outOfRange).
    void setValue(long v);
    /// Sets an INT, as setValue(long).
    void setValue(int v) { setValue(static_cast<long>(v)); }

    /// T is long, double or std::string; the type must match.
    template <class T>
    T getValue() const;

    /// Names the INT value `value` (CorvoTypeError for other types).
    void addChoice(int value, std::string text);

    /// Parses `text` by the property's type (configuration values). Scalars
    /// go through setValue; lists are replaced silently, and only when every
    /// piece parses. A number (an INT or DOUBLE, or a piece of a list) is
    /// read as a command's argument is (checkArgument): the whole text,
    /// surrounding white space aside, and finite; anything else ("2.9x",
    /// "1,5", "0x10" or "2.7" for an INT, a value out of range) throws
    /// std::invalid_argument ("not an integer", "not a finite number") and
    /// changes nothing.
    void setValueString(std::string text);
    /// The value as text; an INT with choices shows the text of its current
    /// value, or the number when the value is none of the choices.
    std::string toString() const;

    /// True when an INT or DOUBLE declares limits narrower than its type's
    /// full range. A pair that a peer left unset (both zero) and an inverted
    /// pair declare none.
    bool hasLimits() const;
    /// "[min, max]" when hasLimits(), else empty.
    std::string limitsText() const;
    /// "10=INT8, 8=UINT8, ..." in ascending value order; empty without choices.
    std::string choicesText() const;
    /// Why the current value is none of the choices or outside the limits
    /// (only those hasLimits() accepts), or empty when it respects both. A
    /// tool checks the value it is about to request with this.
    std::string checkValue() const;

    /// Broadcasts the current value through the owner's network, if any.
    void sendProperty();
    /// Tells the owner that the value is outside its limits or choices.
    void notifyMaster();

    /// The description and value as an Info entry.
    corvo::proto::Property serialize() const;
    /// The value as a broadcast (`command` false), stamped now.
    corvo::proto::PropertyChange genPropertyChangePB() const;

    /// Why a peer's change request cannot be applied, or empty when it can:
    /// the value must be of this property's kind, within the size bounds,
    /// finite, inside the limits and, for an INT with choices, one of them.
    /// Limits and choices carried by the request play no part.
    std::string checkRequest(const corvo::proto::PropertyChange& change) const;
    /// The value `change` requests, shown as toString() would show it once
    /// applied; nothing of this property changes.
    std::string requestedText(const corvo::proto::PropertyChange& change) const;
    /// Takes the value of a request that checkRequest accepted, with its
    /// receive time and delay; never the limits or choices it carries. A
    /// request of another kind changes nothing.
    void applyRequest(const corvo::proto::PropertyChange& change);

    /// Writes the value (with limits and choices) into `msg`; M is
    /// corvo::proto::Property or corvo::proto::PropertyChange.
    template <class M>
    void setPBValue(M& msg) const;
    /// Takes the value, limits and choices of `msg` (a peer's broadcast or
    /// Info), with the receive time and, for a change, its delay.
    template <class M>
    void updateFromPB(M& msg);

    /// INT value -> its name.
    std::map<int32_t, std::string> choices;
    /// Upper limit (INT and DOUBLE; long for INT, double for DOUBLE).
    Limit valueMax;
    /// Lower limit (INT and DOUBLE), of the same kind as valueMax.
    Limit valueMin;
    /// The value of a STR_LIST.
    std::vector<std::string> strList;
    /// The value of an INT_LIST.
    std::vector<int64_t> intList;
    /// The value of a DOUBLE_LIST.
    std::vector<double> doubleList;
    /// What the value means, for operators and tools.
    std::string description;
    /// The property's name, unique among its daemon's properties.
    std::string name;
    /// Its engineering unit ("" for none), e.g. "s" or "degC".
    std::string egu;
    /// Its value type; the typed setters and getValue check against it.
    Type type = INT;
    /// True when peers may request changes; a read-only property refuses them.
    bool writable = false;
    /// When the value was last set or received.
    std::chrono::system_clock::time_point timestamp;
    /// The delay of the message that carried the value, in microseconds
    /// (0 for a local value).
    int64_t delayUs = 0;
    /// The owner that publishes changes; null for none. Not owned.
    PropertyOwner* master = nullptr;
    /// The value of an INT.
    int64_t intValue = 0;
    /// The value of a DOUBLE.
    double doubleValue = 0.0;
    /// The value of a STRING.
    std::string strValue;

private:
    void checkLimits(long v);
    void checkLimits(double v);
};

}  // namespace corvo
