#include "api/eventstream.h"

#include "api/console.h"
#include "base/clock.h"
#include "store/messagestore.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

namespace kestrel::api {

namespace {

QByteArray compact(const QJsonObject &json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

// One event of the log as the stream writes it: the log's data with the event's own fields.
QByteArray eventFrame(const TStoredEvent &e)
{
    QJsonObject data = QJsonDocument::fromJson(QByteArray::fromStdString(e.Data)).object();
    data["event"] = static_cast<qint64>(e.Id);
    data["type"] = QString::fromStdString(e.Type);
    data["message"] = static_cast<qint64>(e.MessageId);
    data["modem"] = QString::fromUtf8(e.Modem.data(), static_cast<qsizetype>(e.Modem.size()));
    data["time"] = QDateTime::fromMSecsSinceEpoch(e.TimeMs, Qt::UTC).toString(Qt::ISODateWithMs);
    // The type is one of the store's names; anything else (a newer writer) goes as "message".
    const auto &types = StoredEventTypes();
    const bool known = std::find(types.begin(), types.end(), e.Type) != types.end();
    return "id: " + QByteArray::number(static_cast<qint64>(e.Id)) +
           "\nevent: " + (known ? QByteArray::fromStdString(e.Type) : QByteArray("message")) +
           "\ndata: " + compact(data) + "\n\n";
}

} // namespace

TEventStreams::TEventStreams(TMessageStore &Store, TEventStreamSettings Settings, QObject *Parent)
    : QObject(Parent), m_store(Store), m_settings(Settings)
{
    m_poll.setInterval(m_settings.PollMs);
    m_modemPoll.setInterval(m_settings.ModemPollMs);
    m_keepAlive.setInterval(m_settings.KeepAliveMs);
    connect(&m_poll, &QTimer::timeout, this, &TEventStreams::readEvents);
    connect(&m_modemPoll, &QTimer::timeout, this, &TEventStreams::readModems);
    connect(&m_keepAlive, &QTimer::timeout, this, &TEventStreams::keepAlive);
}

TEventStreams::~TEventStreams()
{
    for (TStream &s : m_streams)
        if (s.Socket)
            s.Socket->disconnectFromHost();
}

TApiResponse TEventStreams::Open(const TApiRequest &Request)
{
    prune();
    if (Count() >= m_settings.MaxStreams)
        throw EApiError(503, "this node serves as many event streams as it may; try another or later");
    int64_t last = -1;
    const QByteArray header = Request.Header("Last-Event-ID").trimmed();
    if (!header.isEmpty()) {
        bool ok = false;
        last = header.toLongLong(&ok);
        if (!ok || last < 0)
            throw EApiError(400, "must be the id of an event", "Last-Event-ID");
    }
    // Without Last-Event-ID the stream starts with what happens from now on.
    if (last < 0)
        last = m_store.LatestEventId();
    TApiResponse r;
    r.Stream = [this, last](QTcpSocket *socket) { attach(socket, last); };
    return r;
}

void TEventStreams::attach(QTcpSocket *Socket, int64_t LastId)
{
    TApiResponse head;
    TConsole::AddSecurityHeaders(head);
    QByteArray text = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                      "Cache-Control: no-store\r\nX-Accel-Buffering: no\r\n";
    for (const auto &[name, value] : head.Headers)
        text += name + ": " + value + "\r\n";
    // The body runs until either side closes the connection.
    text += "Connection: close\r\n\r\nretry: 2000\n\n";
    Socket->write(text);
    m_streams.push_back({Socket, LastId});
    if (!m_listening)
        m_listening = m_store.WakeOnEvents([this] { readEvents(); });
    // The modems as they are, and what the client missed.
    for (const auto &[label, frame] : m_modems)
        send(m_streams.back(), frame);
    readEvents();
}

void TEventStreams::send(TStream &Stream, const QByteArray &Data)
{
    if (!Stream.Socket || Stream.Socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (Stream.Socket->bytesToWrite() > m_settings.MaxBuffered) {
        // A client that does not read would make this node keep everything for it.
        Stream.Socket->abort();
        return;
    }
    Stream.Socket->write(Data);
}

void TEventStreams::prune()
{
    std::erase_if(m_streams, [](const TStream &s) {
        return !s.Socket || s.Socket->state() != QAbstractSocket::ConnectedState;
    });
}

void TEventStreams::updateTimers()
{
    prune();
    const bool any = !m_streams.empty();
    for (QTimer *t : {&m_poll, &m_modemPoll, &m_keepAlive}) {
        if (any && !t->isActive())
            t->start();
        else if (!any)
            t->stop();
    }
    if (!any)
        m_modems.clear();
    else if (m_modems.empty())
        readModems();
}

void TEventStreams::readEvents()
{
    prune();
    if (m_streams.empty())
        return;
    try {
        const int64_t latest = m_store.LatestEventId();
        for (;;) {
            int64_t from = latest;
            for (const TStream &s : m_streams)
                from = std::min(from, s.LastId);
            if (from >= latest)
                break;
            const std::vector<TStoredEvent> events = m_store.EventsAfter(from, m_settings.Page);
            if (events.empty())
                break;
            for (const TStoredEvent &e : events) {
                const QByteArray frame = eventFrame(e);
                for (TStream &s : m_streams)
                    if (e.Id > s.LastId) {
                        send(s, frame);
                        s.LastId = e.Id;
                    }
            }
            // A stream behind by more than a page catches up over the next looks.
            if (static_cast<int>(events.size()) < m_settings.Page || events.back().Id >= latest)
                break;
        }
    } catch (const EStoreError &e) {
        // The streams stay open; the next look tries again.
        std::fprintf(stderr, "kestrel api: event stream: %s\n", e.what());
    }
    updateTimers();
}

void TEventStreams::readModems()
{
    if (m_streams.empty())
        return;
    try {
        const qint64 now = Clock().UnixMs();
        std::map<std::string, QByteArray> current;
        for (const TModemState &m : m_store.ModemStates()) {
            const QJsonObject json{{"label", QString::fromStdString(m.Label)},
                                   {"host", QString::fromStdString(m.Host)},
                                   {"device", QString::fromStdString(m.Device)},
                                   {"equipment", QString::fromStdString(m.Equipment)},
                                   {"state", ModemCondition(m, now)},
                                   {"registration", m.Registration}};
            current[m.Label] = "event: modem\ndata: " + compact(json) + "\n\n";
        }
        for (const auto &[label, frame] : current) {
            auto it = m_modems.find(label);
            if (it != m_modems.end() && it->second == frame)
                continue;
            for (TStream &s : m_streams)
                send(s, frame);
        }
        m_modems = std::move(current);
    } catch (const EStoreError &e) {
        std::fprintf(stderr, "kestrel api: event stream: %s\n", e.what());
    }
}

void TEventStreams::keepAlive()
{
    for (TStream &s : m_streams)
        send(s, ": keep-alive\n\n");
    updateTimers();
}

} // namespace kestrel::api
