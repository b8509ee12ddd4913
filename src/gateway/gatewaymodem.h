// TGatewayModem: one modem of a gateway. Its data module handles the modem as "kestrel monitor"
// does (storage read at open, indications, reassembly, logs, store records before deletion);
// beside that it sends from the store's queue: it claims one due message at a time with a lease
// (renewed before each segment and, by a thread of its own, while a send waits for the handset),
// sends the segments still pending, records each as it goes, and gives failures back to the queue
// with their back-off. A send that the handset may have made without answering in time is not
// sent again: the message becomes uncertain, and an answer that comes late still records it. A
// modem that is lost is closed, its claims go back to the queue once what it sent is recorded,
// and it is opened again every few seconds until it answers. A store that cannot be reached
// pauses the sending (the data module keeps received messages on the handset meanwhile) until it
// answers again.
//
// Everything runs on the thread of the Qt event loop that owns the object (the engine's own
// threads only read the port); timers drive it, so an idle modem costs a poll of the queue now and
// then and nothing else.
#pragma once

#include "appcore/datamodule.h"
#include "gateway/gatewaysettings.h"
#include "store/messagestore.h"

#include <QJsonObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QTimer;

namespace kestrel {

// One modem as the command line or the settings file names it.
struct TGatewayModemSpec {
    std::string Device;
    std::optional<TGSMEquipment> Equipment; // else the settings file's
    std::optional<std::string> PIN;
    std::optional<std::string> SCA;
    std::string Name; // label in the store and the events; the device by default
};

// Parses "DEVICE[,equipment=NAME][,pin=PIN][,sca=NUMBER][,name=LABEL]". Raises EGSMError with a
// usage text for an empty device, an unknown key or an unknown equipment name.
TGatewayModemSpec ParseModemSpec(const std::string &Text);

class TGatewayModem {
public:
    TGatewayModem(TGatewayModemSpec Spec, const TGatewaySettings &Settings);
    ~TGatewayModem(); // Stop()
    TGatewayModem(const TGatewayModem &) = delete;
    TGatewayModem &operator=(const TGatewayModem &) = delete;

    // The data module, for the front end to attach its output (forms, log lines, errors) before
    // Start. Its OnError is wrapped by Start: the front end's handler still hears every error.
    TGSMDataModule &DataModule() { return *m_dm; }
    const std::string &Name() const { return m_spec.Name; }
    // The claimant name in the store: host, process and modem, unique while the process runs.
    const std::string &Claimant() const { return m_claimant; }
    bool Open() const { return m_open; }

    // Events of the queue and the modem: "sent" {id, to, kind, references, store_ms, unrecorded:
    // the segments this modem sent whose record still waits for the store}, "retry"
    // {id, to, kind, error, attempt}, "failed" {id, to, kind, error}, "uncertain" {id, to, kind,
    // error}, "late-answer" {id, sequence, reference}, "modem-lost" {reason}, "modem-back",
    // "store-lost" {reason}, "store-back"; "text" too with EventsWithText. Errors name the send
    // command without its data. Each object holds "event"; the front end adds what it wants.
    std::function<void(const QJsonObject &)> OnEvent;
    // Raised for every line of the modem that is no answer to the engine's own commands, with
    // whether the data module was reading or deleting at the time (not an event of the handset).
    std::function<void(const std::string &line)> OnLine;

    // Opens the modem (or schedules its reopening) and starts sending.
    void Start();
    // Gives every claim back, closes the modem and stops the timers.
    void Stop();

private:
    void open();
    void lost(const std::string &reason);
    void close();
    void pump();
    void schedule(int ms);
    TMessageStore &store();
    // Claims the next due message and sends what is pending of it; whether one was claimed.
    bool claimAndSend();
    // Records the segments that went out while the store failed; raises EStoreError when it
    // still fails (what is left stays for the next flush).
    void flushUnrecorded();
    // Gives this modem's claims back once what it sent is recorded (else they stay until their
    // leases end, so that no other modem sends those segments again).
    void giveBackClaims();
    // A "+CMGS:" line that came after its send timed out.
    void lateAnswer(const std::string &line);
    QJsonObject messageEvent(const char *name, const TStoredMessage &message) const;
    void storeLost(const std::string &reason);
    void healthCheck();
    // Writes the modem's state into the store (for the API's view of every modem).
    void writeState();
    // Handles the lines that came while the gateway's own commands ran: their answers, which the
    // engine parses once a command is over, are no events of the handset (indications and
    // registration among them are still handled).
    void processOwnAnswers();
    void processReceived();
    void event(QJsonObject json);

    TGatewayModemSpec m_spec;
    TGatewaySettings m_settings;
    std::string m_claimant;
    std::unique_ptr<TGSMDataModule> m_dm;
    std::unique_ptr<QTimer> m_pumpTimer;
    std::unique_ptr<QTimer> m_reopenTimer;
    std::unique_ptr<QTimer> m_healthTimer;
    std::unique_ptr<QTimer> m_stateTimer;
    int64_t m_lastContactMs = 0; // the modem's last answer (ms since 1970)
    bool m_started = false;
    bool m_open = false;
    bool m_lostReported = false;
    bool m_storeDown = false;
    bool m_quiet = false;                         // the data module reads or deletes: the lines are its own
    const TMessageStore *m_wakingStore = nullptr; // the store that wakes the modem when a message is queued
    bool m_sending = false; // guards against a nested pump from an event handled mid-send
    bool m_probe = false;   // a send timed out: ask the handset whether it still answers
    int64_t m_nextStartMs = 0;
    std::unique_ptr<class TLeaseKeeper> m_keeper; // renews the claim while a send waits
    // The segment whose send got no answer: a late "+CMGS:" is its acceptance. No other send
    // starts on this modem meanwhile (its answer would be taken for that one's), until UntilMs.
    struct TAwaited {
        int64_t Id;
        int Sequence;
        int64_t UntilMs;
    };
    std::optional<TAwaited> m_awaited;
    // Segments the modem took whose record did not reach the store yet: (message, sequence)
    // with reference and time. They are never sent again by this process.
    struct TUnrecorded {
        int64_t Id;
        int Sequence;
        int MR;
        TDateTime Time;
    };
    std::vector<TUnrecorded> m_unrecorded;
    // The same segments by key: never sent again by this process while their record waits.
    std::set<std::pair<int64_t, int>> m_sentSegments;
    std::function<void(const std::string &)> m_frontError;
};

} // namespace kestrel
