// TModemSimulator: a virtual GSM handset on a pseudo-terminal. It owns the master side of a pty
// pair, answers AT commands (3GPP TS 27.007 / 27.005) like the chosen handset model, records a
// transcript of the dialogue and injects faults on request. Tests and "kestrel simulate" open
// DevicePath() like a serial port.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

struct TModemSimulatorOptions {
    std::string equipment = "M20"; // short equipment name (A1 M1 M20 GM12 Nokia6210 ... Fasttrack)
    std::string pin;               // empty: SIM ready; otherwise SIM PIN required until given
    std::string puk;               // non-empty: the SIM starts blocked in SIM PUK state
    std::string linkPath;          // optional symbolic link to the slave device
    int registration = 1;          // +CREG status once the SIM is usable
    // The network is reached over LTE only: +CREG reports 0 (not registered), +CEREG (on a model
    // that has it) the registration above.
    bool lteOnly = false;
    int rssi = 20;                             // +CSQ signal quality
    std::string ownNumber = "+491710000001";   // messages sent here come back as deliveries
    std::string sca = "+491710760000";         // service centre stored on the SIM
    std::string cnmiRanges;                    // +CNMI test answer; empty: the model's own
    int deliveryDelayMs = 100;                 // network delay of a message sent to ownNumber
    int chunkGapMs = 10;                       // pause between the chunks of a split reply
    std::string operatorNumeric = "26299";     // the network: MCC and MNC
    std::string operatorName = "Kestrel Net";  // its long alphanumeric name
    std::string operatorShortName = "KESTREL"; // its short one
    bool numericOperatorOnly = false;          // +COPS? gives the code in every format
    int ussdDelayMs = 50;                      // the network's delay before it answers a USSD string
    int storageCapacity = 0;                   // messages SM and ME hold each; 0: the model's own
    // Phase 2+: a routed message not acknowledged with AT+CNMA within this time makes the
    // handset stop routing (<mt> and <ds> of +CNMI become 0); 0 waits for ever.
    int ackTimeoutMs = 0;
    // The network delivers a message that the handset did not pass on (no acknowledgement) again
    // after this time; 0: never.
    int redeliveryMs = 1000;
};

// A message the host sent through AT+CMGS.
struct TSimSentMessage {
    int reference = 0;       // TP-MR the handset gave it (the +CMGS answer)
    bool textMode = false;   // sent in text mode
    int lengthGiven = -1;    // PDU mode: the <length> of AT+CMGS
    std::string command;     // the command line, e.g. AT+CMGS=23
    std::string data;        // the data part as written (hex PDU or text), without Ctrl-Z
    std::string tpdu;        // the SMS-SUBMIT as it went to the network (hex, no SC field)
    std::string destination; // TP-DA
};

// A message in the handset's storage.
struct TSimStoredMessage {
    std::string storage; // "SM", "ME" or "BM"
    int index = 0;
    int status = 0;   // 0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT
    std::string tpdu; // hex, no service-centre field (a cell broadcast page in "BM")
};

class TModemSimulator {
public:
    // Raises std::invalid_argument for an unknown equipment name, std::runtime_error when no
    // pseudo-terminal can be had. The simulator runs from construction on.
    explicit TModemSimulator(TModemSimulatorOptions options = {});
    ~TModemSimulator(); // stops its thread, closes the pty, removes the link
    TModemSimulator(const TModemSimulator &) = delete;
    TModemSimulator &operator=(const TModemSimulator &) = delete;

    std::string DevicePath() const; // slave side, e.g. /dev/pts/5
    std::string Equipment() const;  // the profile's short name

    // Every line, in order: "< AT+CPIN?" received, "> +CPIN: READY" sent. Echoes are not
    // repeated; a data part is recorded as received text; the prompt as "> > ".
    std::vector<std::string> Transcript() const;
    std::vector<std::string> ReceivedCommands() const; // command lines only, in order
    // Blocks until a command starting with prefix (ignoring letter case) was received since the
    // last ClearTranscript; false on timeout.
    bool WaitForCommand(const std::string &prefix, int timeoutMs);
    // Blocks until a line (without direction mark) starting with prefix was sent.
    bool WaitForSent(const std::string &prefix, int timeoutMs);
    // Blocks until a line received from the host (a command or a data part) starts with prefix.
    bool WaitForReceived(const std::string &prefix, int timeoutMs);
    void ClearTranscript();

    // Faults
    void SetChunking(std::vector<size_t> splitPoints);  // split the next output (a reply, or an
                                                        // unsolicited message) at these offsets
    void SetRandomChunking(bool on, unsigned seed = 1); // split every reply into small chunks
    void SetReplyDelay(int ms);
    void SetUSSDDelay(int ms);                          // the network's delay before a USSD answer
    void SetSilent(bool on);                            // no reply at all (no echo either)
    void FailNextCommand(const std::string &finalLine); // e.g. "+CME ERROR: 11" or "ERROR"
    // The next times commands that start with prefix (ignoring case, e.g. "AT+CMGS") are
    // answered with finalLine; other commands (a health check, a storage read) as ever.
    void FailCommand(const std::string &prefix, const std::string &finalLine, int times = 1);
    // The answer to the next command that starts with prefix (after its data part, where it takes
    // one) leaves delayMs late; the handset does at once what the command asks (a message
    // goes to the network), only its answer is late.
    void DelayAnswer(const std::string &prefix, int delayMs);
    void SendRaw(const std::string &bytes);        // written as given
    void SendUnsolicited(const std::string &line); // framed as CR LF line CR LF
    void HangUp();                                 // close the master: the device vanishes
                                                   // (output already queued goes out first)
    // The handset restarts: it answers nothing (and ignores the network) for silentMs, then
    // writes banner (e.g. "\r\nRDY\r\n", or garbage) and answers again with power-on settings.
    void Restart(int silentMs, const std::string &banner);
    bool Restarting() const;
    // Every output leaves one byte at a time, gapMs apart (0: as one write again).
    void SetByteAtATime(int gapMs);
    bool HungUp() const;

    // State of the handset
    void SetRegistration(int status); // reported with +CREG (or +CSQ on the T260) when enabled
    void SetSignal(int rssi);
    bool SwitchedOff() const;     // after ^SMSO / +CFUN=0 the handset answers nothing
    std::string SimState() const; // "READY", "SIM PIN", "SIM PUK", "SIM FAILURE"
    std::string OwnNumber() const;

    // Messages. The network delivers to the handset as it would: stored with +CMTI, or routed
    // with +CMT (+CDS, +CBM), as the host's AT+CNMI asks. TPDUs are hex without a service-centre
    // field; a bad one raises std::invalid_argument.
    void DeliverPdu(const std::string &tpduHex); // an SMS-DELIVER
    // Several SMS-DELIVERs that reach the handset at once: all are stored (or routed) before the
    // host hears of any, and their indications leave in one write. Nothing arrives when one of
    // them is bad.
    void DeliverPdus(const std::vector<std::string> &tpdusHex);
    void DeliverText(const std::string &from, const std::string &text); // a 7-bit SMS-DELIVER
    void DeliverStatusReport(const std::string &tpduHex);               // an SMS-STATUS-REPORT
    void BroadcastPdu(const std::string &pageHex);                      // one cell broadcast page
    void BroadcastText(int messageId, const std::string &text);         // a 7-bit single page
    // Puts a message straight into a storage ("SM", "ME"); returns its index, -1 when full.
    int StoreMessage(const std::string &storage, int status, const std::string &tpduHex);
    std::vector<TSimStoredMessage> StoredMessages() const;
    std::vector<TSimSentMessage> SentMessages() const;
    bool WaitForSentMessages(size_t count, int timeoutMs);
    // Directly routed messages the host has not yet acknowledged with AT+CNMA (phase 2+).
    int PendingAcknowledgements() const;
    // Joins the other handset's network to this one: each reaches the other by its own number.
    void Join(TModemSimulator &other);

private:
    struct TImpl;
    std::unique_ptr<TImpl> d;
};

} // namespace kestrel
