#include "api/apiserver.h"

#include "api/apiroutes.h"
#include "api/console.h"
#include "store/messagestore.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <stdexcept>
#include <unordered_map>

namespace kestrel::api {

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

const char *reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 415:
        return "Unsupported Media Type";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    }
    return "Bad Request";
}

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    default:
        return "OTHER";
    }
}

} // namespace

// Watches each connection before Qt's parser reads it: the head of a request is held to
// MaxHeader and its body to MaxBody, a request must be whole within RequestTimeoutMs, an idle
// connection lives IdleTimeoutMs, and at MaxConnections the longest idle one makes room. What
// it refuses is answered here, with the connection closed, so Qt never buffers it.
class TConnectionGuard : public QObject {
public:
    explicit TConnectionGuard(const TApiSettings &settings) : m_settings(settings)
    {
        m_tick.setInterval(std::max(100, std::min(settings.RequestTimeoutMs, settings.IdleTimeoutMs) / 4));
        connect(&m_tick, &QTimer::timeout, this, &TConnectionGuard::sweep);
        m_tick.start();
    }

    // Before Qt's server takes the socket, so that this object reads each chunk first.
    void Attach(QTcpSocket *socket)
    {
        if (static_cast<int>(m_conns.size()) >= m_settings.MaxConnections) {
            QTcpSocket *oldest = nullptr;
            qint64 oldestMs = 0;
            for (const auto &[s, c] : m_conns)
                if (c.Bytes == 0 && !c.Closing && !c.Answering && (!oldest || c.LastMs < oldestMs)) {
                    oldest = s;
                    oldestMs = c.LastMs;
                }
            if (oldest) {
                m_conns[oldest].Closing = true;
                oldest->abort();
            } else {
                reject(socket, m_conns[socket], 503, "too many connections");
            }
        }
        TConn &c = m_conns[socket];
        c.LastMs = nowMs();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { m_conns.erase(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { m_conns.erase(socket); });
    }

    // The connection carries a stream now: its owner watches it, not this guard.
    void Release(QTcpSocket *socket)
    {
        disconnect(socket, nullptr, this, nullptr);
        m_conns.erase(socket);
    }

    // Qt handed the request over whole: the connection waits for its answer, and is neither
    // idle nor late meanwhile.
    void RequestDone(QTcpSocket *socket)
    {
        auto it = m_conns.find(socket);
        if (it == m_conns.end())
            return;
        it->second = TConn{};
        it->second.LastMs = nowMs();
        it->second.Answering = true;
    }

    // The answer is written: the connection is idle again.
    void Answered(QTcpSocket *socket)
    {
        auto it = m_conns.find(socket);
        if (it == m_conns.end())
            return;
        it->second.Answering = false;
        it->second.LastMs = nowMs();
    }

private:
    struct TConn {
        qint64 LastMs = 0;
        qint64 StartedMs = 0;
        qint64 Bytes = 0;     // of the request under way
        qint64 HeadSize = -1; // once the head is whole
        bool Chunked = false;
        bool Closing = false;
        bool Answering = false; // a request is whole and its answer not written yet
        QByteArray Head;
    };

    void onReadyRead(QTcpSocket *socket)
    {
        auto it = m_conns.find(socket);
        if (it == m_conns.end())
            return;
        TConn &c = it->second;
        if (c.Closing) {
            socket->readAll(); // nothing more for the parser
            return;
        }
        const qint64 n = socket->bytesAvailable();
        if (n <= 0)
            return;
        const qint64 now = nowMs();
        if (c.Bytes == 0)
            c.StartedMs = now;
        c.LastMs = now;
        c.Bytes += n;
        if (c.HeadSize < 0) {
            c.Head += socket->peek(std::min<qint64>(n, m_settings.MaxHeader + 4 - c.Head.size() + 1));
            const qsizetype end = c.Head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (c.Head.size() > m_settings.MaxHeader)
                    reject(socket, c, 431, "the request head is over 16 KiB");
                return;
            }
            c.HeadSize = end + 4;
            const QByteArray head = c.Head.left(end);
            c.Head.clear();
            static const QRegularExpression length("^content-length:[ \\t]*([0-9]+)[ \\t]*$",
                                                   QRegularExpression::CaseInsensitiveOption |
                                                       QRegularExpression::MultilineOption);
            static const QRegularExpression chunked("^transfer-encoding:.*chunked",
                                                    QRegularExpression::CaseInsensitiveOption |
                                                        QRegularExpression::MultilineOption);
            const QString text = QString::fromLatin1(head).remove('\r');
            const auto m = length.match(text);
            c.Chunked = chunked.match(text).hasMatch();
            if (m.hasMatch() &&
                (m.captured(1).size() > 15 || m.captured(1).toLongLong() > m_settings.MaxBody)) {
                reject(socket, c, 413, "the body is over 1 MiB");
                return;
            }
        }
        // A chunked body is longer than its data by its chunk lines: some room for them.
        const qint64 room = m_settings.MaxBody + (c.Chunked ? m_settings.MaxBody / 8 + 1024 : 0);
        if (c.Bytes - c.HeadSize > room)
            reject(socket, c, 413, "the body is over 1 MiB");
    }

    void reject(QTcpSocket *socket, TConn &c, int status, const char *message)
    {
        const QByteArray body = QJsonDocument(QJsonObject{{"error", message}, {"field", QJsonValue::Null}})
                                    .toJson(QJsonDocument::Compact);
        socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + reasonOf(status) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        c.Closing = true;
        socket->readAll();
        socket->disconnectFromHost();
    }

    void sweep()
    {
        const qint64 now = nowMs();
        std::vector<QTcpSocket *> late, idle;
        for (auto &[s, c] : m_conns) {
            if (c.Closing)
                continue;
            if (c.Bytes > 0 && now - c.StartedMs > m_settings.RequestTimeoutMs)
                late.push_back(s);
            else if (c.Bytes == 0 && !c.Answering && now - c.LastMs > m_settings.IdleTimeoutMs)
                idle.push_back(s);
        }
        for (QTcpSocket *s : late)
            reject(s, m_conns[s], 408, "the request did not come whole in time");
        for (QTcpSocket *s : idle) {
            m_conns[s].Closing = true;
            s->disconnectFromHost();
        }
    }

    const TApiSettings &m_settings;
    std::unordered_map<QTcpSocket *, TConn> m_conns;
    QTimer m_tick;
};

namespace {

// A plain listener that shows each new connection to the guard before Qt's server takes it.
class TGuardedServer : public QTcpServer {
public:
    TGuardedServer(TConnectionGuard &guard, QObject *parent) : QTcpServer(parent), m_guard(guard) {}

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        m_guard.Attach(socket);
        addPendingConnection(socket);
    }

private:
    TConnectionGuard &m_guard;
};

} // namespace

TApiServer::TApiServer(TMessageStore &Store, TApiSettings Settings, QObject *Parent)
    : QAbstractHttpServer(Parent), m_store(Store), m_settings(std::move(Settings)),
      m_tokens(Store, m_settings.TokenRefreshMs),
      m_service(std::make_unique<TApiService>(Store, m_counters, this)),
      m_console(std::make_unique<TConsole>(Store, m_tokens, !m_settings.TlsCert.isEmpty())),
      m_guard(std::make_unique<TConnectionGuard>(m_settings))
{
    m_service->AddRoutes(m_console->Routes());
}

TApiServer::~TApiServer() = default;

void TApiServer::Start()
{
    if (m_settings.TlsCert.isEmpty() != m_settings.TlsKey.isEmpty())
        throw std::runtime_error("TLS needs both a certificate and a key");
    if (!m_settings.TlsCert.isEmpty()) {
        QFile certFile(m_settings.TlsCert), keyFile(m_settings.TlsKey);
        if (!certFile.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the certificate " + m_settings.TlsCert.toStdString());
        if (!keyFile.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read the key " + m_settings.TlsKey.toStdString());
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyData = keyFile.readAll();
        QSslKey key(keyData, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyData, QSsl::Ec, QSsl::Pem);
        if (chain.isEmpty() || key.isNull())
            throw std::runtime_error("the certificate or key is no PEM file");
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificateChain(chain);
        config.setPrivateKey(key);
        auto *ssl = new QSslServer(this);
        ssl->setSslConfiguration(config);
        ssl->setHandshakeTimeout(m_settings.RequestTimeoutMs);
        connect(ssl, &QSslServer::startedEncryptionHandshake, this,
                [this](QSslSocket *socket) { m_guard->Attach(socket); });
        m_listener = ssl;
    } else {
        m_listener = new TGuardedServer(*m_guard, this);
    }
    if (!m_listener->listen(m_settings.Address, m_settings.Port))
        throw std::runtime_error("cannot listen on " + m_settings.Address.toString().toStdString() +
                                 " port " + std::to_string(m_settings.Port) + ": " +
                                 m_listener->errorString().toStdString());
    m_port = m_listener->serverPort();
    bind(m_listener);
}

bool TApiServer::authLimited(const QHostAddress &Address, bool Failed)
{
    const qint64 now = nowMs();
    TFailures &f = m_authFailures[Address.toString().toLatin1()];
    if (now - f.WindowStartMs > 60000) {
        f = {now, 0};
        // Forget the addresses whose minute is over, so a scan of many addresses cannot grow the map.
        if (m_authFailures.size() > 4096)
            std::erase_if(m_authFailures,
                          [now](const auto &e) { return now - e.second.WindowStartMs > 60000; });
    }
    if (Failed)
        ++m_authFailures[Address.toString().toLatin1()].Count;
    return m_authFailures[Address.toString().toLatin1()].Count >= m_settings.AuthFailuresPerMinute;
}

namespace {

// Splits the still percent-encoded path, so that "%2F" never makes a segment boundary.
std::optional<std::vector<QString>> matchPath(const QString &pattern, const QStringList &segments)
{
    const QStringList parts = pattern.mid(1).split('/');
    if (parts.size() != segments.size())
        return std::nullopt;
    std::vector<QString> params;
    static const QRegularExpression number("^[1-9][0-9]{0,17}$");
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts[i].startsWith('{')) {
            if (!number.match(segments[i]).hasMatch())
                return std::nullopt;
            params.push_back(segments[i]);
        } else if (parts[i] != segments[i]) {
            return std::nullopt;
        }
    }
    return params;
}

} // namespace

bool TApiServer::handleRequest(const QHttpServerRequest &Request, QTcpSocket *Socket)
{
    m_guard->RequestDone(Socket);
    TApiResponse response;
    try {
        TApiRequest r;
        r.Method = methodName(Request.method());
        r.Query = Request.query();
        for (const auto &header : Request.headers())
            r.Headers.push_back(header);
        r.Remote = Request.remoteAddress();
        const QString path = Request.url().path(QUrl::FullyEncoded);
        const QStringList segments = path.startsWith('/') ? path.mid(1).split('/') : QStringList{};
        const TRoute *route = nullptr;
        QByteArrayList allowed;
        for (const TRoute &candidate : m_service->Routes()) {
            auto params = matchPath(candidate.Path, segments);
            if (!params)
                continue;
            allowed << candidate.Method;
            if (r.Method == candidate.Method) {
                route = &candidate;
                r.Params = std::move(*params);
            }
        }
        std::optional<TApiResponse> file;
        if (allowed.isEmpty() && !(file = TConsole::File(r.Method, path)))
            throw EApiError(404, "no such resource");
        if (file) {
            response = std::move(*file);
        } else if (!route) {
            response = ErrorResponse(405, "this resource takes " + allowed.join(", ").toStdString());
            response.Headers.push_back({"Allow", allowed.join(", ")});
        } else {
            if (route->Scope != TScope::scNone) {
                if (authLimited(r.Remote, false))
                    throw EApiError(429, "too many failed authentications from this address; wait a minute");
                const QByteArray auth = r.Header("Authorization");
                std::optional<TApiToken> token;
                if (route->FormCredentials) {
                    const bool form = r.Header("Content-Type").split(';').first().trimmed().toLower() ==
                                      "application/x-www-form-urlencoded";
                    if (form)
                        for (const auto &item : QUrlQuery(QString::fromUtf8(Request.body())).queryItems())
                            r.Query.addQueryItem(item.first, item.second);
                    const QString password = r.Query.queryItemValue("password", QUrl::FullyDecoded);
                    token = m_tokens.Find(password.toStdString());
                    if (token &&
                        token->Name != r.Query.queryItemValue("username", QUrl::FullyDecoded).toStdString())
                        token.reset();
                } else if (auth.startsWith("Bearer ")) {
                    token = m_tokens.Find(auth.mid(7).trimmed().toStdString());
                } else if (auto session = m_console->Sessions().Find(r)) {
                    token = session->Token;
                }
                if (!token) {
                    authLimited(r.Remote, true);
                    throw EApiError(401, "a valid token is needed (Authorization: Bearer ...)",
                                    route->FormCredentials ? "password" : "Authorization");
                }
                const std::optional<TScope> scope = ScopeFromName(token->Scope);
                if (!scope || *scope < route->Scope) {
                    authLimited(r.Remote, true);
                    throw EApiError(403,
                                    std::string("this needs a token of scope ") + ScopeName(route->Scope));
                }
                r.Token = *token;
            }
            if (route->JsonBody) {
                const QByteArray type = r.Header("Content-Type").split(';').first().trimmed().toLower();
                if (type != "application/json")
                    throw EApiError(415, "the body must be application/json", "Content-Type");
            }
            r.Body = Request.body();
            if (r.Body.size() > m_settings.MaxBody)
                throw EApiError(413, "the body is over 1 MiB");
            response = route->Handler(r);
        }
    } catch (const EApiError &e) {
        response = ErrorResponse(e.Status(), e.what(), e.Field());
        if (e.Status() == 401)
            response.Headers.push_back({"WWW-Authenticate", "Bearer"});
    } catch (const EStoreError &e) {
        std::fprintf(stderr, "kestrel api: %s\n", e.what());
        response = ErrorResponse(503, "the message store cannot be reached");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kestrel api: %s\n", e.what());
        response = ErrorResponse(500, "internal error");
    }
    if (response.Stream) {
        ++m_counters.Responses[response.Status];
        m_guard->Release(Socket);
        response.Stream(Socket);
        return true;
    }
    const bool close = Request.value("Connection").toLower().contains("close");
    respond(Socket, close, std::move(response));
    return true;
}

void TApiServer::respond(QPointer<QTcpSocket> Socket, bool Close, TApiResponse Response)
{
    if (Response.Later) {
        const auto later = std::move(Response.Later);
        later([this, Socket, Close](TApiResponse answer) { respond(Socket, Close, std::move(answer)); });
        return;
    }
    ++m_counters.Responses[Response.Status];
    if (Response.Status == 401 || Response.Status == 403)
        ++m_counters.AuthFailures;
    if (Response.Status == 503)
        ++m_counters.StoreErrors;
    // A client that went away while its request was committed learns nothing more.
    if (!Socket || Socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_guard->Answered(Socket);
    TConsole::AddSecurityHeaders(Response);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(Response.Status) + " " + reasonOf(Response.Status) +
                     "\r\nContent-Type: " + Response.ContentType +
                     "\r\nContent-Length: " + QByteArray::number(Response.Body.size()) + "\r\n";
    for (const auto &[name, value] : Response.Headers)
        out += name + ": " + value + "\r\n";
    if (Close)
        out += "Connection: close\r\n";
    Socket->write(out + "\r\n" + Response.Body);
    if (Close)
        Socket->disconnectFromHost();
}

void TApiServer::missingHandler(const QHttpServerRequest &, QTcpSocket *)
{
    // handleRequest answers every request.
}

} // namespace kestrel::api
