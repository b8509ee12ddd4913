#include "api/apiroutes.h"

#include "api/apicommitter.h"
#include "api/apimessages.h"
#include "api/webhooks.h"
#include "appcore/outgoing.h"
#include "base/clock.h"
#include "base/datetime.h"
#include "connect/connection.h"
#include "gsm/gsmerror.h"
#include "gsm/sms.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cstdio>

namespace kestrel::api {

namespace {

// A batch holds at most this many messages.
constexpr int kMaxBatch = 1000;
constexpr int kDefaultPage = 50;
constexpr int kMaxPage = 500;

QJsonDocument::JsonFormat kCompact = QJsonDocument::Compact;

// The body of a JSON request as an object; a body that is no JSON object is refused here, so no
// handler sees raw JSON.
QJsonObject bodyObject(const TApiRequest &request)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(request.Body, &error);
    if (error.error != QJsonParseError::NoError)
        throw EApiError(400, "the body is not valid JSON: " + error.errorString().toStdString() +
                                 " at offset " + std::to_string(error.offset));
    if (!doc.isObject())
        throw EApiError(400, "the body must be a JSON object");
    return doc.object();
}

int64_t idParam(const TApiRequest &request)
{
    bool ok = false;
    const qint64 id = request.Params.at(0).toLongLong(&ok);
    if (!ok || id <= 0)
        throw EApiError(404, "no such message", "id");
    return id;
}

// An opaque cursor: the id the next page starts below.
QString cursorOf(int64_t id)
{
    return QString::fromLatin1(QByteArray("before:" + QByteArray::number(static_cast<qint64>(id)))
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

int64_t cursorId(const QString &cursor)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        cursor.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    bool ok = false;
    const qint64 id =
        decoded && decoded.decoded.startsWith("before:") ? decoded.decoded.mid(7).toLongLong(&ok) : 0;
    if (!ok || id <= 0)
        throw EApiError(400, "not a cursor this server gave", "since");
    return id;
}

} // namespace

QByteArray TApiRequest::Header(const QByteArray &Name) const
{
    for (const auto &[name, value] : Headers)
        if (name.compare(Name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

TApiResponse TApiResponse::Json(int Status, const QJsonObject &Body)
{
    TApiResponse r;
    r.Status = Status;
    r.Body = QJsonDocument(Body).toJson(kCompact);
    return r;
}

TApiResponse ErrorResponse(int Status, const std::string &Message, const std::string &Field)
{
    return TApiResponse::Json(
        Status, QJsonObject{{"error", QString::fromStdString(Message)},
                            {"field", Field.empty() ? QJsonValue(QJsonValue::Null)
                                                    : QJsonValue(QString::fromStdString(Field))}});
}

// A gateway writes its modems' state every few seconds; one not heard of for this long has died
// or lost the store.
constexpr qint64 kSilentMs = 30000;

const char *ModemCondition(const TModemState &m, qint64 now)
{
    if (now - m.UpdatedMs > kSilentMs)
        return "silent";
    return m.Up ? "up" : "lost";
}

TApiService::TApiService(TMessageStore &Store, const TApiCounters &Counters, QObject *Context)
    : m_store(Store), m_counters(Counters), m_composer(std::make_unique<TMessageComposer>()),
      m_committer(std::make_unique<TGroupCommitter>(Store, Context))
{
    // Payloads in several parts carry a reference; API nodes that start at different points make
    // two recipients' joins of messages from different nodes unlikely to collide.
    m_composer->ReferenceCounter = QRandomGenerator::global()->bounded(256u);
    auto bind = [this](TApiResponse (TApiService::*f)(const TApiRequest &)) {
        return [this, f](const TApiRequest &r) { return (this->*f)(r); };
    };
    m_routes = {
        {"POST", "/v1/messages", TScope::scSend,
         "Queue a message (or {\"messages\": [...]}, up to 1000) for the gateways to send", "", true,
         bind(&TApiService::sendMessages)},
        {"GET", "/v1/messages", TScope::scRead, "Messages, newest first, paged by cursor",
         "direction,since,limit,q,peer", false, bind(&TApiService::messages)},
        {"GET", "/v1/messages/{id}", TScope::scRead, "One message with each part and its status", "", false,
         bind(&TApiService::message)},
        {"DELETE", "/v1/messages/{id}", TScope::scSend, "Cancel a queued message", "", false,
         bind(&TApiService::cancel)},
        {"GET", "/v1/modems", TScope::scRead, "Every gateway's modems as their gateways last wrote them", "",
         false, bind(&TApiService::modems)},
        {"GET", "/v1/healthz", TScope::scNone, "Whether the store is reachable and how many modems are up",
         "", false, bind(&TApiService::health)},
        {"GET", "/metrics", TScope::scRead, "Metrics in the Prometheus text format", "", false,
         bind(&TApiService::metrics)},
        {"GET", "/cgi-bin/sendsms", TScope::scSend,
         "Queue a text in the form many SMS gateways take: username (a token's name), password (the token), "
         "to (numbers separated by spaces), text",
         "username,password,to,text,charset,dlr-url,dlr-mask", false, bind(&TApiService::compatSend), true},
        {"POST", "/cgi-bin/sendsms", TScope::scSend, "The same with the parameters in a form body",
         "username,password,to,text,charset,dlr-url,dlr-mask", false, bind(&TApiService::compatSend), true},
        {"GET", "/v1/openapi.json", TScope::scNone, "This document", "", false,
         [this](const TApiRequest &) { return TApiResponse::Json(200, OpenApi()); }},
    };
}

TApiService::~TApiService() = default;

TApiResponse TApiService::sendMessages(const TApiRequest &Request)
{
    const QJsonObject body = bodyObject(Request);
    // One message, or a batch of them under "messages".
    std::vector<TSendRequest> sends;
    const bool batch = body.contains("messages");
    if (batch) {
        if (body.size() != 1)
            throw EApiError(400, "a batch holds only \"messages\"",
                            body.begin().key() == "messages" ? std::next(body.begin()).key().toStdString()
                                                             : body.begin().key().toStdString());
        const QJsonValue list = body.value("messages");
        if (!list.isArray() || list.toArray().isEmpty() || list.toArray().size() > kMaxBatch)
            throw EApiError(400, "must be an array of 1 to 1000 messages", "messages");
        int i = 0;
        for (const QJsonValue &v : list.toArray()) {
            const std::string prefix = "messages[" + std::to_string(i++) + "].";
            if (!v.isObject())
                throw EApiError(400, "must be an object", prefix.substr(0, prefix.size() - 1));
            sends.push_back(ReadSendRequest(v.toObject(), prefix));
        }
    } else {
        sends.push_back(ReadSendRequest(body));
    }
    return queue(Request, sends, batch);
}

TApiResponse TApiService::queue(const TApiRequest &Request, const std::vector<TSendRequest> &sends,
                                bool batch)
{
    // Composed the way kestrel send composes; the segments live until the store has them.
    auto job = std::make_unique<TCommitJob>();
    std::vector<TQueueEntry> &entries = job->Request.Entries;
    for (size_t i = 0; i < sends.size(); ++i) {
        try {
            job->Composed.push_back(m_composer->Compose(sends[i].To, sends[i].Content));
        } catch (const EGSMError &e) {
            throw EApiError(400, e.what(), batch ? "messages[" + std::to_string(i) + "]" : std::string());
        }
        entries.push_back({OutgoingOf(job->Composed.back(), sends[i].Content), sends[i].Via});
        entries.back().Message.Callback = sends[i].Callback;
    }

    std::string key = Request.Header("Idempotency-Key").toStdString();
    if (key.size() > 200)
        throw EApiError(400, "at most 200 characters", "Idempotency-Key");
    if (!key.empty())
        key = Request.Token.Name + "\n" + key; // each token has its own keys
    job->Request.Key = key;
    job->Request.Digest =
        QCryptographicHash::hash(Request.Body, QCryptographicHash::Sha256).toHex().toStdString();
    std::vector<int> parts;
    for (const TQueueEntry &e : entries)
        parts.push_back(static_cast<int>(e.Message.Segments.size()));
    // Runs on the committer's thread, inside the transaction.
    job->Request.Answer = [parts, batch](const std::vector<int64_t> &ids) {
        QJsonArray items;
        for (size_t i = 0; i < ids.size(); ++i)
            items.append(QJsonObject{
                {"id", static_cast<qint64>(ids[i])}, {"status", "queued"}, {"parts", parts.at(i)}});
        const QJsonObject out = batch ? QJsonObject{{"messages", items}} : items.first().toObject();
        return QJsonDocument(out).toJson(kCompact).toStdString();
    };
    TApiResponse r;
    r.Later = [this,
               job = std::shared_ptr<TCommitJob>(std::move(job))](std::function<void(TApiResponse)> answer) {
        job->Done = [answer = std::move(answer)](const TEnqueueRequest &done) {
            if (!done.Error.empty()) {
                std::fprintf(stderr, "kestrel api: %s\n", done.Error.c_str());
                answer(ErrorResponse(503, "the message store cannot be reached"));
            } else if (done.Conflict) {
                answer(ErrorResponse(409, "this idempotency key was used with another request",
                                     "Idempotency-Key"));
            } else {
                TApiResponse r;
                r.Status = 202;
                r.Body = QByteArray::fromStdString(done.Result);
                if (done.Replayed)
                    r.Headers.push_back({"Idempotent-Replayed", "true"});
                answer(std::move(r));
            }
        };
        m_committer->Submit(job);
    };
    return r;
}

TApiResponse TApiService::compatSend(const TApiRequest &Request)
{
    const QUrlQuery &q = Request.Query;
    for (const auto &[name, value] : q.queryItems())
        if (name != "username" && name != "password" && name != "to" && name != "text" && name != "from" &&
            name != "charset" && name != "coding" && name != "dlr-url" && name != "dlr-mask")
            throw EApiError(400, "not supported by this gateway", name.toStdString());
    TDeliveryCallback callback;
    if (q.hasQueryItem("dlr-url")) {
        const QString url = q.queryItemValue("dlr-url", QUrl::FullyDecoded);
        if (!IsHttpUrl(url) || url.size() > 2000)
            throw EApiError(400, "an http:// or https:// URL of at most 2000 characters", "dlr-url");
        callback.Url = url.toStdString();
        // Without a mask: every final outcome (delivered, not delivered, refused).
        callback.Mask = 1 | 2 | 16;
    }
    if (q.hasQueryItem("dlr-mask")) {
        bool ok = false;
        callback.Mask = q.queryItemValue("dlr-mask").toInt(&ok);
        if (!ok || callback.Mask < 1 || callback.Mask > 31)
            throw EApiError(400, "a number from 1 to 31", "dlr-mask");
        if (callback.Url.empty())
            throw EApiError(400, "goes with dlr-url", "dlr-mask");
    }
    if (const QString charset = q.queryItemValue("charset").toLower();
        !charset.isEmpty() && charset != "utf-8")
        throw EApiError(400, "only UTF-8 is taken", "charset");
    const QStringList recipients = q.queryItemValue("to", QUrl::FullyDecoded).split(' ', Qt::SkipEmptyParts);
    if (recipients.isEmpty() || recipients.size() > kMaxBatch)
        throw EApiError(400, "one to 1000 numbers separated by spaces", "to");
    // Form encoding writes a space as "+" (a plus is "%2B").
    const QString text =
        QUrl::fromPercentEncoding(q.queryItemValue("text", QUrl::FullyEncoded).replace('+', "%20").toUtf8());
    std::vector<TSendRequest> sends;
    for (const QString &to : recipients) {
        sends.push_back(ReadSendRequest(QJsonObject{{"to", to}, {"text", text}}));
        sends.back().Callback = callback;
    }
    TApiResponse r = queue(Request, sends, true);
    // The same outcome in this route's words: plain text, not the JSON of /v1/messages.
    r.Later = [later = std::move(r.Later)](std::function<void(TApiResponse)> answer) {
        later([answer = std::move(answer)](TApiResponse queued) {
            if (queued.Status == 202) {
                queued.ContentType = "text/plain; charset=utf-8";
                queued.Body = "0: Accepted for delivery\n";
                queued.Headers.clear();
            }
            answer(std::move(queued));
        });
    };
    return r;
}

TApiResponse TApiService::message(const TApiRequest &Request)
{
    const std::optional<TStoredMessage> m = m_store.Message(idParam(Request));
    if (!m)
        throw EApiError(404, "no such message", "id");
    return TApiResponse::Json(200, StoredMessageJson(*m, true));
}

TApiResponse TApiService::messages(const TApiRequest &Request)
{
    TMessageFilter filter;
    const QUrlQuery &q = Request.Query;
    if (q.hasQueryItem("direction")) {
        const QString d = q.queryItemValue("direction");
        if (d != "received" && d != "sent")
            throw EApiError(400, "is received or sent", "direction");
        filter.Outgoing = d == "sent";
    }
    filter.Limit = kDefaultPage;
    if (q.hasQueryItem("limit")) {
        bool ok = false;
        filter.Limit = q.queryItemValue("limit").toInt(&ok);
        if (!ok || filter.Limit < 1 || filter.Limit > kMaxPage)
            throw EApiError(400, "must be a number from 1 to 500", "limit");
    }
    if (q.hasQueryItem("since"))
        filter.BeforeId = cursorId(q.queryItemValue("since"));
    filter.Search = q.queryItemValue("q", QUrl::FullyDecoded).toStdString();
    filter.Peer = q.queryItemValue("peer", QUrl::FullyDecoded).toStdString();
    std::vector<TStoredMessage> found = m_store.List(filter);
    QJsonArray items;
    for (auto it = found.rbegin(); it != found.rend(); ++it)
        items.append(StoredMessageJson(*it, false));
    QJsonObject out{{"messages", items}};
    out["next"] = static_cast<int>(found.size()) == filter.Limit ? QJsonValue(cursorOf(found.front().Id))
                                                                 : QJsonValue(QJsonValue::Null);
    return TApiResponse::Json(200, out);
}

TApiResponse TApiService::cancel(const TApiRequest &Request)
{
    switch (m_store.CancelQueued(idParam(Request))) {
    case TMessageStore::TCancelOutcome::coCancelled:
        return TApiResponse::Json(
            200, QJsonObject{{"id", static_cast<qint64>(idParam(Request))}, {"status", "cancelled"}});
    case TMessageStore::TCancelOutcome::coNotFound:
        throw EApiError(404, "no such message", "id");
    case TMessageStore::TCancelOutcome::coSending:
        throw EApiError(409, "a modem is sending this message", "id");
    case TMessageStore::TCancelOutcome::coNotQueued:
        break;
    }
    throw EApiError(409, "only a queued message can be cancelled", "id");
}

namespace {

// A label value of the Prometheus text format.
QString metricLabel(const std::string &text)
{
    QString v = QString::fromStdString(text);
    v.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n");
    return v;
}

QJsonValue msTime(int64_t ms)
{
    if (ms <= 0)
        return QJsonValue::Null;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

TApiResponse TApiService::modems(const TApiRequest &)
{
    const qint64 now = Clock().UnixMs();
    std::map<std::string, std::pair<int64_t, int64_t>> sentFailed;
    for (const TMessageCount &c : m_store.MessageCounts()) {
        if (!c.Outgoing)
            continue;
        if (c.Status == TStoredStatus::ssSent || c.Status == TStoredStatus::ssDelivered)
            sentFailed[c.Modem].first += c.Count;
        else if (c.Status == TStoredStatus::ssFailed)
            sentFailed[c.Modem].second += c.Count;
    }
    // Today as the server's clock and time zone see it.
    const qint64 today = QDateTime::fromMSecsSinceEpoch(now).date().startOfDay().toMSecsSinceEpoch();
    std::map<std::string, std::pair<int64_t, int64_t>> sentReceivedToday;
    for (const TMessageCount &c : m_store.MessageCounts(today)) {
        if (!c.Outgoing)
            sentReceivedToday[c.Modem].second += c.Count;
        else if (c.Status == TStoredStatus::ssSent || c.Status == TStoredStatus::ssDelivered)
            sentReceivedToday[c.Modem].first += c.Count;
    }
    const TQueueSummary queue = m_store.QueueSummary();
    QJsonArray list;
    for (const TModemState &m : m_store.ModemStates()) {
        int64_t queued = 0;
        for (const auto &[via, n] : queue.ByVia)
            if (via == m.Label)
                queued = n;
        list.append(QJsonObject{{"label", QString::fromStdString(m.Label)},
                                {"host", QString::fromStdString(m.Host)},
                                {"device", QString::fromStdString(m.Device)},
                                {"equipment", QString::fromStdString(m.Equipment)},
                                {"state", ModemCondition(m, now)},
                                {"registration", m.Registration},
                                {"lastContact", msTime(m.LastContactMs)},
                                {"updated", msTime(m.UpdatedMs)},
                                {"queued", static_cast<qint64>(queued)},
                                {"sent", static_cast<qint64>(sentFailed[m.Label].first)},
                                {"failed", static_cast<qint64>(sentFailed[m.Label].second)},
                                {"sentToday", static_cast<qint64>(sentReceivedToday[m.Label].first)},
                                {"receivedToday", static_cast<qint64>(sentReceivedToday[m.Label].second)}});
    }
    // Messages any modem may send wait in the shared queue.
    int64_t shared = 0;
    for (const auto &[via, n] : queue.ByVia)
        if (via.empty())
            shared = n;
    return TApiResponse::Json(200,
                              QJsonObject{{"modems", list}, {"queuedForAny", static_cast<qint64>(shared)}});
}

TApiResponse TApiService::health(const TApiRequest &)
{
    std::vector<TModemState> modems;
    try {
        modems = m_store.ModemStates();
    } catch (const EStoreError &) {
        return TApiResponse::Json(503, QJsonObject{{"store", "unreachable"}});
    }
    const qint64 now = Clock().UnixMs();
    QJsonObject counts{{"up", 0}, {"lost", 0}, {"silent", 0}};
    for (const TModemState &m : modems) {
        const char *condition = ModemCondition(m, now);
        counts[condition] = counts[condition].toInt() + 1;
    }
    return TApiResponse::Json(200, QJsonObject{{"store", "ok"}, {"modems", counts}});
}

TApiResponse TApiService::metrics(const TApiRequest &)
{
    const qint64 now = Clock().UnixMs();
    QString out;
    auto family = [&](const char *name, const char *type, const char *help) {
        out += QString("# HELP %1 %2\n# TYPE %1 %3\n").arg(name, help, type);
    };
    auto sample = [&](const char *name, const QString &labels, double value) {
        out += QString("%1%2 %3\n")
                   .arg(name, labels.isEmpty() ? QString() : "{" + labels + "}")
                   .arg(value, 0, 'g', 15);
    };
    family("kestrel_messages", "gauge", "Messages in the store by modem, direction and status.");
    for (const TMessageCount &c : m_store.MessageCounts())
        sample("kestrel_messages",
               QString("modem=\"%1\",direction=\"%2\",status=\"%3\"")
                   .arg(metricLabel(c.Modem), c.Outgoing ? "sent" : "received", StoredStatusName(c.Status)),
               static_cast<double>(c.Count));
    const TQueueSummary queue = m_store.QueueSummary();
    family("kestrel_queue_length", "gauge",
           "Messages waiting in the send queue, by the modem they must go through.");
    for (const auto &[via, n] : queue.ByVia)
        sample("kestrel_queue_length", QString("via=\"%1\"").arg(metricLabel(via)), static_cast<double>(n));
    family("kestrel_queue_oldest_age_seconds", "gauge", "Age of the oldest queued message.");
    sample("kestrel_queue_oldest_age_seconds", {},
           queue.Oldest == 0 ? 0.0 : std::max(0.0, (NowUTC() - queue.Oldest) * 86400.0));
    const std::vector<TModemState> modems = m_store.ModemStates();
    family("kestrel_modem_up", "gauge", "1 when the modem answers and its gateway was heard of lately.");
    for (const TModemState &m : modems)
        sample("kestrel_modem_up", QString("modem=\"%1\"").arg(metricLabel(m.Label)),
               std::string(ModemCondition(m, now)) == "up" ? 1 : 0);
    family("kestrel_modem_registration", "gauge", "The modem's +CREG status.");
    for (const TModemState &m : modems)
        sample("kestrel_modem_registration", QString("modem=\"%1\"").arg(metricLabel(m.Label)),
               m.Registration);
    family("kestrel_api_responses_total", "counter", "Responses of this API node by status.");
    for (const auto &[status, n] : m_counters.Responses)
        sample("kestrel_api_responses_total", QString("status=\"%1\"").arg(status), static_cast<double>(n));
    family("kestrel_api_auth_failures_total", "counter", "Requests of this node refused for their token.");
    sample("kestrel_api_auth_failures_total", {}, static_cast<double>(m_counters.AuthFailures));
    family("kestrel_store_errors_total", "counter", "Requests of this node that the store failed.");
    sample("kestrel_store_errors_total", {}, static_cast<double>(m_counters.StoreErrors));
    family("kestrel_webhook_deliveries_total", "counter",
           "Webhook requests of this node that the receiver took.");
    for (const auto &[receiver, n] : m_counters.WebhookDeliveries)
        sample("kestrel_webhook_deliveries_total", QString("receiver=\"%1\"").arg(metricLabel(receiver)),
               static_cast<double>(n));
    family("kestrel_webhook_failures_total", "counter", "Webhook requests of this node that failed.");
    for (const auto &[receiver, n] : m_counters.WebhookFailures)
        sample("kestrel_webhook_failures_total", QString("receiver=\"%1\"").arg(metricLabel(receiver)),
               static_cast<double>(n));
    family("kestrel_webhook_queue", "gauge", "Webhook deliveries in the store by receiver and status.");
    for (const TWebhookCount &c : m_store.DeliveryCounts())
        sample("kestrel_webhook_queue",
               QString("receiver=\"%1\",status=\"%2\"")
                   .arg(metricLabel(c.Webhook == kCallbackReceiver ? c.Webhook : WebhookLabel(c.Webhook)),
                        QString::fromStdString(c.Status)),
               static_cast<double>(c.Count));
    TApiResponse r;
    r.Body = out.toUtf8();
    r.ContentType = "text/plain; version=0.0.4; charset=utf-8";
    return r;
}

QJsonObject TApiService::OpenApi() const
{
    QJsonObject paths;
    for (const TRoute &route : m_routes) {
        QJsonObject op{{"summary", route.Summary}};
        QJsonArray params;
        static const QRegularExpression placeholder("\\{(\\w+)\\}");
        for (auto m = placeholder.globalMatch(route.Path); m.hasNext();)
            params.append(QJsonObject{{"name", m.next().captured(1)},
                                      {"in", "path"},
                                      {"required", true},
                                      {"schema", QJsonObject{{"type", "integer"}}}});
        for (const QString &name : QString(route.Query).split(',', Qt::SkipEmptyParts))
            params.append(QJsonObject{{"name", name},
                                      {"in", "query"},
                                      {"required", false},
                                      {"schema", QJsonObject{{"type", "string"}}}});
        if (!params.isEmpty())
            op["parameters"] = params;
        if (route.JsonBody)
            op["requestBody"] = QJsonObject{
                {"required", true},
                {"content", QJsonObject{{"application/json",
                                         QJsonObject{{"schema", QJsonObject{{"type", "object"}}}}}}}};
        const QJsonObject error{{"description", "refused: {\"error\", \"field\"}"}};
        QJsonObject responses{
            {route.Method == QString("POST") ? "202" : "200", QJsonObject{{"description", "done"}}},
            {"400", error}};
        if (route.Scope != TScope::scNone) {
            op["security"] = QJsonArray{QJsonObject{{"bearer", QJsonArray{ScopeName(route.Scope)}}}};
            responses["401"] = error;
            responses["403"] = error;
        }
        op["responses"] = responses;
        QJsonObject path = paths.value(route.Path).toObject();
        path[QString(route.Method).toLower()] = op;
        paths[route.Path] = path;
    }
    return QJsonObject{
        {"openapi", "3.0.3"},
        {"info", QJsonObject{{"title", "GSM Kestrel HTTP API"}, {"version", "1"}}},
        {"paths", paths},
        {"components",
         QJsonObject{{"securitySchemes",
                      QJsonObject{{"bearer", QJsonObject{{"type", "http"}, {"scheme", "bearer"}}}}}}}};
}

} // namespace kestrel::api
