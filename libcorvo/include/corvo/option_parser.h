// Command-line options of every program, over Boost.Program_options.
#pragma once

#include "corvo/export.h"

#include <boost/program_options.hpp>

#include <string>

namespace corvo {

class CORVO_API OptionParser {
public:
    explicit OptionParser(std::string title);

    // A boolean switch: false unless given. shortName 0 means no short form.
    void addSwitch(const std::string& name, char shortName, const std::string& help);

    // An option taking one value of type T, absent from vm unless given.
    template <class T>
    void addOption(const std::string& name, char shortName, const std::string& help)
    {
        desc.add_options()(optionName(name, shortName).c_str(), boost::program_options::value<T>(), help.c_str());
    }

    // Parses the command line. A bad command line or "help" prints to
    // standard error and ends the process with status 1.
    void parseArgs(int argc, const char** argv);
    void parseArgs(int argc, char** argv) { parseArgs(argc, const_cast<const char**>(argv)); }

    void printHelp() const;

    boost::program_options::options_description desc;
    boost::program_options::variables_map vm;
    std::string title;

private:
    static std::string optionName(const std::string& name, char shortName);
};

}  // namespace corvo
