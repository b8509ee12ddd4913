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
// --peer NUMBER asks for a second handset on the same network.
std::string ParseModemSimulatorArgs(const std::vector<std::string> &args, TModemSimulatorOptions &options,
                                    std::string &peerNumber, bool &help);
std::string ModemSimulatorUsage(const std::string &program);

// One control command for a running simulator; returns the answer: any output lines, then "OK",
// or one line "ERROR: ...". quit is set by "quit".
std::string ModemSimulatorControl(TModemSimulator &sim, const std::string &line, bool &quit);
// One line per control command: its arguments and what it does.
std::string ModemSimulatorControlHelp();

// Runs a simulator until SIGINT, SIGTERM or SIGHUP (or "quit" on the control input). Prints the
// device path as the first line of out (the peer's, when a peer number is given, as the second),
// then the answers to the control lines. Returns the exit status.
int RunModemSimulator(const TModemSimulatorOptions &options, FILE *out, FILE *err, int controlFd,
                      const std::string &peerNumber = {});

// The whole foreground program: options (args without the program name), usage on --help or
// on a usage error, then the run. Returns 0, 1 on a failure to start, 2 on a usage error.
int ModemSimulatorMain(const std::vector<std::string> &args, const std::string &program);

} // namespace kestrel
