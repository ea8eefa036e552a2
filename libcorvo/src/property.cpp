#include "corvo/property.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "corvo/command.h"
#include "corvo/diagnostics.h"
#include "corvo/misc.h"
#include "corvo/text.h"
#include "corvo/timestamp.h"

namespace corvo {

const std::unordered_map<std::type_index, corvo::proto::Property_PropertyType> property_typemap = {
    {std::type_index(typeid(long)), Property::INT},
    {std::type_index(typeid(double)), Property::DOUBLE},
    {std::type_index(typeid(std::string)), Property::STRING},
};

namespace {

using Limit = Property::Limit;

// Limits normally hold the kind of their property's type; a limit of the
// other kind is converted rather than trusted to never be read.
int64_t limitAsInt(const Limit& limit)
{
    if (const long* value = boost::get<long>(&limit)) {
        return *value;
    }
    double value = boost::get<double>(limit);
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(std::numeric_limits<int64_t>::min())) {
        return std::numeric_limits<int64_t>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<int64_t>::max())) {
        return std::numeric_limits<int64_t>::max();
    }
    return static_cast<int64_t>(value);
}

double limitAsDouble(const Limit& limit)
{
    if (const double* value = boost::get<double>(&limit)) {
        return *value;
    }
    return static_cast<double>(boost::get<long>(limit));
}

bool isBelow(long v, const Limit& limit)
{
    if (const long* l = boost::get<long>(&limit)) {
        return v < *l;
    }
    return static_cast<double>(v) < boost::get<double>(limit);
}

bool isAbove(long v, const Limit& limit)
{
    if (const long* l = boost::get<long>(&limit)) {
        return v > *l;
    }
    return static_cast<double>(v) > boost::get<double>(limit);
}

// "[min, max]" as the limits are held: integers for an INT, "%g" for a DOUBLE.
std::string limitPairText(Property::Type type, const Limit& min, const Limit& max)
{
    if (type == Property::INT) {
        return "[" + std::to_string(limitAsInt(min)) + ", " + std::to_string(limitAsInt(max)) + "]";
    }
    std::ostringstream out;
    out << "[" << limitAsDouble(min) << ", " << limitAsDouble(max) << "]";
    return out.str();
}

int64_t microsecondsSince(const google::protobuf::Timestamp& sent, std::chrono::system_clock::time_point now)
{
    return sendDelayMicroseconds(sent.seconds(), sent.nanos(), now);
}

bool fitsInt32(int64_t value)
{
    return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

std::string tooMany(const char* what, size_t count, size_t bound)
{
    return std::to_string(count) + " " + what + " (at most " + std::to_string(bound) + ")";
}

std::string tooLong(const char* what, size_t size)
{
    return what + std::string(" of ") + std::to_string(size) + " bytes (at most " +
           std::to_string(kMaxPropertyStringBytes) + ")";
}

// The oneof case that carries a value of `type`.
int valueCaseOf(Property::Type type)
{
    switch (type) {
        case Property::INT:
            return corvo::proto::PropertyChange::kIntval;
        case Property::STRING:
            return corvo::proto::PropertyChange::kStrval;
        case Property::DOUBLE:
            return corvo::proto::PropertyChange::kDoubleval;
        case Property::STR_LIST:
            return corvo::proto::PropertyChange::kStrlist;
        case Property::INT_LIST:
            return corvo::proto::PropertyChange::kIntlist;
        case Property::DOUBLE_LIST:
            return corvo::proto::PropertyChange::kDoublelist;
        default:
            return -1;
    }
}

const char* kindName(int valueCase)
{
    switch (valueCase) {
        case corvo::proto::PropertyChange::kIntval:
            return "int";
        case corvo::proto::PropertyChange::kStrval:
            return "string";
        case corvo::proto::PropertyChange::kDoubleval:
            return "double";
        case corvo::proto::PropertyChange::kStrlist:
            return "string list";
        case corvo::proto::PropertyChange::kIntlist:
            return "int list";
        case corvo::proto::PropertyChange::kDoublelist:
            return "double list";
        default:
            return "no value";
    }
}

template <class T>
std::string listToString(const std::vector<T>& values)
{
    std::ostringstream out;
    out << '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out << ", ";
        }
        out << values[i];
    }
    out << ']';
    return out.str();
}

std::string strListToString(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += '"';
        out += values[i];
        out += '"';
    }
    out += ']';
    return out;
}

}  // namespace

Property::Property() : timestamp(std::chrono::system_clock::now()) {}

Property::Property(std::string name, Type type, std::string description, bool writable, PropertyOwner* master,
                   std::string egu)
    : description(std::move(description)), name(std::move(name)), egu(std::move(egu)), type(type), writable(writable),
      timestamp(std::chrono::system_clock::now()), master(master)
{
    if (type == INT) {
        valueMin = std::numeric_limits<long>::min();
        valueMax = std::numeric_limits<long>::max();
    } else if (type == DOUBLE) {
        valueMin = std::numeric_limits<double>::lowest();
        valueMax = std::numeric_limits<double>::max();
    }
}

Property::Property(corvo::proto::Property msg)
    : description(msg.description()), name(msg.name()), egu(msg.egu()), type(msg.type()), writable(msg.writable()),
      timestamp(std::chrono::system_clock::now())
{
    updateFromPB(msg);
}

void Property::setValue(std::string v)
{
    if (type != STRING) {
        throw CorvoTypeError();
    }
    if (master && (v.size() > kMaxPropertyStringBytes || !isValidUtf8(v))) {
        // Beyond what peers accept: offered to the owner, which refuses to
        // publish it and says so, then the previous value is back.
        std::swap(strValue, v);
        sendProperty();
        std::swap(strValue, v);
        return;
    }
    strValue = std::move(v);
    sendProperty();
}

void Property::setValue(double v)
{
    if (type != DOUBLE) {
        diagnose(Diagnostic::Error, Diagnostic::Stdout, name);
        throw CorvoTypeError();
    }
    doubleValue = v;
    sendProperty();
    checkLimits(v);
}

void Property::setValue(long v)
{
    if (type == DOUBLE) {
        setValue(static_cast<double>(v));
        return;
    }
    if (type != INT) {
        throw CorvoTypeError();
    }
    intValue = v;
    sendProperty();
    checkLimits(v);
}

void Property::checkLimits(long v)
{
    if (isBelow(v, valueMin)) {
        notifyMaster();
    } else if (isAbove(v, valueMax)) {
        notifyMaster();
    }
    if (!choices.empty()) {
        bool isChoice = false;
        for (const auto& choice : choices) {
            if (static_cast<long>(choice.first) == v) {
                isChoice = true;
                break;
            }
        }
        if (!isChoice) {
            notifyMaster();
        }
    }
}

void Property::checkLimits(double v)
{
    // NaN fails both comparisons and is therefore never reported.
    if (v < limitAsDouble(valueMin)) {
        notifyMaster();
    } else if (v > limitAsDouble(valueMax)) {
        notifyMaster();
    }
}

template <class T>
T Property::getValue() const
{
    auto it = property_typemap.find(std::type_index(typeid(T)));
    if (it == property_typemap.end() || it->second != type) {
        throw CorvoTypeError();
    }
    if constexpr (std::is_same<T, long>::value) {
        return intValue;
    } else if constexpr (std::is_same<T, double>::value) {
        return doubleValue;
    } else {
        return strValue;
    }
}

template long Property::getValue<long>() const;
template double Property::getValue<double>() const;
template std::string Property::getValue<std::string>() const;

void Property::addChoice(int value, std::string text)
{
    if (type != INT) {
        throw CorvoTypeError("Only int value can be added choices.");
    }
    choices[value] = std::move(text);
}

namespace {

// Configuration text is read as strictly as a command's argument: the whole
// text is the number, or nothing is ("2.9x", "1,5", "0x10" are refused, not
// read as their first digits).
long integerOf(const std::string& text)
{
    std::string problem = checkArgument(ARG_INT, text);
    if (!problem.empty())
        throw std::invalid_argument(problem);
    return readIntArgument(text);
}

double numberOf(const std::string& text)
{
    std::string problem = checkArgument(ARG_DOUBLE, text);
    if (!problem.empty())
        throw std::invalid_argument(problem);
    return readDoubleArgument(text);
}

}  // namespace

void Property::setValueString(std::string text)
{
    switch (type) {
        case INT:
            setValue(integerOf(text));
            break;
        case STRING:
            setValue(text);
            break;
        case DOUBLE:
            setValue(numberOf(text));
            break;
        case STR_LIST:
            strList = split(text, ',');
            break;
        case INT_LIST: {
            // Parsed completely before it replaces the list, so a bad piece
            // leaves the old list as it was.
            std::vector<int64_t> parsed;
            for (const std::string& piece : split(text, ',')) {
                parsed.push_back(integerOf(piece));
            }
            intList = std::move(parsed);
            break;
        }
        case DOUBLE_LIST: {
            std::vector<double> parsed;
            for (const std::string& piece : split(text, ',')) {
                parsed.push_back(numberOf(piece));
            }
            doubleList = std::move(parsed);
            break;
        }
        default:
            break;
    }
}

std::string Property::toString() const
{
    switch (type) {
        case INT: {
            long value = getValue<long>();
            if (value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max()) {
                auto choice = choices.find(static_cast<int32_t>(value));
                if (choice != choices.end()) {
                    return choice->second;
                }
            }
            return std::to_string(value);
        }
        case STRING:
            return getValue<std::string>();
        case DOUBLE:
            return std::to_string(getValue<double>());  // "%f"
        case STR_LIST:
            return strListToString(strList);
        case INT_LIST:
            return listToString(intList);
        case DOUBLE_LIST:
            return listToString(doubleList);
        default:
            return std::string();
    }
}

bool Property::hasLimits() const
{
    if (type == INT) {
        int64_t lo = limitAsInt(valueMin), hi = limitAsInt(valueMax);
        if (lo == 0 && hi == 0) {
            return false;
        }
        return lo <= hi && (lo != std::numeric_limits<int64_t>::min() || hi != std::numeric_limits<int64_t>::max());
    }
    if (type == DOUBLE) {
        double lo = limitAsDouble(valueMin), hi = limitAsDouble(valueMax);
        if (lo == 0.0 && hi == 0.0) {
            return false;
        }
        return lo <= hi && (lo > std::numeric_limits<double>::lowest() || hi < std::numeric_limits<double>::max());
    }
    return false;
}

std::string Property::limitsText() const
{
    return hasLimits() ? limitPairText(type, valueMin, valueMax) : std::string();
}

std::string Property::choicesText() const
{
    std::string out;
    for (const auto& choice : choices) {
        if (!out.empty()) {
            out += ", ";
        }
        out += std::to_string(choice.first) + "=" + choice.second;
    }
    return out;
}

std::string Property::checkValue() const
{
    if (type == INT) {
        if (!choices.empty() && (!fitsInt32(intValue) || !choices.count(static_cast<int32_t>(intValue)))) {
            return "value is none of the choices " + choicesText();
        }
        if (hasLimits() && (intValue < limitAsInt(valueMin) || intValue > limitAsInt(valueMax))) {
            return "value outside the limits " + limitsText();
        }
    }
    if (type == DOUBLE && hasLimits() &&
        (doubleValue < limitAsDouble(valueMin) || doubleValue > limitAsDouble(valueMax))) {
        return "value outside the limits " + limitsText();
    }
    return std::string();
}

void Property::sendProperty()
{
    if (master) {
        master->publish(*this);
    }
}

void Property::notifyMaster()
{
    if (master) {
        master->outOfRange(*this);
    }
}

std::string Property::requestedText(const corvo::proto::PropertyChange& change) const
{
    // Only what toString reads: the type and, for an INT, its choices.
    Property requested(name, type, std::string(), false, nullptr);
    if (type == INT) {
        requested.choices = choices;
    }
    requested.applyRequest(change);
    return requested.toString();
}

corvo::proto::Property Property::serialize() const
{
    corvo::proto::Property msg;
    msg.set_name(name);
    msg.set_description(description);
    msg.set_egu(egu);
    msg.set_writable(writable);
    msg.set_type(type);
    setPBValue(msg);
    return msg;
}

corvo::proto::PropertyChange Property::genPropertyChangePB() const
{
    corvo::proto::PropertyChange msg;
    msg.set_name(name);
    msg.set_command(false);
    setPBValue(msg);
    setTimestampNow(msg.mutable_send_ts());
    return msg;
}

template <class M>
void Property::setPBValue(M& msg) const
{
    switch (type) {
        case INT: {
            corvo::proto::PropertyInt* value = msg.mutable_intval();
            value->Clear();
            value->set_value(intValue);
            value->set_value_min(limitAsInt(valueMin));
            value->set_value_max(limitAsInt(valueMax));
            value->mutable_choices()->Reserve(static_cast<int>(choices.size()));
            for (const auto& choice : choices) {
                corvo::proto::PropertyChoice* entry = value->add_choices();
                entry->set_choice_string(choice.second);
                entry->set_choice_val(choice.first);
            }
            break;
        }
        case STRING:
            msg.mutable_strval()->set_value(strValue);
            break;
        case DOUBLE: {
            corvo::proto::PropertyDouble* value = msg.mutable_doubleval();
            value->set_value(doubleValue);
            value->set_value_min(limitAsDouble(valueMin));
            value->set_value_max(limitAsDouble(valueMax));
            break;
        }
        case STR_LIST: {
            auto* values = msg.mutable_strlist()->mutable_values();
            values->Clear();
            for (const std::string& s : strList) {
                *values->Add() = s;
            }
            break;
        }
        case INT_LIST: {
            auto* values = msg.mutable_intlist()->mutable_values();
            values->Clear();
            values->Reserve(static_cast<int>(intList.size()));
            for (int64_t v : intList) {
                values->Add(v);
            }
            break;
        }
        case DOUBLE_LIST: {
            auto* values = msg.mutable_doublelist()->mutable_values();
            values->Clear();
            values->Reserve(static_cast<int>(doubleList.size()));
            for (double v : doubleList) {
                values->Add(v);
            }
            break;
        }
        default:
            break;
    }
}

template <class M>
void Property::updateFromPB(M& msg)
{
    timestamp = std::chrono::system_clock::now();
    if constexpr (std::is_same<std::remove_const_t<M>, corvo::proto::PropertyChange>::value) {
        delayUs = microsecondsSince(msg.send_ts(), timestamp);
    }
    // Read by the property's own type: a message carrying another member (or
    // none) yields the defaults of the expected one.
    switch (type) {
        case INT: {
            const corvo::proto::PropertyInt& value = msg.intval();
            intValue = value.value();
            valueMin = static_cast<long>(value.value_min());
            valueMax = static_cast<long>(value.value_max());
            for (const corvo::proto::PropertyChoice& choice : value.choices()) {
                auto key = static_cast<int32_t>(choice.choice_val());
                // Choices accumulate over messages: new keys stop at the bound.
                if (choices.size() < kMaxPropertyChoices || choices.count(key)) {
                    choices[key] = choice.choice_string();
                }
            }
            break;
        }
        case STRING:
            strValue = msg.strval().value();
            break;
        case DOUBLE: {
            const corvo::proto::PropertyDouble& value = msg.doubleval();
            doubleValue = value.value();
            valueMin = value.value_min();
            valueMax = value.value_max();
            break;
        }
        case STR_LIST:
            strList.assign(msg.strlist().values().begin(), msg.strlist().values().end());
            break;
        case INT_LIST:
            intList.assign(msg.intlist().values().begin(), msg.intlist().values().end());
            break;
        case DOUBLE_LIST:
            doubleList.assign(msg.doublelist().values().begin(), msg.doublelist().values().end());
            break;
        default:
            break;
    }
}

std::string Property::checkRequest(const corvo::proto::PropertyChange& change) const
{
    int expected = valueCaseOf(type);
    if (change.property_type_case() != expected) {
        return std::string("a value of kind ") + kindName(change.property_type_case()) + " for a property of type " +
               kindName(expected);
    }
    std::string bounds = boundsViolation(change);
    if (!bounds.empty()) {
        return bounds;
    }
    switch (type) {
        case INT: {
            int64_t v = change.intval().value();
            if (isBelow(v, valueMin) || isAbove(v, valueMax)) {
                return std::to_string(v) + " is outside the limits " + limitPairText(type, valueMin, valueMax);
            }
            if (!choices.empty() && (!fitsInt32(v) || !choices.count(static_cast<int32_t>(v)))) {
                return std::to_string(v) + " is not one of the choices";
            }
            return std::string();
        }
        case DOUBLE: {
            double v = change.doubleval().value();
            if (!std::isfinite(v)) {
                return "the value is not a finite number";
            }
            if (v < limitAsDouble(valueMin) || v > limitAsDouble(valueMax)) {
                std::ostringstream out;
                out << v << " is outside the limits " << limitPairText(type, valueMin, valueMax);
                return out.str();
            }
            return std::string();
        }
        case DOUBLE_LIST:
            for (double v : change.doublelist().values()) {
                if (!std::isfinite(v)) {
                    return "the list holds a value that is not a finite number";
                }
            }
            return std::string();
        default:
            return std::string();
    }
}

void Property::applyRequest(const corvo::proto::PropertyChange& change)
{
    if (change.property_type_case() != valueCaseOf(type)) {
        return;  // another kind carries no value for this property
    }
    timestamp = std::chrono::system_clock::now();
    delayUs = microsecondsSince(change.send_ts(), timestamp);
    switch (type) {
        case INT:
            intValue = change.intval().value();
            break;
        case STRING:
            strValue = change.strval().value();
            break;
        case DOUBLE:
            doubleValue = change.doubleval().value();
            break;
        case STR_LIST:
            strList.assign(change.strlist().values().begin(), change.strlist().values().end());
            break;
        case INT_LIST:
            intList.assign(change.intlist().values().begin(), change.intlist().values().end());
            break;
        case DOUBLE_LIST:
            doubleList.assign(change.doublelist().values().begin(), change.doublelist().values().end());
            break;
        default:
            break;
    }
}

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
        } else if (size_t length = detail::utf8SequenceLength(text, i)) {
            i += length;
        } else {
            return false;
        }
    }
    return true;
}

template <class M>
std::string boundsViolation(const M& msg)
{
    if (msg.has_strval() && msg.strval().value().size() > kMaxPropertyStringBytes) {
        return tooLong("a string", msg.strval().value().size());
    }
    if (msg.has_intval()) {
        const auto& values = msg.intval().choices();
        if (static_cast<size_t>(values.size()) > kMaxPropertyChoices) {
            return tooMany("choices", values.size(), kMaxPropertyChoices);
        }
        for (const corvo::proto::PropertyChoice& choice : values) {
            if (choice.choice_string().size() > kMaxPropertyStringBytes) {
                return tooLong("a choice label", choice.choice_string().size());
            }
        }
    }
    if (msg.has_strlist()) {
        const auto& values = msg.strlist().values();
        if (static_cast<size_t>(values.size()) > kMaxPropertyListItems) {
            return tooMany("list items", values.size(), kMaxPropertyListItems);
        }
        for (const std::string& item : values) {
            if (item.size() > kMaxPropertyStringBytes) {
                return tooLong("a list item", item.size());
            }
        }
    }
    if (msg.has_intlist() && static_cast<size_t>(msg.intlist().values_size()) > kMaxPropertyListItems) {
        return tooMany("list items", msg.intlist().values_size(), kMaxPropertyListItems);
    }
    if (msg.has_doublelist() && static_cast<size_t>(msg.doublelist().values_size()) > kMaxPropertyListItems) {
        return tooMany("list items", msg.doublelist().values_size(), kMaxPropertyListItems);
    }
    return std::string();
}

template CORVO_API std::string boundsViolation<corvo::proto::Property>(const corvo::proto::Property&);
template CORVO_API std::string boundsViolation<corvo::proto::PropertyChange>(const corvo::proto::PropertyChange&);

template void Property::setPBValue<corvo::proto::Property>(corvo::proto::Property&) const;
template void Property::setPBValue<corvo::proto::PropertyChange>(corvo::proto::PropertyChange&) const;
template void Property::updateFromPB<corvo::proto::Property>(corvo::proto::Property&);
template void Property::updateFromPB<const corvo::proto::Property>(const corvo::proto::Property&);
template void Property::updateFromPB<corvo::proto::PropertyChange>(corvo::proto::PropertyChange&);
template void Property::updateFromPB<const corvo::proto::PropertyChange>(const corvo::proto::PropertyChange&);

}  // namespace corvo
