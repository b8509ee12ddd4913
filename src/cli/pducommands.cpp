// kestrel pdu decode|encode: the offline PDU tools. They work on the message model alone, with
// no modem, and print one JSON object per message so that scripts can read the result.
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/payloadjson.h"
#include "cli/reassemblecommand.h"

#include "base/datetime.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <exception>
#include <optional>

namespace kestrel::cli {

namespace {

// A parser whose help names the command as it is typed (QCommandLineParser names the program by
// its path).
class TPduParser : public QCommandLineParser {
public:
    explicit TPduParser(const QString &command) : m_command("kestrel pdu " + command) {}
    QString help() const
    {
        QString text = helpText();
        qsizetype options = text.indexOf(" [options]");
        if (text.startsWith("Usage: ") && options > 0)
            text.replace(7, options - 7, m_command);
        return text;
    }

private:
    QString m_command;
};

int usageError(const TPduParser &parser, const QString &message)
{
    PrintErr(QCoreApplication::applicationName() + ": " + message);
    PrintErr(parser.help());
    return kExitUsage;
}

// Parses the arguments; returns an exit status when the command is already answered (help or a
// usage error).
std::optional<int> parseArguments(TPduParser &parser, const QStringList &args)
{
    QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(help);
    if (!parser.parse(args))
        return usageError(parser, parser.errorText());
    if (parser.isSet(help)) {
        PrintOut(parser.help());
        return kExitOk;
    }
    return std::nullopt;
}

// Hex digits in pairs, blanks allowed between them.
std::optional<std::string> parseHex(QString text)
{
    text.remove(QRegularExpression("\\s"));
    static const QRegularExpression hex("^([0-9A-Fa-f]{2})*$");
    if (!hex.match(text).hasMatch())
        return std::nullopt;
    return HexToStr(text.toStdString());
}

int runDecode(const QStringList &args)
{
    TPduParser parser("decode");
    parser.setApplicationDescription(
        "Decodes PDUs as a handset stores them and prints one JSON object per PDU.\n"
        "Exit status: 0 when every PDU decoded, 1 when one did not, 2 on a usage error.");
    QCommandLineOption mt("mt", "The handset received the messages (SMS-DELIVER, reports): the default.");
    QCommandLineOption mo("mo", "The handset sent or stores them for sending (SMS-SUBMIT, commands).");
    QCommandLineOption cb("cb", "Cell broadcast pages (88 octets each).");
    QCommandLineOption noSCA("no-sca", "The PDUs start with the TPDU, without a service-centre field.");
    parser.addOptions({mt, mo, cb, noSCA});
    parser.addPositionalArgument("HEX", "PDUs in hexadecimal.", "HEX...");
    if (auto status = parseArguments(parser, args))
        return *status;
    if (parser.isSet(mt) + parser.isSet(mo) + parser.isSet(cb) > 1)
        return usageError(parser, "--mt, --mo and --cb exclude each other");
    if (parser.positionalArguments().isEmpty())
        return usageError(parser, "no PDU given");

    TNoSCA withoutSCA;
    const ISMSContext *context = parser.isSet(noSCA) ? &withoutSCA : nullptr;
    int status = kExitOk;
    for (const QString &arg : parser.positionalArguments()) {
        try {
            auto bytes = parseHex(arg);
            if (!bytes)
                throw std::runtime_error("not a PDU: hex digits in pairs expected");
            if (parser.isSet(cb)) {
                TCellBroadcast page;
                page.Decode(*bytes);
                PrintJson(MessageJson(page));
                continue;
            }
            auto sms = CreateSMSFromBytes(context, *bytes, !parser.isSet(mo));
            if (!sms) {
                size_t head = context || bytes->empty() ? 0 : static_cast<uint8_t>((*bytes)[0]) + 1u;
                throw std::runtime_error(head >= bytes->size() ? "no TPDU after the service-centre field"
                                                               : "message type 3 is reserved");
            }
            PrintJson(MessageJson(*sms));
        } catch (const std::exception &e) {
            PrintJson(QJsonObject{{"error", QString::fromUtf8(e.what())}});
            status = kExitFailure;
        }
    }
    return status;
}

// --text: the characters of the default alphabet, or a message naming the first one that is not.
std::optional<std::string> toGSMText(const QString &text, QString &error)
{
    std::string codes;
    qsizetype bad = 0;
    if (UnicodeToGSMCodes(text, codes, &bad))
        return codes;
    error = QString("character U+%1 is not in the GSM 7-bit alphabet (use --ucs2)")
                .arg(QString::number(text[bad].unicode(), 16).toUpper().rightJustified(4, '0'));
    return std::nullopt;
}

int runEncode(const QStringList &args)
{
    TPduParser parser("encode");
    parser.setApplicationDescription(
        "Builds one SMS-SUBMIT and prints {\"pdu\": HEX, \"tpduLength\": n}.\n"
        "Exit status: 0 on success, 1 when the message cannot be built, 2 on a usage error.");
    QCommandLineOption to("to", "Destination number: digits, optionally after + (international) or #.",
                          "NUMBER");
    QCommandLineOption text("text", "Text in the GSM 7-bit alphabet (at most 160 septets).", "TEXT");
    QCommandLineOption ucs2("ucs2", "Text in UCS2 (at most 70 characters).", "TEXT");
    QCommandLineOption data("data", "8-bit data in hexadecimal (at most 140 octets).", "HEX");
    QCommandLineOption messageClass("class", "Message class 0-3 (0: shown at once).", "0-3");
    QCommandLineOption vp("vp-minutes", "Relative validity period in minutes.", "N");
    QCommandLineOption statusReport("status-report", "Request a status report.");
    QCommandLineOption reference("reference", "Message reference 0-255 (default 0).", "N");
    QCommandLineOption noSCA("no-sca", "Leave out the service-centre field.");
    parser.addOptions({to, text, ucs2, data, messageClass, vp, statusReport, reference, noSCA});
    if (auto status = parseArguments(parser, args))
        return *status;
    if (!parser.positionalArguments().isEmpty())
        return usageError(parser, "unexpected argument " + parser.positionalArguments().first());
    // TS 23.040 9.1.2.5: at most 20 digits.
    static const QRegularExpression number("^[+#]?[0-9]{1,20}$");
    if (!parser.isSet(to))
        return usageError(parser, "--to is required");
    if (!number.match(parser.value(to)).hasMatch())
        return usageError(parser, "--to: a number of 1 to 20 digits expected, optionally after + or #");
    if (parser.isSet(text) + parser.isSet(ucs2) + parser.isSet(data) != 1)
        return usageError(parser, "exactly one of --text, --ucs2 and --data is required");
    auto intOption = [&](const QCommandLineOption &option, int max, int &value) {
        bool ok = false;
        value = parser.value(option).toInt(&ok);
        return ok && value >= 0 && value <= max;
    };
    int classValue = -1, vpMinutes = 0, referenceValue = 0;
    if (parser.isSet(messageClass) && !intOption(messageClass, 3, classValue))
        return usageError(parser, "--class: 0, 1, 2 or 3 expected");
    // TS 23.040 9.2.3.12.1: the longest relative period is 63 weeks.
    if (parser.isSet(vp) && !intOption(vp, 63 * 7 * 1440, vpMinutes))
        return usageError(parser, "--vp-minutes: 0 to 635040 expected");
    if (parser.isSet(reference) && !intOption(reference, 255, referenceValue))
        return usageError(parser, "--reference: 0 to 255 expected");

    TSMSSubmit sms;
    TNoSCA withoutSCA;
    if (parser.isSet(noSCA))
        sms.GSM = &withoutSCA;
    sms.DA = parser.value(to).toStdString();
    sms.MR = static_cast<uint8_t>(referenceValue);
    sms.SetFirstOctetBit(5, parser.isSet(statusReport));
    if (parser.isSet(vp)) {
        sms.FirstOctet |= 0x10; // TP-VPF relative
        sms.VP = vpMinutes / 1440.0;
    }
    QString error;
    uint8_t alphabet = 0x00;
    if (parser.isSet(text)) {
        auto codes = toGSMText(parser.value(text), error);
        if (codes && codes->size() > 160)
            error = QString("text too long: %1 septets, one message holds 160").arg(codes->size());
        if (codes)
            sms.UserData = *codes;
    } else if (parser.isSet(ucs2)) {
        QString value = parser.value(ucs2);
        if (value.size() > 70)
            error = QString("text too long: %1 UCS2 characters, one message holds 70").arg(value.size());
        sms.SetUCS2Text(std::u16string_view(reinterpret_cast<const char16_t *>(value.utf16()),
                                            static_cast<size_t>(value.size())));
        alphabet = 0x08;
    } else {
        auto bytes = parseHex(parser.value(data));
        if (!bytes)
            return usageError(parser, "--data: hex digits in pairs expected");
        if (bytes->size() > 140)
            error = QString("data too long: %1 octets, one message holds 140").arg(bytes->size());
        sms.UserData = *bytes;
        alphabet = 0x04;
    }
    if (!error.isEmpty()) {
        PrintErr("kestrel pdu encode: " + error);
        return kExitFailure;
    }
    // TS 23.038 4: general data coding; bit 4 announces the class in bits 0 and 1.
    sms.DCS = static_cast<uint8_t>(alphabet | (classValue >= 0 ? 0x10 | classValue : 0));
    std::string pdu = sms.Encode();
    int head = parser.isSet(noSCA) ? 0 : 1;
    PrintJson(QJsonObject{{"pdu", QString::fromStdString(StrToHex(pdu))},
                          {"tpduLength", static_cast<int>(pdu.size()) - head}});
    return kExitOk;
}

void printPduUsage(bool toStdout)
{
    QString usage = "Usage: kestrel pdu COMMAND [options]\n\n"
                    "Commands:\n"
                    "  decode      decode PDUs and print them as JSON\n"
                    "  encode      build an SMS-SUBMIT PDU\n"
                    "  reassemble  feed received PDUs through the reassembly stack\n\n"
                    "Run \"kestrel pdu COMMAND --help\" for the options of a command.";
    toStdout ? PrintOut(usage) : PrintErr(usage);
}

int runPdu(const QStringList &args)
{
    // Options given before the command word (session options, which no PDU tool takes) go to
    // the command, whose parser names them.
    QString error;
    const qsizetype word = CommandWordIndex(args, 1, error);
    if (word < 0) {
        PrintErr("kestrel pdu: " + error);
        printPduUsage(false);
        return kExitUsage;
    }
    if (word >= args.size()) {
        const bool help = args.contains("--help") || args.contains("-h");
        printPduUsage(help);
        return help ? kExitOk : kExitUsage;
    }
    const QString &command = args[word];
    if (command == "help") {
        printPduUsage(true);
        return kExitOk;
    }
    QStringList rest = args.mid(1, word - 1) + args.mid(word + 1);
    rest.prepend(args[0] + " " + command);
    if (command == "decode")
        return runDecode(rest);
    if (command == "encode")
        return runEncode(rest);
    if (command == "reassemble")
        return RunPduReassemble(rest);
    PrintErr("kestrel pdu: unknown command " + command);
    printPduUsage(false);
    return kExitUsage;
}

TCliRegistration registration({"pdu", "decode and encode SMS PDUs offline (no modem needed)", runPdu});

} // namespace

} // namespace kestrel::cli
