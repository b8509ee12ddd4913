// The kestrel program's commands. Each command file registers its top-level commands with a
// static TCliRegistration; main() dispatches on the first argument.
#pragma once

#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace kestrel::cli {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a decode, encode, modem or engine failure
constexpr int kExitUsage = 2;

struct TCliCommand {
    QString name;    // first word on the command line, e.g. "pdu"
    QString summary; // one line for "kestrel --help"
    // Receives every argument except the command word (session options that stood before it
    // included), with "kestrel NAME" in front so that a QCommandLineParser can process them.
    std::function<int(const QStringList &args)> run;
};

std::vector<TCliCommand> &CliCommands();

struct TCliRegistration {
    explicit TCliRegistration(TCliCommand command) { CliCommands().push_back(std::move(command)); }
};

// Where the command word stands among Args, from index First on: the first argument that is
// neither an option nor the value of a session option ("--format pdu status" names status).
// Only session options and help may stand before it, since the values of other options are
// not known here. Returns the index, args.size() when there is no command word, or -1 with
// Error set.
qsizetype CommandWordIndex(const QStringList &args, qsizetype first, QString &error);

// Writes a line to standard output / standard error (UTF-8).
void PrintOut(const QString &line);
void PrintErr(const QString &line);

} // namespace kestrel::cli
