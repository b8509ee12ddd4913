// TGSMDataModule: the application's non-visual half. It owns the serial port Comm1, the engine
// GSM and the protocol stack; loads and saves gsm.ini; writes the GSM and SMS log files; handles
// every received message (log, reassembly, recognition, deletion from the handset); and tells
// the windows about the engine through numbered messages. It knows no widgets: the log views
// reach it as line sinks and the windows as message targets, so the command line's monitor runs
// the same handling.
#pragma once

#include "appcore/applocations.h"
#include "appcore/outgoing.h"
#include "appcore/smslog.h"
#include "base/linesink.h"
#include "comm/comm.h"
#include "gsm/gsm.h"
#include "store/messagestore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

class TIniFile;
class TSMS;
class TSMSProtocolStack;

// Messages to the windows: number, first parameter, second parameter.
constexpr int kMsgRegistration = 28772; // new registration status, 0
constexpr int kMsgSMSProcessed = 28773; // 0, the message object
constexpr int kMsgEngineState = 28774;  // state (below), 0
constexpr int kEngineBusy = 0;
constexpr int kEngineIdle = 1;
constexpr int kEngineOpened = 129;
constexpr int kEngineClosed = -1;

class TMessageTarget {
public:
    virtual ~TMessageTarget() = default;
    virtual void HandleMessage(int Msg, long long WParam, const TSMS *LParam) = 0;
};

// The store location that stands for no store at all.
constexpr const char *kNoStore = "<none>";
// The message store the settings file names ([Modem.Files] Store: a path, a postgresql:// URL or
// "<none>"); by default messages.sqlite in logDirectory, where the log files go.
std::string StoreLocationFromSettings(const TIniFile &ini, const std::string &logDirectory);
// The home country of the address book's numbers as the settings file sets it ([Contacts]
// CountryCode: "49", "+49" or "DE"); "" when not set (then the SIM's, see HomeNumberingPlan).
std::string CountryCodeFromSettings(const TIniFile &ini);
// Opens the store at Location; nullptr for "<none>". Raises EStoreError as TMessageStore::Open.
std::unique_ptr<TMessageStore> OpenMessageStore(const std::string &Location);

// Text mode carries the text itself where the model holds 7-bit codes: turns such a message into
// the model's form, so that it reads (and is stored) as its PDU would be.
void ToModelForm(TSMS &sms);

// A received message that stays on the handset because the store cannot record it. The store's
// failure is reported once, when it begins; whoever catches this passes it over in silence.
class EMessageKept : public EConnectError {
public:
    EMessageKept();
};

// The modem keys of the settings file ([Modem]) into a port and its engine, in the order the
// window reads them: the equipment's line speed is set after the message format, so that Baud
// overrides it. An unknown Device raises EGSMError "Bad equipment name". An equipment the caller
// names (a command-line option) stands instead of the Device key, which is then not read.
void LoadModemSettings(const TIniFile &ini, TComm &comm, TGSM &gsm,
                       std::optional<TGSMEquipment> equipment = std::nullopt);

class TGSMDataModule {
public:
    // Creates the components with their stored settings and reads the settings file; the default
    // log files go to logDirectory. An equipment given by the caller stands instead of the
    // settings file's (see LoadModemSettings).
    TGSMDataModule(std::string configFile, std::string logDirectory,
                   std::optional<TGSMEquipment> equipment = std::nullopt);
    explicit TGSMDataModule(const TAppLocations &locations,
                            std::optional<TGSMEquipment> equipment = std::nullopt)
        : TGSMDataModule(locations.ConfigFile, locations.LogDirectory, equipment)
    {
    }
    ~TGSMDataModule(); // saves the settings
    TGSMDataModule(const TGSMDataModule &) = delete;
    TGSMDataModule &operator=(const TGSMDataModule &) = delete;

    // The port comes first: the engine refers to it and must go before it.
    TComm Comm1;
    TGSM GSM;

    std::string LineBuffer;
    std::string GSMLogName;
    std::string SMSLogName;
    // Where every message handled is recorded ([Modem.Files] Store); "<none>" for nowhere. A
    // change takes effect at the next use of the store after CloseStore.
    std::string StoreName;
    // The modem's label in the store's records; the device name when empty.
    std::string ModemLabel;
    std::unique_ptr<TSMSProtocolStack> ProtocolStack;
    TLineSink *ModemLogView = nullptr; // not owned
    TLineSink *SMSLogView = nullptr;   // not owned

    const std::string &ConfigFile() const { return m_configFile; }
    void LoadSettings();
    void SaveSettings();

    void AddForm(TMessageTarget *form);
    void RemoveForm(TMessageTarget *form);
    void SendMessageToForms(int Msg, long long WParam, const TSMS *LParam);

    // Engine handlers.
    void GSMBeforeOpen();
    void GSMAfterOpen();
    void GSMAfterClose();
    void GSMBusyChanged(bool aBusy);
    void GSMNetworkRegistration(int aNewStatus);
    void GSMUnsolicitedSMS(int Idx, TSMS *aSMS);
    // The handset restarted and the engine set it up again: noted in the SMS log view and the
    // GSM log, then its storage is handled as after a login.
    void GSMRestart(const std::string &aReason);
    // The handset stopped routing after a missed acknowledgement and the engine asked for the
    // indications again: noted like a restart, then its storage is handled as after a login.
    void GSMRoutingRestored();
    void GSMRxChar(char aChar);

    void LogModemChar(char c);
    void ProcessSMS(TSMS *SMS);
    void LogSMS(const TSMS *SMS);

    // The message store, opened at its first use; the reassembly stack then gets the segments of
    // payloads that were still incomplete when the program last ran. nullptr without a store, or
    // while it cannot be opened (the failure is reported once, as every failure of the store).
    TMessageStore *Store();
    // Closes the store (the next use opens StoreName again); what Store() gave is invalid then.
    void CloseStore();
    // Messages left on the handset while the store failed, and routed messages spooled beside
    // the logs meanwhile: read again (or from the spool) and recorded (then deleted) once the
    // caller has seen the store work again; left there once more if it still fails.
    bool HasKept() const;
    void RetryKept();
    // Sends composed segments (SendComposed of outgoing.h), logging each in the SMS log and recording
    // the message in the store; a store that cannot be written is reported, the sending goes on.
    TSendResult SendMessages(const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                             const TMessageContent &Content);
    // Reports a failure to the error handler (without one, to the SMS log view); a message kept
    // for the store's sake is not reported again (its store failure was).
    void ReportError(const std::string &message);

    // Whether messages are deleted from the handset once handled (the command line may keep them).
    bool DeleteHandled = true;
    // Whether the settings file is written before every opening and at destruction. A front end
    // that takes its settings from the command line for one run turns it off.
    bool AutoSaveSettings = true;
    // The storage index of the message being handled, -1 for one the network routed directly.
    int HandledIndex() const { return m_handledIndex; }
    // Every line appended to the SMS log (raised after the write; with "<none>", every line that
    // would have been), for front ends that show it elsewhere.
    std::function<void(const std::string &line)> OnSMSLogLine;
    // A failure the user must hear about that has no caller to go to (a stored message that
    // could not be recorded and was therefore kept on the handset). Without a handler it goes
    // to the SMS log view.
    std::function<void(const std::string &message)> OnError;

private:
    // Shows and writes one line of the SMS log; Shown, when given, is how the view shows it.
    void smsLogLine(const std::string &line, const QString &shown = {});
    void gsmLogRecord(const std::string &record);
    void readStorage();
    // Notes why in the SMS log view and the GSM log, then reads the storage.
    void readStorageAfter(const std::string &note);
    // The modem as the store records it: ModemLabel, else the device.
    std::string modemName() const;
    // Records, logs and deletes the listed messages of the current storage; one that cannot be
    // handled stays on the handset.
    // receivedOnly passes over the messages composed on the handset.
    // handled, when given, receives the indices handled (recorded, and deleted unless kept).
    void handleListed(const std::vector<TSMSListEntry> &list, bool receivedOnly,
                      std::vector<int> *handled = nullptr);
    // Lists the received messages of the current storage and handles them; remembers what the
    // listing covered. At login, the handsets whose listing is read whole are handled as ever.
    void listArrivals(bool login);
    // Several arrivals at once: one listing in one burst of the engine, instead of a read each.
    void readArrivals();
    bool hasStore() const { return !StoreName.empty() && StoreName != kNoStore; }
    void recordStored(int index, int status, const std::string &raw, TSMS *sms);
    // Records a received message before anything else happens to it; false when the store had it
    // already (it was handled when it first came). A routed message (index -1) that the store
    // cannot take goes to the spool; anything else raises EMessageKept then. Nothing happens
    // without a store.
    bool storeReceived(const std::string &raw, const TSMS *sms, int index);
    // The routed message into the spool; false when the spool cannot be written either.
    bool spoolReceived(const std::string &raw, const TSMS *sms);
    // Records what the spool holds; false when the store failed meanwhile.
    bool replaySpool();
    std::string spoolPath() const;
    void storeFailed(const std::string &error);
    void storeWorks();
    void fillStack();
    // Reads again what was kept on the handset, except what was kept in storage Listed.
    void handleKept(const std::string &listed = {});

    std::unique_ptr<TMessageStore> m_store;
    bool m_storeFailing = false; // reported, and not working since
    bool m_handlingKept = false;
    // Messages left on the handset while the store failed, read again once it works.
    struct TKept {
        std::string Storage; // with its double quotes, as SelectMemory takes it
        int Index = 0;
        int Status = 0; // when it was first read
    };
    std::vector<TKept> m_kept;

    // The last listing of each storage: indications whose line ended at or before Mark (the
    // stream position when it was written) named messages it found; Indices are those it handled.
    struct TListing {
        std::string Storage;
        uint64_t Mark = 0;
        std::vector<int> Indices;
    };
    std::vector<TListing> m_listings;
    const TListing *listingOf(const std::string &storage) const;

    std::string m_configFile;
    std::string m_logDirectory;
    std::optional<TGSMEquipment> m_equipment;
    bool m_gsmLogFailing = false; // the last write to the GSM log failed (reported once)
    std::vector<TMessageTarget *> m_forms;
    int m_handledIndex = -1;
};

} // namespace kestrel
