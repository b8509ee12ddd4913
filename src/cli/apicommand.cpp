// kestrel api: the HTTP API on a store, without modems (an API node; the gateways send what it
// queues), until SIGTERM or SIGINT. kestrel tokens: the tokens the API accepts.
#include "cli/apicommand.h"
#include "cli/clicommand.h"
#include "cli/interruptwatch.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "api/apiserver.h"
#include "store/messagestore.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

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

namespace {

const char *const kApiHelp =
    "Usage: kestrel api [--config FILE] [--store PATH|URL] --http ADDRESS:PORT [options]\n"
    "\n"
    "Serves the HTTP API on the store without modems, until SIGTERM or SIGINT: the\n"
    "gateways sharing the store send what it queues. Prints one JSON line when it\n"
    "listens: {\"event\": \"listening\", \"address\", \"port\"}.\n"
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
    parser.addOption({"seconds", "Stop after this many seconds.", "N"});
    parser.addOption({{"h", "help"}, "Show this help."});
    if (!parser.parse(args))
        return usage("api", parser.errorText());
    if (parser.isSet("help")) {
        PrintOut(QString(kApiHelp) + kHttpOptionsHelp + "\n  --seconds N  Stop after this many seconds.");
        return kExitOk;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage("api", "unexpected argument \"" + parser.positionalArguments().first() + "\"");
    if (!parser.isSet("http"))
        return usage("api", "give --http ADDRESS:PORT");
    api::TApiSettings settings;
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
        api::TApiServer server(*store, settings);
        server.Start();
        PrintJson(QJsonObject{{"event", "listening"},
                              {"address", settings.Address.toString()},
                              {"port", server.Port()},
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
