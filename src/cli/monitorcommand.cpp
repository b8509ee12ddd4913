// kestrel monitor: the application without its window. The data module that serves the window
// handles every message the handset holds when it opens and every one that arrives later, in the
// same way: SMS and GSM log files, reassembly, naming of completed payloads, deletion from the
// handset. Each event, and each line written to the SMS log, is printed as one JSON line.
#include "cli/clicommand.h"
#include "cli/interruptwatch.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "appcore/datamodule.h"
#include "base/inifile.h"
#include "gsm/atparser.h"
#include "gsm/sms.h"

#include <QEventLoop>
#include <QTimer>

#include <limits>
#include <memory>

namespace kestrel::cli {

namespace {

// The monitor's output, and the window the data module reports to. Events of the handset
// (messages, registration changes, other lines) count towards --count; the SMS log lines and the
// errors are printed beside them, always, so that standard output holds every line of the log.
class TMonitorOutput : public TMessageTarget {
public:
    TMonitorOutput(QEventLoop &loop, int count) : m_loop(loop), m_count(count) {}

    void Attach(TGSMDataModule &dm)
    {
        m_dm = &dm;
        dm.AddForm(this);
        dm.OnSMSLogLine = [](const std::string &line) {
            PrintJson(QJsonObject{{"event", "log"}, {"line", LogText(line)}});
        };
        dm.OnError = [this](const std::string &message) { Report(message); };
    }

    // An error event; when the line to the handset is gone the monitor has nothing left to
    // watch and ends, so that whoever started it learns of it (and can start it again).
    void Report(const std::string &message)
    {
        Error(message);
        if (m_dm && m_dm->GSM.DeviceLost() && m_lost.empty()) {
            m_lost = message;
            m_loop.quit();
        }
    }
    const std::string &Lost() const { return m_lost; }

    void HandleMessage(int Msg, long long WParam, const TSMS *LParam) override
    {
        if (Msg == kMsgRegistration) {
            Event(QJsonObject{{"event", "registration"}, {"status", static_cast<int>(WParam)}});
        } else if (Msg == kMsgSMSProcessed && LParam && m_dm) {
            // The data module is done with the message: it may be turned into the model's form.
            Event(QJsonObject{{"event", "message"},
                              {"index", m_dm->HandledIndex()},
                              {"message", MessageValue(m_dm->GSM, const_cast<TSMS *>(LParam))}});
        }
    }

    void Event(const QJsonObject &json)
    {
        if (Finished())
            return;
        PrintJson(json);
        if (m_count > 0 && ++m_printed >= m_count)
            m_loop.quit();
    }

    static void Error(const std::string &message)
    {
        PrintJson(QJsonObject{{"event", "error"}, {"message", LogText(message)}});
    }

    // --count events were printed (a quit before the loop runs would be lost).
    bool Finished() const { return m_count > 0 && m_printed >= m_count; }

private:
    QEventLoop &m_loop;
    TGSMDataModule *m_dm = nullptr;
    const int m_count;
    int m_printed = 0;
    std::string m_lost;
};

int RunMonitor(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption({"seconds", "Stop after this many seconds.", "N"});
    parser.addOption({"count", "Stop after this many message, registration or line events.", "N"});
    parser.addOption(
        {"sms-log", "SMS log file instead of the settings file's (\"<none>\": no file).", "FILE"});
    parser.addOption(
        {"gsm-log", "GSM log file instead of the settings file's (\"<none>\": no file).", "FILE"});
    parser.addOption({"keep", "Leave handled messages on the handset."});
    const int parsed =
        ParseSessionCommand(parser, args,
                            "Opens the handset and handles received messages as the window does, "
                            "printing one JSON line per event and per SMS log line.");
    if (parsed >= 0)
        return parsed;
    int seconds = 0, count = 0;
    auto positive = [&](const char *name, int &value) {
        bool ok = true;
        if (parser.isSet(name))
            value = parser.value(name).trimmed().toInt(&ok);
        return ok && (value > 0 || !parser.isSet(name));
    };
    // The timer counts milliseconds in an int: about 24 days at most.
    constexpr int kMaxSeconds = std::numeric_limits<int>::max() / 1000;
    if (!positive("seconds", seconds) || !positive("count", count) || seconds > kMaxSeconds) {
        PrintErr(
            QString("kestrel: --seconds (at most %1) and --count take a positive number").arg(kMaxSeconds));
        return kExitUsage;
    }

    return RunSession([&] {
        QEventLoop loop;
        // Declared before the data module, which still reports to them while it closes.
        TMonitorOutput out(loop, count);
        bool quiet = false;
        const TAppLocations where = SessionLocations(parser);
        if (!where.Notice.empty())
            PrintErr(QString::fromStdString("kestrel: " + where.Notice));
        TGSMDataModule dm(where, EquipmentOption(parser));
        // The options of this run are not the user's settings: the file is only read.
        dm.AutoSaveSettings = false;
        // Without a service centre in the file or the options the handset keeps its own, as for
        // every other session command.
        if (!parser.isSet("sca") && !TIniFile(where.ConfigFile).ValueExists("Modem", "SCA"))
            dm.GSM.SetSCA("");
        if (const QString usage = ApplySessionOptions(parser, dm.Comm1, dm.GSM); !usage.isEmpty()) {
            PrintErr("kestrel: " + usage);
            return kExitUsage;
        }
        if (parser.isSet("sms-log"))
            dm.SMSLogName = parser.value("sms-log").toStdString();
        if (parser.isSet("gsm-log"))
            dm.GSMLogName = parser.value("gsm-log").toStdString();
        if (parser.isSet("store"))
            dm.StoreName = parser.value("store").toStdString();
        dm.DeleteHandled = !parser.isSet("keep");
        out.Attach(dm);

        dm.GSM.OnUnsolicitedSMS = [&](TObject *, int idx, TSMS *sms) {
            if (sms) {
                // The engine frees a routed message after the event: handled now.
                dm.GSMUnsolicitedSMS(idx, sms);
                return;
            }
            // A storage indication: read after the line handling is over. The dialogue of the
            // read and the delete reaches the idle parser afterwards: no events of the handset.
            // A failure (the log cannot be written, the read fails) leaves the message stored.
            QTimer::singleShot(0, &loop, [&, idx] {
                quiet = true;
                try {
                    dm.GSMUnsolicitedSMS(idx, nullptr);
                    dm.GSM.ProcessReceived();
                } catch (const std::exception &e) {
                    dm.ReportError(e.what());
                }
                quiet = false;
            });
        };
        // A restart of the handset is an event; the data module then handles its storage.
        dm.GSM.OnRestart = [&, handle = std::move(dm.GSM.OnRestart)](TObject *sender,
                                                                     const std::string &reason) {
            out.Event(QJsonObject{{"event", "restart"}, {"reason", LogText(reason)}});
            handle(sender, reason);
        };
        dm.GSM.OnUnsolicitedLine = [&](TObject *, const std::string &line) {
            // Echoes and results of the engine's own commands (acknowledgements, setting up a
            // restarted handset) are no events of the handset.
            if (quiet || dm.GSM.Recovering() || line.rfind("AT", 0) == 0 || FindResultCode(line))
                return;
            out.Event(
                QJsonObject{{"event", "line"},
                            {"text", QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()))}});
        };

        TInterruptWatch interrupt(loop);
        // Opening reads and handles the storage (the data module's AfterOpen).
        dm.GSM.Open();
        // A message that cannot be handled while its line is processed is reported and the
        // monitor goes on, as it does for lines processed in the loop.
        auto processReceived = [&] {
            try {
                dm.GSM.ProcessReceived();
            } catch (const std::exception &e) {
                dm.ReportError(e.what());
            }
        };
        // What the open dialogue left (its answers and echoes) is no event of the handset.
        auto lineHandler = std::move(dm.GSM.OnUnsolicitedLine);
        processReceived();
        dm.GSM.OnUnsolicitedLine = std::move(lineHandler);

        if (seconds > 0)
            QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        // Lines that came before the loop started are handled now, later ones as they come.
        QTimer::singleShot(0, &loop, processReceived);
        if (!interrupt.Signalled() && !out.Finished() && out.Lost().empty())
            loop.exec();
        // Closing is no event of the handset.
        dm.GSM.OnUnsolicitedSMS = nullptr;
        dm.GSM.OnNetworkRegistration = nullptr;
        dm.GSM.OnUnsolicitedLine = nullptr;
        dm.GSM.OnRestart = nullptr;
        try {
            dm.GSM.Close();
        } catch (const std::exception &) {
            if (out.Lost().empty())
                throw; // closing a line that is gone may fail; the loss is what to report
        }
        dm.RemoveForm(&out);
        if (!out.Lost().empty()) {
            PrintErr(QString::fromStdString(out.Lost()));
            return kExitFailure;
        }
        return kExitOk;
    });
}

const TCliRegistration kMonitor({"monitor",
                                 "Handle incoming messages as the window does: logs, reassembly, deletion "
                                 "(JSON lines)",
                                 RunMonitor});

} // namespace

} // namespace kestrel::cli
