// The handset's message commands of the kestrel program: send, list, read and delete, each on an
// engine session opened for the command and closed after it (monitor is in monitorcommand.cpp;
// the message store's "kestrel messages" is in messagescommand.cpp).
//   send     composes the content options into SMS-SUBMITs and sends them
//   list     one JSON line per stored message
//   read     the JSON line of one stored message
//   delete   deletes one stored message
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/sendcontent.h"
#include "cli/session.h"

#include "appcore/datamodule.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/tpdufields.h"
#include "xsms/composer.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <memory>

namespace kestrel::cli {

namespace {

bool ParseNumber(const QString &text, int &value, int min)
{
    bool ok = false;
    value = text.trimmed().toInt(&ok);
    return ok && value >= min;
}

// One stored message: "pdu" holds what the handset gave when it could not be decoded.
QJsonObject StoredJson(TSession &s, int index, int status, TSMS *sms, const std::string &raw)
{
    QJsonObject json{{"index", index}, {"status", status}, {"message", MessageValue(s.gsm, sms)}};
    if (!sms)
        json["pdu"] = QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
    return json;
}

// The message index given as the positional argument; -1 with a usage error printed.
int IndexArgument(const QCommandLineParser &parser)
{
    int index;
    if (!ParseNumber(parser.positionalArguments().value(0), index, 0)) {
        PrintErr("kestrel: INDEX must be a storage index (a number)");
        return -1;
    }
    return index;
}

// Text mode sends the text itself: a plain 7-bit message goes that way, and to a current modem
// also UCS2 text and 8-bit data (the engine writes them in hexadecimal). The messages stay in the
// model's form: sending turns their 7-bit codes into text.
QString TextModeRefusal(const TSMSSubmit &sms, const TGSM &gsm)
{
    if (!sms.FirstOctetBit(6) && SMSAlphabet(sms.DCS) == TDCSAlphabet::da7Bit)
        return {};
    if (gsm.Behaviour().ucs2Text && SMSAlphabet(sms.DCS) != TDCSAlphabet::da7Bit)
        return {};
    return "this message needs PDU mode (--format pdu)";
}

int RunSend(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"to", "Destination number.", "NUMBER"});
    parser.addOption({"queue", "Put the message into the store's queue for a gateway; no handset is used."});
    parser.addOption({"via", "With --queue: only the gateway modem of this label may send it.", "LABEL"});
    AddSendContentOptions(parser);
    return RunSessionCommand(
        parser, args, "Composes a message and sends it through the handset (or queues it).",
        [&](TSession &s) {
            if (!parser.isSet("to") || parser.value("to").trimmed().isEmpty()) {
                PrintErr("kestrel: send needs --to NUMBER");
                return kExitUsage;
            }
            if (parser.isSet("via") && !parser.isSet("queue")) {
                PrintErr("kestrel: --via belongs to --queue");
                return kExitUsage;
            }
            TMessageContent content;
            if (const QString usage = ReadSendContent(parser, content); !usage.isEmpty()) {
                PrintErr("kestrel: " + usage);
                return kExitUsage;
            }
            const std::string to = parser.value("to").trimmed().toStdString();
            if (const std::string refusal = OutgoingRefusal(to, content); !refusal.empty()) {
                PrintErr(QString::fromStdString("kestrel: " + refusal));
                return kExitUsage;
            }
            TMessageComposer composer;
            auto messages = composer.Compose(to, content, &s.gsm);
            if (parser.isSet("queue")) {
                // The queue holds PDUs: the gateway's modem decides how they go out.
                const std::string location = StoreLocation(parser);
                if (location == kNoStore) {
                    PrintErr("kestrel: --queue needs a store (--store or the settings file's Store)");
                    return kExitUsage;
                }
                std::unique_ptr<TMessageStore> store = OpenMessageStore(location);
                const int64_t id = store->Enqueue(OutgoingOf(messages, content), NowUTC(),
                                                  parser.value("via").toStdString());
                PrintJson(QJsonObject{{"queued", static_cast<qint64>(id)}});
                return kExitOk;
            }
            if (s.gsm.SMSFormat() == kSMSFormatText) {
                for (auto &sms : messages)
                    if (const QString usage = TextModeRefusal(*sms, s.gsm); !usage.isEmpty()) {
                        PrintErr("kestrel: " + usage);
                        return kExitUsage;
                    }
            }
            // A store that cannot be opened stops the command before anything is sent: what is
            // sent is on record, or the user chose "<none>".
            std::unique_ptr<TMessageStore> store = OpenMessageStore(StoreLocation(parser));
            s.gsm.Open();
            const TSendResult sent = SendComposed(s.gsm, messages, content, store.get(), s.comm.DeviceName());
            s.gsm.Close();
            QJsonArray references;
            for (int mr : sent.References)
                references.append(mr >= 0 ? QJsonValue(mr) : QJsonValue(QJsonValue::Null));
            QJsonObject json{{"sent", static_cast<int>(messages.size())}};
            if (!sent.References.empty() && sent.References.back() >= 0)
                json["reference"] = sent.References.back();
            if (messages.size() > 1)
                json["references"] = references;
            if (sent.StoredId != 0)
                json["id"] = static_cast<qint64>(sent.StoredId);
            if (!sent.StoreError.empty())
                json["storeError"] = QString::fromStdString(sent.StoreError);
            PrintJson(json);
            return kExitOk;
        },
        {}, "--to NUMBER [--queue [--via LABEL]] and one kind:\n" + SendContentHelp());
}

int RunList(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"status",
                      "Only messages with this status: 0 unread, 1 read, 2 unsent, 3 sent, 4 all "
                      "(default 4).",
                      "N"});
    return RunSessionCommand(
        parser, args, "Lists the messages of the handset's storage, one JSON line each.", [&](TSession &s) {
            int status = 4;
            if (parser.isSet("status") && (!ParseNumber(parser.value("status"), status, 0) || status > 4)) {
                PrintErr("kestrel: --status takes 0 to 4");
                return kExitUsage;
            }
            s.gsm.Open();
            auto entries = s.gsm.ListSMS(status);
            s.gsm.Close();
            for (auto &e : entries)
                PrintJson(StoredJson(s, e.Index, e.Status, e.Message.get(), e.Raw));
            return kExitOk;
        });
}

// A command on one message of the handset's storage (INDEX): Body runs on the opened engine and
// gives the JSON printed once the engine is closed.
int RunIndexCommand(const QStringList &args, const QString &description,
                    const std::function<QJsonObject(TSession &, int)> &body)
{
    QCommandLineParser parser;
    return RunSessionCommand(
        parser, args, description,
        [&](TSession &s) {
            const int index = IndexArgument(parser);
            if (index < 0)
                return kExitUsage;
            s.gsm.Open();
            const QJsonObject json = body(s, index);
            s.gsm.Close();
            PrintJson(json);
            return kExitOk;
        },
        "INDEX");
}

int RunRead(const QStringList &args)
{
    return RunIndexCommand(args, "Reads one message of the handset's storage.", [](TSession &s, int index) {
        int status = -1;
        std::string raw;
        auto sms = s.gsm.ReadSMS(index, status, &raw);
        return StoredJson(s, index, status, sms.get(), raw);
    });
}

int RunDelete(const QStringList &args)
{
    return RunIndexCommand(args, "Deletes one message of the handset's storage.", [](TSession &s, int index) {
        s.gsm.DeleteSMS(index);
        return QJsonObject{{"deleted", index}};
    });
}

const TCliRegistration kSend({"send", "Send a message through the handset (JSON)", RunSend});
const TCliRegistration kList({"list", "List the messages of the handset's storage (JSON lines)", RunList});
const TCliRegistration kRead({"read", "Read one stored message (JSON)", RunRead});
const TCliRegistration kDelete({"delete", "Delete one stored message", RunDelete});

} // namespace

} // namespace kestrel::cli
