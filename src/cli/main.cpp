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

qsizetype CommandWordIndex(const QStringList &args, qsizetype first, QString &error)
{
    for (qsizetype i = first; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == "--")
            return i + 1;
        if (!arg.startsWith('-') || arg.size() == 1)
            return i;
        if (arg == "-h" || arg == "--help")
            continue;
        const QString name = arg.mid(arg.startsWith("--") ? 2 : 1).section('=', 0, 0);
        if (!arg.startsWith("--") || !IsSessionOption(name)) {
            error = QString("option %1 must follow the command word (only session options may stand "
                            "before it)")
                        .arg(arg.section('=', 0, 0));
            return -1;
        }
        if (!arg.contains('='))
            ++i; // its value, whatever it looks like
    }
    return args.size();
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
    // Session options may stand before the command word ("kestrel --device /dev/ttyUSB0 info");
    // every argument but the command word goes to the command.
    QString error;
    const qsizetype word = CommandWordIndex(args, 1, error);
    if (word < 0) {
        PrintErr("kestrel: " + error);
        return kExitUsage;
    }
    if (word >= args.size()) {
        const bool help = args.contains("--help") || args.contains("-h");
        if (help) {
            printUsage(stdout);
            return kExitOk;
        }
        PrintErr("kestrel: no command given");
        printUsage(stderr);
        return kExitUsage;
    }
    if (args[word] == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    for (const auto &c : CliCommands()) {
        if (c.name == args[word]) {
            // A "--" that ended the options before the command word stays behind.
            const qsizetype before = word - 1 - (word > 1 && args[word - 1] == "--" ? 1 : 0);
            QStringList rest = args.mid(1, before) + args.mid(word + 1);
            rest.prepend("kestrel " + args[word]); // names the command in its help
            return c.run(rest);
        }
    }
    PrintErr("kestrel: unknown command " + args[word]);
    printUsage(stderr);
    return kExitUsage;
}
