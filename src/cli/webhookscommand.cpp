// kestrel webhooks: the deliveries of events to webhooks and of delivery reports to callback
// URLs, as the store keeps them; list them and send failed ones again.
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "api/webhooks.h"
#include "store/messagestore.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonObject>

namespace kestrel::cli {

namespace {

const char *const kWebhooksHelp =
    "Usage: kestrel webhooks [--config FILE] [--store PATH|URL] ACTION\n"
    "\n"
    "Actions:\n"
    "  list [--status pending|failed|delivered] [--limit N] [--json]\n"
    "      Deliveries oldest first (default: those pending and those given up), with their\n"
    "      attempts and last error; one JSON line each with --json.\n"
    "  retry ID | --all-failed\n"
    "      Delivery ID, or every delivery given up, is sent again now, with another 24 hours\n"
    "      of retries.";

int usage(const QString &message)
{
    PrintErr("kestrel webhooks: " + message);
    return kExitUsage;
}

QString msText(int64_t ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs) : QString();
}

QString receiverLabel(const TWebhookDelivery &d)
{
    return QString::fromStdString(d.Webhook == api::kCallbackReceiver ? d.Webhook
                                                                      : api::WebhookLabel(d.Webhook));
}

int runWebhooks(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption(SessionOption("config"));
    parser.addOption(SessionOption("store"));
    parser.addOptions({{"status", "pending, failed or delivered.", "STATUS"},
                       {"limit", "At most N deliveries.", "N"},
                       {"json", "JSON lines."},
                       {"all-failed", "Every delivery given up."},
                       {{"h", "help"}, "Show this help."}});
    if (!parser.parse(args))
        return usage(parser.errorText());
    if (parser.isSet("help")) {
        PrintOut(kWebhooksHelp);
        return kExitOk;
    }
    const QStringList pos = parser.positionalArguments();
    const QString action = pos.value(0);
    if (action != "list" && action != "retry")
        return usage(action.isEmpty() ? "no action given (list or retry)"
                                      : "unknown action \"" + action + "\"");
    for (const char *option : {"status", "limit", "json"})
        if (action != "list" && parser.isSet(option))
            return usage(QString("--%1 belongs to list").arg(option));
    if (action == "list" && parser.isSet("all-failed"))
        return usage("--all-failed belongs to retry");
    int64_t id = 0;
    if (action == "retry") {
        bool ok = false;
        id = pos.value(1).toLongLong(&ok);
        if (parser.isSet("all-failed") ? pos.size() != 1 : (pos.size() != 2 || !ok || id <= 0))
            return usage("retry takes one delivery ID or --all-failed");
    } else if (pos.size() != 1) {
        return usage("unexpected argument \"" + pos.value(1) + "\"");
    }
    const QString status = parser.value("status");
    if (!status.isEmpty() && status != "pending" && status != "failed" && status != "delivered")
        return usage("--status is pending, failed or delivered");
    int limit = 1000;
    if (parser.isSet("limit")) {
        bool ok = false;
        limit = parser.value("limit").toInt(&ok);
        if (!ok || limit <= 0)
            return usage("--limit takes a positive number");
    }
    const std::string location = StoreLocation(parser);
    if (location == kNoStore)
        return usage("no store (--store or the settings file's Store is <none>)");
    return RunSession([&] {
        std::unique_ptr<TMessageStore> store = OpenMessageStore(location);
        if (action == "retry") {
            const int n = store->RetryDeliveries(id);
            if (id != 0 && n == 0) {
                PrintErr(QString("kestrel webhooks: no pending or failed delivery %1").arg(id));
                return kExitFailure;
            }
            PrintJson(QJsonObject{{"retried", n}});
            return kExitOk;
        }
        const std::vector<TWebhookDelivery> list = store->Deliveries(status.toStdString(), limit);
        if (!parser.isSet("json"))
            PrintOut(QString("%1 %2 %3 %4 %5 %6 %7  %8")
                         .arg("ID", -8)
                         .arg("STATUS", -9)
                         .arg("TRIES", 5)
                         .arg("EVENT", -8)
                         .arg("TYPE", -10)
                         .arg("MESSAGE", -8)
                         .arg("RECEIVER", -30)
                         .arg("LAST ERROR"));
        for (const TWebhookDelivery &d : list) {
            if (parser.isSet("json")) {
                PrintJson(QJsonObject{{"id", static_cast<qint64>(d.Id)},
                                      {"receiver", receiverLabel(d)},
                                      {"status", QString::fromStdString(d.Status)},
                                      {"attempts", d.Attempts},
                                      {"lastError", QString::fromStdString(d.LastError)},
                                      {"event", static_cast<qint64>(d.Event.Id)},
                                      {"type", QString::fromStdString(d.Event.Type)},
                                      {"message", static_cast<qint64>(d.Event.MessageId)},
                                      {"queued", msText(d.CreatedMs)},
                                      {"due", msText(d.DueMs)},
                                      {"delivered", msText(d.DeliveredMs)}});
                continue;
            }
            PrintOut(QString("%1 %2 %3 %4 %5 %6 %7  %8")
                         .arg(d.Id, -8)
                         .arg(QString::fromStdString(d.Status), -9)
                         .arg(d.Attempts, 5)
                         .arg(d.Event.Id, -8)
                         .arg(QString::fromStdString(d.Event.Type), -10)
                         .arg(d.Event.MessageId, -8)
                         .arg(receiverLabel(d), -30)
                         .arg(QString::fromStdString(d.LastError)));
        }
        return kExitOk;
    });
}

const TCliRegistration kWebhooks({"webhooks", "Deliveries to webhooks and callback URLs: list, retry",
                                  runWebhooks});

} // namespace

} // namespace kestrel::cli
