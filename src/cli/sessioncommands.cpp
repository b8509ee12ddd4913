// Session commands of the kestrel program: talk to a handset through the engine.
//   info        manufacturer, model, revision and serial number (only the port opens)
//   status      opens the engine, asks the signal quality, prints the network state
//   switch-off  opens the engine and switches the handset off
#include "cli/clicommand.h"
#include "cli/session.h"

#include "base/convert.h"

namespace kestrel::cli {

namespace {

// Runs a command body on a configured session; usage errors give 2, failures 1.
int RunSessionCommand(const QStringList &args, const QString &description,
                      const std::function<int(TSession &)> &body)
{
    QCommandLineParser parser;
    return cli::RunSessionCommand(parser, args, description, body);
}

int RunInfo(const QStringList &args)
{
    return RunSessionCommand(args, "Prints the handset's manufacturer, model, revision and serial number.",
                             [](TSession &s) {
                                 const char *keys[] = {"manufacturer", "model", "revision", "serial"};
                                 QStringList fields;
                                 for (int i = 1; i <= 4; ++i) {
                                     std::string value;
                                     s.gsm.GetModemInfo(i, value);
                                     fields << QString("%1: %2").arg(
                                         JsonString(keys[i - 1]), JsonString(QString::fromStdString(value)));
                                 }
                                 PrintOut("{" + fields.join(", ") + "}");
                                 return kExitOk;
                             });
}

// 3GPP TS 27.007 8.5: rssi 0 is -113 dBm or less, 31 is -51 dBm or more, 99 unknown.
QString SignalDbm(int rssi)
{
    if (rssi < 0 || rssi > 31)
        return "null";
    return QString::number(-113 + 2 * rssi);
}

int RunStatus(const QStringList &args)
{
    return RunSessionCommand(
        args, "Opens the handset, asks its signal quality and prints the network state.", [](TSession &s) {
            s.gsm.Open();
            // Ask the signal quality as the window's signal button does.
            std::vector<std::string> lines;
            s.gsm.CheckResult(s.gsm.ExecCommand("AT+CSQ", kWaitResult | kWaitReply | kPrefixedReply, &lines));
            int rssi = 99;
            if (!lines.empty()) {
                size_t pos = 0;
                rssi = StrToIntDef(ExtractParam(lines.front(), pos), 99);
            }
            // No event loop runs here: the lines the handset sent (the registration answers among
            // them) are handled now.
            s.gsm.ProcessReceived();
            const TNetworkOperator op = s.gsm.QueryOperator();
            auto strOrNull = [](const QString &text) {
                return text.isEmpty() ? QString("null") : JsonString(text);
            };
            const QString json = QString("{\"registration\": %1, \"rssi\": %2, \"dbm\": %3, \"memory\": %4, "
                                         "\"messageService\": %5, \"operator\": %6, \"operatorCode\": %7, "
                                         "\"technology\": %8}")
                                     .arg(s.gsm.NetworkRegistration())
                                     .arg(rssi)
                                     .arg(SignalDbm(rssi))
                                     .arg(JsonString(QString::fromStdString(Dequote(s.gsm.Memory()))))
                                     .arg(s.gsm.MessageService())
                                     .arg(strOrNull(op.Name), strOrNull(QString::fromStdString(op.Numeric)),
                                          strOrNull(op.Technology()));
            s.gsm.Close();
            PrintOut(json);
            return kExitOk;
        });
}

int RunSwitchOff(const QStringList &args)
{
    return RunSessionCommand(args, "Opens the handset and switches it off.", [](TSession &s) {
        s.gsm.Open();
        s.gsm.SwitchOff();
        s.gsm.Close();
        return kExitOk;
    });
}

const TCliRegistration kInfo({"info", "Handset manufacturer, model, revision and serial number (JSON)",
                              RunInfo});
const TCliRegistration kStatus({"status", "Open the handset and print registration and signal (JSON)",
                                RunStatus});
const TCliRegistration kSwitchOff({"switch-off", "Open the handset and switch it off", RunSwitchOff});

} // namespace

} // namespace kestrel::cli
