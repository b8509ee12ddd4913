#include "cli/session.h"

#include "cli/clicommand.h"

#include "base/inifile.h"
#include "store/storelocation.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kestrel::cli {

namespace {

// The window's application name: the user's settings and log directories are named after it.
const char *const kWindowApplicationName = "GSM Kestrel";

const char *const kSessionOptions[][3] = {
    {"config", "FILE",
     "Settings file (default: the window's gsm.ini, in the program's directory or, when that is "
     "not writable, in the user's configuration directory)."},
    {"device", "PATH", "Serial device of the handset."},
    {"equipment", "NAME",
     "Equipment type: A1 M1 M20 GM12 Nokia6210 Nokia6650 Nokia9110 M35 S25 T260 "
     "WaveCom TC35 Fasttrack Generic (any current modem; kestrel detect suggests one)."},
    {"pin", "PIN", "SIM PIN, given when the SIM asks for it."},
    {"sca", "NUMBER", "Service centre number."},
    {"format", "pdu|text", "Message format."},
    {"indications", "LIST", "Unsolicited indications: deliver,status,broadcast,only-indication (or none)."},
    {"rec-timeout", "MS", "Milliseconds of silence after which a command attempt is given up."},
    {"baud", "N", "Line speed, overriding the equipment's own."},
    {"store", "PATH|URL",
     "Message store: an SQLite file or postgresql://user@host:port/database (\"<none>\": none); "
     "default: the settings file's Store key, else messages.sqlite beside the log files."},
};

bool ParseInt(const QString &text, int &value)
{
    bool ok = false;
    value = text.trimmed().toInt(&ok);
    return ok;
}

// The words of --indications.
const std::pair<const char *, TGSMUnsolicitedIndication> kIndicationNames[] = {
    {"deliver", uindSMSDeliver},
    {"status", uindSMSStatusReport},
    {"broadcast", uindCellBroadcast},
    {"only-indication", uindOnlyIndication}};

QString ParseIndications(const QString &text, TGSMUnsolicitedIndicationSet &set)
{
    set = 0;
    if (text.trimmed() == "none" || text.trimmed().isEmpty())
        return {};
    for (const QString &word : text.split(',', Qt::SkipEmptyParts)) {
        bool found = false;
        for (auto [name, member] : kIndicationNames) {
            if (word.trimmed() == name) {
                set |= Bit(member);
                found = true;
            }
        }
        if (!found)
            return QString("unknown indication \"%1\"").arg(word.trimmed());
    }
    return {};
}

} // namespace

QString IndicationsText(TGSMUnsolicitedIndicationSet set)
{
    QStringList words;
    for (auto [name, member] : kIndicationNames)
        if (set & Bit(member))
            words << name;
    return words.isEmpty() ? QString("none") : words.join(',');
}

void AddSessionOptions(QCommandLineParser &parser)
{
    // Their help is SessionOptionsHelp; Qt's own text shows the command's options alone.
    for (const auto &o : kSessionOptions) {
        QCommandLineOption option(o[0], o[2], o[1]);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

QCommandLineOption SessionOption(const QString &name)
{
    for (const auto &o : kSessionOptions)
        if (name == o[0])
            return QCommandLineOption(o[0], o[2], o[1]);
    throw std::logic_error("no session option " + name.toStdString());
}

QString CommandOptionsHelp(const QCommandLineParser &parser)
{
    // Qt words the options it shows; the help option itself is left out.
    const QString text = parser.helpText();
    const qsizetype at = text.indexOf("Options:\n");
    if (at < 0)
        return {};
    QStringList entries;
    for (const QString &line : text.mid(at + 9).split('\n')) {
        if (line.trimmed().isEmpty())
            break; // the "Arguments:" section follows an empty line
        if (line.startsWith("  -"))
            entries << line;
        else if (!entries.isEmpty())
            entries.last() += "\n" + line;
    }
    entries.removeIf([](const QString &entry) { return entry.contains("--help "); });
    return entries.isEmpty() ? QString() : "Options:\n" + entries.join('\n');
}

QString SessionOptionsHelp()
{
    QString text = "Session options:\n";
    for (const auto &o : kSessionOptions)
        text += QString("  --%1 %2\n      %3\n").arg(o[0], o[1], o[2]);
    return text;
}

bool IsSessionOption(const QString &name)
{
    for (const auto &o : kSessionOptions)
        if (name == QLatin1String(o[0]))
            return true;
    return false;
}

TAppLocations SessionLocations(const QCommandLineParser &parser)
{
    std::vector<std::string> args;
    if (parser.isSet("config"))
        args.push_back("-I:" + parser.value("config").toStdString());
    // Under the window's name, so that an installed kestrel finds the settings and log files the
    // window keeps in the user's directories.
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(kWindowApplicationName);
    TAppLocations locations = ResolveAppLocations(args, ProgramDirectory());
    QCoreApplication::setApplicationName(name);
    return locations;
}

namespace {
const char *const kStoreVariable = "KESTREL_STORE_LOCATION";
} // namespace

QProcessEnvironment HandDownStore(const std::string &Location)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kStoreVariable, QString::fromStdString(Location));
    return environment;
}

std::optional<std::string> TakeSecret(const char *Name)
{
    char *value = getenv(Name);
    if (!value)
        return std::nullopt;
    std::string secret(value);
    std::fill(value, value + secret.size(), '\0');
    unsetenv(Name);
    return secret;
}

std::string StoreLocation(const QCommandLineParser &parser)
{
    // Taken once, at the first question, and kept for the later ones.
    static const std::optional<std::string> handedDown = TakeSecret(kStoreVariable);
    if (handedDown)
        return *handedDown;
    if (parser.isSet("store"))
        return parser.value("store").toStdString();
    const TAppLocations where = SessionLocations(parser);
    return StoreLocationFromSettings(TIniFile(where.ConfigFile), where.LogDirectory);
}

std::optional<TGSMEquipment> EquipmentOption(const QCommandLineParser &parser)
{
    if (!parser.isSet("equipment"))
        return std::nullopt;
    try {
        return StrToEquipment(parser.value("equipment").toStdString());
    } catch (const EGSMError &) {
        return std::nullopt; // a usage error, reported with the other options
    }
}

QString ConfigureSession(const QCommandLineParser &parser, TSession &s)
{
    // The port must hand received bytes straight to the engine (there is no event loop).
    s.comm.SetDontSynchronize(true);
    LoadModemSettings(TIniFile(SessionLocations(parser).ConfigFile), s.comm, s.gsm, EquipmentOption(parser));
    return ApplySessionOptions(parser, s.comm, s.gsm);
}

QString ApplySessionOptions(const QCommandLineParser &parser, TComm &comm, TGSM &gsm)
{
    if (parser.isSet("device"))
        comm.SetDeviceName(parser.value("device").toStdString());
    if (parser.isSet("equipment")) {
        try {
            gsm.SetEquipment(StrToEquipment(parser.value("equipment").toStdString()));
        } catch (const EGSMError &e) {
            return QString("%1: %2").arg(e.what(), parser.value("equipment"));
        }
        gsm.AdjustCommSettings();
    }
    if (parser.isSet("pin"))
        gsm.SetPIN(parser.value("pin").toStdString());
    if (parser.isSet("sca"))
        gsm.SetSCA(parser.value("sca").toStdString());
    if (parser.isSet("format")) {
        const QString f = parser.value("format").toLower();
        if (f != "pdu" && f != "text")
            return QString("--format must be pdu or text, not \"%1\"").arg(parser.value("format"));
        try {
            gsm.SetSMSFormat(f == "pdu" ? kSMSFormatPDU : kSMSFormatText);
        } catch (const EGSMError &e) {
            return e.what();
        }
    }
    if (parser.isSet("indications")) {
        TGSMUnsolicitedIndicationSet set;
        QString error = ParseIndications(parser.value("indications"), set);
        if (!error.isEmpty())
            return error;
        gsm.SetUnsolicitedIndication(set);
    }
    if (parser.isSet("rec-timeout")) {
        int ms;
        if (!ParseInt(parser.value("rec-timeout"), ms) || ms <= 0)
            return QString("--rec-timeout must be a positive number of milliseconds");
        gsm.SetRecTimeout(ms);
    }
    if (parser.isSet("baud")) {
        int value;
        TBaudrate baud;
        if (!ParseInt(parser.value("baud"), value) || !IntToBaudrate(value, baud))
            return QString("unsupported line speed \"%1\"").arg(parser.value("baud"));
        comm.SetBaudrate(baud);
    }
    return {};
}

int ParseSessionCommand(QCommandLineParser &parser, const QStringList &args, const QString &description,
                        const QString &Positional, const QString &ExtraHelp)
{
    parser.setApplicationDescription(description);
    AddSessionOptions(parser);
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(help);
    if (!parser.parse(args)) {
        PrintErr("kestrel: " + parser.errorText());
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        QString usage = QString("Usage: %1 [session options]").arg(args.value(0));
        if (!Positional.isEmpty())
            usage += " " + Positional;
        QString text = QString("%1\n\n%2\n\n%3").arg(usage, description, SessionOptionsHelp());
        if (const QString own = CommandOptionsHelp(parser); !own.isEmpty())
            text += "\n" + own;
        if (!ExtraHelp.isEmpty())
            text += "\n\n" + ExtraHelp;
        PrintOut(text);
        return kExitOk;
    }
    const QStringList words = Positional.split(' ', Qt::SkipEmptyParts);
    // "[NAME]" words may be left out; a last word ending in "..." takes any number more.
    const int wanted = static_cast<int>(
        std::count_if(words.begin(), words.end(), [](const QString &w) { return !w.startsWith('['); }));
    const bool open = !words.isEmpty() && (words.last().endsWith("...") || words.last().endsWith("...]"));
    if (parser.positionalArguments().size() < wanted) {
        PrintErr("kestrel: missing argument " + Positional);
        return kExitUsage;
    }
    if (!open && parser.positionalArguments().size() > words.size()) {
        PrintErr("kestrel: unexpected argument \"" + parser.positionalArguments().value(words.size()) + "\"");
        return kExitUsage;
    }
    return -1;
}

int RunSessionCommand(QCommandLineParser &parser, const QStringList &args, const QString &description,
                      const std::function<int(TSession &)> &body, const QString &Positional,
                      const QString &ExtraHelp)
{
    const int parsed = ParseSessionCommand(parser, args, description, Positional, ExtraHelp);
    if (parsed >= 0)
        return parsed;
    return RunSession([&] {
        TSession session;
        const QString usage = ConfigureSession(parser, session);
        if (!usage.isEmpty()) {
            PrintErr("kestrel: " + usage);
            return kExitUsage;
        }
        return body(session);
    });
}

int RunSession(const std::function<int()> &body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        PrintErr(QString::fromStdString(e.what()));
        return kExitFailure;
    }
}

void HidePasswords(int argc, char **argv)
{
    auto hide = [](char *from, char *to) { std::fill(from, to, '*'); };
    for (int i = 1; i < argc; ++i) {
        char *arg = argv[i];
        // The SIM PIN: "--pin PIN", "--pin=PIN", and "pin=PIN" in a gateway's modem.
        if (std::strcmp(arg, "--pin") == 0 && i + 1 < argc) {
            hide(argv[i + 1], argv[i + 1] + std::strlen(argv[i + 1]));
            ++i;
            continue;
        }
        for (char *pin = std::strstr(arg, ",pin="); pin; pin = std::strstr(pin + 1, ",pin=")) {
            char *value = pin + 5;
            hide(value, value + std::strcspn(value, ","));
        }
        // A webhook's secret: "...,secret=SECRET" to the end, or to a following ",events=".
        if (char *secret = std::strstr(arg, ",secret=")) {
            char *value = secret + 8;
            char *events = std::strstr(value, ",events=");
            hide(value, events ? events : value + std::strlen(value));
        }
        // "--store=URL" as well as "URL".
        if (arg[0] == '-')
            if (char *eq = std::strchr(arg, '=')) {
                if (std::strncmp(arg, "--pin=", 6) == 0)
                    hide(eq + 1, eq + 1 + std::strlen(eq + 1));
                arg = eq + 1;
            }
        for (const auto &[offset, length] : LocationSecrets(arg))
            hide(arg + offset, arg + offset + length);
    }
}

QString JsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

} // namespace kestrel::cli
