// Checks the wire schema against its published field tables, through the
// generated descriptors: a renumbered, retyped or relabelled field fails here.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "corvo/proto/command.pb.h"
#include "corvo/proto/info.pb.h"
#include "corvo/proto/log.pb.h"
#include "corvo/proto/property.pb.h"

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

namespace {

// One row of a field table. `kind` is "singular", "repeated" or the name of
// the oneof; `typeName` is the full name of a message or enum type.
struct Field {
    int number;
    const char* name;
    FieldDescriptor::Type type;
    const char* kind;
    const char* typeName = "";
};

constexpr auto STRING = FieldDescriptor::TYPE_STRING;
constexpr auto BYTES = FieldDescriptor::TYPE_BYTES;
constexpr auto MESSAGE = FieldDescriptor::TYPE_MESSAGE;
constexpr auto ENUM = FieldDescriptor::TYPE_ENUM;
constexpr auto INT64 = FieldDescriptor::TYPE_INT64;
constexpr auto UINT32 = FieldDescriptor::TYPE_UINT32;
constexpr auto BOOL = FieldDescriptor::TYPE_BOOL;
constexpr auto DOUBLE = FieldDescriptor::TYPE_DOUBLE;
constexpr const char* TS = "google.protobuf.Timestamp";

const Descriptor* message(const std::string& name)
{
    const Descriptor* d = DescriptorPool::generated_pool()->FindMessageTypeByName("corvo.proto." + name);
    EXPECT_NE(d, nullptr) << name;
    return d;
}

void expectFields(const std::string& messageName, const std::vector<Field>& table)
{
    SCOPED_TRACE(messageName);
    const Descriptor* d = message(messageName);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->field_count(), static_cast<int>(table.size()));
    for (size_t i = 0; i < table.size(); ++i) {
        const Field& row = table[i];
        const FieldDescriptor* f = d->field(static_cast<int>(i));  // declaration order
        SCOPED_TRACE(row.name);
        EXPECT_EQ(f->name(), row.name);
        EXPECT_EQ(f->number(), row.number);
        EXPECT_EQ(f->type(), row.type);
        std::string kind = row.kind;
        if (kind == "repeated") {
            EXPECT_TRUE(f->is_repeated());
            if (f->cpp_type() != FieldDescriptor::CPPTYPE_STRING && f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
                EXPECT_TRUE(f->is_packed());
            }
        } else if (kind == "singular") {
            EXPECT_FALSE(f->is_repeated());
            EXPECT_EQ(f->real_containing_oneof(), nullptr);
            // Plain proto3 scalars carry no presence of their own.
            EXPECT_EQ(f->has_presence(), f->type() == MESSAGE);
        } else {
            ASSERT_NE(f->real_containing_oneof(), nullptr);
            EXPECT_EQ(f->real_containing_oneof()->name(), kind);
        }
        if (row.type == MESSAGE) {
            EXPECT_EQ(f->message_type()->full_name(), row.typeName);
        } else if (row.type == ENUM) {
            EXPECT_EQ(f->enum_type()->full_name(), row.typeName);
        }
    }
}

void expectEnum(const std::string& fullName, const std::vector<std::pair<const char*, int>>& values)
{
    SCOPED_TRACE(fullName);
    const EnumDescriptor* e = DescriptorPool::generated_pool()->FindEnumTypeByName(fullName);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->value_count(), static_cast<int>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(e->value(static_cast<int>(i))->name(), values[i].first);
        EXPECT_EQ(e->value(static_cast<int>(i))->number(), values[i].second);
    }
}

}  // namespace

TEST(Schema, Files)
{
    struct FileRow {
        const FileDescriptor* file;
        const char* name;
        std::vector<std::string> imports;
    };
    std::vector<FileRow> files = {
        {corvo::proto::Command::descriptor()->file(),
         "corvo/proto/command.proto",
         {"corvo/proto/property.proto", "google/protobuf/timestamp.proto"}},
        {corvo::proto::Info::descriptor()->file(),
         "corvo/proto/info.proto",
         {"corvo/proto/command.proto", "corvo/proto/property.proto"}},
        {corvo::proto::Log::descriptor()->file(), "corvo/proto/log.proto", {"google/protobuf/timestamp.proto"}},
        {corvo::proto::Property::descriptor()->file(),
         "corvo/proto/property.proto",
         {"google/protobuf/timestamp.proto"}},
    };
    for (const FileRow& row : files) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.file->name(), row.name);
        EXPECT_EQ(row.file->package(), "corvo.proto");
        EXPECT_EQ(row.file->syntax(), FileDescriptor::SYNTAX_PROTO3);
        EXPECT_EQ(row.file->options().ByteSizeLong(), 0u);
        std::vector<std::string> imports;
        for (int i = 0; i < row.file->dependency_count(); ++i) {
            imports.push_back(row.file->dependency(i)->name());
        }
        std::sort(imports.begin(), imports.end());
        EXPECT_EQ(imports, row.imports);
    }
}

TEST(Schema, CommandFile)
{
    expectFields("Command", {{3, "cmd_name", STRING, "singular"},
                             {4, "args", STRING, "repeated"},
                             {5, "send_ts", MESSAGE, "singular", TS}});
    expectFields("Response", {{1, "command", MESSAGE, "singular", "corvo.proto.Command"},
                              {2, "ok", BOOL, "response"},
                              {3, "int_data", INT64, "response"},
                              {4, "string_data", STRING, "response"},
                              {5, "binary_data", BYTES, "response"},
                              {6, "property_data", MESSAGE, "response", "corvo.proto.Property"},
                              {7, "error", STRING, "singular"}});
    expectFields("ArgDesc",
                 {{1, "type", ENUM, "singular", "corvo.proto.ArgDesc.ArgType"}, {2, "argname", STRING, "singular"}});
    expectEnum("corvo.proto.ArgDesc.ArgType", {{"STRING", 0}, {"INT", 1}, {"DOUBLE", 2}, {"BOOL", 3}});
    expectFields("CommandDesc", {{1, "cmd_name", STRING, "singular"},
                                 {2, "description", STRING, "singular"},
                                 {3, "args", MESSAGE, "repeated", "corvo.proto.ArgDesc"}});
}

TEST(Schema, InfoFile)
{
    expectFields("StatusMeta", {{1, "status", UINT32, "singular"}, {2, "text", STRING, "singular"}});
    expectFields("Info", {{1, "properties", MESSAGE, "repeated", "corvo.proto.Property"},
                          {2, "commands", MESSAGE, "repeated", "corvo.proto.CommandDesc"},
                          {3, "status_list", MESSAGE, "repeated", "corvo.proto.StatusMeta"},
                          {4, "status", UINT32, "singular"}});
}

TEST(Schema, LogFile)
{
    expectFields("Log", {{1, "level", ENUM, "singular", "corvo.proto.Log.LogLevel"},
                         {2, "logger", STRING, "singular"},
                         {3, "message", STRING, "singular"},
                         {4, "timestamp", MESSAGE, "singular", TS}});
    expectEnum("corvo.proto.Log.LogLevel", {{"TRACE", 0}, {"DEBUG", 1}, {"INFO", 2}, {"WARN", 3}, {"ERROR", 4}});
}

TEST(Schema, PropertyValueRecords)
{
    expectFields("PropertyChoice", {{1, "choice_string", STRING, "singular"}, {2, "choice_val", INT64, "singular"}});
    expectFields("PropertyInt", {{1, "value", INT64, "singular"},
                                 {2, "value_min", INT64, "singular"},
                                 {3, "value_max", INT64, "singular"},
                                 {4, "choices", MESSAGE, "repeated", "corvo.proto.PropertyChoice"}});
    expectFields("PropertyString", {{1, "value", STRING, "singular"}});
    expectFields(
        "PropertyDouble",
        {{1, "value", DOUBLE, "singular"}, {2, "value_min", DOUBLE, "singular"}, {3, "value_max", DOUBLE, "singular"}});
    expectFields("PropertyIntList", {{1, "values", INT64, "repeated"}});
    expectFields("PropertyStrList", {{1, "values", STRING, "repeated"}});
    expectFields("PropertyDoubleList", {{1, "values", DOUBLE, "repeated"}});
}

TEST(Schema, PropertyAndChange)
{
    expectFields("Property", {{1, "name", STRING, "singular"},
                              {2, "intval", MESSAGE, "property_type", "corvo.proto.PropertyInt"},
                              {3, "strval", MESSAGE, "property_type", "corvo.proto.PropertyString"},
                              {4, "doubleval", MESSAGE, "property_type", "corvo.proto.PropertyDouble"},
                              {5, "strlist", MESSAGE, "property_type", "corvo.proto.PropertyStrList"},
                              {6, "intlist", MESSAGE, "property_type", "corvo.proto.PropertyIntList"},
                              {7, "doublelist", MESSAGE, "property_type", "corvo.proto.PropertyDoubleList"},
                              {12, "description", STRING, "singular"},
                              {9, "writable", BOOL, "singular"},
                              {13, "egu", STRING, "singular"},
                              {8, "type", ENUM, "singular", "corvo.proto.Property.PropertyType"},
                              {14, "timestamp", MESSAGE, "singular", TS}});
    expectEnum("corvo.proto.Property.PropertyType",
               {{"INT", 0}, {"STRING", 1}, {"DOUBLE", 2}, {"STR_LIST", 4}, {"INT_LIST", 5}, {"DOUBLE_LIST", 6}});
    expectFields("PropertyChange", {{1, "name", STRING, "singular"},
                                    {8, "command", BOOL, "singular"},
                                    {2, "intval", MESSAGE, "property_type", "corvo.proto.PropertyInt"},
                                    {3, "strval", MESSAGE, "property_type", "corvo.proto.PropertyString"},
                                    {4, "doubleval", MESSAGE, "property_type", "corvo.proto.PropertyDouble"},
                                    {5, "strlist", MESSAGE, "property_type", "corvo.proto.PropertyStrList"},
                                    {6, "intlist", MESSAGE, "property_type", "corvo.proto.PropertyIntList"},
                                    {7, "doublelist", MESSAGE, "property_type", "corvo.proto.PropertyDoubleList"},
                                    {10, "send_ts", MESSAGE, "singular", TS},
                                    {9, "timestamp", MESSAGE, "singular", TS}});
}

TEST(Schema, WireBytesOfKnownRecord)
{
    // Field numbers and wire types as they appear on the wire.
    corvo::proto::Command command;
    command.set_cmd_name("a");
    command.add_args("b");
    EXPECT_EQ(command.SerializeAsString(), std::string("\x1a\x01"
                                                       "a"
                                                       "\x22\x01"
                                                       "b",
                                                       6));

    corvo::proto::PropertyChange change;
    change.set_name("n");
    change.set_command(true);
    change.mutable_intval()->set_value(1);
    EXPECT_EQ(change.SerializeAsString(), std::string("\x0a\x01n\x12\x02\x08\x01\x40\x01", 9));
}
