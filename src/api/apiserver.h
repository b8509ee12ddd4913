// TApiServer: the HTTP API of the message store on Qt HTTP Server, on the event loop of the thread
// that creates it. Every request goes through one route table (apiroutes.h), one check of the
// token and its scope, and one error shape; connections are bounded before Qt parses them
// (header and body limits, slow and idle clients cut off, the oldest idle connection closed
// first when too many are open).
//
// The server uses the store it is given from its own thread; it owns neither.
#pragma once

#include "api/apiroutes.h"
#include "api/apitokens.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <map>
#include <memory>
#include <string>

class QTcpServer;

namespace kestrel {
class TMessageStore;
}

namespace kestrel::api {

class TConnectionGuard;
class TConsole;

struct TApiSettings {
    QHostAddress Address = QHostAddress::LocalHost;
    quint16 Port = 8080; // 0: any free port (Port() says which)
    QString TlsCert;     // PEM files; both or neither
    QString TlsKey;
    qint64 MaxBody = 1 << 20;       // a larger body is refused with 413
    int MaxHeader = 16 * 1024;      // request line and headers; more is refused with 431
    int RequestTimeoutMs = 10000;   // a request not whole within this time is refused with 408
    int IdleTimeoutMs = 60000;      // an idle keep-alive connection is closed after this time
    int MaxConnections = 512;       // beyond it the longest idle connection is closed first
    int AuthFailuresPerMinute = 20; // per client address; then 429 until the minute is over
    int TokenRefreshMs = 2000;      // how old the server's copy of the token list may be
};

class TApiServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    TApiServer(TMessageStore &Store, TApiSettings Settings, QObject *Parent = nullptr);
    ~TApiServer() override;

    // Starts listening; raises std::runtime_error when the address cannot be bound or the TLS
    // files cannot be read.
    void Start();
    quint16 Port() const { return m_port; }
    const TApiSettings &Settings() const { return m_settings; }
    // What the node counts for its metrics; webhook deliveries of the same process count here too.
    TApiCounters &Counters() { return m_counters; }

protected:
    bool handleRequest(const QHttpServerRequest &Request, QTcpSocket *Socket) override;
    void missingHandler(const QHttpServerRequest &Request, QTcpSocket *Socket) override;

private:
    // Writes Response (or, for one that comes later, arranges that it is written then) on
    // Socket, unless the client has gone; Close ends the connection after it.
    void respond(QPointer<QTcpSocket> Socket, bool Close, TApiResponse Response);
    // Counts an authentication failure of Address; true while it is over the limit.
    bool authLimited(const QHostAddress &Address, bool Failed);

    TMessageStore &m_store;
    TApiSettings m_settings;
    TTokenBook m_tokens;
    TApiCounters m_counters;
    std::unique_ptr<TApiService> m_service;
    std::unique_ptr<TConsole> m_console;
    std::unique_ptr<TConnectionGuard> m_guard;
    QTcpServer *m_listener = nullptr; // owned by this object (Qt parent)
    quint16 m_port = 0;
    struct TFailures {
        qint64 WindowStartMs = 0;
        int Count = 0;
    };
    std::map<QByteArray, TFailures> m_authFailures; // by client address
};

} // namespace kestrel::api
