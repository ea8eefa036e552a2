// The history subcommand of the operator tool.
#pragma once

#include <boost/program_options.hpp>

#include <string>
#include <vector>

#include "corvo/option_parser.h"

namespace corvo::tool {

// The database cannot be opened or read.
constexpr int EXIT_DATABASE = 6;

// Registers --since, --until, --every, --points, --csv, --db, --log, --status, --gaps, --list.
void addHistoryOptions(OptionParser& parser);
// words[0] is "history"; returns the exit status.
int runHistory(const std::vector<std::string>& words, const boost::program_options::variables_map& vm);

}  // namespace corvo::tool
