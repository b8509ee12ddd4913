#include "gateway/gatewaymodem.h"

#include "base/clock.h"
#include "base/format.h"
#include "base/inifile.h"
#include "connect/connection.h"
#include "gateway/leasekeeper.h"
#include "gsm/atparser.h"
#include "gsm/gsmerror.h"
#include "gsm/gsmerrors.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "xsms/payloadkind.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <unistd.h>

namespace kestrel {

namespace {

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

// A text the engine raises when the handset did not answer in time (as opposed to an error it
// answered with).
bool isTimeout(const std::string &error)
{
    const std::string noReply =
        std::string(SNoReplyOnATCommand).substr(0, std::string(SNoReplyOnATCommand).find('%'));
    return error.rfind(noReply, 0) == 0;
}

QString text(const std::string &s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// An error for the events: the engine names the failed command whole, and the data part of a
// send is the message itself.
QString eventError(const std::string &error)
{
    std::string shown = error;
    const size_t send = shown.find("AT+CMGS=");
    const size_t data = send == std::string::npos ? send : shown.find('>', send);
    if (data != std::string::npos)
        shown.replace(data + 1, std::string::npos, "...");
    return text(shown);
}

// The reference of a "+CMGS: <mr>[,<scts>]" line; -1 when it names none.
int referenceOfLine(const std::string &line)
{
    bool ok = false;
    const int mr =
        QString::fromStdString(line.substr(line.find(':') + 1)).section(',', 0, 0).trimmed().toInt(&ok);
    return ok ? mr : -1;
}

// Adds the time from its construction to its end to a sum of milliseconds: what a message costs
// in the store, reported with its "sent" event.
class TStoreTime {
public:
    explicit TStoreTime(double &sumMs) : m_sum(sumMs), m_start(std::chrono::steady_clock::now()) {}
    ~TStoreTime()
    {
        m_sum +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    }
    TStoreTime(const TStoreTime &) = delete;
    TStoreTime &operator=(const TStoreTime &) = delete;

private:
    double &m_sum;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace

TGatewayModemSpec ParseModemSpec(const std::string &Text)
{
    // Errors show the text with its PIN masked.
    std::string shownText = Text;
    for (size_t pin = shownText.find(",pin="); pin != std::string::npos;
         pin = shownText.find(",pin=", pin + 1)) {
        const size_t end = std::min(shownText.find(',', pin + 5), shownText.size());
        shownText.replace(pin + 5, end - pin - 5, "***");
    }
    const char *shown = shownText.c_str();
    TGatewayModemSpec spec;
    size_t start = 0;
    bool first = true;
    while (start <= Text.size()) {
        size_t comma = Text.find(',', start);
        if (comma == std::string::npos)
            comma = Text.size();
        const std::string part = Text.substr(start, comma - start);
        start = comma + 1;
        if (first) {
            spec.Device = part;
            first = false;
            continue;
        }
        const size_t eq = part.find('=');
        const std::string key = part.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : part.substr(eq + 1);
        if (eq == std::string::npos || key.empty())
            throw EGSMError(Format("--modem %s: \"%s\" is no KEY=VALUE", shown, part.c_str()));
        if (key == "equipment") {
            try {
                spec.Equipment = StrToEquipment(value);
            } catch (const EGSMError &e) {
                throw EGSMError(Format("--modem %s: %s: %s", shown, e.what(), value.c_str()));
            }
        } else if (key == "pin") {
            spec.PIN = value;
        } else if (key == "sca") {
            spec.SCA = value;
        } else if (key == "name") {
            spec.Name = value;
        } else {
            throw EGSMError(
                Format("--modem %s: unknown key \"%s\" (equipment, pin, sca, name)", shown, key.c_str()));
        }
    }
    if (spec.Device.empty())
        throw EGSMError(Format("--modem \"%s\" names no device", shown));
    if (spec.Name.empty())
        spec.Name = spec.Device;
    return spec;
}

TGatewayModem::TGatewayModem(TGatewayModemSpec Spec, const TGatewaySettings &Settings)
    : m_spec(std::move(Spec)), m_settings(Settings)
{
    std::random_device random;
    m_claimant = Format("%s/%d/%08x/%s", hostName().c_str(), static_cast<int>(getpid()), random(),
                        m_spec.Name.c_str());
    m_dm = std::make_unique<TGSMDataModule>(m_settings.ConfigFile, m_settings.LogDirectory, m_spec.Equipment);
    // The options of this run are not the user's settings: the file is only read.
    m_dm->AutoSaveSettings = false;
    if (!m_settings.Store.empty())
        m_dm->StoreName = m_settings.Store;
    m_dm->DeleteHandled = !m_settings.KeepMessages;
    m_dm->ModemLabel = m_spec.Name;
    // What the settings file leaves open is the gateway's to decide; the front end's options
    // and the modem's own keys (applied at Start) come over it.
    const TIniFile ini(m_settings.ConfigFile);
    if (!ini.ValueExists("Modem", "SCA"))
        m_dm->GSM.SetSCA(kGatewaySCA);
    if (!ini.ValueExists("Modem", "UnsolicitedIndication"))
        m_dm->GSM.SetUnsolicitedIndication(kGatewayIndications);
    m_pumpTimer = std::make_unique<QTimer>();
    m_pumpTimer->setSingleShot(true);
    QObject::connect(m_pumpTimer.get(), &QTimer::timeout, [this] { pump(); });
    m_reopenTimer = std::make_unique<QTimer>();
    m_reopenTimer->setSingleShot(true);
    QObject::connect(m_reopenTimer.get(), &QTimer::timeout, [this] { open(); });
    m_healthTimer = std::make_unique<QTimer>();
    QObject::connect(m_healthTimer.get(), &QTimer::timeout, [this] { healthCheck(); });
    m_stateTimer = std::make_unique<QTimer>();
    QObject::connect(m_stateTimer.get(), &QTimer::timeout, [this] { writeState(); });
}

TGatewayModem::~TGatewayModem()
{
    Stop();
}

void TGatewayModem::event(QJsonObject json)
{
    if (OnEvent)
        OnEvent(json);
}

void TGatewayModem::Start()
{
    if (m_started)
        return;
    m_started = true;
    TGSM &gsm = m_dm->GSM;
    m_dm->Comm1.SetDeviceName(m_spec.Device);
    if (m_spec.PIN)
        gsm.SetPIN(*m_spec.PIN);
    if (m_spec.SCA)
        gsm.SetSCA(*m_spec.SCA);
    if (m_settings.RecTimeoutMs > 0)
        gsm.SetRecTimeout(m_settings.RecTimeoutMs);

    m_frontError = std::move(m_dm->OnError);
    m_dm->OnError = [this](const std::string &message) {
        if (m_frontError)
            m_frontError(message);
        if (m_dm->GSM.DeviceLost() && m_open)
            // Not from within the engine's own handling: closing waits for it to return.
            QTimer::singleShot(0, m_reopenTimer.get(), [this, message] { lost(message); });
    };
    gsm.OnProcessingError = [this](TObject *, const std::string &message) { m_dm->ReportError(message); };
    gsm.OnUnsolicitedSMS = [this](TObject *, int idx, TSMS *sms) {
        if (sms) {
            // The engine frees a routed message after the event: handled now.
            m_dm->GSMUnsolicitedSMS(idx, sms);
            return;
        }
        // A storage indication: read after the line handling is over. Its dialogue is no event
        // of the handset. A failure leaves the message stored.
        QTimer::singleShot(0, m_pumpTimer.get(), [this, idx] {
            if (!m_open)
                return;
            m_quiet = true;
            try {
                m_dm->GSMUnsolicitedSMS(idx, nullptr);
                m_dm->GSM.ProcessReceived();
            } catch (const std::exception &e) {
                m_dm->ReportError(e.what());
            }
            m_quiet = false;
        });
    };
    gsm.OnUnsolicitedLine = [this](TObject *, const std::string &line) {
        // Also among the answers to the gateway's own commands (a health check after the time-out).
        if (m_awaited && line.rfind("+CMGS:", 0) == 0) {
            lateAnswer(line);
            return;
        }
        // Echoes and results of the engine's own commands are no events of the handset.
        if (m_quiet || line.rfind("AT", 0) == 0 || FindResultCode(line))
            return;
        if (OnLine)
            OnLine(line);
    };
    m_stateTimer->start(m_settings.StateMs);
    open();
    if (!m_open)
        writeState();
}

void TGatewayModem::Stop()
{
    if (!m_started)
        return;
    m_started = false;
    m_pumpTimer->stop();
    m_reopenTimer->stop();
    m_healthTimer->stop();
    m_stateTimer->stop();
    giveBackClaims();
    close();
    m_keeper.reset();
    writeState();
    m_dm->GSM.OnUnsolicitedSMS = nullptr;
    m_dm->GSM.OnUnsolicitedLine = nullptr;
    m_dm->GSM.OnNetworkRegistration = nullptr;
    m_dm->GSM.OnProcessingError = nullptr;
}

void TGatewayModem::processReceived()
{
    try {
        m_dm->GSM.ProcessReceived();
    } catch (const std::exception &e) {
        m_dm->ReportError(e.what());
    }
}

void TGatewayModem::processOwnAnswers()
{
    m_quiet = true;
    processReceived();
    m_quiet = false;
}

void TGatewayModem::open()
{
    if (!m_started || m_open)
        return;
    // Segments that went out before the modem was lost, while the store failed: recorded (and
    // their claims given back) as soon as the store answers, also while the modem stays away,
    // before a lease runs out and another modem sends them again.
    if (!m_unrecorded.empty())
        giveBackClaims();
    try {
        // The open dialogue's answers and echoes are no events of the handset; the storage read
        // at open handles what arrived while the modem was away.
        m_quiet = true;
        m_dm->GSM.Open();
        m_quiet = false;
    } catch (const std::exception &e) {
        m_quiet = false;
        close();
        if (!m_lostReported) {
            m_lostReported = true;
            event(QJsonObject{{"event", "modem-lost"}, {"reason", text(e.what())}});
        }
        m_reopenTimer->start(m_settings.ReopenMs);
        return;
    }
    m_open = true;
    m_lastContactMs = Clock().UnixMs();
    processOwnAnswers();
    if (m_lostReported) {
        m_lostReported = false;
        event(QJsonObject{{"event", "modem-back"}});
    }
    QTimer::singleShot(0, m_pumpTimer.get(), [this] { processReceived(); });
    // After the storage read: the modem's dialogue goes first.
    QTimer::singleShot(0, m_stateTimer.get(), [this] { writeState(); });
    m_healthTimer->start(m_settings.HealthMs);
    schedule(0);
}

void TGatewayModem::close()
{
    m_open = false;
    m_healthTimer->stop();
    try {
        m_dm->GSM.Close();
    } catch (const std::exception &) {
        // Closing a line that is gone may fail; the loss was reported.
    }
}

void TGatewayModem::lost(const std::string &reason)
{
    if (!m_started || !m_open)
        return;
    close();
    if (!m_lostReported) {
        m_lostReported = true;
        event(QJsonObject{{"event", "modem-lost"}, {"reason", text(reason)}});
    }
    writeState();
    // What this modem had claimed goes to the others at once rather than when the lease ends.
    giveBackClaims();
    m_pumpTimer->stop();
    m_reopenTimer->start(m_settings.ReopenMs);
}

void TGatewayModem::healthCheck()
{
    if (!m_open || m_sending || m_dm->GSM.Busy())
        return;
    try {
        m_quiet = true;
        m_dm->GSM.ExecCommand("AT", kWaitResult, nullptr, 1);
        m_quiet = false;
    } catch (const std::exception &e) {
        m_quiet = false;
        lost(e.what());
        return;
    }
    m_lastContactMs = Clock().UnixMs();
    processOwnAnswers();
}

void TGatewayModem::writeState()
{
    TMessageStore *store = m_dm->Store();
    if (!store || m_storeDown)
        return;
    TModemState state;
    state.Label = m_spec.Name;
    state.Host = QSysInfo::machineHostName().toStdString();
    state.Device = m_spec.Device;
    state.Equipment = GSMEquipmentNames[static_cast<size_t>(m_dm->GSM.Equipment())];
    state.Up = m_open;
    state.Registration = m_dm->GSM.NetworkRegistration();
    state.LastContactMs = m_lastContactMs;
    try {
        store->RecordModemState(state);
    } catch (const EStoreError &) {
        // The next send or arrival notices the store is away; the state is written again later.
    }
}

void TGatewayModem::schedule(int ms)
{
    if (m_started && m_open)
        m_pumpTimer->start(std::max(0, ms));
}

void TGatewayModem::storeLost(const std::string &reason)
{
    if (!m_storeDown) {
        m_storeDown = true;
        event(QJsonObject{{"event", "store-lost"}, {"reason", text(reason)}});
    }
    schedule(m_settings.ReopenMs);
}

TMessageStore &TGatewayModem::store()
{
    // Asked afresh for each call: the data module drops a store that failed while it recorded an
    // arrival, which may happen in the middle of a send.
    TMessageStore *store = m_dm->Store();
    if (!store)
        throw EStoreError("the message store cannot be opened");
    return *store;
}

void TGatewayModem::flushUnrecorded()
{
    while (!m_unrecorded.empty()) {
        const TUnrecorded u = m_unrecorded.front();
        if (!store().SegmentSent(u.Id, u.Sequence, u.MR, u.Time))
            // Deleted while it was sent (its claim ran out first): nothing to record it in, and
            // no failure of the store.
            m_dm->ReportError(Format("message %lld was deleted while it was sent; its segment %d went out",
                                     static_cast<long long>(u.Id), u.Sequence));
        m_unrecorded.erase(m_unrecorded.begin());
        m_sentSegments.erase({u.Id, u.Sequence});
    }
}

void TGatewayModem::giveBackClaims()
{
    TMessageStore *store = m_dm->Store();
    if (!store)
        return;
    try {
        flushUnrecorded();
        store->ReleaseClaims(m_claimant);
    } catch (const EStoreError &) {
        // A segment that went out is not recorded: its claim stays until the lease ends, and the
        // record is tried again before the next send. A store that is away for this modem is
        // most likely away for the others too.
    }
}

void TGatewayModem::lateAnswer(const std::string &line)
{
    const TAwaited awaited = *m_awaited;
    m_awaited.reset();
    const int mr = referenceOfLine(line);
    m_sentSegments.insert({awaited.Id, awaited.Sequence});
    m_unrecorded.push_back({awaited.Id, awaited.Sequence, mr, NowUTC()});
    event(QJsonObject{{"event", "late-answer"},
                      {"id", static_cast<qint64>(awaited.Id)},
                      {"sequence", awaited.Sequence},
                      {"reference", mr >= 0 ? QJsonValue(mr) : QJsonValue(QJsonValue::Null)}});
    // Recorded by the next pump, which tries again while the store fails.
    QTimer::singleShot(0, m_pumpTimer.get(), [this] { schedule(0); });
}

QJsonObject TGatewayModem::messageEvent(const char *name, const TStoredMessage &message) const
{
    QJsonObject json{{"event", name},
                     {"id", static_cast<qint64>(message.Id)},
                     {"to", text(message.Peer)},
                     {"kind", PayloadKindName(message.Kind)}};
    if (m_settings.EventsWithText)
        json["text"] = text(message.Text);
    return json;
}

void TGatewayModem::pump()
{
    if (!m_started || !m_open || m_sending)
        return;
    if (m_dm->GSM.DeviceLost()) {
        lost("the line to the modem is gone");
        return;
    }
    if (m_dm->GSM.Busy()) {
        schedule(50);
        return;
    }
    const int64_t now = steadyMs();
    if (m_awaited && now >= m_awaited->UntilMs)
        m_awaited.reset(); // no answer: the message stays uncertain
    const int64_t notBefore = std::max(m_nextStartMs, m_awaited ? m_awaited->UntilMs : 0);
    if (now < notBefore) {
        // What came late is recorded meanwhile.
        if (!m_unrecorded.empty()) {
            try {
                flushUnrecorded();
            } catch (const EStoreError &e) {
                storeLost(e.what());
                return;
            }
        }
        schedule(static_cast<int>(std::min<int64_t>(notBefore - now, m_settings.PollMs)));
        return;
    }
    // A message queued by another program wakes this modem at once (PostgreSQL); otherwise the
    // queue is looked at again after PollMs.
    if (TMessageStore *store = m_dm->Store(); store && store != m_wakingStore) {
        store->WakeOnQueued([this] {
            if (m_started && m_open && !m_sending)
                schedule(0);
        });
        m_wakingStore = store;
    }
    bool sent = false;
    m_sending = true;
    try {
        flushUnrecorded();
        sent = claimAndSend();
        m_sending = false;
    } catch (const EStoreError &e) {
        m_sending = false;
        storeLost(e.what());
        return;
    }
    if (m_probe && m_open) {
        m_probe = false;
        healthCheck();
    }
    if (!m_open)
        return; // lost while sending
    if (m_storeDown) {
        m_storeDown = false;
        event(QJsonObject{{"event", "store-back"}});
    }
    if (m_dm->HasKept()) {
        // The store answered the queue just now: what arrived while it was away is recorded now,
        // not only when the next message comes.
        m_quiet = true;
        try {
            m_dm->RetryKept();
        } catch (const std::exception &e) {
            m_dm->ReportError(e.what());
        }
        m_quiet = false;
    }
    if (sent && m_settings.RatePerMinute > 0)
        m_nextStartMs = steadyMs() + 60000 / m_settings.RatePerMinute;
    // What the handset said meanwhile (indications) is handled between two messages; the answers
    // to this round's commands are among the lines.
    processOwnAnswers();
    schedule(sent ? 0 : m_settings.PollMs);
}

bool TGatewayModem::claimAndSend()
{
    double storeMs = 0;
    std::optional<TStoredMessage> message;
    {
        TStoreTime timing(storeMs);
        message = store().ClaimQueued(m_claimant, m_spec.Name, m_settings.Queue.LeaseMs);
    }
    if (!message)
        return false;
    const int64_t id = message->Id;
    const TQueueSettings &queue = m_settings.Queue;
    if (message->Attempts > queue.Attempts) {
        // Its earlier tries ended without a result: their process or their modem went down with
        // them. A message that does so each time must not take one modem after another along.
        const std::string error = Format(
            "%d tries ended without a result (the modem was lost or the gateway stopped)%s%s",
            message->Attempts - 1, message->Error.empty() ? "" : "; last error: ", message->Error.c_str());
        if (store().FailQueued(id, m_claimant, error)) {
            QJsonObject json = messageEvent("failed", *message);
            json["error"] = eventError(error);
            event(json);
        }
        return true;
    }
    if (!m_keeper)
        m_keeper = std::make_unique<TLeaseKeeper>(m_dm->StoreName, m_claimant, queue.LeaseMs);
    TGSM &gsm = m_dm->GSM;
    QJsonArray references;
    for (const TStoredSegment &segment : message->Segments) {
        if (segment.Status != TStoredStatus::ssPending) {
            references.append(segment.MR >= 0 ? QJsonValue(segment.MR) : QJsonValue(QJsonValue::Null));
            continue;
        }
        const auto key = std::make_pair(id, segment.Sequence);
        if (m_sentSegments.count(key))
            continue; // went out before; its record waits in m_unrecorded
        {
            TStoreTime timing(storeMs);
            if (!store().RenewLease(id, m_claimant, queue.LeaseMs))
                return true; // another took it over, or it was deleted: the rest is not ours
        }
        int mr = -1;
        // The handset's acceptance is recorded at once, not after the engine's pauses that follow
        // it: a crash then costs a duplicate only in the moment of the store's commit.
        bool accepted = false;
        gsm.OnSMSAccepted = [&](TObject *, int reference) {
            accepted = true;
            mr = reference;
            m_sentSegments.insert(key);
            m_unrecorded.push_back({id, segment.Sequence, reference, NowUTC()});
            try {
                TStoreTime timing(storeMs);
                flushUnrecorded();
            } catch (const EStoreError &) {
                // Kept in m_unrecorded: recorded by the next flush, never sent again meanwhile.
            }
        };
        struct TAcceptedOff {
            TGSM &gsm;
            ~TAcceptedOff() { gsm.OnSMSAccepted = nullptr; }
        } acceptedOff{gsm};
        try {
            std::unique_ptr<TSMS2> sms = CreateSMSFromPDU(nullptr, segment.PDU, false);
            if (!dynamic_cast<TSMSSubmit *>(sms.get()))
                throw EGSMError("the queued segment is no SMS-SUBMIT");
            // The handset's own way with the service-centre field and the SCA of this modem.
            sms->GSM = &gsm;
            sms->SCA = gsm.SCA();
            if (gsm.SMSFormat() == kSMSFormatText) {
                // Text mode carries the text itself: only a plain 7-bit message can go that way.
                if (sms->FirstOctetBit(6) || !sms->SevenBit())
                    throw EGSMError("this message needs a modem in PDU mode");
                sms->UserData = GSMToText(sms->UserData);
            }
            // A repeated AT+CMGS after a silent handset could send the segment twice: one try.
            const int repeats = gsm.RepeatCount();
            gsm.SetRepeatCount(1);
            try {
                const TLeaseHeld held(*m_keeper, id);
                mr = gsm.SendSMS(*sms);
            } catch (...) {
                gsm.SetRepeatCount(repeats);
                throw;
            }
            gsm.SetRepeatCount(repeats);
        } catch (const EStoreError &) {
            throw;
        } catch (const std::exception &e) {
            const std::string error = e.what();
            if (accepted) {
                // The handset took it; what failed after that is no failed attempt of this message.
                m_dm->ReportError(error);
            } else {
                if (gsm.DeviceLost()) {
                    lost(error); // gives the claim back as it is
                    return true;
                }
                // A handset that stopped answering is lost, not just slow: asked once the send is
                // over.
                m_probe = m_probe || isTimeout(error);
                QJsonObject json;
                if (isTimeout(error) && gsm.SendDataWritten()) {
                    // The handset had the message: it may have sent it and only its answer is
                    // late. Sent again only when a user asks; a late answer records it.
                    if (store().MarkUncertain(id, m_claimant, error))
                        json = messageEvent("uncertain", *message);
                    m_awaited = TAwaited{id, segment.Sequence, steadyMs() + m_settings.LateAnswerMs};
                } else if (message->Attempts >= queue.Attempts) {
                    if (store().FailQueued(id, m_claimant, error))
                        json = messageEvent("failed", *message);
                } else if (store().RetryQueued(id, m_claimant, error,
                                               QueueBackoffMs(queue, message->Attempts))) {
                    json = messageEvent("retry", *message);
                    json["attempt"] = message->Attempts;
                }
                if (!json.isEmpty()) {
                    json["error"] = eventError(error);
                    event(json);
                }
                return true;
            }
        }
        if (!accepted) {
            m_sentSegments.insert(key);
            m_unrecorded.push_back({id, segment.Sequence, mr, NowUTC()});
        }
        references.append(mr >= 0 ? QJsonValue(mr) : QJsonValue(QJsonValue::Null));
        TStoreTime timing(storeMs);
        flushUnrecorded();
    }
    m_lastContactMs = Clock().UnixMs();
    QJsonObject json = messageEvent("sent", *message);
    json["references"] = references;
    json["store_ms"] = std::round(storeMs * 1000) / 1000;
    json["unrecorded"] = static_cast<qint64>(m_sentSegments.size());
    event(json);
    return true;
}

} // namespace kestrel
