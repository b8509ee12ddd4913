// kestrel simulate: the virtual handset in the foreground, as kestrel-modemsim runs it.
#include "cli/clicommand.h"

#include "modemsim/simrun.h"

namespace kestrel::cli {

namespace {

int runSimulate(const QStringList &args)
{
    std::vector<std::string> options;
    for (int i = 1; i < args.size(); ++i)
        options.push_back(args[i].toStdString());
    switch (ModemSimulatorMain(options, "kestrel simulate")) {
    case 0:
        return kExitOk;
    case 2:
        return kExitUsage;
    default:
        return kExitFailure;
    }
}

TCliRegistration registration({"simulate", "run the virtual handset on a pseudo-terminal", runSimulate});

} // namespace

} // namespace kestrel::cli
