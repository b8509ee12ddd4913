// The routes of the HTTP API: one table of method, path, scope and handler, which the server
// dispatches on and the OpenAPI document is made from. Handlers see a request already routed
// and authorised, and answer with a response or raise EApiError; nothing else builds an error.
#pragma once

#include "api/apitokens.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;

namespace kestrel {
struct TModemState;
class TMessageStore;
class TMessageComposer;
} // namespace kestrel

namespace kestrel::api {

struct TSendRequest;
class TGroupCommitter;

// A refusal: the HTTP status, what is wrong, and the request field it is about ("" for none).
class EApiError : public std::runtime_error {
public:
    EApiError(int Status, const std::string &Message, std::string Field = {})
        : std::runtime_error(Message), m_status(Status), m_field(std::move(Field))
    {
    }
    int Status() const { return m_status; }
    const std::string &Field() const { return m_field; }

private:
    int m_status;
    std::string m_field;
};

struct TApiRequest {
    QByteArray Method;           // "GET", "POST", ...
    std::vector<QString> Params; // the {...} segments of the route's path, in order
    QUrlQuery Query;
    QByteArray Body;
    std::vector<std::pair<QByteArray, QByteArray>> Headers;
    TApiToken Token; // the token that authorised it (empty for open routes)
    QHostAddress Remote;

    // The value of a header (name in any case), or an empty array.
    QByteArray Header(const QByteArray &Name) const;
};

struct TApiResponse {
    int Status = 200;
    QByteArray Body;
    QByteArray ContentType = "application/json";
    std::vector<std::pair<QByteArray, QByteArray>> Headers;
    // A stream instead of an answer: the server hands it the connection, which it then owns.
    std::function<void(QTcpSocket *)> Stream;
    // Set for an answer that comes later (after a commit): the server calls it with the function
    // that writes that answer; Status and Body of this one are then unused.
    std::function<void(std::function<void(TApiResponse)>)> Later;

    static TApiResponse Json(int Status, const QJsonObject &Body);
};

// A modem as its gateway last wrote it, at Now (ms since 1970): "up", "lost", or "silent" when
// its gateway has not written for a while (it died or lost the store).
const char *ModemCondition(const TModemState &Modem, qint64 Now);

// The one error shape: {"error": Message, "field": Field}.
TApiResponse ErrorResponse(int Status, const std::string &Message, const std::string &Field = {});

struct TRoute {
    const char *Method;
    const char *Path; // literal segments and {name} for a number in the path
    TScope Scope;     // scNone: no token needed
    const char *Summary;
    const char *Query; // the query parameters it reads, comma-separated ("" for none)
    bool JsonBody;     // the body is JSON (415 for another content type)
    std::function<TApiResponse(const TApiRequest &)> Handler;
    // The token comes as the parameters username (its name) and password (the token), in the
    // query or a form body, for clients that know no other way.
    bool FormCredentials = false;
};

// What the server counts for the metrics.
struct TApiCounters {
    std::map<int, int64_t> Responses; // by status
    int64_t AuthFailures = 0;         // 401 and 403
    int64_t StoreErrors = 0;          // requests the store failed
    // Webhook requests of this node by receiver (its URL as WebhookLabel shows it, or dlr-url):
    // those a receiver took, and those that failed (each attempt).
    std::map<std::string, int64_t> WebhookDeliveries;
    std::map<std::string, int64_t> WebhookFailures;
};

// The API's routes and what they answer with: they ask the store, and compose what is sent the
// way kestrel send composes it.
class TApiService {
public:
    // Context: the object on whose thread the server runs; answers of queued messages come there.
    TApiService(TMessageStore &Store, const TApiCounters &Counters, QObject *Context);
    ~TApiService();

    const std::vector<TRoute> &Routes() const { return m_routes; }
    // Routes of another part (the web console) join the table.
    void AddRoutes(std::vector<TRoute> Routes)
    {
        m_routes.insert(m_routes.end(), Routes.begin(), Routes.end());
    }
    // The OpenAPI 3 document of the routes.
    QJsonObject OpenApi() const;

private:
    TApiResponse sendMessages(const TApiRequest &Request);
    TApiResponse compatSend(const TApiRequest &Request);
    // Composes and queues Sends (one transaction), with the request's idempotency key.
    TApiResponse queue(const TApiRequest &Request, const std::vector<TSendRequest> &Sends, bool Batch);
    TApiResponse message(const TApiRequest &Request);
    TApiResponse messages(const TApiRequest &Request);
    TApiResponse cancel(const TApiRequest &Request);
    TApiResponse health(const TApiRequest &Request);
    TApiResponse modems(const TApiRequest &Request);
    TApiResponse metrics(const TApiRequest &Request);

    TMessageStore &m_store;
    const TApiCounters &m_counters;
    std::unique_ptr<TMessageComposer> m_composer;
    std::unique_ptr<TGroupCommitter> m_committer;
    std::vector<TRoute> m_routes;
};

} // namespace kestrel::api
