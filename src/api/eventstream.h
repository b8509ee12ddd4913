// GET /v1/events: the store's event log as server-sent events (text/event-stream), for the web
// console and for programs. Each event of the log goes out with its id ("id:"), its type as the
// event name and its JSON as data; a client that reconnects with Last-Event-ID gets what it missed.
// Modems are events too ("modem", without an id: they come from the modems table the gateways
// write, not from the log), sent when a modem's state, registration, signal or operator changes.
//
// One reader per API node serves every stream: it looks at the log when PostgreSQL notifies it
// and every PollMs (on SQLite, which has no notifications, that is how new events are found), and
// at the modems every ModemPollMs. A comment line every KeepAliveMs keeps proxies from closing
// an idle stream and finds clients that went away. A node serves at most MaxStreams streams; a
// client that does not read (more than MaxBuffered bytes waiting) is dropped.
#pragma once

#include "api/apiroutes.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class QTcpSocket;

namespace kestrel {
class TMessageStore;
}

namespace kestrel::api {

struct TEventStreamSettings {
    int MaxStreams = 100;
    int PollMs = 200;
    int ModemPollMs = 2000;
    int KeepAliveMs = 15000;
    qint64 MaxBuffered = 1 << 20;
    int Page = 500; // events read at a time
};

class TEventStreams : public QObject {
public:
    TEventStreams(TMessageStore &Store, TEventStreamSettings Settings = {}, QObject *Parent = nullptr);
    ~TEventStreams() override;

    // The answer to GET /v1/events: a stream (or 503 when the node serves MaxStreams already, 400
    // for a Last-Event-ID that is no event id).
    TApiResponse Open(const TApiRequest &Request);
    int Count() const { return static_cast<int>(m_streams.size()); }

private:
    struct TStream {
        QPointer<QTcpSocket> Socket;
        int64_t LastId = 0;
    };
    void attach(QTcpSocket *Socket, int64_t LastId);
    void readEvents();
    void readModems();
    void keepAlive();
    void send(TStream &Stream, const QByteArray &Data);
    void prune();
    // Whether the timers should run: only while a stream is open.
    void updateTimers();

    TMessageStore &m_store;
    TEventStreamSettings m_settings;
    std::vector<TStream> m_streams;
    QTimer m_poll, m_modemPoll, m_keepAlive;
    bool m_listening = false;                   // PostgreSQL notifies this node of new events
    std::map<std::string, QByteArray> m_modems; // the last state sent of each modem, by label
};

} // namespace kestrel::api
