// kestrel api: the HTTP API on a store, without modems (an API node; the gateways send what it
// queues), until SIGTERM or SIGINT. kestrel tokens: the tokens the API accepts.
#include "cli/apicommand.h"
#include "cli/clicommand.h"
#include "cli/interruptwatch.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "api/apiserver.h"
#include "api/webhooks.h"
#include "base/inifile.h"
#include "store/messagestore.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <optional>
#include <tuple>

namespace kestrel::cli {

const char *const kHttpOptionsHelp =
    "  --http ADDRESS:PORT  Serve the HTTP API here (default address: the loopback, 127.0.0.1).\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "      Serve HTTPS with this certificate chain and private key (PEM).";

void AddHttpOptions(QCommandLineParser &parser)
{
    parser.addOptions({{"http", "Serve the HTTP API on ADDRESS:PORT.", "ADDRESS:PORT"},
                       {"tls-cert", "Certificate chain (PEM) for HTTPS.", "FILE"},
                       {"tls-key", "Private key (PEM) for HTTPS.", "FILE"}});
}

QString ReadHttpOptions(const QCommandLineParser &parser, api::TApiSettings &settings)
{
    const QString text = parser.value("http").trimmed();
    const qsizetype colon = text.lastIndexOf(':');
    QString host = colon >= 0 ? text.left(colon) : QString();
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return "--http takes ADDRESS:PORT or :PORT, e.g. 127.0.0.1:8080";
    settings.Port = static_cast<quint16>(port);
    if (!host.isEmpty()) {
        if (host == "localhost")
            host = "127.0.0.1";
        if (!settings.Address.setAddress(host))
            return "--http: \"" + host + "\" is no IP address";
    }
    settings.TlsCert = parser.value("tls-cert");
    settings.TlsKey = parser.value("tls-key");
    if (settings.TlsCert.isEmpty() != settings.TlsKey.isEmpty())
        return "--tls-cert and --tls-key go together";
    return {};
}

QStringList HttpArguments(const QCommandLineParser &parser)
{
    QStringList out;
    for (const char *name : {"http", "tls-cert", "tls-key", "config", "store"})
        if (parser.isSet(name))
            out << QString("--%1").arg(name) << parser.value(name);
    return out;
}

const char *const kWebhookOptionsHelp =
    "  --webhook URL[,events=TYPE,...][,secret=SECRET]\n"
    "      POST each event of the store's log to URL as JSON (repeatable; or the settings\n"
    "      file's [Webhook.NAME] sections with URL, Events, Secret). Types: received, sent,\n"
    "      delivered, failed, uncertain, cancelled (default: all). With a secret each request\n"
    "      is signed: X-Kestrel-Signature: t=UNIX,v1=HMAC-SHA256(secret, \"UNIX.BODY\").\n"
    "  --webhook-retry MS    Wait after a first failed attempt, doubled for each next, up to\n"
    "      10 minutes; given up after 24 hours (default 1000).\n"
    "  --webhook-lease MS    A node that dies leaves its deliveries to others after this\n"
    "      time (default 30000).\n"
    "  --webhook-timeout MS  A receiver that has not answered within it failed (default 10000).";

namespace {

// Sections "[Webhook.NAME]" of the settings file name one webhook each.
const char *const kWebhookSectionPrefix = "Webhook.";
// The gateway hands its webhooks down to its API process in the environment, secrets and all.
const char *const kWebhooksVariable = "KESTREL_WEBHOOKS";

// What the gateway handed down, taken once: the API process is started again with the same
// environment.
const std::optional<std::string> &handedDownWebhooks()
{
    static const std::optional<std::string> handedDown = TakeSecret(kWebhooksVariable);
    return handedDown;
}

QJsonArray webhooksJson(const std::vector<api::TWebhook> &webhooks)
{
    QJsonArray out;
    for (const api::TWebhook &w : webhooks) {
        QJsonArray events;
        for (const std::string &e : w.Events)
            events.append(QString::fromStdString(e));
        out.append(QJsonObject{{"url", QString::fromStdString(w.Url)},
                               {"events", events},
                               {"secret", QString::fromStdString(w.Secret)}});
    }
    return out;
}

// The webhook a line of --webhook, a settings section or a handed-down entry names, checked as
// --webhook is.
QString readWebhook(const std::string &spec, std::vector<api::TWebhook> &webhooks)
{
    try {
        api::TWebhook hook = api::ParseWebhookSpec(spec);
        for (const api::TWebhook &known : webhooks)
            if (known.Url == hook.Url)
                return QString("two webhooks with the URL %1")
                    .arg(QString::fromStdString(api::WebhookLabel(hook.Url)));
        webhooks.push_back(std::move(hook));
    } catch (const std::invalid_argument &e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

QString msOption(const QCommandLineParser &parser, const char *name, int min, int &value)
{
    if (!parser.isSet(name))
        return {};
    bool ok = false;
    const int v = parser.value(name).toInt(&ok);
    if (!ok || v < min || v > 86400000)
        return QString("--%1 takes milliseconds from %2 to 86400000").arg(name).arg(min);
    value = v;
    return {};
}

} // namespace

void AddWebhookOptions(QCommandLineParser &parser)
{
    parser.addOptions({{"webhook", "POST the store's events to URL.", "URL[,events=...][,secret=...]"},
                       {"webhook-retry", "First wait after a failed delivery.", "MS"},
                       {"webhook-lease", "Lease of a claimed delivery.", "MS"},
                       {"webhook-timeout", "Time-out of a delivery.", "MS"}});
}

QString ReadWebhookOptions(const QCommandLineParser &parser, std::vector<api::TWebhook> &webhooks,
                           api::TWebhookSettings &settings)
{
    for (const auto &[name, min, value] : {std::tuple{"webhook-retry", 1, &settings.RetryMs},
                                           std::tuple{"webhook-lease", 100, &settings.LeaseMs},
                                           std::tuple{"webhook-timeout", 100, &settings.TimeoutMs}})
        if (const QString usage = msOption(parser, name, min, *value); !usage.isEmpty())
            return usage;
    // A request cut off by its time-out ends before another node may take its delivery.
    if (settings.TimeoutMs >= settings.LeaseMs)
        return "--webhook-timeout must be shorter than --webhook-lease";
    if (const std::optional<std::string> &handedDown = handedDownWebhooks()) {
        // Checked where they were given; secrets may hold any character.
        for (const QJsonValue &v : QJsonDocument::fromJson(QByteArray::fromStdString(*handedDown)).array()) {
            const QJsonObject o = v.toObject();
            api::TWebhook hook;
            hook.Url = o.value("url").toString().toStdString();
            for (const QJsonValue &e : o.value("events").toArray())
                hook.Events.push_back(e.toString().toStdString());
            hook.Secret = o.value("secret").toString().toStdString();
            webhooks.push_back(std::move(hook));
        }
        return {};
    }
    for (const QString &spec : parser.values("webhook"))
        if (const QString usage = readWebhook(spec.toStdString(), webhooks); !usage.isEmpty())
            return usage;
    const TIniFile ini(SessionLocations(parser).ConfigFile);
    for (const std::string &section : ini.ReadSections()) {
        if (section.rfind(kWebhookSectionPrefix, 0) != 0)
            continue;
        std::string spec = ini.ReadString(section, "URL", "");
        if (const std::string events = ini.ReadString(section, "Events", ""); !events.empty())
            spec += ",events=" + events;
        if (const std::string secret = ini.ReadString(section, "Secret", ""); !secret.empty())
            spec += ",secret=" + secret;
        if (const QString usage = readWebhook(spec, webhooks); !usage.isEmpty())
            return QString("[%1]: %2").arg(QString::fromStdString(section), usage);
    }
    return {};
}

QStringList HandDownWebhooks(const QCommandLineParser &parser, const std::vector<api::TWebhook> &webhooks,
                             QProcessEnvironment &environment)
{
    environment.insert(
        kWebhooksVariable,
        QString::fromUtf8(QJsonDocument(webhooksJson(webhooks)).toJson(QJsonDocument::Compact)));
    QStringList out;
    for (const char *name : {"webhook-retry", "webhook-lease", "webhook-timeout"})
        if (parser.isSet(name))
            out << QString("--%1").arg(name) << parser.value(name);
    return out;
}

namespace {

const char *const kApiHelp =
    "Usage: kestrel api [--config FILE] [--store PATH|URL] --http ADDRESS:PORT|--webhook SPEC [options]\n"
    "\n"
    "Serves the HTTP API on the store without modems, until SIGTERM or SIGINT: the\n"
    "gateways sharing the store send what it queues. Prints one JSON line when it\n"
    "listens: {\"event\": \"listening\", \"address\", \"port\"}. Delivers the store's events\n"
    "to webhooks and the delivery reports that messages ask for (dlr-url), with any other\n"
    "node that shares the store; with --webhook alone it serves no HTTP.\n"
    "\n";

int usage(const QString &command, const QString &message)
{
    PrintErr("kestrel " + command + ": " + message);
    return kExitUsage;
}

int runApi(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption(SessionOption("config"));
    parser.addOption(SessionOption("store"));
    AddHttpOptions(parser);
    AddWebhookOptions(parser);
    parser.addOption({"seconds", "Stop after this many seconds.", "N"});
    parser.addOption({{"h", "help"}, "Show this help."});
    if (!parser.parse(args))
        return usage("api", parser.errorText());
    if (parser.isSet("help")) {
        PrintOut(QString(kApiHelp) + kHttpOptionsHelp + "\n" + kWebhookOptionsHelp +
                 "\n  --seconds N  Stop after this many seconds.");
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage("api", "unexpected argument \"" + parser.positionalArguments().first() + "\"");
    std::vector<api::TWebhook> webhooks;
    api::TWebhookSettings hookSettings;
    if (const QString e = ReadWebhookOptions(parser, webhooks, hookSettings); !e.isEmpty())
        return usage("api", e);
    // The gateway's API process runs also without HTTP, for the webhooks.
    if (!parser.isSet("http") && webhooks.empty() && !handedDownWebhooks())
        return usage("api", "give --http ADDRESS:PORT or --webhook URL");
    api::TApiSettings settings;
    if (parser.isSet("http"))
        if (const QString e = ReadHttpOptions(parser, settings); !e.isEmpty())
            return usage("api", e);
    int seconds = 0;
    if (parser.isSet("seconds")) {
        bool ok = false;
        seconds = parser.value("seconds").toInt(&ok);
        if (!ok || seconds <= 0)
            return usage("api", "--seconds takes a positive number");
    }
    const std::string location = StoreLocation(parser);
    if (location == kNoStore)
        return usage("api", "the API needs a store (--store or the settings file's Store)");
    return RunSession([&] {
        std::unique_ptr<TMessageStore> store = OpenMessageStore(location);
        QEventLoop loop;
        std::unique_ptr<api::TApiServer> server;
        api::TApiCounters ownCounters;
        if (parser.isSet("http")) {
            server = std::make_unique<api::TApiServer>(*store, settings);
            server->Start();
        }
        // Delivery reports are asked for through the API: every node delivers them.
        api::TWebhookDispatcher dispatcher(*store, webhooks, hookSettings,
                                           server ? server->Counters() : ownCounters);
        dispatcher.OnEvent = [](const QJsonObject &json) { PrintJson(json); };
        dispatcher.Start();
        if (server)
            PrintJson(QJsonObject{{"event", "listening"},
                                  {"address", settings.Address.toString()},
                                  {"port", server->Port()},
                                  {"tls", !settings.TlsCert.isEmpty()}});
        TInterruptWatch interrupt(loop);
        if (seconds > 0)
            QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        if (!interrupt.Signalled())
            loop.exec();
        return kExitOk;
    });
}

const char *const kTokensHelp =
    "Usage: kestrel tokens [--config FILE] [--store PATH|URL] ACTION\n"
    "\n"
    "Actions:\n"
    "  add NAME [--scope read|send|admin]\n"
    "      Makes a token for the HTTP API and prints it once (the store keeps only\n"
    "      its hash). read: look at messages; send: also queue and cancel them;\n"
    "      admin: everything. Default scope: send.\n"
    "  list\n      One JSON line per token: name, scope, created (never the token).\n"
    "  revoke NAME\n      The token stops working (within seconds on every API node).";

int runTokens(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption(SessionOption("config"));
    parser.addOption(SessionOption("store"));
    parser.addOption({"scope", "read, send or admin.", "SCOPE"});
    parser.addOption({{"h", "help"}, "Show this help."});
    if (!parser.parse(args))
        return usage("tokens", parser.errorText());
    if (parser.isSet("help")) {
        PrintOut(kTokensHelp);
        return kExitOk;
    }
    const QStringList pos = parser.positionalArguments();
    const QString action = pos.value(0);
    const int wanted = action == "list" ? 1 : 2;
    if (action != "add" && action != "list" && action != "revoke")
        return usage("tokens", action.isEmpty() ? "no action given (add, list or revoke)"
                                                : "unknown action \"" + action + "\"");
    if (pos.size() != wanted)
        return usage("tokens", pos.size() < wanted ? "missing NAME"
                                                   : "unexpected argument \"" + pos.value(wanted) + "\"");
    if (parser.isSet("scope") && action != "add")
        return usage("tokens", "--scope belongs to add");
    const std::string scope = parser.isSet("scope") ? parser.value("scope").toStdString() : "send";
    if (!api::ScopeFromName(scope))
        return usage("tokens", "--scope is read, send or admin");
    const std::string name = pos.value(1).trimmed().toStdString();
    if (action != "list" && name.empty())
        return usage("tokens", "NAME must not be empty");
    const std::string location = StoreLocation(parser);
    if (location == kNoStore)
        return usage("tokens", "no store (--store or the settings file's Store is <none>)");
    return RunSession([&] {
        std::unique_ptr<TMessageStore> store = OpenMessageStore(location);
        if (action == "list") {
            for (const TApiToken &t : store->Tokens())
                PrintJson(QJsonObject{
                    {"name", QString::fromStdString(t.Name)},
                    {"scope", QString::fromStdString(t.Scope)},
                    {"created", QDateTime::fromMSecsSinceEpoch(t.CreatedMs, Qt::UTC).toString(Qt::ISODate)}});
            return kExitOk;
        }
        if (action == "revoke") {
            if (!store->RevokeToken(name)) {
                PrintErr(QString("kestrel tokens: no token named \"%1\"").arg(QString::fromStdString(name)));
                return kExitFailure;
            }
            PrintJson(QJsonObject{{"revoked", QString::fromStdString(name)}});
            return kExitOk;
        }
        const std::string token = api::NewToken();
        if (!store->AddToken({name, scope, api::TokenHash(token), 0})) {
            PrintErr(QString("kestrel tokens: a token named \"%1\" exists; revoke it first")
                         .arg(QString::fromStdString(name)));
            return kExitFailure;
        }
        PrintJson(QJsonObject{{"name", QString::fromStdString(name)},
                              {"scope", QString::fromStdString(scope)},
                              {"token", QString::fromStdString(token)}});
        return kExitOk;
    });
}

const TCliRegistration kApi({"api", "Serve the HTTP API on the store, without modems", runApi});
const TCliRegistration kTokens({"tokens", "Tokens of the HTTP API: add, list, revoke", runTokens});

} // namespace

} // namespace kestrel::cli
