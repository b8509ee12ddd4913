// TGSM: the GSM engine. It takes a serial port over, runs the AT dialogue with a phone or modem
// (one synchronous command at a time, on the main thread), opens the handset for its equipment
// type, and hands lines the handset sends on its own to the line handler and the application.
//
// Threads: the port's watcher thread runs CommRxChar, which appends received bytes to the
// engine's buffer and feeds the parser of a waiting command; the engine's own TGSMAsyncThread
// wakes the main thread to parse idle lines. Every event of the engine is raised on the main
// thread. The process needs a QCoreApplication for idle lines to be parsed without a command.
//
// Ownership: the engine refers to its serial port (COMDevice) but does not own it; the port must
// outlive the engine. It owns its async thread.
#pragma once

#include "base/event.h"
#include "base/mainthread.h"
#include "comm/comm.h"
#include "comm/commevents.h"
#include "connect/connection.h"
#include "gsm/atparser.h"
#include "gsm/gsmequipment.h"
#include "gsm/gsmerrors.h"
#include "gsm/networkoperator.h"
#include "gsm/phonebook.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"
#include "gsm/ussd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {

class TSMS;
class TGSM;

// Stored as a number in settings files: bit n = member n.
enum TGSMUnsolicitedIndication : uint8_t {
    uindSMSDeliver,
    uindSMSStatusReport,
    uindCellBroadcast,
    uindOnlyIndication
};
using TGSMUnsolicitedIndicationSet = uint8_t;
constexpr TGSMUnsolicitedIndicationSet Bit(TGSMUnsolicitedIndication u)
{
    return static_cast<TGSMUnsolicitedIndicationSet>(1u << u);
}

using TRxCharEvent = std::function<void(TObject *Sender, char aChar)>;
using TUnsolicitedLineEvent = std::function<void(TObject *Sender, const std::string &aLine)>;
using TUnsolicitedSMSEvent = std::function<void(TObject *Sender, int Idx, TSMS *aSMS)>;
using TNetworkRegistrationEvent = std::function<void(TObject *Sender, int aNewStatus)>;
using TBusyChanged = std::function<void(TObject *Sender, bool aBusy)>;
// A failure while idle lines were processed for the async thread (nobody else could catch it).
using TProcessingErrorEvent = std::function<void(TObject *Sender, const std::string &aMessage)>;
// A "+CUSD:" line, decoded: the network's answer to a USSD string, or a message it began itself.
using TUSSDEvent = std::function<void(TObject *Sender, const TUSSDAnswer &aAnswer)>;
// The handset restarted while open and has been set up again; aReason says how the restart
// showed ("RDY", "its echo is back on", ...).
using TRestartEvent = std::function<void(TObject *Sender, const std::string &aReason)>;

// The text-mode status words of stored messages, index = the status number of 3GPP TS 27.005
// 3.1 (0 REC UNREAD ... 3 STO SENT, 4 ALL).
extern const std::array<const char *, 5> SMSStatusNames;

// One message of a storage listing. Entries own their message object.
struct TSMSListEntry {
    int Index = 0;                 // storage index
    int Status = 0;                // status number (0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT)
    std::string Raw;               // as the handset gave it: the PDU text in PDU mode, the body in text mode
                                   // (empty when the handset gave none)
    std::unique_ptr<TSMS> Message; // nullptr when the entry could not be decoded or read
};

// A PDU line is at most this long. A TPDU of 176 octets is 352 digits, 376 with a service centre
// address: a line of this length or more is no message.
constexpr size_t kPDULineLength = 512;
// Raises EGSMError for a received PDU line that cannot be a message: one of kPDULineLength
// characters or more, or of odd length (half an octet is not data to guess at, so the line is
// no message rather than a message with a made-up last octet).
void CheckPDULine(const std::string &line);

// Text mode (TS 27.005 3.4.1 +CDS, 3.4.3 +CMGR/+CMGL): whether the field after <stat> is the
// <fo> of a status report (a number naming an SMS-STATUS-REPORT), not the quoted address of a
// message; a status report has no body line.
bool IsTextStatusReportField(std::string_view field);
// Reads a text-mode status report's "<fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>" from Params at
// Pos. Raises EGSMError naming the field for a time stamp that is no date.
void ReadTextStatusReport(TSMSStatusReport &Report, std::string_view Params, size_t &Pos);

// The storages to ask for at open, from the answer to "AT+CPMS=?" (without its prefix): for each
// of the (up to three) lists, the first of "MT" (all of the modem's storages), "ME", "SM" that it
// offers, as the parameter text of "AT+CPMS=" ("\"MT\",\"MT\",\"MT\""). Lists after the first one
// that offers none of them are left out; empty when the first offers none.
std::string ChooseStorages(std::string_view testAnswer);
// "\"SR\"" when the first list of a "+CPMS=?" answer offers SR, the storage where a modem keeps
// status reports apart from messages (TS 27.005 3.2.2); else "".
std::string OfferedReportStorage(std::string_view testAnswer);

// The registration status to report from the last status seen for each network technology (the
// <stat> of +CREG, +CEREG and +C5GREG, -1 where none was seen): registered (home before roaming)
// when any of them is, "registered for SMS only" and "CSFB not preferred" (TS 27.007 7.2)
// counting as registered; otherwise the +CREG status, or the first one known, or 0.
int CombinedRegistration(const std::array<int, 3> &byTechnology);

// The handset information queries, indexed by GetModemInfo's Index - 1.
extern const std::array<const char *, 4> GSMInfoCommands;

// Wakes the main thread to parse what the handset sent while no command waits. It lives as long
// as its engine; its call to the main thread is cancellable, so destroying the engine never waits
// for a main thread that is itself waiting.
class TGSMAsyncThread {
public:
    explicit TGSMAsyncThread(TGSM *owner);
    ~TGSMAsyncThread(); // terminates and waits
    TGSMAsyncThread(const TGSMAsyncThread &) = delete;
    TGSMAsyncThread &operator=(const TGSMAsyncThread &) = delete;

    void Terminate();
    bool Terminated() const { return m_terminated; }

    TEvent Event{true, false};

private:
    void Execute();

    TGSM *m_owner;
    std::atomic<bool> m_terminated = false;
    TMainThreadCall m_call;
    std::thread m_thread;
};

class TGSM : public TConnection, public ISMSContext {
public:
    TGSM();
    ~TGSM() override;

    // Published properties.
    TGSMEquipment Equipment() const { return m_equipment; }
    void SetEquipment(TGSMEquipment value);
    uint8_t SMSFormat() const { return m_smsFormat; }
    void SetSMSFormat(uint8_t value);
    TGSMUnsolicitedIndicationSet UnsolicitedIndication() const { return m_unsolicitedIndication; }
    void SetUnsolicitedIndication(TGSMUnsolicitedIndicationSet value);
    const std::string &PIN() const { return m_pin; }
    void SetPIN(const std::string &value);
    std::string SCA() const override { return m_sca; }
    void SetSCA(const std::string &value);
    TComm *COMDevice() const { return m_comDevice; }
    void SetCOMDevice(TComm *value);
    bool CommandEcho() const { return m_commandEcho; }
    void SetCommandEcho(bool value);
    bool ExtendedErrorMsg() const { return m_extendedErrorMsg; }
    void SetExtendedErrorMsg(bool value) { m_extendedErrorMsg = value; }
    int RepeatCount() const { return m_repeatCount; }
    void SetRepeatCount(int value) { m_repeatCount = value; }
    int RecTimeout() const { return m_recTimeout; }
    void SetRecTimeout(int value) { m_recTimeout = value; }
    int RepeatTimeout() const { return m_repeatTimeout; }
    void SetRepeatTimeout(int value) { m_repeatTimeout = value; }
    // How often the engine asks whether the handset still routes after a missed acknowledgement.
    int RoutingCheck() const { return m_routingCheckMs; }
    void SetRoutingCheck(int value) { m_routingCheckMs = std::max(1, value); }
    // How long the open sequence waits for a Wavecom handset to report readiness (60 s).
    int ReadinessTimeout() const { return m_readinessTimeout; }
    void SetReadinessTimeout(int value) { m_readinessTimeout = value; }

    TRxCharEvent OnRxChar;
    TUnsolicitedLineEvent OnUnsolicitedLine;
    TUnsolicitedSMSEvent OnUnsolicitedSMS;
    TNetworkRegistrationEvent OnNetworkRegistration;
    TBusyChanged OnBusyChanged;
    TProcessingErrorEvent OnProcessingError;
    // Raised by SendSMS with the message reference (-1: none) as soon as the handset accepted the
    // message, before the pauses that follow the command: a caller that must record what the
    // handset took (a queue) learns it while the engine still waits. Must not throw.
    std::function<void(TObject *Sender, int MR)> OnSMSAccepted;
    // A handset that restarts while open (it announces its start, echoes again although told not
    // to, or its SIM asks for the PIN again) is set up again by the engine itself, with the open
    // sequence of its equipment, when no command runs; then this event is raised, so that the
    // application can read what reached the storage meanwhile. A set-up that fails is reported
    // through OnProcessingError.
    TRestartEvent OnRestart;
    // In message service 1 every routed message (+CMT, +CDS) must be acknowledged; one that the
    // application could not take stays unacknowledged (the network keeps it and tries again), and
    // the handset then stops routing (TS 27.005 3.4.4: <mt> and <ds> of +CNMI become 0): later
    // messages stay in its storage unannounced. After such a miss the engine asks the handset,
    // every RoutingCheck ms while no command runs, whether it still routes, for as long as a
    // handset waits for an acknowledgement; once it stopped, the engine asks for the indications
    // again and raises this event, so that the application reads what reached the storage.
    std::function<void(TObject *Sender)> OnRoutingRestored;
    // Every "+CUSD:" line the handset sends, decoded (also the answers SendUSSD waits for).
    TUSSDEvent OnUSSD;

    // State while open.
    int NetworkRegistration() const { return m_networkRegistration; }
    const std::string &Memory() const { return m_memory; } // with its double quotes
    // The storage where the modem keeps status reports apart ("\"SR\""), where the equipment
    // chooses its storages and the modem offers it; else "".
    const std::string &ReportStorage() const { return m_reportStorage; }
    int MessageService() const { return m_messageService; }
    bool Busy() const { return m_busyCount > 0; }
    // True while a restarted handset is being set up again, OnRestart included: its dialogue is
    // no news of the handset.
    bool Recovering() const { return m_recovering; }

    // The AT transaction: writes Cmd (with flag 0x08 the part before ">", then after the
    // prompt the part after it and Ctrl-Z), waits as the flags say, and returns the numeric
    // result code. Lines, when given, receives the collected reply lines. Repeats 0 means
    // RepeatCount attempts; fewer than one attempt is never made.
    int ExecCommand(const std::string &Cmd, uint8_t Flags, std::vector<std::string> *Lines = nullptr,
                    int Repeats = 0);
    // Raises "Error was returned: %s" when Code is not 0; returns Code.
    int CheckResult(int Code);
    [[noreturn]] void RaiseResultError(const std::string &ResultLine, const std::string &Cmd);
    void BeginBusy();
    void EndBusy();

    // Received bytes held unparsed (the receive buffer and the waiting command's unfinished
    // line); bounded whatever the device sends.
    size_t PendingInput() const;

    // Where the received stream stands: every byte received since the engine was made. A mark
    // taken before a command is written tells the lines that came before it from those after.
    uint64_t ReceivedSoFar() const;
    // The stream position just after the line being handled (valid during its events).
    uint64_t LineEnd() const { return m_lineEnd; }
    // Storage indications ("+CMTI:", "+CDSI:") that the handset has sent and the line handler
    // has not reached yet: complete lines waiting behind the one being handled.
    size_t PendingStorageIndications() const;

    // A burst of commands (several arrivals listed at once, the deletes after their records)
    // pays the equipment's pause after each command and its read pause once, after the burst's
    // last command, instead of after each. Bursts nest; the outermost one pays.
    void BeginBurst();
    void EndBurst();

    // True once the line to the handset is gone (hang-up or a failed read) until the next open:
    // every command then fails at once with the lost-connection error.
    bool DeviceLost() const { return m_deviceLost; }

    // The serial port's receive handler (watcher thread) and the main thread's processing.
    void CommRxChar(TObject *Sender, int Count);
    void ProcessReceived();

    void OpenDevice();
    void CloseDevice(bool Restore);
    void UpdateEcho();
    TSMSFormats SupportedFormats() const;
    void AdjustCommSettings();
    // Index 1 manufacturer, 2 model, 3 revision, 4 serial number. Opens only the port when the
    // engine is closed.
    void GetModemInfo(int Index, std::string &Value);
    void SwitchOff();
    void SelectMemory(const std::string &Mem);
    bool SCAInPDU() const override;

    // Stored and transferred messages (3GPP TS 27.005 3.4, 3.5), in PDU or text mode as
    // SMSFormat says. Read, list and delete need the engine open.
    //
    // Sends an SMS-SUBMIT (or, in PDU mode, an SMS-COMMAND); the caller keeps ownership of SMS.
    // Returns the message reference of the "+CMGS:" answer, or -1 when the handset gave none.
    int SendSMS(const TSMS &SMS);
    // Whether the last SendSMS wrote its message to the handset (the prompt came). A send that
    // failed after that without an answer may still have gone out: the handset's answer may be
    // late, or lost.
    bool SendDataWritten() const { return m_sendDataWritten; }
    // Reads the message at Index of the current storage. Status receives its status number (-1
    // for an unknown text-mode status word). The caller owns the result; nullptr when the
    // handset gave no message or it could not be decoded, Raw (when given) then still receives
    // what the handset sent (the PDU text, or the text-mode body).
    std::unique_ptr<TSMS> ReadSMS(int Index, int &Status, std::string *Raw = nullptr);
    void DeleteSMS(int Index);
    // The messages of the current storage with the status number Status (-1: all), in the
    // handset's order. The caller owns the entries and their messages.
    std::vector<TSMSListEntry> ListSMS(int Status);
    // What the handset wrote for the directly routed message of the current OnUnsolicitedSMS
    // event: the PDU line, or in text mode the header line and the body joined by CR LF (a
    // status report stands whole on its header line).
    const std::string &RoutedRaw() const { return m_routedRaw; }
    // The length value of the PDU-mode "AT+CMGS=" for SMS.
    virtual int GetTPDULength(const TSMS &SMS) const;
    // The directly routed message or report is confirmed to the network (phase 2+ only).
    void AcknowledgeMessage();
    const TGSMEquipmentBehaviour &Behaviour() const { return EquipmentBehaviour(m_equipment); }

    // The TE character set (+CSCS, TS 27.007 5.5) the handset uses, asked once per open; a
    // handset that cannot tell counts as "GSM".
    TTECharset TECharacterSet();

    // The network the handset is on (TS 27.007 7.3): AT+COPS? in numeric and then in long
    // alphanumeric form (AT+COPS=3,2, AT+COPS=3,0: the long form stays set, as after power-on),
    // the name from the providers list when the handset gives only the code. Empty while not
    // registered, or from a handset that knows no +COPS.
    TNetworkOperator QueryOperator();
    // The SIM's IMSI (AT+CIMI, TS 27.007 5.6): 6 to 15 digits, the mobile country code first;
    // "" when the handset does not tell.
    std::string SubscriberIdentity();

    // USSD (TS 27.007 7.15). StartUSSD sends Text (a code such as "*100#", or the answer to a
    // menu) with AT+CUSD=1 and returns once the handset took it; the network's answer comes
    // through OnUSSD. SendUSSD waits for that answer as well, at most TimeoutMs, and raises
    // EGSMError when none comes or the answer line is malformed. CancelUSSD ends a session
    // (AT+CUSD=2).
    void StartUSSD(const QString &Text);
    TUSSDAnswer SendUSSD(const QString &Text, int TimeoutMs);
    void CancelUSSD();

    // Phonebooks (TS 27.007 8.11-8.14): the storages the handset offers ("SM" on the SIM, "ME"
    // in the handset, ...); a storage selected with its counts and field lengths. ReadPhonebook
    // reads every entry of Storage in chunks of AT+CPBR; an entry line that does not read is left
    // out and described in Problems (when given) instead of ending the read.
    // WritePhonebookEntry writes Entry (index 0: the first free place) and returns the index it
    // went to (0 when the handset does not tell); an entry that does not fit the storage's field
    // lengths, an index outside its range or a full storage are refused before anything is sent.
    // Names travel in UCS2 where the handset offers it, else in its character set.
    std::vector<std::string> PhonebookStorages();
    TPhonebookInfo SelectPhonebook(const std::string &Storage);
    std::vector<TPhonebookEntry> ReadPhonebook(const std::string &Storage, TPhonebookInfo *Info = nullptr,
                                               std::vector<std::string> *Problems = nullptr);
    int WritePhonebookEntry(const std::string &Storage, const TPhonebookEntry &Entry);
    void DeletePhonebookEntry(const std::string &Storage, int Index);

protected:
    void DoOpen() override;
    void DoClose() override;

    virtual void DoRxChar(char aChar);
    virtual void ProcessLine(const std::string &aLine);
    virtual void DoUnsolicitedLine(const std::string &aLine);
    virtual void DoUnsolicitedSMS(int Idx, TSMS *aSMS);
    virtual void DoNetworkRegistration(int aNewStatus);
    virtual void DoBusyChanged(bool aBusy);
    virtual void DoProcessingError(const std::string &aMessage);
    virtual void DoSMSAccepted(int MR);
    virtual void DoRestart(const std::string &aReason);
    virtual void DoRoutingRestored();
    virtual void DoUSSD(const TUSSDAnswer &aAnswer);
    // Negotiates "AT+CNMI" for the wanted indications; returns those the handset refused.
    virtual TGSMUnsolicitedIndicationSet SetupIndications(TGSMUnsolicitedIndicationSet Value);

    // For the line handler: the next Length characters (or up to a CR) form a message body.
    void SetPendingBodyLength(size_t Length);
    // Wakes a wait on the reply event (the Wavecom readiness wait).
    void SignalReply();

private:
    friend class TGSMAsyncThread;

    // Line rules of the handler.
    bool handleRegistrationLine(const std::string &line);
    bool handleWindLine(const std::string &line);
    bool handleSignalLine(const std::string &line);
    bool handlePendingBody(const std::string &line);
    bool handleStorageIndication(const std::string &line);
    bool handleT260StatusIndication(const std::string &line);
    bool handleDeliverHeader(const std::string &line);
    bool handleStatusReportHeader(const std::string &line);
    bool handleBroadcastHeader(const std::string &line);
    bool handleRestartLine(const std::string &line);
    bool handleUSSDLine(const std::string &line);
    void pauseMs(int ms) const;
    std::string lastResultLine() const;
    TPhonebookInfo selectPhonebook(const std::string &name);
    void withPhonebookCharset(const std::function<void(TTECharset)> &body);
    // The pause after a command attempt and after a read, or their debt inside a burst.
    void commandPause();
    void readPause();
    void chooseStorages();
    void queryRegistration(const std::string &command, bool optional);
    // Accepted is run at the handset's acceptance of the AT+CMGS itself (see OnSMSAccepted).
    void sendTextMessage(const TSMSSubmit &submit, std::vector<std::string> &lines,
                         const std::function<void()> &accepted);
    std::string textModeData(const TSMS2 &sms, const std::string &body) const;

    void processReceivedForAsync();
    void reportDiscardedLines();
    enum class TWaitEnd { Done, Silence, Limit };
    void waitQuiet(uint8_t flags);
    TWaitEnd waitForReply(uint8_t required, const std::string &cmd);
    void checkDeviceLost(const std::string &cmd);
    void deviceLost(const std::string &reason);
    void reportLostWhileIdle();
    bool isMainThread() const;
    void waitForReadiness();
    // Waits until Done holds, at most TimeoutMs, for lines the handset sends on its own (parsed
    // here when this is the main thread); returns Done(). Raises the lost-connection error for Cmd.
    bool waitForLines(const std::function<bool()> &done, int timeoutMs, const std::string &cmd);
    void registerStatus(int status);

    // The handset's initialisation dialogue, at open and after a restart.
    void setupHandset();
    // Records a sign that the handset restarted and wakes the idle processing to set it up again.
    void noticeRestart(const std::string &reason);
    std::string takeRestartReason();
    void checkRestartSigns(bool echoSeen, const std::string &resultLine);
    // Sets a restarted handset up again; runs from the idle processing, never inside a command.
    void recoverFromRestart();
    void processLeftovers();
    // A routed message went unacknowledged (its handler or the acknowledgement failed): in
    // service 1 the handset may stop routing, which the idle processing then checks.
    void watchRouting();
    // Asks the handset whether it still routes and sets the indications again when it stopped;
    // runs from the idle processing, never inside a command.
    void recoverRouting();
    // How long the async thread may sleep before the idle processing has work of its own.
    unsigned idleWaitMs() const;

    TGSMEquipment m_equipment = eqM1;
    uint8_t m_smsFormat = kSMSFormatPDU;
    TGSMUnsolicitedIndicationSet m_unsolicitedIndication = 0;
    std::string m_pin;
    std::string m_sca;
    TComm *m_comDevice = nullptr; // not owned
    bool m_commandEcho = true;
    bool m_extendedErrorMsg = false;
    int m_repeatCount = 5;
    int m_recTimeout = 6000;
    bool m_sendDataWritten = false;
    int m_repeatTimeout = 500;
    int m_readinessTimeout = 60000;

    int m_networkRegistration = 0;
    // The last <stat> of +CREG, +CEREG and +C5GREG since the open; -1 before the first.
    std::array<int, 3> m_registrationByTechnology{-1, -1, -1};
    // The TE character set found at open (with its quotes), put back after a UCS2 text send.
    std::string m_characterSet;
    int m_ucs2Offered = -1; // the handset offers the UCS2 set (1) or not (0); -1: not asked yet
    std::string m_memory = "\"SM\"";
    std::string m_reportStorage;
    int m_messageService = 0;
    int m_busyCount = 0;
    // A directly routed message whose header line came and whose body line is awaited.
    std::unique_ptr<TSMS> m_pendingSMS;
    std::string m_pendingHeader; // its header line
    std::string m_routedRaw;

    // Guarded by m_lock: the receive buffer with its dispatch position, the reply parser's state
    // and the mid-line flag. Written by the watcher thread, read by the waiting main thread.
    mutable std::mutex m_lock;
    TReceiveBuffer m_receive;
    TReplyState m_reply;
    bool m_midLine = false;
    std::string m_lostReason; // why the line went away; empty while it is there

    TEvent m_replyEvent{true, false};
    std::atomic<bool> m_deviceLost = false;
    std::atomic<bool> m_lostReported = false; // the application heard of the loss
    std::atomic<bool> m_windReady = false;
    std::atomic<bool> m_awaitingLines = false; // a wait for lines the handset sends on its own

    // The serial port's settings before the engine took it over.
    TCommRxCharEvent m_savedRxChar;
    TCommErrorEvent m_savedOnError;
    bool m_savedActive = false;
    bool m_savedDontSynchronize = false;
    bool m_handlersInstalled = false;

    // Restarts of the handset while open.
    std::string m_restartReason;      // a restart noticed and not yet handled (guarded by m_lock)
    bool m_recovering = false;        // the handset is being set up again
    bool m_echoOff = false;           // the handset confirmed that it echoes nothing
    uint64_t m_settledAt = 0;         // stream position when the last set-up's first command was answered
    uint64_t m_lineEnd = 0;           // stream position after the line being processed
    bool m_lineIsMessageText = false; // the line being processed follows a stored message's header
    bool m_nextIsMessageText = false;

    // The answer (or the decode failure) of the USSD string SendUSSD waits for; guarded by m_lock.
    bool m_ussdWaiting = false;
    std::optional<TUSSDAnswer> m_ussdAnswer;
    std::string m_ussdError;

    int m_burstDepth = 0;
    int m_owedCommandPause = 0; // ms a burst owes after its last command
    int m_owedReadPause = 0;

    // Routing after a missed acknowledgement: the last "AT+CNMI=" values set, when the idle
    // processing next asks the handset (GetTickMs; 0: no question pending) and until when.
    std::string m_indicationsSet;
    std::atomic<int64_t> m_routingCheckAt = 0;
    int64_t m_routingWatchEnd = 0;
    int m_routingCheckMs = 5000;

    std::map<std::string, std::string> m_infoCache; // query command -> answer
    std::unique_ptr<TGSMAsyncThread> m_asyncThread;
    // Run by ExecCommand once a command succeeded, before its pause (SendSMS's acceptance).
    std::function<void()> m_afterAnswer;
};

// Holds a burst of the engine open for as long as it lives.
class TGSMBurst {
public:
    explicit TGSMBurst(TGSM &gsm) : m_gsm(gsm) { m_gsm.BeginBurst(); }
    ~TGSMBurst() { m_gsm.EndBurst(); }
    TGSMBurst(const TGSMBurst &) = delete;
    TGSMBurst &operator=(const TGSMBurst &) = delete;

private:
    TGSM &m_gsm;
};

} // namespace kestrel
