#include "api/webhooks.h"

#include "api/apiroutes.h"
#include "base/clock.h"

#include <QDateTime>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <stdexcept>
#include <unistd.h>

namespace kestrel::api {

const char *const kCallbackReceiver = "dlr-url";

namespace {

// Delivered deliveries are kept this long for `kestrel webhooks list --delivered`, then removed.
constexpr int64_t kKeepDeliveredMs = 7LL * 86400000;
constexpr int64_t kPruneEveryMs = 3600000;
// What a receiver's answer may hold before the rest is read and dropped unbuffered.
constexpr qint64 kAnswerBuffer = 64 * 1024;

// The delivery-report codes of the convention that applications of other SMS gateways follow.
enum : int { kDelivered = 1, kNotDelivered = 2, kAccepted = 8, kRefused = 16 };

int reportCode(const TStoredEvent &event, const QJsonObject &data)
{
    if (event.Type == "delivered")
        return kDelivered;
    if (event.Type == "sent")
        return kAccepted;
    if (event.Type == "failed")
        // A send the service centre refused carries its error; a report of non-delivery none.
        return data.contains("error") ? kRefused : kNotDelivered;
    return 0;
}

QJsonObject dataOf(const TStoredEvent &event)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(event.Data)).object();
}

} // namespace

bool IsHttpUrl(const QString &Url)
{
    // Tolerant: a callback URL holds its placeholders (%d, %p) unencoded.
    const QUrl url(Url, QUrl::TolerantMode);
    return url.isValid() && (url.scheme() == "http" || url.scheme() == "https") && !url.host().isEmpty();
}

TWebhook ParseWebhookSpec(const std::string &Spec)
{
    const QString spec = QString::fromStdString(Spec).trimmed();
    // The URL ends where the first option begins (a URL may hold commas of its own).
    qsizetype end = spec.size();
    for (const char *option : {",events=", ",secret="})
        if (const qsizetype at = spec.indexOf(option); at >= 0)
            end = std::min(end, at);
    TWebhook hook;
    const QString url = spec.left(end);
    if (!IsHttpUrl(url))
        throw std::invalid_argument("--webhook takes an http:// or https:// URL first, then ,events=... and "
                                    ",secret=...");
    hook.Url = url.toStdString();
    QString key;
    for (const QString &part : spec.mid(end + 1).split(',', Qt::KeepEmptyParts)) {
        if (end == spec.size())
            break;
        if (part.startsWith("events=") || part.startsWith("secret=")) {
            key = part.left(6);
            if (key == "secret") {
                if (!hook.Secret.empty())
                    throw std::invalid_argument("--webhook: secret= given twice");
                hook.Secret = part.mid(7).toStdString();
                if (hook.Secret.empty())
                    throw std::invalid_argument("--webhook: secret= is empty");
                continue;
            }
        }
        const QString value = part.startsWith("events=") ? part.mid(7) : part;
        if (key == "secret") {
            hook.Secret += "," + value.toStdString(); // a secret with commas in it
            continue;
        }
        const std::vector<std::string> &types = StoredEventTypes();
        if (std::find(types.begin(), types.end(), value.toStdString()) == types.end()) {
            std::string known;
            for (const std::string &t : types)
                known += (known.empty() ? "" : ", ") + t;
            throw std::invalid_argument("--webhook: events= takes " + known + "; not \"" +
                                        value.toStdString() + "\"");
        }
        if (std::find(hook.Events.begin(), hook.Events.end(), value.toStdString()) == hook.Events.end())
            hook.Events.push_back(value.toStdString());
    }
    return hook;
}

std::string WebhookLabel(const std::string &Url)
{
    const QUrl url(QString::fromStdString(Url));
    return url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment)
        .toString()
        .toStdString();
}

std::optional<std::string> CallbackUrl(const TStoredEvent &Event, const TDeliveryCallback &Callback)
{
    if (Callback.Url.empty())
        return std::nullopt;
    const QJsonObject data = dataOf(Event);
    const int code = reportCode(Event, data);
    if (code == 0 || (Callback.Mask & code) == 0)
        return std::nullopt;
    QString url = QString::fromStdString(Callback.Url);
    const QString peer = QString::fromLatin1(QUrl::toPercentEncoding(data.value("peer").toString()));
    // One pass, so that a recipient's text is never read as a placeholder.
    QString out;
    for (qsizetype i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 1 < url.size() && (url[i + 1] == 'd' || url[i + 1] == 'p')) {
            out += url[i + 1] == 'd' ? QString::number(code) : peer;
            ++i;
            continue;
        }
        out += url[i];
    }
    return out.toStdString();
}

QByteArray WebhookBody(const TWebhookDelivery &Delivery)
{
    const TStoredEvent &e = Delivery.Event;
    QJsonObject body = dataOf(e);
    body["id"] = static_cast<qint64>(e.Id);
    body["type"] = QString::fromStdString(e.Type);
    body["time"] = QDateTime::fromMSecsSinceEpoch(e.TimeMs, Qt::UTC).toString(Qt::ISODateWithMs);
    body["messageId"] = static_cast<qint64>(e.MessageId);
    body["modem"] = QString::fromStdString(e.Modem);
    if (e.Type == "received")
        body["text"] = QString::fromStdString(Delivery.Text);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray WebhookSignature(const std::string &Secret, int64_t UnixSeconds, const QByteArray &Body)
{
    const QByteArray stamp = QByteArray::number(static_cast<qint64>(UnixSeconds));
    const QByteArray mac = QMessageAuthenticationCode::hash(
        stamp + "." + Body, QByteArray::fromStdString(Secret), QCryptographicHash::Sha256);
    return "t=" + stamp + ",v1=" + mac.toHex();
}

TWebhookDispatcher::TWebhookDispatcher(TMessageStore &Store, std::vector<TWebhook> Webhooks,
                                       TWebhookSettings Settings, TApiCounters &Counters, QObject *Parent)
    : QObject(Parent), m_store(Store), m_webhooks(std::move(Webhooks)), m_settings(Settings),
      m_counters(Counters), m_claimant(QString("%1/%2/webhooks-%3")
                                           .arg(QHostInfo::localHostName())
                                           .arg(getpid())
                                           .arg(QRandomGenerator::global()->generate(), 8, 16, QChar('0'))
                                           .toStdString()),
      m_network(new QNetworkAccessManager(this)), m_poll(new QTimer(this))
{
    // A receiver's redirect is an answer, not an order to post the event elsewhere.
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_poll->setInterval(m_settings.PollMs);
    connect(m_poll, &QTimer::timeout, this, [this] { tick(false); });
}

TWebhookDispatcher::~TWebhookDispatcher()
{
    // The claims of requests cut off here return to others when their leases run out.
    for (auto &[reply, delivery] : m_inFlight) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void TWebhookDispatcher::Start()
{
    // PostgreSQL tells of each new event at its commit; the poll is then only the backstop.
    if (m_store.WakeOnEvents([this] { QTimer::singleShot(0, this, [this] { tick(true); }); }))
        m_poll->setInterval(std::max(m_settings.PollMs, m_settings.ClaimEveryMs));
    m_poll->start();
    // The receivers' cursors are in place before this returns (when the store answers): what
    // happens from now on reaches them.
    tick(true);
}

const TWebhook *TWebhookDispatcher::webhookOf(const std::string &Name) const
{
    for (const TWebhook &w : m_webhooks)
        if (w.Url == Name)
            return &w;
    return nullptr;
}

void TWebhookDispatcher::storeFailed(const std::string &What)
{
    if (m_storeLost)
        return;
    m_storeLost = true;
    if (OnEvent)
        OnEvent(QJsonObject{{"event", "webhooks-store-lost"}, {"message", QString::fromStdString(What)}});
}

void TWebhookDispatcher::tick(bool Claim)
{
    if (m_ticking)
        return;
    m_ticking = true;
    try {
        const int64_t now = Clock().UnixMs();
        const int64_t latest = m_store.LatestEventId();
        if (latest != m_seenEventId) {
            int64_t seen = latest;
            for (const TWebhook &w : m_webhooks)
                seen = std::min(
                    seen,
                    m_store.QueueDeliveries(
                        w.Url,
                        [&w](const TStoredEvent &e, const TDeliveryCallback &) -> std::optional<std::string> {
                            if (!w.Events.empty() &&
                                std::find(w.Events.begin(), w.Events.end(), e.Type) == w.Events.end())
                                return std::nullopt;
                            return std::string();
                        }));
            if (m_settings.Callbacks)
                seen = std::min(seen, m_store.QueueDeliveries(kCallbackReceiver, CallbackUrl));
            if (m_seenEventId < 0 && OnEvent) {
                QJsonArray receivers;
                for (const TWebhook &w : m_webhooks)
                    receivers.append(QString::fromStdString(WebhookLabel(w.Url)));
                OnEvent(QJsonObject{
                    {"event", "webhooks"}, {"receivers", receivers}, {"callbacks", m_settings.Callbacks}});
            }
            m_seenEventId = seen;
            Claim = true;
        }
        if (!Claim && now - m_lastClaimMs < m_settings.ClaimEveryMs) {
            m_ticking = false;
            return;
        }
        const int free = m_settings.MaxInFlight - static_cast<int>(m_inFlight.size());
        if (free > 0) {
            m_lastClaimMs = now;
            std::vector<std::string> receivers;
            for (const TWebhook &w : m_webhooks)
                receivers.push_back(w.Url);
            if (m_settings.Callbacks)
                receivers.push_back(kCallbackReceiver);
            for (const TWebhookDelivery &d :
                 m_store.ClaimDeliveries(receivers, m_claimant, m_settings.LeaseMs, free))
                send(d);
        }
        if (now - m_lastPruneMs > kPruneEveryMs) {
            m_lastPruneMs = now;
            m_store.PruneDeliveries(now - kKeepDeliveredMs);
        }
        if (m_storeLost && OnEvent)
            OnEvent(QJsonObject{{"event", "webhooks-store-back"}});
        m_storeLost = false;
    } catch (const EStoreError &e) {
        storeFailed(e.what());
    }
    m_ticking = false;
}

void TWebhookDispatcher::send(const TWebhookDelivery &Delivery)
{
    const TWebhook *hook = webhookOf(Delivery.Webhook);
    const bool callback = Delivery.Webhook == kCallbackReceiver;
    QNetworkRequest request(QUrl(QString::fromStdString(callback ? Delivery.Url : hook ? hook->Url : "")));
    request.setTransferTimeout(m_settings.TimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, "kestrel-webhooks");
    QNetworkReply *reply = nullptr;
    if (callback) {
        reply = m_network->get(request);
    } else {
        const QByteArray body = WebhookBody(Delivery);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("X-Kestrel-Event-Id",
                             QByteArray::number(static_cast<qint64>(Delivery.Event.Id)));
        request.setRawHeader("X-Kestrel-Event", QByteArray::fromStdString(Delivery.Event.Type));
        if (hook && !hook->Secret.empty())
            request.setRawHeader("X-Kestrel-Signature",
                                 WebhookSignature(hook->Secret, Clock().UnixMs() / 1000, body));
        reply = m_network->post(request, body);
    }
    reply->setReadBufferSize(kAnswerBuffer);
    m_inFlight.emplace(reply, Delivery);
    // The answer's body is of no interest: read and dropped as it comes, so a long one cannot
    // hold the request open.
    connect(reply, &QNetworkReply::readyRead, this, [reply] { reply->skip(reply->bytesAvailable()); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
    // The transfer time-out counts silence; this one the whole request, so that a receiver that
    // trickles its answer cannot hold a claim past its lease.
    QTimer::singleShot(m_settings.TimeoutMs, reply, [reply] {
        if (reply->isRunning())
            reply->abort();
    });
}

void TWebhookDispatcher::finished(QNetworkReply *Reply)
{
    const auto it = m_inFlight.find(Reply);
    if (it == m_inFlight.end())
        return;
    const TWebhookDelivery delivery = it->second;
    m_inFlight.erase(it);
    Reply->deleteLater();
    const int status = Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool ok = status >= 200 && status < 300 && Reply->error() == QNetworkReply::NoError;
    const std::string label =
        delivery.Webhook == kCallbackReceiver ? kCallbackReceiver : WebhookLabel(delivery.Webhook);
    try {
        if (ok) {
            ++m_counters.WebhookDeliveries[label];
            m_store.DeliveryDone(delivery.Id, m_claimant);
        } else {
            ++m_counters.WebhookFailures[label];
            // The error's name, not Qt's text of it, which names the URL (a callback's may hold a
            // token).
            const std::string error =
                status > 0 ? "HTTP " + std::to_string(status)
                           : QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Reply->error());
            // 1, 2, 4 ... times the first wait, up to the longest.
            const int shift = std::clamp(delivery.Attempts - 1, 0, 30);
            const int64_t wait =
                std::min<int64_t>(static_cast<int64_t>(m_settings.RetryMs) << shift, m_settings.MaxRetryMs);
            m_store.DeliveryFailed(delivery.Id, m_claimant, error, wait, m_settings.GiveUpMs);
        }
    } catch (const EStoreError &e) {
        storeFailed(e.what());
    }
    // What waited for this one (the next event of its message) may go now.
    QTimer::singleShot(0, this, [this] { tick(true); });
}

} // namespace kestrel::api
