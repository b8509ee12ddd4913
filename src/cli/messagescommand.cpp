// kestrel messages: what the message store holds, without a handset.
//   list     one JSON line per logical message, oldest first, with filters
//   show     one message with its segments and its decoded payload
//   delete   removes one message (a queued one that no gateway sends: cancels it)
//   retry    queues an uncertain or failed outgoing message again
//   import   received PDUs from a file or standard input, recorded as if they had just arrived
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/payloadjson.h"
#include "cli/session.h"

#include "appcore/datamodule.h"
#include "base/datetime.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "xsms/smartmessage.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>

namespace kestrel::cli {

namespace {

// Store times are UTC.
QString timeText(TDateTime time)
{
    return QString::fromStdString(DateTimeToISO(time) + "Z");
}

QJsonObject messageJson(const TStoredMessage &m)
{
    return QJsonObject{{"id", static_cast<qint64>(m.Id)},
                       {"direction", m.Outgoing ? "out" : "in"},
                       {"peer", Utf8(m.Peer)},
                       {"time", timeText(m.Time)},
                       {"kind", PayloadKindName(m.Kind)},
                       {"text", Utf8(m.Text)},
                       {"parts", m.Parts},
                       {"partsPresent", m.PartsPresent},
                       {"status", StoredStatusName(m.Status)},
                       {"modem", Utf8(m.Modem)},
                       {"error", Utf8(m.Error)}};
}

QJsonObject segmentJson(const TStoredSegment &s)
{
    QJsonObject json{{"sequence", s.Sequence},
                     {"pdu", s.TextMode
                                 ? QString::fromLatin1(s.PDU.data(), static_cast<qsizetype>(s.PDU.size()))
                                 : QString::fromStdString(s.PDU)},
                     {"textMode", s.TextMode},
                     {"mr", s.MR},
                     {"storageIndex", s.StorageIndex},
                     {"status", StoredStatusName(s.Status)},
                     {"time", timeText(s.Time)}};
    if (s.ReportStatus >= 0)
        json["reportStatus"] = s.ReportStatus;
    return json;
}

// The payload as "kestrel payload decode" shows it (EMS objects as "pdu decode" does); null for
// plain text and for what has not come whole.
QJsonValue payloadJson(const TStoredMessage &m)
{
    if (m.Kind == TPayloadKind::pkText || m.Payload.empty() || m.PartsPresent < m.Parts)
        return QJsonValue::Null;
    QJsonObject json;
    if (m.Kind == TPayloadKind::pkEMS) {
        PutEMSObjectsOfElements(json, m.Payload);
        return json;
    }
    if (m.DestPort >= 0) {
        try {
            if (auto sm = TSmartMessage::CreateFromPort(m.Payload, static_cast<uint16_t>(m.DestPort)))
                return SmartMessageJson(*sm);
        } catch (const std::exception &e) {
            json["error"] = QString::fromUtf8(e.what());
        }
        json["port"] = m.DestPort;
    }
    json["data"] = QString::fromStdString(StrToHex(m.Payload));
    return json;
}

bool parseId(const QString &text, int64_t &id)
{
    bool ok = false;
    id = text.trimmed().toLongLong(&ok);
    return ok && id > 0;
}

int usageError(const QString &message)
{
    PrintErr("kestrel messages: " + message);
    return kExitUsage;
}

int listMessages(TMessageStore &store, const QCommandLineParser &parser)
{
    TMessageFilter filter;
    filter.Peer = parser.value("peer").toStdString();
    filter.Search = parser.value("search").toStdString();
    if (parser.isSet("status")) {
        filter.Status = StoredStatusFromName(parser.value("status").toStdString());
        if (!filter.Status)
            return usageError(
                "--status is received, incomplete, pending, sent, delivered, failed, queued or uncertain");
    }
    if (parser.isSet("limit")) {
        bool ok = false;
        filter.Limit = parser.value("limit").toInt(&ok);
        if (!ok || filter.Limit <= 0)
            return usageError("--limit takes a positive number");
    }
    if (filter.Limit > 0) {
        for (const TStoredMessage &m : store.List(filter))
            PrintJson(messageJson(m));
        return kExitOk;
    }
    // The whole table a page at a time: a store of millions of messages need not fit in memory.
    store.ForEach(filter, [](const TStoredMessage &m) { PrintJson(messageJson(m)); });
    return kExitOk;
}

int showMessage(TMessageStore &store, int64_t id)
{
    const std::optional<TStoredMessage> m = store.Message(id);
    if (!m) {
        PrintErr(QString("kestrel messages: no message %1").arg(id));
        return kExitFailure;
    }
    QJsonObject json = messageJson(*m);
    QJsonArray segments;
    for (const TStoredSegment &s : m->Segments)
        segments.append(segmentJson(s));
    json["segments"] = segments;
    json["payload"] = payloadJson(*m);
    PrintJson(json);
    return kExitOk;
}

// The longest line import reads: a PDU of the longest service-centre address and TPDU (TS 23.040
// 9.2.2: at most 176 octets) takes under 400 hex digits.
constexpr int kMaxImportLine = 1024;

// Each line: a received PDU in hex, service-centre field first. A line that is no PDU is named
// and left out; the others are recorded.
int importMessages(TMessageStore &store, const QString &file)
{
    QFile in;
    const bool opened = file == "-" ? in.open(stdin, QIODevice::ReadOnly | QIODevice::Text)
                                    : (in.setFileName(file), in.open(QIODevice::ReadOnly | QIODevice::Text));
    if (!opened) {
        PrintErr(QString("kestrel messages: cannot read %1: %2").arg(file, in.errorString()));
        return kExitFailure;
    }
    static const QRegularExpression hexLine("^([0-9A-Fa-f]{2})+$");
    int status = kExitOk;
    for (int number = 1; !in.atEnd(); ++number) {
        QByteArray read = in.readLine(kMaxImportLine + 2);
        // A line no PDU can fill is read to its end and refused, not kept whole in memory.
        bool overlong = false;
        while (!read.endsWith('\n') && !in.atEnd() && read.size() > kMaxImportLine) {
            overlong = true;
            read = in.readLine(kMaxImportLine + 2);
        }
        const QString line = QString::fromLatin1(read).trimmed();
        if (line.isEmpty() && !overlong)
            continue;
        QJsonObject json{{"line", number}};
        try {
            if (overlong || line.size() > kMaxImportLine)
                throw EGSMError(Format("longer than %d characters", kMaxImportLine));
            if (!hexLine.match(line).hasMatch())
                throw EGSMError("not a PDU in hexadecimal");
            const std::string pdu = line.toUpper().toStdString();
            std::unique_ptr<TSMS2> sms = CreateSMSFromPDU(nullptr, pdu, true);
            if (!sms)
                throw EGSMError("no message in this PDU");
            const TRecordResult r = store.RecordReceived(pdu, false, sms.get(), NowUTC(), -1);
            json["id"] = static_cast<qint64>(r.MessageId);
            json["complete"] = r.Complete;
            json["duplicate"] = r.Duplicate;
        } catch (const EStoreError &) {
            throw; // the store failing ends the import: the lines after it are not tried
        } catch (const std::exception &e) {
            json["error"] = QString::fromUtf8(e.what());
            status = kExitFailure;
        }
        PrintJson(json);
    }
    return status;
}

const char *const kMessagesHelp =
    "Usage: kestrel messages [--config FILE] [--store PATH|URL] ACTION\n"
    "\n"
    "Actions:\n"
    "  list [--peer NUMBER] [--search TEXT] [--status STATUS] [--limit N]\n"
    "      One JSON line per message, oldest first. --search uses the full-text index; --status\n"
    "      is received, incomplete, pending, sent, delivered, failed, queued or uncertain; --limit\n"
    "      keeps the latest N.\n"
    "  show ID\n      The message with its segments and its decoded payload.\n"
    "  delete ID\n      Removes the message and its segments. A queued message that no gateway\n"
    "      sends is so cancelled; one that a gateway is sending is refused until it ends.\n"
    "  retry ID\n      Queues an uncertain or failed outgoing message again (an uncertain one\n"
    "      may then reach its recipient twice).\n"
    "  import FILE|-\n"
    "      Received PDUs in hex, one a line, service-centre field first (\"-\": standard input),\n"
    "      recorded as messages arriving from the network, reassembly included.\n"
    "\n"
    "The store is --store, else the settings file's [Modem.Files] Store, else messages.sqlite\n"
    "beside the log files. A PostgreSQL password comes from PGPASSWORD or ~/.pgpass.";

int runMessages(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption(SessionOption("config"));
    parser.addOption(SessionOption("store"));
    parser.addOption({"peer", "Only messages with this party.", "NUMBER"});
    parser.addOption({"search", "Only messages with these words.", "TEXT"});
    parser.addOption({"status", "Only messages in this status.", "STATUS"});
    parser.addOption({"limit", "Only the latest N.", "N"});
    parser.addOption({{"h", "help"}, "Show this help."});
    if (!parser.parse(args))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        PrintOut(kMessagesHelp);
        return kExitOk;
    }
    const QStringList pos = parser.positionalArguments();
    const QString action = pos.value(0);
    const int wanted = action == "list" ? 1 : 2;
    const bool byId = action == "show" || action == "delete" || action == "retry";
    if (action != "list" && action != "import" && !byId)
        return usageError(action.isEmpty() ? "no action given (list, show, delete, retry or import)"
                                           : "unknown action \"" + action + "\"");
    if (pos.size() != wanted)
        return usageError(pos.size() < wanted ? "missing " + QString(action == "import" ? "FILE" : "ID")
                                              : "unexpected argument \"" + pos.value(wanted) + "\"");
    for (const char *option : {"peer", "search", "status", "limit"})
        if (action != "list" && parser.isSet(option))
            return usageError(QString("--%1 belongs to list").arg(option));
    int64_t id = 0;
    if (byId && !parseId(pos[1], id))
        return usageError("ID must be a message id (a positive number)");
    const std::string location = StoreLocation(parser);
    if (location == kNoStore)
        return usageError("no store (--store or the settings file's Store is <none>)");
    return RunSession([&] {
        std::unique_ptr<TMessageStore> store = OpenMessageStore(location);
        if (action == "list")
            return listMessages(*store, parser);
        if (action == "show")
            return showMessage(*store, id);
        if (action == "import")
            return importMessages(*store, pos[1]);
        if (action == "retry") {
            if (!store->Requeue(id)) {
                PrintErr(QString("kestrel messages: message %1 is no uncertain or failed outgoing message")
                             .arg(id));
                return kExitFailure;
            }
            PrintJson(QJsonObject{{"queued", static_cast<qint64>(id)}});
            return kExitOk;
        }
        try {
            if (!store->Delete(id)) {
                PrintErr(QString("kestrel messages: no message %1").arg(id));
                return kExitFailure;
            }
        } catch (const EStoreBusy &e) {
            PrintErr(QString("kestrel messages: ") + e.what());
            return kExitFailure;
        }
        PrintJson(QJsonObject{{"deleted", static_cast<qint64>(id)}});
        return kExitOk;
    });
}

const TCliRegistration
    kMessages({"messages", "The message store: list, show, delete, retry, import (JSON lines)", runMessages});

} // namespace

} // namespace kestrel::cli
