// kestrel pdu reassemble: feeds PDUs in the given order through one TSMSProtocolStack the way the
// application handles received messages (expire, add, report, take complete payloads out) and
// prints one JSON line per PDU, so that segmented payloads can be checked without a handset.
#include "cli/reassemblecommand.h"

#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/payloadjson.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "gsm/smstext.h"
#include "xsms/protocolstack.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <exception>
#include <optional>

namespace kestrel::cli {

namespace {

// How long the application waits for the rest of a payload.
constexpr TDateTime kMaxAge = 5.0 / 1440;

std::optional<std::string> octetsOf(QString text)
{
    text.remove(QRegularExpression("\\s"));
    static const QRegularExpression pairs("^([0-9A-Fa-f]{2})+$");
    if (!pairs.match(text).hasMatch())
        return std::nullopt;
    return HexToStr(text.toStdString());
}

const char *protocolName(const TSMSProtocol &p)
{
    if (dynamic_cast<const TUDHProtocol *>(&p))
        return "TUDHProtocol";
    if (dynamic_cast<const TSiemensOTA *>(&p))
        return "TSiemensOTA";
    return "TNBS";
}

QJsonObject progressOf(bool accepted, const TSMSDeliver *sms, const TSMSProtocol *p)
{
    QJsonObject json{{"accepted", accepted}};
    if (!p)
        return json;
    // The stack keys by the model's 8-bit address; shown, the sender reads as elsewhere.
    json["key"] =
        AddressToUnicode(*sms) + QString::fromStdString(TSMSProtocolStack::MakeKey("", p->Reference()));
    json["protocol"] = protocolName(*p);
    json["reference"] = static_cast<qint64>(p->Reference());
    json["received"] = p->ReceivedCount();
    json["segments"] = p->SegmentCount();
    if (auto *ported = dynamic_cast<const TSMSProtocol2 *>(p)) {
        json["destPort"] = ported->DestPort();
        json["sourcePort"] = ported->SourcePort();
    }
    const bool complete = p->State() == kStateComplete;
    json["complete"] = complete;
    if (complete) {
        json["data"] = QString::fromStdString(StrToHex(p->Data()));
        if (auto *ota = dynamic_cast<const TSiemensOTA *>(p)) {
            json["objectName"] = Model8BitToUnicode(ota->ObjectName);
            json["objectType"] = Model8BitToUnicode(ota->ObjectType);
        }
        PutPayloadContent(json, *p, sms->DCS);
    }
    return json;
}

} // namespace

int RunPduReassemble(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Feeds received PDUs, in the order given, through one reassembly stack and prints one JSON\n"
        "object per PDU: whether it was accepted as a segment, the payload's key, protocol, reference,\n"
        "progress and ports, and the payload in hexadecimal once complete.\n"
        "Exit status: 0 when every PDU decoded, 1 when one did not, 2 on a usage error.");
    QCommandLineOption help({"h", "help"}, "Show this help.");
    QCommandLineOption mt("mt", "The handset received the messages (SMS-DELIVER): the default.");
    QCommandLineOption mo("mo",
                          "The handset sent them; such messages are never segments of a received payload.");
    QCommandLineOption noSCA("no-sca", "The PDUs start with the TPDU, without a service-centre field.");
    parser.addOptions({help, mt, mo, noSCA});
    parser.addPositionalArgument("HEX", "PDUs in hexadecimal.", "HEX...");
    auto usage = [&](const QString &message) {
        PrintErr("kestrel pdu reassemble: " + message);
        PrintErr(
            parser.helpText().replace(QRegularExpression("^Usage: \\S+"), "Usage: kestrel pdu reassemble"));
        return kExitUsage;
    };
    if (!parser.parse(args))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        PrintOut(
            parser.helpText().replace(QRegularExpression("^Usage: \\S+"), "Usage: kestrel pdu reassemble"));
        return kExitOk;
    }
    if (parser.isSet(mt) && parser.isSet(mo))
        return usage("--mt and --mo exclude each other");
    if (parser.positionalArguments().isEmpty())
        return usage("no PDU given");

    TNoSCA withoutSCA;
    const ISMSContext *context = parser.isSet(noSCA) ? &withoutSCA : nullptr;
    TSMSProtocolStack stack;
    int status = kExitOk;
    for (const QString &arg : parser.positionalArguments()) {
        std::unique_ptr<TSMS2> sms;
        try {
            const auto octets = octetsOf(arg);
            if (!octets)
                throw std::runtime_error("not a PDU: hex digits in pairs expected");
            sms = CreateSMSFromBytes(context, *octets, !parser.isSet(mo));
            if (!sms)
                throw std::runtime_error("not a message PDU");
        } catch (const std::exception &e) {
            PrintJson(QJsonObject{{"error", QString::fromUtf8(e.what())}});
            status = kExitFailure;
            continue;
        }
        stack.Expire(false, kMaxAge);
        TSMSProtocol *protocol = nullptr;
        const bool accepted = stack.AddSegment(sms.get(), protocol);
        PrintJson(progressOf(accepted, dynamic_cast<const TSMSDeliver *>(sms.get()), protocol));
        if (accepted && protocol->State() == kStateComplete)
            stack.RemoveProtocol(protocol); // the payload is out; the returned object is freed here
    }
    return status;
}

} // namespace kestrel::cli
