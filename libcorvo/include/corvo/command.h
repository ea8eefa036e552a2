/// @file
/// Commands a daemon offers: definitions, checking, and the conversions
/// between the Command record and the text form {name, arg1, arg2, ...}.
#pragma once

#include "corvo/export.h"

#include <functional>
#include <string>
#include <vector>

#include "corvo/proto/command.pb.h"

namespace corvo {

/// The type of a command argument, as declared on the wire.
///
/// Fixed underlying type: a peer may declare a number outside the known
/// values, and it is kept as it is.
enum ArgType : int {
    ARG_STRING = 0,  ///< any text
    ARG_INT = 1,     ///< a whole number that fits a long
    ARG_DOUBLE = 2,  ///< a finite floating-point number
    ARG_BOOL = 3,    ///< true, false, 1 or 0
};

/// A command: its name, description and declared arguments, and for a
/// daemon's own commands the function that runs it.
class CORVO_API CommandDef {
public:
    /// One declared argument.
    struct Arg_t {
        ArgType type;      ///< what the text must be readable as
        std::string name;  ///< shown to operators; may be empty
    };

    /// An empty definition, filled in by its owner.
    CommandDef() = default;
    /// A definition learned from a peer's Info: no function.
    explicit CommandDef(corvo::proto::CommandDesc* desc);

    /// True when `command` names this command and holds at least one value per
    /// declared argument. Values are not checked against their types.
    bool verify(std::vector<std::string> command);
    /// Why `args` (the arguments without the command name) cannot be passed
    /// to this command, or empty when they fit: one per declared argument,
    /// and each readable as its declared type (an INT a whole integer, a
    /// DOUBLE a finite number, a BOOL true, false, 1 or 0).
    std::string checkArgs(const std::vector<std::string>& args) const;

    /// The name peers send in the Command record.
    std::string name;
    /// One line for operators (`corvo info`).
    std::string description;
    /// The declared arguments, in order.
    std::vector<Arg_t> args;
    /// Runs the command with {name, arg1, arg2, ...}; empty for a peer's
    /// command.
    std::function<void(std::vector<std::string>)> func;
};

/// Empty when `text` can be read as an argument of `type`, else why not.
CORVO_API std::string checkArgument(ArgType type, const std::string& text);

/// The value of an argument that checkArgument accepts for ARG_INT,
/// ARG_DOUBLE or ARG_BOOL (surrounding white space ignored, a BOOL in any
/// case). Throws CorvoArgError for text it does not accept.
CORVO_API long readIntArgument(const std::string& text);
/// The value of an ARG_DOUBLE argument (see readIntArgument()).
CORVO_API double readDoubleArgument(const std::string& text);
/// The value of an ARG_BOOL argument (see readIntArgument()).
CORVO_API bool readBoolArgument(const std::string& text);

/// The text form of a Command record: {cmd_name, args...}.
CORVO_API std::vector<std::string> extractCommandPB(corvo::proto::Command command);

/// The record a client sends, stamped with the current time. Throws
/// CorvoArgError for an empty vector.
CORVO_API corvo::proto::Command genCommandPB(std::vector<std::string> command);

}  // namespace corvo
