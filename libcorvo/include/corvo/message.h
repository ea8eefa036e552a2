/// @file
/// Wire framing: every message is a two-frame czmq message, a one-byte
/// MessageType tag followed by the payload.
#pragma once

#include "corvo/export.h"

#include <czmq.h>

#include <cstdint>
#include <map>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "corvo/proto/command.pb.h"
#include "corvo/proto/image.pb.h"
#include "corvo/proto/info.pb.h"
#include "corvo/proto/log.pb.h"
#include "corvo/proto/property.pb.h"
#include "corvo/timestamp.h"  // setTimestampNow, for the users of the framing

namespace corvo {

class Property;
class CommandDef;

/// The tag in the first frame of every message between programs: what
/// record the second frame holds.
enum MessageType : uint8_t {
    MSG_LOG = 1,              ///< a Log record, shouted to the site's log group
    MSG_PROPERTY_CHANGE = 2,  ///< a PropertyChange: a broadcast value, or a request to set one
    MSG_STATUS = 3,           ///< a daemon's status value (4 bytes)
    MSG_COMMAND = 4,          ///< a Command request, whispered to a daemon
    MSG_RESPONSE = 5,         ///< a Response to a request: its refusal or result
    MSG_INFO = 7,             ///< an Info record: a daemon's properties and commands
    MSG_IMAGE_REQUEST = 8,    ///< an ImageRequest, whispered to a camera
    MSG_IMAGE_CREDIT = 9,     ///< an ImageCredit: more chunks of a transfer, or its end
    MSG_IMAGE_CHUNK = 10,     ///< an ImageChunk: bytes of an image, camera to receiver
    MSG_IMAGE_END = 11,       ///< an ImageEnd: the checksum of a whole image, or an error
    MSG_IMAGE_READY = 12,     ///< an ImageReady: a camera saved an image, shouted to the site group
};

/// Record class -> tag. Filled at load time and only read afterwards.
extern CORVO_API std::unordered_map<std::type_index, MessageType> pbmap;

/// Tag of a received message: the first byte of its first frame, or 0 (a tag
/// every receiver ignores) when there is no frame or the first one is empty.
CORVO_API MessageType GetMessageType(zmsg_t* msg);

/// A new two-frame message: the tag, then a copy of all of `bytes`.
CORVO_API zmsg_t* ProtobufToZMsg(std::string& bytes, MessageType type);

namespace detail {
/// A new two-frame message: the tag, then `record` serialised straight into
/// the payload frame (the same bytes as SerializeAsString, without the copy).
CORVO_API zmsg_t* frameRecord(const google::protobuf::MessageLite& record, MessageType type);
}  // namespace detail

/// Serialises a record and frames it with its tag from pbmap (0 when absent).
template <class T>
zmsg_t* ProtobufToZMsg(const T& message)
{
    auto it = pbmap.find(std::type_index(typeid(T)));
    MessageType type = it == pbmap.end() ? MessageType(0) : it->second;
    return detail::frameRecord(message, type);
}

/// Points `*data` at the bytes of the last frame and returns its size; a
/// message without frames gives size 0 and a null pointer.
CORVO_API size_t getDataFromZMsg(zmsg_t* msg, unsigned char** data);

/// Destroys the message and nulls the handle.
CORVO_API void zmsg_destroy_(zmsg_t** msg);

/// Appends the description of `command` (name, description, typed arguments)
/// to `info`. Daemon::composeInfo and createInfo both describe commands here.
CORVO_API void addCommandDesc(corvo::proto::Info& info, const CommandDef& command);

/// Appends the status names by value to `info` and sets its current status.
CORVO_API void setStatusDesc(corvo::proto::Info& info, const std::map<unsigned int, std::string>& statusNames,
                             unsigned int status);

/// Composes the Info record by which a daemon describes itself.
CORVO_API corvo::proto::Info createInfo(std::vector<Property> properties, std::vector<CommandDef> commands,
                                        std::map<unsigned int, std::string> statusNames, unsigned int status);

}  // namespace corvo
