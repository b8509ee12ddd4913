// What every modem session of the kestrel program shares: the session options, the settings
// read from gsm.ini (by the window's own reader), the serial port and engine they configure, and
// how failures end a session.
#pragma once

#include "appcore/datamodule.h"
#include "comm/comm.h"
#include "gsm/gsm.h"

#include <QCommandLineParser>
#include <QProcessEnvironment>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace kestrel::cli {

// A serial port and the engine that drives it. The port is declared first so that it outlives
// the engine, which refers to it.
struct TSession {
    TComm comm;
    TGSM gsm;
    TSession() { gsm.SetCOMDevice(&comm); }
};

// Adds --config --device --equipment --pin --sca --format --indications --rec-timeout --baud
// --store, hidden from Qt's help text: SessionOptionsHelp describes them.
void AddSessionOptions(QCommandLineParser &parser);
QString SessionOptionsHelp();
// "Options:" and the command's own options that the help text shows (as Qt words them, without
// the session options and --help), or "" when it has none.
QString CommandOptionsHelp(const QCommandLineParser &parser);
// One of them, for commands that take only a few (e.g. "config" and "store").
QCommandLineOption SessionOption(const QString &name);
// True when Name (without its dashes) is one of the session options above; they all take a value.
bool IsSessionOption(const QString &name);

// The settings file (--config, or where the window keeps it) and the directory of the default
// log files.
TAppLocations SessionLocations(const QCommandLineParser &parser);
// The message store: the one handed down by the process that started this one (HandDownStore), else
// --store when given, else the settings file's (see StoreLocationFromSettings); "<none>" for none.
std::string StoreLocation(const QCommandLineParser &parser);
// Hands Location down to a kestrel process this one starts, in the environment it returns (the
// variable KESTREL_STORE_LOCATION beside this process's own): a password in it never shows in the
// process list, as it would in the arguments.
QProcessEnvironment HandDownStore(const std::string &Location);
// The value of the environment variable Name, wiped where the process keeps its environment
// (/proc/PID/environ shows the block it started with) and removed; nullopt when it is not set.
std::optional<std::string> TakeSecret(const char *Name);

// The equipment the --equipment option names, when it names one: it stands instead of the
// settings file's, so a damaged name in the file does not stop a run that gives the right one.
std::optional<TGSMEquipment> EquipmentOption(const QCommandLineParser &parser);

// A set of indications in the words of --indications ("deliver,status", "none").
QString IndicationsText(TGSMUnsolicitedIndicationSet set);

// Applies the session options given over what the settings file set. Returns a usage error
// text, or an empty string.
QString ApplySessionOptions(const QCommandLineParser &parser, TComm &comm, TGSM &gsm);

// Configures the session from the settings file and then from the options given. Returns a
// usage error text, or an empty string. A bad equipment name in the settings file raises
// EGSMError as it does for the window.
QString ConfigureSession(const QCommandLineParser &parser, TSession &session);

// Parses the arguments of a session command (options only, no positional arguments), and
// prints help or a usage error. Returns -1 to go on, or the exit status to end with.
// Options added to the parser beforehand are parsed too; Positional names the positional
// arguments the command takes (e.g. "INDEX"; empty: none; "[FILE...]": any number of files). The help shows
// the session options, the command's own options (CommandOptionsHelp), then ExtraHelp.
int ParseSessionCommand(QCommandLineParser &parser, const QStringList &args, const QString &description,
                        const QString &Positional = {}, const QString &ExtraHelp = {});

// Parses, configures a session and runs Body on it; usage errors give 2, failures 1.
int RunSessionCommand(QCommandLineParser &parser, const QStringList &args, const QString &description,
                      const std::function<int(TSession &)> &body, const QString &Positional = {},
                      const QString &ExtraHelp = {});

// Runs the body of a session; an engine, modem or serial failure prints its message on standard
// error and gives exit status 1.
int RunSession(const std::function<int()> &body);

// Overwrites the secrets among the program's arguments in place (the password of a URL, see
// LocationSecrets, and the SIM PIN of --pin and of a gateway's "--modem ...,pin="), so that the
// process list shows "user:****@" and "pin=****"; the arguments must have been read before.
void HidePasswords(int argc, char **argv);

// The text as a JSON string literal.
QString JsonString(const QString &text);

} // namespace kestrel::cli
