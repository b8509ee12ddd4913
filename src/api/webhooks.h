// Webhooks: the events of the store's log delivered to receivers over HTTP, and the delivery
// reports that messages queued through the compatibility route ask for (their dlr-url). The store
// keeps the outbox (each receiver's cursor, the deliveries and their leases); TWebhookDispatcher
// is the loop that queues, claims and sends them, on the event loop of the thread that creates
// it, in any number of processes on any number of machines sharing the store.
#pragma once

#include "store/messagestore.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace kestrel::api {

struct TApiCounters;

// A webhook as configured.
struct TWebhook {
    std::string Url;                 // http or https; also the receiver's name in the store
    std::vector<std::string> Events; // the event types it wants; empty: every type
    std::string Secret;              // signs each request; "" sends them unsigned
};

// Reads "URL[,events=TYPE,TYPE...][,secret=SECRET]". Raises std::invalid_argument with a text
// for the user (never holding the secret).
TWebhook ParseWebhookSpec(const std::string &Spec);
// A webhook's URL as shown in lines and metrics: without user, password, query and fragment.
std::string WebhookLabel(const std::string &Url);
// Whether Url is an absolute http or https URL with a host.
bool IsHttpUrl(const QString &Url);

// The receiver name of delivery-report callbacks in the store.
extern const char *const kCallbackReceiver;
// The callback URL of a delivery report on Event for a message that asked for Callback, with %d
// (the report's code: 1 delivered, 2 not delivered, 8 accepted by the service centre, 16 refused
// by it) and %p (the recipient) put in, URL-encoded; nullopt when the message asked for none of
// this kind.
std::optional<std::string> CallbackUrl(const TStoredEvent &Event, const TDeliveryCallback &Callback);

// The JSON body of a webhook request for Delivery.
QByteArray WebhookBody(const TWebhookDelivery &Delivery);
// The X-Kestrel-Signature header's value: "t=UNIX,v1=HEX" with HEX the HMAC-SHA256 under Secret
// of "UNIX.BODY".
QByteArray WebhookSignature(const std::string &Secret, int64_t UnixSeconds, const QByteArray &Body);

struct TWebhookSettings {
    int PollMs = 200;            // how often the log is looked at for new events (PostgreSQL wakes sooner)
    int ClaimEveryMs = 1000;     // how often due retries are looked for without a new event
    int LeaseMs = 30000;         // a claimed delivery returns to others after this time
    int TimeoutMs = 10000;       // a request not answered within this time failed
    int RetryMs = 1000;          // the wait after a first failed attempt, doubled for each next
    int MaxRetryMs = 600000;     // the longest wait between attempts
    int64_t GiveUpMs = 86400000; // a delivery still failing this long after it was queued is given up
    int MaxInFlight = 16;        // requests under way at once
    bool Callbacks = true;       // also deliver the delivery reports messages ask for
};

class TWebhookDispatcher : public QObject {
    Q_OBJECT
public:
    // The dispatcher uses Store from this thread and counts into Counters; it owns neither.
    TWebhookDispatcher(TMessageStore &Store, std::vector<TWebhook> Webhooks, TWebhookSettings Settings,
                       TApiCounters &Counters, QObject *Parent = nullptr);
    ~TWebhookDispatcher() override;

    void Start();
    // What happened, as JSON lines for the program's output: a delivery given up, the store lost
    // or back. Never a secret or a message text.
    std::function<void(const QJsonObject &)> OnEvent;

private:
    void tick(bool Claim);
    void send(const TWebhookDelivery &Delivery);
    void finished(QNetworkReply *Reply);
    void storeFailed(const std::string &What);
    const TWebhook *webhookOf(const std::string &Name) const;

    TMessageStore &m_store;
    std::vector<TWebhook> m_webhooks;
    TWebhookSettings m_settings;
    TApiCounters &m_counters;
    std::string m_claimant;
    QNetworkAccessManager *m_network = nullptr; // owned by this object (Qt parent)
    QTimer *m_poll = nullptr;
    std::map<QNetworkReply *, TWebhookDelivery> m_inFlight;
    int64_t m_seenEventId = -1; // every receiver's cursor is at least here
    int64_t m_lastClaimMs = 0;
    int64_t m_lastPruneMs = 0;
    bool m_ticking = false;
    bool m_storeLost = false;
};

} // namespace kestrel::api
