#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <string>

#include "corvo/command.h"
#include "corvo/message.h"
#include "corvo/property.h"
#include "support/captured_output.h"

using namespace corvo;

namespace {

std::string frameBytes(zframe_t* frame)
{
    return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

// Owns a message for the length of a test.
struct Msg {
    explicit Msg(zmsg_t* m) : msg(m) {}
    ~Msg() { zmsg_destroy(&msg); }
    zmsg_t* msg;
};

}  // namespace

TEST(PbMap, HoldsExactlyTheTenRecordClasses)
{
    ASSERT_EQ(pbmap.size(), 10u);
    EXPECT_EQ(pbmap.at(typeid(proto::Command)), MSG_COMMAND);
    EXPECT_EQ(pbmap.at(typeid(proto::Log)), MSG_LOG);
    EXPECT_EQ(pbmap.at(typeid(proto::Info)), MSG_INFO);
    EXPECT_EQ(pbmap.at(typeid(proto::Response)), MSG_RESPONSE);
    EXPECT_EQ(pbmap.at(typeid(proto::PropertyChange)), MSG_PROPERTY_CHANGE);
    EXPECT_EQ(pbmap.at(typeid(proto::ImageRequest)), MSG_IMAGE_REQUEST);
    EXPECT_EQ(pbmap.at(typeid(proto::ImageCredit)), MSG_IMAGE_CREDIT);
    EXPECT_EQ(pbmap.at(typeid(proto::ImageChunk)), MSG_IMAGE_CHUNK);
    EXPECT_EQ(pbmap.at(typeid(proto::ImageEnd)), MSG_IMAGE_END);
    EXPECT_EQ(pbmap.at(typeid(proto::ImageReady)), MSG_IMAGE_READY);
}

TEST(MessageType, TagValuesAndWidth)
{
    static_assert(sizeof(MessageType) == 1, "one-byte tag");
    EXPECT_EQ(MSG_LOG, 1);
    EXPECT_EQ(MSG_PROPERTY_CHANGE, 2);
    EXPECT_EQ(MSG_STATUS, 3);
    EXPECT_EQ(MSG_COMMAND, 4);
    EXPECT_EQ(MSG_RESPONSE, 5);
    EXPECT_EQ(MSG_INFO, 7);
}

TEST(Framing, TwoFramesTagThenFullPayload)
{
    std::string bytes("ab\0cd\0", 6);
    Msg m(ProtobufToZMsg(bytes, MSG_INFO));
    ASSERT_EQ(zmsg_size(m.msg), 2u);
    zframe_t* tag = zmsg_first(m.msg);
    EXPECT_EQ(frameBytes(tag), std::string("\x07", 1));
    EXPECT_EQ(frameBytes(zmsg_last(m.msg)), bytes);

    EXPECT_EQ(GetMessageType(m.msg), MSG_INFO);
    unsigned char* data = nullptr;
    size_t size = getDataFromZMsg(m.msg, &data);
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(std::memcmp(data, bytes.data(), size), 0);
    EXPECT_NE(static_cast<const void*>(data), static_cast<const void*>(bytes.data()));  // a copy
    // Reading leaves the message as it was.
    EXPECT_EQ(zmsg_size(m.msg), 2u);
}

TEST(Framing, StatusPayloadIsLittleEndianUint32)
{
    uint32_t status = 258;
    std::string payload(reinterpret_cast<const char*>(&status), sizeof(status));
    Msg m(ProtobufToZMsg(payload, MSG_STATUS));
    EXPECT_EQ(GetMessageType(m.msg), MSG_STATUS);
    EXPECT_EQ(frameBytes(zmsg_last(m.msg)), std::string("\x02\x01\x00\x00", 4));
}

TEST(Framing, DefaultRecordKeepsTwoFramesWithEmptyPayload)
{
    proto::PropertyChange empty;
    Msg m(ProtobufToZMsg(empty));
    ASSERT_EQ(zmsg_size(m.msg), 2u);
    EXPECT_EQ(GetMessageType(m.msg), MSG_PROPERTY_CHANGE);
    unsigned char* data = nullptr;
    ASSERT_EQ(getDataFromZMsg(m.msg, &data), 0u);
    proto::PropertyChange decoded;
    decoded.set_name("junk");
    EXPECT_TRUE(decoded.ParseFromArray(data, 0));
    EXPECT_EQ(decoded.name(), "");
}

TEST(Framing, TemplateTagsByRecordClass)
{
    proto::Command command;
    command.set_cmd_name("readtemp");
    Msg m(ProtobufToZMsg(command));
    EXPECT_EQ(GetMessageType(m.msg), MSG_COMMAND);
    unsigned char* data = nullptr;
    size_t size = getDataFromZMsg(m.msg, &data);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), command.SerializeAsString());
    proto::Command decoded;
    ASSERT_TRUE(decoded.ParseFromArray(data, static_cast<int>(size)));
    EXPECT_EQ(decoded.cmd_name(), "readtemp");

    proto::Log log;
    Msg l(ProtobufToZMsg(log));
    EXPECT_EQ(GetMessageType(l.msg), MSG_LOG);
    proto::Info info;
    Msg i(ProtobufToZMsg(info));
    EXPECT_EQ(GetMessageType(i.msg), MSG_INFO);
    proto::Response response;
    Msg r(ProtobufToZMsg(response));
    EXPECT_EQ(GetMessageType(r.msg), MSG_RESPONSE);
}

TEST(Framing, ClassOutsidePbmapGetsTagZeroAndLeavesTableAlone)
{
    proto::Property property;
    property.set_name("x");
    Msg m(ProtobufToZMsg(property));
    EXPECT_EQ(GetMessageType(m.msg), MessageType(0));
    EXPECT_EQ(pbmap.size(), 10u);
}

TEST(Framing, MalformedMessagesGiveTagZeroAndNoData)
{
    Msg empty(zmsg_new());
    EXPECT_EQ(GetMessageType(empty.msg), MessageType(0));
    unsigned char* data = reinterpret_cast<unsigned char*>(&empty);
    EXPECT_EQ(getDataFromZMsg(empty.msg, &data), 0u);
    EXPECT_EQ(data, nullptr);

    Msg emptyFirst(zmsg_new());
    zframe_t* frame = zframe_new(nullptr, 0);
    zmsg_append(emptyFirst.msg, &frame);
    EXPECT_EQ(GetMessageType(emptyFirst.msg), MessageType(0));

    EXPECT_EQ(GetMessageType(nullptr), MessageType(0));
}

TEST(Framing, DestroyNullsHandle)
{
    std::string bytes = "x";
    zmsg_t* msg = ProtobufToZMsg(bytes, MSG_LOG);
    zmsg_destroy_(&msg);
    EXPECT_EQ(msg, nullptr);
}

TEST(Timestamp, StampIsCurrentAndNormalised)
{
    google::protobuf::Timestamp ts;
    auto before = std::chrono::system_clock::now();
    setTimestampNow(&ts);
    auto after = std::chrono::system_clock::now();
    EXPECT_GE(ts.nanos(), 0);
    EXPECT_LT(ts.nanos(), 1000000000);
    int64_t ns = ts.seconds() * 1000000000 + ts.nanos();
    EXPECT_GE(ns, std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count());
    EXPECT_LE(ns, std::chrono::duration_cast<std::chrono::nanoseconds>(after.time_since_epoch()).count());
}

TEST(CreateInfo, EmptyInputsSerializeToNothing)
{
    proto::Info info = createInfo({}, {}, {}, 0);
    EXPECT_EQ(info.SerializeAsString().size(), 0u);
}

TEST(CreateInfo, ComposesPropertiesCommandsAndSortedStatusList)
{
    Property width("width", Property::INT, "image width", true, nullptr, "px");
    width.intValue = 640;
    Property file("file", Property::STRING, "file name", false, nullptr);
    file.strValue = "img.fits";

    CommandDef expose;
    expose.name = "expose";
    expose.description = "take an image";
    expose.args = {{ARG_DOUBLE, "time"}, {ARG_BOOL, "dark"}};
    CommandDef stop;
    stop.name = "stop";

    std::map<unsigned int, std::string> names;
    names[5] = "busy";
    names[1] = "idle";

    proto::Info info = createInfo({width, file}, {expose, stop}, names, 5);

    ASSERT_EQ(info.properties_size(), 2);
    EXPECT_EQ(info.properties(0).name(), "width");
    EXPECT_EQ(info.properties(0).intval().value(), 640);
    EXPECT_EQ(info.properties(0).egu(), "px");
    EXPECT_TRUE(info.properties(0).writable());
    EXPECT_EQ(info.properties(1).strval().value(), "img.fits");

    ASSERT_EQ(info.commands_size(), 2);
    EXPECT_EQ(info.commands(0).cmd_name(), "expose");
    EXPECT_EQ(info.commands(0).description(), "take an image");
    ASSERT_EQ(info.commands(0).args_size(), 2);
    EXPECT_EQ(info.commands(0).args(0).type(), proto::ArgDesc::DOUBLE);
    EXPECT_EQ(info.commands(0).args(0).argname(), "time");
    EXPECT_EQ(info.commands(0).args(1).type(), proto::ArgDesc::BOOL);
    EXPECT_EQ(info.commands(1).cmd_name(), "stop");
    EXPECT_EQ(info.commands(1).args_size(), 0);

    ASSERT_EQ(info.status_list_size(), 2);
    EXPECT_EQ(info.status_list(0).status(), 1u);
    EXPECT_EQ(info.status_list(0).text(), "idle");
    EXPECT_EQ(info.status_list(1).status(), 5u);
    EXPECT_EQ(info.status_list(1).text(), "busy");
    EXPECT_EQ(info.status(), 5u);

    // Survives the wire: framed with tag 7 and parsed back.
    Msg m(ProtobufToZMsg(info));
    EXPECT_EQ(GetMessageType(m.msg), MSG_INFO);
    unsigned char* data = nullptr;
    size_t size = getDataFromZMsg(m.msg, &data);
    proto::Info decoded;
    ASSERT_TRUE(decoded.ParseFromArray(data, static_cast<int>(size)));
    EXPECT_EQ(decoded.SerializeAsString(), info.SerializeAsString());
}

// protobuf reports every string field with invalid UTF-8 it parses; a peer
// choosing such input must not be able to fill a console with it.
TEST(ProtobufLog, ReportsOfInvalidTextAreRateLimited)
{
    corvo::proto::Command command;
    command.set_cmd_name("ok");
    std::string bytes = command.SerializeAsString();
    bytes[bytes.size() - 1] = '\xff';  // the name's last byte: no longer UTF-8
    corvotest::CapturedDiagnostics captured;
    for (int i = 0; i < 1000; ++i) {
        corvo::proto::Command parsed;
        parsed.ParseFromString(bytes);
    }
    std::string err = captured.stderrText();
    size_t lines = std::count(err.begin(), err.end(), '\n');
    EXPECT_GE(lines, 1u) << "the first report still shows";
    EXPECT_LE(lines, 5u) << err;
    EXPECT_EQ(err.find("[libprotobuf"), std::string::npos) << err;
}
