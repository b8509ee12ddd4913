// kestrel gateway: several modems sending from the message store's queue and recording what
// arrives, until SIGTERM or SIGINT. Each modem is handled as "kestrel monitor" handles one, in a
// process of its own: the engine waits for its handset on the thread that drives it (a pause
// follows every command), so modems in one process would take turns; in processes of their own
// they go at their own pace, and one that misbehaves cannot stop the others. With one modem the
// gateway is that process; with several it starts one per modem (this program again, with that
// modem alone), passes their event lines on, starts again one that dies, and ends them all at
// its own end.
#include "cli/apicommand.h"
#include "cli/clicommand.h"
#include "cli/interruptwatch.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "api/apiserver.h"
#include "api/webhooks.h"
#include "appcore/datamodule.h"
#include "base/inifile.h"
#include "gateway/gatewaymodem.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace kestrel::cli {

namespace {

const char *const kGatewaySection = "Gateway";
// Sections "[Gateway.NAME]" of the settings file name one modem each.
const char *const kModemSectionPrefix = "Gateway.";

// The help, with the defaults of the gateway's settings.
QString gatewayHelp()
{
    const TGatewaySettings d;
    return QString(
               "Usage: kestrel gateway [--config FILE] [--store PATH|URL] --modem SPEC [--modem SPEC ...] "
               "[options]\n"
               "\n"
               "Sends the messages queued in the store (kestrel send --queue) through the modems and "
               "records\n"
               "every message they receive, until SIGTERM or SIGINT. One JSON line per event on standard "
               "output:\n"
               "those of kestrel monitor (message, registration, line, log, error) and sent, retry, failed,\n"
               "uncertain, modem-lost, modem-back, store-lost, store-back; each names its modem. Events "
               "name\n"
               "messages by id, peer and kind; their texts only with --events-with-text.\n"
               "\n"
               "  --modem DEVICE[,equipment=NAME][,pin=PIN][,sca=NUMBER][,name=LABEL]\n"
               "      A modem (repeatable). Without --modem, the settings file's [Gateway.LABEL] sections\n"
               "      (keys Device, Equipment, PIN, SCA) name them.\n"
               "  --attempts N       Tries of a message before it is failed (default %1; [Gateway] "
               "Attempts).\n"
               "  --backoff SECONDS  Wait before the first retry, doubled for each next (default %2; "
               "Backoff).\n"
               "  --lease SECONDS    A claim not renewed in this time returns to the queue (default %3; "
               "Lease).\n"
               "  --rate N           Messages per minute and modem, 0 for no limit (default %4; Rate).\n"
               "  --reopen SECONDS   A lost modem or store is tried again this often (default %5; Reopen).\n"
               "  --poll MS          An empty queue is looked at again this often (default %6; Poll).\n"
               "  --seconds N        Stop after this many seconds.\n"
               "  --keep             Leave handled received messages on the handset.\n"
               "  --events-with-text Events carry the texts of the messages too.\n"
               "  --format, --indications, --baud, --rec-timeout as for the other session commands; without\n"
               "      --indications or the settings file's UnsolicitedIndication: %7.\n"
               "  --http, --tls-cert, --tls-key as for kestrel api: the HTTP API is served beside the "
               "modems,\n"
               "      by a process of its own (kestrel api on the same store), so that a busy API never\n"
               "      delays a modem's dialogue.\n"
               "  --webhook, --webhook-retry, --webhook-lease, --webhook-timeout as for kestrel api (or the\n"
               "      settings file's [Webhook.NAME] sections): delivered by that process, which gets the\n"
               "      secrets in its environment, never in its arguments."
               "  Without sca= or the settings file's SCA each modem uses its SIM's service centre.")
        .arg(d.Queue.Attempts)
        .arg(d.Queue.BackoffMs / 1000)
        .arg(d.Queue.LeaseMs / 1000)
        .arg(d.RatePerMinute)
        .arg(d.ReopenMs / 1000)
        .arg(d.PollMs)
        .arg(IndicationsText(kGatewayIndications));
}

// Hidden: the one-modem process a gateway of several modems starts.
const char *const kChildOption = "gateway-child";
// A one-modem process gets its modem's PIN from the gateway in the environment (the store location
// too: HandDownStore), never in the arguments that every local user sees in the process list; the
// process reads and wipes it at its start.
const char *const kPINVariable = "KESTREL_GATEWAY_PIN";

// A modem's text without its PIN: "DEVICE,equipment=M20,pin=1234" -> "DEVICE,equipment=M20".
QString withoutPIN(const QString &modem)
{
    QStringList parts = modem.split(',');
    for (qsizetype i = parts.size() - 1; i > 0; --i)
        if (parts[i].startsWith("pin="))
            parts.removeAt(i);
    return parts.join(',');
}

struct TGatewayOptions {
    TGatewaySettings Settings;
    std::vector<TGatewayModemSpec> Modems;
    std::vector<QString> ModemTexts; // as given, for the one-modem processes
    int Seconds = 0;
};

// A whole number option within [min, max], else the file's key, else the default. Returns a usage
// text or "".
QString numberSetting(const QCommandLineParser &parser, const TIniFile &ini, const char *option,
                      const char *key, int min, int max, int scale, int &value)
{
    bool ok = true;
    long long v = value / scale;
    if (parser.isSet(option))
        v = parser.value(option).trimmed().toLongLong(&ok);
    else if (ini.ValueExists(kGatewaySection, key))
        v = QString::fromStdString(ini.ReadString(kGatewaySection, key, "")).trimmed().toLongLong(&ok);
    if (!ok || v < min || v > max)
        return QString("--%1 ([%2] %3) takes a number from %4 to %5")
            .arg(option, kGatewaySection, key)
            .arg(min)
            .arg(max);
    value = static_cast<int>(v * scale);
    return {};
}

QString readOptions(const QCommandLineParser &parser, TGatewayOptions &o)
{
    const TAppLocations where = SessionLocations(parser);
    if (!where.Notice.empty())
        PrintErr(QString::fromStdString("kestrel: " + where.Notice));
    const TIniFile ini(where.ConfigFile);
    TGatewaySettings &s = o.Settings;
    s.ConfigFile = where.ConfigFile;
    s.LogDirectory = where.LogDirectory;
    s.Store = StoreLocation(parser);
    if (s.Store == kNoStore)
        return "the gateway needs a store (--store or the settings file's Store)";
    s.KeepMessages = parser.isSet("keep");
    s.EventsWithText = parser.isSet("events-with-text");
    constexpr int kMaxSeconds = std::numeric_limits<int>::max() / 1000;
    for (const QString &usage :
         {numberSetting(parser, ini, "attempts", "Attempts", 1, 1000, 1, s.Queue.Attempts),
          numberSetting(parser, ini, "backoff", "Backoff", 0, 86400, 1000, s.Queue.BackoffMs),
          numberSetting(parser, ini, "lease", "Lease", 1, 86400, 1000, s.Queue.LeaseMs),
          numberSetting(parser, ini, "rate", "Rate", 0, 100000, 1, s.RatePerMinute),
          numberSetting(parser, ini, "reopen", "Reopen", 1, 3600, 1000, s.ReopenMs),
          numberSetting(parser, ini, "poll", "Poll", 10, 600000, 1, s.PollMs),
          numberSetting(parser, ini, "seconds", "Seconds", 0, kMaxSeconds, 1, o.Seconds)})
        if (!usage.isEmpty())
            return usage;
    s.HealthMs = HealthIntervalMs(s.Queue.LeaseMs);
    if (parser.isSet("rec-timeout")) {
        bool ok = false;
        s.RecTimeoutMs = parser.value("rec-timeout").toInt(&ok);
        if (!ok || s.RecTimeoutMs <= 0)
            return "--rec-timeout must be a positive number of milliseconds";
    }

    QStringList texts = parser.values("modem");
    if (texts.isEmpty() && !parser.isSet(kChildOption)) {
        for (const std::string &section : ini.ReadSections()) {
            if (section.rfind(kModemSectionPrefix, 0) != 0 ||
                section.size() <= std::string(kModemSectionPrefix).size())
                continue;
            QString text = QString::fromStdString(ini.ReadString(section, "Device", ""));
            for (const auto &[key, option] :
                 {std::pair{"Equipment", "equipment"}, {"PIN", "pin"}, {"SCA", "sca"}})
                if (ini.ValueExists(section, key))
                    text += QString(",%1=%2").arg(option,
                                                  QString::fromStdString(ini.ReadString(section, key, "")));
            text +=
                ",name=" + QString::fromStdString(section.substr(std::string(kModemSectionPrefix).size()));
            texts << text;
        }
    }
    if (texts.isEmpty())
        return "no modem: give --modem DEVICE[,...] or [Gateway.LABEL] sections in the settings file";
    for (const QString &text : texts) {
        try {
            o.Modems.push_back(ParseModemSpec(text.toStdString()));
        } catch (const EGSMError &e) {
            return e.what();
        }
        o.ModemTexts.push_back(text);
    }
    for (size_t i = 0; i < o.Modems.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (o.Modems[i].Name == o.Modems[j].Name)
                return QString("two modems named \"%1\": give each its own name=")
                    .arg(o.Modems[i].Name.c_str());
    return {};
}

// The keys of a received message's JSON that name it without its content.
const QStringList kMessageKeysWithoutText = {
    "class",         "sca",           "oa",     "da",  "ra",        "mr", "pid", "scts", "timeZone",
    "dischargeTime", "dischargeZone", "status", "dcs", "firstOctet"};

// An event line of the handset without what it may carry of a message: its name ("+CMT", the
// word of a result) and its length.
QJsonObject lineWithoutText(const std::string &line)
{
    const size_t colon = line.find(':');
    const bool named =
        !line.empty() && std::string("+^%*").find(line[0]) != std::string::npos && colon != std::string::npos;
    return QJsonObject{{"event", "line"},
                       {"name", QString::fromLatin1(named ? line.substr(0, colon).c_str() : "")},
                       {"length", static_cast<qint64>(line.size())}};
}

// The output of one modem: monitor's events, each with the modem's label. Message texts (in
// received messages, the SMS log's lines and the handset's own lines) only when the settings ask
// for them: the events go to the system journal, which more people read than the store.
class TGatewayOutput : public TMessageTarget {
public:
    TGatewayOutput(TGatewayModem &modem, bool withText) : m_modem(modem), m_withText(withText)
    {
        TGSMDataModule &dm = modem.DataModule();
        dm.AddForm(this);
        if (m_withText)
            dm.OnSMSLogLine = [this](const std::string &line) {
                Print(QJsonObject{{"event", "log"}, {"line", LogText(line)}});
            };
        dm.OnError = [this](const std::string &message) {
            Print(QJsonObject{{"event", "error"}, {"message", LogText(message)}});
        };
        modem.OnEvent = [this](const QJsonObject &json) { Print(json); };
        modem.OnLine = [this](const std::string &line) {
            if (!m_withText) {
                Print(lineWithoutText(line));
                return;
            }
            Print(
                QJsonObject{{"event", "line"},
                            {"text", QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()))}});
        };
    }
    ~TGatewayOutput() override { m_modem.DataModule().RemoveForm(this); }

    void HandleMessage(int Msg, long long WParam, const TSMS *LParam) override
    {
        TGSMDataModule &dm = m_modem.DataModule();
        if (Msg == kMsgRegistration)
            Print(QJsonObject{{"event", "registration"}, {"status", static_cast<int>(WParam)}});
        else if (Msg == kMsgSMSProcessed && LParam) {
            QJsonValue message = MessageValue(dm.GSM, const_cast<TSMS *>(LParam));
            if (!m_withText && message.isObject()) {
                const QJsonObject whole = message.toObject();
                QJsonObject named;
                for (const QString &key : kMessageKeysWithoutText)
                    if (whole.contains(key))
                        named[key] = whole[key];
                message = named;
            }
            Print(QJsonObject{{"event", "message"}, {"index", dm.HandledIndex()}, {"message", message}});
        }
    }

    void Print(QJsonObject json)
    {
        json["modem"] = QString::fromStdString(m_modem.Name());
        PrintJson(json);
    }

private:
    TGatewayModem &m_modem;
    bool m_withText;
};

int runOneModem(const TGatewayOptions &o, const QCommandLineParser &parser)
{
    if (parser.isSet(kChildOption)) {
        // The process of one modem of a gateway ends with the gateway, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1)
            return kExitFailure;
    }
    return RunSession([&] {
        QEventLoop loop;
        TGatewayModem modem(o.Modems.front(), o.Settings);
        TGatewayOutput out(modem, o.Settings.EventsWithText);
        TGSMDataModule &dm = modem.DataModule();
        if (const QString usage = ApplySessionOptions(parser, dm.Comm1, dm.GSM); !usage.isEmpty()) {
            PrintErr("kestrel: " + usage);
            return kExitUsage;
        }
        TInterruptWatch interrupt(loop);
        if (o.Seconds > 0)
            QTimer::singleShot(o.Seconds * 1000, &loop, &QEventLoop::quit);
        modem.Start();
        if (!interrupt.Signalled())
            loop.exec();
        modem.Stop();
        return kExitOk;
    });
}

// The arguments of the one-modem process for a modem: every argument but the modems and the
// store, then the modem without its PIN (the environment carries the store and the PIN).
QStringList childArguments(const QStringList &args, const QString &modem)
{
    QStringList out{"gateway"};
    for (int i = 1; i < args.size(); ++i) {
        // Webhooks are the API process's; their secrets stay out of the modem processes.
        if (args[i] == "--modem" || args[i] == "-modem" || args[i] == "--store" || args[i] == "-store" ||
            args[i] == "--webhook" || args[i] == "-webhook") {
            ++i;
            continue;
        }
        if (args[i].startsWith("--modem=") || args[i].startsWith("--store=") ||
            args[i].startsWith("--webhook=") || args[i] == "gateway")
            continue;
        out << args[i];
    }
    out << "--modem" << withoutPIN(modem) << QString("--%1").arg(kChildOption);
    return out;
}

int runSeveral(const TGatewayOptions &o, const QStringList &args)
{
    QEventLoop loop;
    bool ending = false;
    int status = kExitOk;
    std::vector<std::unique_ptr<QProcess>> children;
    auto start = [&](QProcess &child) {
        if (!ending)
            child.start();
    };
    for (size_t i = 0; i < o.ModemTexts.size(); ++i) {
        const QString &modem = o.ModemTexts[i];
        auto child = std::make_unique<QProcess>();
        QProcess *p = child.get();
        p->setProgram(QCoreApplication::applicationFilePath());
        p->setArguments(childArguments(args, modem));
        QProcessEnvironment environment = HandDownStore(o.Settings.Store);
        environment.remove(kPINVariable);
        if (o.Modems[i].PIN)
            environment.insert(kPINVariable, QString::fromStdString(*o.Modems[i].PIN));
        p->setProcessEnvironment(environment);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(p, &QProcess::readyReadStandardOutput, p, [p] {
            while (p->canReadLine())
                PrintOut(QString::fromUtf8(p->readLine()).chopped(1));
        });
        QObject::connect(p, &QProcess::finished, p, [&, p, modem](int code, QProcess::ExitStatus how) {
            while (p->canReadLine())
                PrintOut(QString::fromUtf8(p->readLine()).chopped(1));
            if (ending)
                return;
            if (how == QProcess::NormalExit && code == kExitUsage) {
                status = kExitUsage;
                loop.quit();
                return;
            }
            PrintJson(QJsonObject{
                {"event", "error"},
                {"message", QString("the process of modem %1 ended (%2); started again")
                                .arg(withoutPIN(modem))
                                .arg(how == QProcess::CrashExit ? QString("crashed")
                                                                : QString("status %1").arg(code))}});
            QTimer::singleShot(o.Settings.ReopenMs, p, [&, p] { start(*p); });
        });
        children.push_back(std::move(child));
    }
    TInterruptWatch interrupt(loop);
    if (o.Seconds > 0)
        QTimer::singleShot(o.Seconds * 1000, &loop, &QEventLoop::quit);
    for (auto &child : children)
        start(*child);
    if (!interrupt.Signalled())
        loop.exec();
    ending = true;
    // Each process gives its claims back and closes its modem on SIGTERM.
    for (auto &child : children)
        if (child->state() != QProcess::NotRunning)
            child->terminate();
    for (auto &child : children)
        if (child->state() != QProcess::NotRunning && !child->waitForFinished(30000)) {
            child->kill();
            child->waitForFinished(5000);
        }
    return status;
}

// The HTTP API beside the modems, and the webhooks' deliveries: kestrel api on the same store
// (with HTTP when asked for), its lines passed on; started again when it dies.
std::unique_ptr<QProcess> startApi(const QCommandLineParser &parser,
                                   const std::vector<api::TWebhook> &webhooks)
{
    auto api = std::make_unique<QProcess>();
    QProcess *p = api.get();
    p->setProgram(QCoreApplication::applicationFilePath());
    QStringList arguments = HttpArguments(parser);
    if (const qsizetype at = arguments.indexOf("--store"); at >= 0)
        arguments.remove(at, 2);
    QProcessEnvironment environment = HandDownStore(StoreLocation(parser));
    arguments += HandDownWebhooks(parser, webhooks, environment);
    p->setArguments(QStringList{"api"} + arguments);
    p->setProcessEnvironment(environment);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The API ends with its gateway, however that ends: one left behind by a gateway killed
    // outright would keep the port, and the restarted gateway's API could not have it.
    const pid_t gateway = getpid();
    p->setChildProcessModifier([gateway] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != gateway)
            _exit(kExitFailure);
    });
    QObject::connect(p, &QProcess::readyReadStandardOutput, p, [p] {
        while (p->canReadLine())
            PrintOut(QString::fromUtf8(p->readLine()).chopped(1));
    });
    QObject::connect(p, &QProcess::finished, p, [p](int code, QProcess::ExitStatus how) {
        if (how == QProcess::NormalExit && code == kExitUsage)
            return;
        PrintJson(QJsonObject{{"event", "error"},
                              {"message", "the HTTP API and webhooks process ended; started again"}});
        QTimer::singleShot(1000, p, [p] { p->start(); });
    });
    p->start();
    return api;
}

int RunGateway(const QStringList &args)
{
    QCommandLineParser parser;
    // gatewayHelp() describes them all.
    std::vector<QCommandLineOption> options = {{"modem", "A modem.", "SPEC"},
                                               {"keep", "Leave handled messages on the handset."},
                                               {"events-with-text", "Events carry message texts."},
                                               QCommandLineOption(kChildOption)};
    for (const char *name : {"attempts", "backoff", "lease", "rate", "reopen", "poll", "seconds"})
        options.emplace_back(name, name, "N");
    for (const char *name :
         {"http", "tls-cert", "tls-key", "webhook", "webhook-retry", "webhook-lease", "webhook-timeout"})
        options.emplace_back(name, name, "VALUE");
    for (QCommandLineOption &option : options) {
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    const int parsed = ParseSessionCommand(parser, args,
                                           "Sends the store's queue through the modems and records what "
                                           "arrives, until SIGTERM or SIGINT (JSON lines).",
                                           {}, gatewayHelp());
    if (parsed >= 0)
        return parsed;
    for (const char *name : {"device", "equipment", "pin", "sca"})
        if (parser.isSet(name)) {
            PrintErr(QString("kestrel: gateway takes --modem DEVICE[,equipment=][,pin=][,sca=], not --%1")
                         .arg(name));
            return kExitUsage;
        }
    const std::optional<std::string> pin =
        parser.isSet(kChildOption) ? TakeSecret(kPINVariable) : std::optional<std::string>();
    TGatewayOptions o;
    if (const QString usage = readOptions(parser, o); !usage.isEmpty()) {
        PrintErr("kestrel: " + usage);
        return kExitUsage;
    }
    if (pin)
        o.Modems.front().PIN = pin;
    std::unique_ptr<QProcess> api;
    std::vector<api::TWebhook> webhooks;
    if (!parser.isSet(kChildOption)) {
        api::TWebhookSettings hookSettings;
        if (const QString usage = ReadWebhookOptions(parser, webhooks, hookSettings); !usage.isEmpty()) {
            PrintErr("kestrel: " + usage);
            return kExitUsage;
        }
    }
    if ((parser.isSet("http") || !webhooks.empty()) && !parser.isSet(kChildOption)) {
        api::TApiSettings http;
        if (parser.isSet("http"))
            if (const QString usage = ReadHttpOptions(parser, http); !usage.isEmpty()) {
                PrintErr("kestrel: " + usage);
                return kExitUsage;
            }
        api = startApi(parser, webhooks);
    }
    const int status = o.Modems.size() == 1 ? runOneModem(o, parser) : runSeveral(o, args);
    if (api) {
        QObject::disconnect(api.get(), &QProcess::finished, nullptr, nullptr);
        api->terminate();
        if (!api->waitForFinished(10000))
            api->kill();
        api->waitForFinished(5000);
    }
    return status;
}

const TCliRegistration kGateway({"gateway",
                                 "Send the store's queue through several modems and record what arrives "
                                 "(JSON lines)",
                                 RunGateway});

} // namespace

} // namespace kestrel::cli
