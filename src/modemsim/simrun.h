// Running the virtual handset in the foreground, shared by kestrel-modemsim and
// "kestrel simulate": option parsing, the device path on standard output, and a line-based
// control interface on standard input.
#pragma once

#include "modemsim/modemsimulator.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kestrel {

// Reads the options of a foreground run (args without the program name). Returns an error
// text, or an empty string; help is set when --help was given.
std::string ParseModemSimulatorArgs(const std::vector<std::string> &args, TModemSimulatorOptions &options,
                                    bool &help);
std::string ModemSimulatorUsage(const std::string &program);

// One control command for a running simulator (see ModemSimulatorUsage); returns the answer
// line ("OK", or "ERROR: ..."). quit is set by "quit".
std::string ModemSimulatorControl(TModemSimulator &sim, const std::string &line, bool &quit);

// Runs a simulator until SIGINT, SIGTERM or SIGHUP (or "quit" on the control input). Prints the
// device path as the first line of out, then one answer per control line. Returns the exit status.
int RunModemSimulator(const TModemSimulatorOptions &options, FILE *out, FILE *err, int controlFd);

} // namespace kestrel
