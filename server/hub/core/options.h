// The command line: a configuration file, and options that override it
// (everything a test or a benchmark needs without writing a file).
#ifndef HUB_OPTIONS_H
#define HUB_OPTIONS_H

#include <string>

#include "core/config.h"

namespace hub {

enum class OptResult { kRun, kHelp, kCheck, kError };

// Fills cfg from the defaults, the file named by -c and the options, in
// that order. kError with a message in err.
OptResult parse_options(int argc, char **argv, Config &cfg, std::string &err);
void print_usage();

}  // namespace hub

#endif
