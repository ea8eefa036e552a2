/// @file
/// Command-line options of every program, over Boost.Program_options.
#pragma once

#include "corvo/export.h"

#include <boost/program_options.hpp>

#include <string>

namespace corvo {

/// The command line of a program: its options, their help, and the values
/// given.
class CORVO_API OptionParser {
public:
    /// `title` heads the help text; the option "help" is always there.
    explicit OptionParser(std::string title);

    /// A boolean switch: false unless given. shortName 0 means no short form.
    void addSwitch(const std::string& name, char shortName, const std::string& help);

    /// An option taking one value of type T, absent from vm unless given.
    template <class T>
    void addOption(const std::string& name, char shortName, const std::string& help)
    {
        desc.add_options()(optionName(name, shortName).c_str(), boost::program_options::value<T>(), help.c_str());
    }

    /// Parses the command line. A bad command line or "help" prints to
    /// standard error and ends the process with status 1.
    void parseArgs(int argc, const char** argv);
    /// The same for main()'s own argument vector.
    void parseArgs(int argc, char** argv) { parseArgs(argc, const_cast<const char**>(argv)); }

    /// Writes the title and every option with its help to standard error.
    void printHelp() const;

    /// The declared options.
    boost::program_options::options_description desc;
    /// The values given, by long option name (after parseArgs()).
    boost::program_options::variables_map vm;
    /// The heading of the help text.
    std::string title;

private:
    static std::string optionName(const std::string& name, char shortName);
};

}  // namespace corvo
