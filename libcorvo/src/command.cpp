#include "corvo/command.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "corvo/timestamp.h"
#include "corvo/misc.h"

namespace corvo {

CommandDef::CommandDef(corvo::proto::CommandDesc* desc)
{
    if (!desc) {
        return;
    }
    name = desc->cmd_name();
    description = desc->description();
    args.reserve(desc->args_size());
    for (const corvo::proto::ArgDesc& arg : desc->args()) {
        // Kept as the plain number, even outside the known argument types.
        args.push_back(Arg_t{static_cast<ArgType>(arg.type()), arg.argname()});
    }
}

bool CommandDef::verify(std::vector<std::string> command)
{
    if (command.size() < args.size() + 1) {
        return false;
    }
    return command[0] == name;
}

namespace {

// Strict whole-text readings; false when `text` is not one.
bool readInteger(const std::string& text, long& value)
{
    std::string t = trimmed(text);
    if (t.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno == ERANGE || end != t.c_str() + t.size()) {
        return false;
    }
    value = static_cast<long>(v);
    return true;
}

bool readFiniteNumber(const std::string& text, double& value)
{
    std::string t = trimmed(text);
    if (t.empty()) {
        return false;
    }
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !std::isfinite(v)) {
        return false;
    }
    value = v;
    return true;
}

bool readBoolean(const std::string& text, bool& value)
{
    std::string t = trimmed(text);
    for (char& c : t) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (t == "true" || t == "1") {
        value = true;
        return true;
    }
    if (t == "false" || t == "0") {
        value = false;
        return true;
    }
    return false;
}

}  // namespace

std::string checkArgument(ArgType type, const std::string& text)
{
    long integer;
    double number;
    bool boolean;
    switch (type) {
        case ARG_INT:
            return readInteger(text, integer) ? "" : "not an integer";
        case ARG_DOUBLE:
            return readFiniteNumber(text, number) ? "" : "not a finite number";
        case ARG_BOOL:
            return readBoolean(text, boolean) ? "" : "not a boolean (true, false, 1, 0)";
        default:
            return "";
    }
}

long readIntArgument(const std::string& text)
{
    long value = 0;
    if (!readInteger(text, value)) {
        throw CorvoArgError();
    }
    return value;
}

double readDoubleArgument(const std::string& text)
{
    double value = 0;
    if (!readFiniteNumber(text, value)) {
        throw CorvoArgError();
    }
    return value;
}

bool readBoolArgument(const std::string& text)
{
    bool value = false;
    if (!readBoolean(text, value)) {
        throw CorvoArgError();
    }
    return value;
}

std::string CommandDef::checkArgs(const std::vector<std::string>& given) const
{
    if (given.size() != args.size()) {
        return "'" + name + "' takes " + std::to_string(args.size()) + " argument" + (args.size() == 1 ? "" : "s") +
               ", got " + std::to_string(given.size());
    }
    for (size_t i = 0; i < args.size(); ++i) {
        std::string problem = checkArgument(args[i].type, given[i]);
        if (!problem.empty()) {
            return "argument " + std::to_string(i + 1) + " (" + args[i].name + ") of '" + name + "' is " + problem;
        }
    }
    return std::string();
}

std::vector<std::string> extractCommandPB(corvo::proto::Command command)
{
    std::vector<std::string> text;
    text.reserve(command.args_size() + 1);
    text.push_back(command.cmd_name());
    for (const std::string& arg : command.args()) {
        text.push_back(arg);
    }
    return text;
}

corvo::proto::Command genCommandPB(std::vector<std::string> command)
{
    if (command.empty()) {
        throw CorvoArgError();
    }
    corvo::proto::Command record;
    record.set_cmd_name(command[0]);
    for (size_t i = 1; i < command.size(); ++i) {
        record.add_args(command[i]);
    }
    setTimestampNow(record.mutable_send_ts());
    return record;
}

}  // namespace corvo
