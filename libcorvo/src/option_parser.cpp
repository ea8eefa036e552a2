#include "corvo/option_parser.h"

#include <cstdlib>
#include <exception>
#include <iostream>

namespace po = boost::program_options;

namespace corvo {

OptionParser::OptionParser(std::string title) : title(std::move(title))
{
    desc.add_options()("help", "print this help");
}

std::string OptionParser::optionName(const std::string& name, char shortName)
{
    if (shortName == 0) {
        return name;
    }
    return name + "," + shortName;
}

void OptionParser::addSwitch(const std::string& name, char shortName, const std::string& help)
{
    desc.add_options()(optionName(name, shortName).c_str(), po::bool_switch(), help.c_str());
}

void OptionParser::parseArgs(int argc, const char** argv)
{
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        printHelp();
        std::exit(1);
    }
    if (vm.count("help")) {
        printHelp();
        std::exit(1);
    }
}

void OptionParser::printHelp() const
{
    std::cerr << title << std::endl << desc << std::endl;
}

}  // namespace corvo
