// kestrel: the command-line front end.
#include "cli/clicommand.h"
#include "cli/session.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace kestrel::cli {

std::vector<TCliCommand> &CliCommands()
{
    static std::vector<TCliCommand> commands;
    return commands;
}

void PrintOut(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintErr(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

static void printUsage(FILE *to)
{
    std::fprintf(to, "Usage: kestrel COMMAND [options]\n\nCommands:\n");
    auto commands = CliCommands();
    std::sort(commands.begin(), commands.end(),
              [](const TCliCommand &a, const TCliCommand &b) { return a.name < b.name; });
    for (const auto &c : commands)
        std::fprintf(to, "  %-12s %s\n", c.name.toUtf8().constData(), c.summary.toUtf8().constData());
    std::fprintf(to, "\nRun \"kestrel COMMAND --help\" for the options of a command.\n");
}

} // namespace kestrel::cli

int main(int argc, char **argv)
{
    using namespace kestrel::cli;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kestrel");
    const QStringList args = QCoreApplication::arguments();
    // A store URL may carry a password: what we keep is read, the process list must not show it.
    HidePasswords(argc, argv);
    if (args.size() < 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    if (args[1] == "--help" || args[1] == "-h" || args[1] == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    // Session options may stand before the command word ("kestrel --device /dev/ttyUSB0 info"): the
    // command is the first argument that names one, and every other argument goes to it.
    for (int i = 1; i < args.size(); ++i) {
        for (const auto &c : CliCommands()) {
            if (c.name == args[i]) {
                QStringList rest = args.mid(1, i - 1) + args.mid(i + 1);
                rest.prepend(args[0] + " " + args[i]);
                return c.run(rest);
            }
        }
    }
    PrintErr("kestrel: no command given");
    printUsage(stderr);
    return kExitUsage;
}
