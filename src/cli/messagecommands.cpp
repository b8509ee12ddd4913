// Message commands of the kestrel program: send, list, read, delete and monitor, each on an
// engine session opened for the command and closed after it.
//   send     composes the content options into SMS-SUBMITs and sends them
//   list     one JSON line per stored message
//   read     the JSON line of one stored message
//   delete   deletes one stored message
//   monitor  one JSON line per unsolicited event until a time, a count or Ctrl-C
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/sendcontent.h"
#include "cli/session.h"

#include "base/format.h"
#include "connect/connection.h"
#include "gsm/tpdufields.h"
#include "xsms/composer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace kestrel::cli {

namespace {

void PrintJson(const QJsonObject &json)
{
    PrintOut(QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
}

bool ParseNumber(const QString &text, int &value, int min)
{
    bool ok = false;
    value = text.trimmed().toInt(&ok);
    return ok && value >= min;
}

// Text mode carries the text itself where the model holds 7-bit codes: back to the model's form
// so that the JSON reads as for a PDU.
void ToModelForm(TSMS &sms)
{
    if (auto *cb = dynamic_cast<TCellBroadcast *>(&sms)) {
        if (CBSAlphabet(cb->DCS) == TDCSAlphabet::da7Bit)
            cb->Content = TextToGSM(cb->Content);
    } else if (auto *sms2 = dynamic_cast<TSMS2 *>(&sms)) {
        if (SMSAlphabet(sms2->DCS) == TDCSAlphabet::da7Bit)
            sms2->UserData = TextToGSM(sms2->UserData);
    }
}

// The JSON of a message as the session's format gave it; null without a message.
QJsonValue MessageValue(TSession &s, TSMS *sms)
{
    if (!sms)
        return QJsonValue::Null;
    if (s.gsm.SMSFormat() == kSMSFormatText)
        ToModelForm(*sms);
    return MessageJson(*sms);
}

// One stored message: "pdu" holds what the handset gave when it could not be decoded.
QJsonObject StoredJson(TSession &s, int index, int status, TSMS *sms, const std::string &raw)
{
    QJsonObject json{{"index", index}, {"status", status}, {"message", MessageValue(s, sms)}};
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

// Text mode sends the text itself: only a plain 7-bit message can go that way.
QString ToTextMode(TSMSSubmit &sms)
{
    if (sms.FirstOctetBit(6) || SMSAlphabet(sms.DCS) != TDCSAlphabet::da7Bit)
        return "this message needs PDU mode (--format pdu)";
    sms.UserData = GSMToText(sms.UserData);
    return {};
}

int RunSend(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"to", "Destination number.", "NUMBER"});
    AddSendContentOptions(parser);
    return RunSessionCommand(
        parser, args, "Composes a message and sends it through the handset.",
        [&](TSession &s) {
            if (!parser.isSet("to") || parser.value("to").trimmed().isEmpty()) {
                PrintErr("kestrel: send needs --to NUMBER");
                return kExitUsage;
            }
            TMessageContent content;
            if (const QString usage = ReadSendContent(parser, content); !usage.isEmpty()) {
                PrintErr("kestrel: " + usage);
                return kExitUsage;
            }
            TMessageComposer composer;
            auto messages = composer.Compose(parser.value("to").trimmed().toStdString(), content, &s.gsm);
            if (s.gsm.SMSFormat() == kSMSFormatText) {
                for (auto &sms : messages)
                    if (const QString usage = ToTextMode(*sms); !usage.isEmpty()) {
                        PrintErr("kestrel: " + usage);
                        return kExitUsage;
                    }
            }
            s.gsm.Open();
            QJsonArray references;
            int last = -1;
            for (auto &sms : messages) {
                last = s.gsm.SendSMS(*sms);
                references.append(last >= 0 ? QJsonValue(last) : QJsonValue(QJsonValue::Null));
            }
            s.gsm.Close();
            QJsonObject json{{"sent", static_cast<int>(messages.size())}};
            if (last >= 0)
                json["reference"] = last;
            if (messages.size() > 1)
                json["references"] = references;
            PrintJson(json);
            return kExitOk;
        },
        {}, "--to NUMBER and one kind:\n" + SendContentHelp());
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

int RunRead(const QStringList &args)
{
    QCommandLineParser parser;
    return RunSessionCommand(
        parser, args, "Reads one message of the handset's storage.",
        [&](TSession &s) {
            const int index = IndexArgument(parser);
            if (index < 0)
                return kExitUsage;
            s.gsm.Open();
            int status = -1;
            std::string raw;
            auto sms = s.gsm.ReadSMS(index, status, &raw);
            s.gsm.Close();
            PrintJson(StoredJson(s, index, status, sms.get(), raw));
            return kExitOk;
        },
        "INDEX");
}

int RunDelete(const QStringList &args)
{
    QCommandLineParser parser;
    return RunSessionCommand(
        parser, args, "Deletes one message of the handset's storage.",
        [&](TSession &s) {
            const int index = IndexArgument(parser);
            if (index < 0)
                return kExitUsage;
            s.gsm.Open();
            s.gsm.DeleteSMS(index);
            s.gsm.Close();
            PrintJson(QJsonObject{{"deleted", index}});
            return kExitOk;
        },
        "INDEX");
}

// Ctrl-C and termination end the monitor through a pipe the event loop watches, so that the
// engine is closed on the main thread as on any other end.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &c, 1);
}

// Ends an event loop on SIGINT or SIGTERM for its lifetime; the former handlers come back after.
class TInterruptWatch {
public:
    explicit TInterruptWatch(QEventLoop &loop)
    {
        if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("cannot watch for Ctrl-C");
        m_notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigaction(SIGINT, &action, &m_oldInt);
        sigaction(SIGTERM, &action, &m_oldTerm);
    }
    ~TInterruptWatch()
    {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        m_notifier.reset();
        close(gSignalPipe[0]);
        close(gSignalPipe[1]);
    }
    TInterruptWatch(const TInterruptWatch &) = delete;
    TInterruptWatch &operator=(const TInterruptWatch &) = delete;

    // True when a signal came before the loop ran.
    bool Signalled() const
    {
        char c;
        return read(gSignalPipe[0], &c, 1) == 1;
    }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt = {}, m_oldTerm = {};
};

int RunMonitor(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"seconds", "Stop after this many seconds.", "N"});
    parser.addOption({"count", "Stop after this many events.", "N"});
    return RunSessionCommand(
        parser, args, "Opens the handset and prints one JSON line per unsolicited event.", [&](TSession &s) {
            int seconds = 0, count = 0;
            if ((parser.isSet("seconds") && !ParseNumber(parser.value("seconds"), seconds, 1)) ||
                (parser.isSet("count") && !ParseNumber(parser.value("count"), count, 1))) {
                PrintErr("kestrel: --seconds and --count take a positive number");
                return kExitUsage;
            }
            QEventLoop loop;
            int printed = 0;
            auto print = [&](const QJsonObject &json) {
                if (count > 0 && printed >= count)
                    return;
                PrintJson(json);
                if (count > 0 && ++printed >= count)
                    loop.quit();
            };
            bool quiet = false;
            s.gsm.OnUnsolicitedSMS = [&](TObject *, int idx, TSMS *sms) {
                if (sms) {
                    // The engine frees a routed message after the event: the JSON is made now.
                    print(
                        QJsonObject{{"event", "message"}, {"index", -1}, {"message", MessageValue(s, sms)}});
                    return;
                }
                // A storage indication: read after the line handling is over.
                QTimer::singleShot(0, &loop, [&, idx] {
                    try {
                        int status = -1;
                        std::string raw;
                        // The dialogue of the read reaches the idle parser afterwards: not events.
                        quiet = true;
                        auto read = s.gsm.ReadSMS(idx, status, &raw);
                        s.gsm.ProcessReceived();
                        quiet = false;
                        QJsonObject json{
                            {"event", "message"}, {"index", idx}, {"message", MessageValue(s, read.get())}};
                        if (!read)
                            json["pdu"] = QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
                        print(json);
                    } catch (const std::exception &e) {
                        quiet = false;
                        PrintErr(QString::fromStdString(e.what()));
                    }
                });
            };
            s.gsm.OnNetworkRegistration = [&](TObject *, int status) {
                print(QJsonObject{{"event", "registration"}, {"status", status}});
            };
            s.gsm.OnUnsolicitedLine = [&](TObject *, const std::string &line) {
                // Echoes and results of the engine's own commands (acknowledgements) are no
                // events of the handset.
                if (quiet || line.rfind("AT", 0) == 0 || FindResultCode(line))
                    return;
                print(QJsonObject{
                    {"event", "line"},
                    {"text", QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()))}});
            };
            s.gsm.OnProcessingError = [](TObject *, const std::string &message) {
                PrintErr(QString::fromStdString(message));
            };
            TInterruptWatch interrupt(loop);
            s.gsm.Open();
            // What the open dialogue left (its answers and echoes) is no event of the handset.
            auto lineHandler = std::move(s.gsm.OnUnsolicitedLine);
            s.gsm.ProcessReceived();
            s.gsm.OnUnsolicitedLine = std::move(lineHandler);

            if (seconds > 0)
                QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
            // Lines that came before the loop started are handled now, later ones as they come.
            QTimer::singleShot(0, &loop, [&] {
                try {
                    s.gsm.ProcessReceived();
                } catch (const std::exception &e) {
                    PrintErr(QString::fromStdString(e.what()));
                }
            });
            if (!interrupt.Signalled())
                loop.exec();
            s.gsm.OnUnsolicitedSMS = nullptr;
            s.gsm.OnNetworkRegistration = nullptr;
            s.gsm.OnUnsolicitedLine = nullptr;
            s.gsm.Close();
            return kExitOk;
        });
}

const TCliRegistration kSend({"send", "Send a message through the handset (JSON)", RunSend});
const TCliRegistration kList({"list", "List the messages of the handset's storage (JSON lines)", RunList});
const TCliRegistration kRead({"read", "Read one stored message (JSON)", RunRead});
const TCliRegistration kDelete({"delete", "Delete one stored message", RunDelete});
const TCliRegistration kMonitor({"monitor", "Print incoming messages and network events (JSON lines)",
                                 RunMonitor});

} // namespace

} // namespace kestrel::cli
