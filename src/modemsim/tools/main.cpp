// kestrel-modemsim: the virtual handset in the foreground.
#include "modemsim/simrun.h"

int main(int argc, char **argv)
{
    return kestrel::ModemSimulatorMain(std::vector<std::string>(argv + 1, argv + argc), "kestrel-modemsim");
}
