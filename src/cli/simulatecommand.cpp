// kestrel simulate: the virtual handset in the foreground, as kestrel-modemsim runs it.
#include "cli/clicommand.h"

#include "modemsim/simrun.h"

#include <unistd.h>

namespace kestrel::cli {

namespace {

int runSimulate(const QStringList &args)
{
    std::vector<std::string> options;
    for (int i = 1; i < args.size(); ++i)
        options.push_back(args[i].toStdString());
    TModemSimulatorOptions simOptions;
    bool help = false;
    std::string error = ParseModemSimulatorArgs(options, simOptions, help);
    if (help) {
        PrintOut(QString::fromStdString(ModemSimulatorUsage("kestrel simulate")));
        return kExitOk;
    }
    if (!error.empty()) {
        PrintErr(QString::fromStdString("kestrel simulate: " + error));
        return kExitUsage;
    }
    return RunModemSimulator(simOptions, stdout, stderr, STDIN_FILENO) == 0 ? kExitOk : kExitFailure;
}

TCliRegistration registration({"simulate", "run the virtual handset on a pseudo-terminal", runSimulate});

} // namespace

} // namespace kestrel::cli
