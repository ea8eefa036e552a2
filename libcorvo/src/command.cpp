#include "corvo/command.h"

#include "corvo/message.h"
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
