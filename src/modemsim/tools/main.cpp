// kestrel-modemsim: the virtual handset in the foreground.
#include "modemsim/simrun.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    using namespace kestrel;
    std::vector<std::string> args(argv + 1, argv + argc);
    TModemSimulatorOptions options;
    bool help = false;
    std::string error = ParseModemSimulatorArgs(args, options, help);
    if (help) {
        std::fputs(ModemSimulatorUsage("kestrel-modemsim").c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "kestrel-modemsim: %s\n%s", error.c_str(),
                     ModemSimulatorUsage("kestrel-modemsim").c_str());
        return 2;
    }
    return RunModemSimulator(options, stdout, stderr, STDIN_FILENO);
}
