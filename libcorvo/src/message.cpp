#include "corvo/message.h"

#include <google/protobuf/stubs/logging.h>

#include <chrono>
#include <mutex>

#include "corvo/command.h"
#include "corvo/diagnostics.h"
#include "corvo/log_throttle.h"
#include "corvo/misc.h"
#include "corvo/property.h"

namespace corvo {

std::unordered_map<std::type_index, MessageType> pbmap = {
    {std::type_index(typeid(corvo::proto::Command)), MSG_COMMAND},
    {std::type_index(typeid(corvo::proto::Log)), MSG_LOG},
    {std::type_index(typeid(corvo::proto::Info)), MSG_INFO},
    {std::type_index(typeid(corvo::proto::Response)), MSG_RESPONSE},
    {std::type_index(typeid(corvo::proto::PropertyChange)), MSG_PROPERTY_CHANGE},
    {std::type_index(typeid(corvo::proto::ImageRequest)), MSG_IMAGE_REQUEST},
    {std::type_index(typeid(corvo::proto::ImageCredit)), MSG_IMAGE_CREDIT},
    {std::type_index(typeid(corvo::proto::ImageChunk)), MSG_IMAGE_CHUNK},
    {std::type_index(typeid(corvo::proto::ImageEnd)), MSG_IMAGE_END},
    {std::type_index(typeid(corvo::proto::ImageReady)), MSG_IMAGE_READY},
};

MessageType GetMessageType(zmsg_t* msg)
{
    if (!msg) {
        return MessageType(0);
    }
    zframe_t* first = zmsg_first(msg);
    if (!first || zframe_size(first) == 0) {
        return MessageType(0);
    }
    return MessageType(zframe_data(first)[0]);
}

namespace {

// protobuf writes a line to standard error for every string field holding
// invalid UTF-8 that it parses, and a peer chooses what we parse: its lines go
// through the library's diagnostics instead, at most a few per 10 s.
void throttledProtobufLog(google::protobuf::LogLevel level, const char* /*file*/, int /*line*/,
                          const std::string& message)
{
    static std::mutex lock;
    static LogThrottle throttle;
    LogThrottle::Decision decision;
    {
        std::lock_guard<std::mutex> guard(lock);
        decision = throttle.admit("protobuf");
    }
    if (decision.repeated)
        diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                 "protobuf: last message repeated " + std::to_string(decision.repeated) + " times");
    if (decision.write || level == google::protobuf::LOGLEVEL_FATAL)
        diagnose(level >= google::protobuf::LOGLEVEL_ERROR ? Diagnostic::Error : Diagnostic::Warning,
                 Diagnostic::Stderr, "protobuf: " + escapeControl(message));
}

struct InstallProtobufLogHandler {
    InstallProtobufLogHandler() { google::protobuf::SetLogHandler(&throttledProtobufLog); }
} installProtobufLogHandler;

zmsg_t* newTaggedMessage(MessageType type)
{
    zmsg_t* msg = zmsg_new();
    uint8_t tag = type;
    zframe_t* tagFrame = zframe_new(&tag, 1);
    zmsg_append(msg, &tagFrame);
    return msg;
}

}  // namespace

zmsg_t* ProtobufToZMsg(std::string& bytes, MessageType type)
{
    zmsg_t* msg = newTaggedMessage(type);
    zframe_t* payload = zframe_new(bytes.data(), bytes.size());
    zmsg_append(msg, &payload);
    return msg;
}

namespace detail {

zmsg_t* frameRecord(const google::protobuf::MessageLite& record, MessageType type)
{
    size_t size = record.ByteSizeLong();
    zmsg_t* msg = newTaggedMessage(type);
    zframe_t* payload = zframe_new(nullptr, size);
    if (size > 0) {
        record.SerializeWithCachedSizesToArray(zframe_data(payload));
    }
    zmsg_append(msg, &payload);
    return msg;
}

}  // namespace detail

size_t getDataFromZMsg(zmsg_t* msg, unsigned char** data)
{
    zframe_t* last = msg ? zmsg_last(msg) : nullptr;
    if (!last) {
        *data = nullptr;
        return 0;
    }
    *data = zframe_data(last);
    return zframe_size(last);
}

void zmsg_destroy_(zmsg_t** msg)
{
    zmsg_destroy(msg);
    *msg = nullptr;
}

void addCommandDesc(corvo::proto::Info& info, const CommandDef& command)
{
    corvo::proto::CommandDesc* desc = info.add_commands();
    desc->set_cmd_name(command.name);
    desc->set_description(command.description);
    for (const CommandDef::Arg_t& arg : command.args) {
        corvo::proto::ArgDesc* argDesc = desc->add_args();
        argDesc->set_type(static_cast<corvo::proto::ArgDesc_ArgType>(arg.type));
        argDesc->set_argname(arg.name);
    }
}

void setStatusDesc(corvo::proto::Info& info, const std::map<unsigned int, std::string>& statusNames,
                   unsigned int status)
{
    for (const auto& entry : statusNames) {
        corvo::proto::StatusMeta* meta = info.add_status_list();
        meta->set_status(entry.first);
        meta->set_text(entry.second);
    }
    info.set_status(status);
}

corvo::proto::Info createInfo(std::vector<Property> properties, std::vector<CommandDef> commands,
                              std::map<unsigned int, std::string> statusNames, unsigned int status)
{
    corvo::proto::Info info;
    for (const Property& property : properties)
        *info.add_properties() = property.serialize();
    for (const CommandDef& command : commands)
        addCommandDesc(info, command);
    setStatusDesc(info, statusNames, status);
    return info;
}

}  // namespace corvo
