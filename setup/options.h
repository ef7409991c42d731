// Command-line options.
//
// parseOptions reads the command line with glibc's getopt_long (opterr 0,
// short string "[hva:u:p:c:z:l:m:$:") into the process-wide settings of
// setup/settings.h, in command-line order; a later option replaces an earlier
// value. It returns 1 when the line was read and 0 on a usage error, after
// one line on standard error; main then prints the usage and exits 1.
// --help and --version, and an invalid --module-type or --custom-version
// value, end the process from inside the parser.
#pragma once

#include <string>

// "2\n" for exactly "x86_64", "1\n" for every other machine name (the line
// end is part of the value the upload sends).
std::string archCode(const char* machine);

int parseOptions(int argc, char** argv);
