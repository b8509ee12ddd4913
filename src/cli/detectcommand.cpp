// kestrel detect: finds the modems on the machine (or behind the devices given) and prints one
// JSON line per device with what it says about itself and the equipment type to choose.
#include "cli/clicommand.h"
#include "cli/session.h"

#include "detect/modemdetect.h"

#include <QCommandLineParser>

namespace kestrel::cli {

namespace {

QString Str(const std::string &s)
{
    return JsonString(QString::fromStdString(s));
}

QString StrOrNull(const std::string &s)
{
    return s.empty() ? QString("null") : Str(s);
}

QString StrList(const std::vector<std::string> &items)
{
    QStringList quoted;
    for (const auto &item : items)
        quoted << Str(item);
    return "[" + quoted.join(", ") + "]";
}

QString DetectJson(const TDetectResult &r)
{
    QStringList fields;
    auto add = [&](const char *key, const QString &value) {
        fields << QString("\"%1\": %2").arg(key, value);
    };
    add("device", Str(r.device));
    add("byId", StrOrNull(r.byId));
    if (!r.IsModem()) {
        add("error", Str(r.error));
        if (r.lockedBy > 0)
            add("lockedBy", QString::number(r.lockedBy));
        return "{" + fields.join(", ") + "}";
    }
    add("baud", QString::number(r.baud));
    add("manufacturer", Str(r.manufacturer));
    add("model", Str(r.model));
    add("revision", Str(r.revision));
    add("imei", Str(r.imei));
    add("pin", Str(r.pin));
    add("formats", StrList(r.formats));
    add("storages", StrList(r.storages));
    add("charsets", StrList(r.charsets));
    add("indications", Str(r.indications));
    add("operator", StrOrNull(r.operatorName));
    add("operatorCode", StrOrNull(r.operatorCode));
    add("technology", StrOrNull(r.technology));
    add("equipment", r.equipment ? Str(GSMEquipmentNames[*r.equipment]) : QString("null"));
    return "{" + fields.join(", ") + "}";
}

int RunDetect(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Finds the modems on this machine: probes /dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM* and the\n"
        "/dev/ttyS* ports the driver reports (or the devices given) with AT at 115200, 57600, 19200 and\n"
        "9600 baud, all at once, and asks each modem found who it is. Nothing but queries is sent; a\n"
        "device locked by another program is left alone. One JSON line per device.");
    const QCommandLineOption device("device", "Probe this device (repeatable) instead of searching.", "PATH");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(device);
    parser.addOption(help);
    if (!parser.parse(args)) {
        PrintErr("kestrel: " + parser.errorText());
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        const QString text = parser.helpText();
        PrintOut(QString("Usage: %1 [--device PATH]...\n\n%2\n\n%3")
                     .arg(args.value(0), parser.applicationDescription(),
                          text.mid(text.indexOf("Options:")).trimmed()));
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty()) {
        PrintErr("kestrel: unexpected argument \"" + parser.positionalArguments().front() + "\"");
        return kExitUsage;
    }
    std::vector<TSerialDevice> devices;
    for (const QString &path : parser.values(device))
        devices.push_back(DescribeSerialDevice(path.toStdString()));
    if (!parser.isSet(device))
        devices = ListSerialDevices();
    if (devices.empty()) {
        PrintErr("kestrel: no serial devices found (is the modem plugged in?)");
        return kExitFailure;
    }
    bool found = false;
    for (const TDetectResult &r : DetectModems(devices)) {
        PrintOut(DetectJson(r));
        found = found || r.IsModem();
    }
    return found ? kExitOk : kExitFailure;
}

const TCliRegistration kDetect({"detect", "Find the modems on this machine and suggest their type (JSON)",
                                RunDetect});

} // namespace

} // namespace kestrel::cli
