// The handset logic of the simulator, without any I/O: it takes the bytes the host writes and
// answers through a sink. TModemSimulator wires it to the pseudo-terminal and its thread; all
// calls happen under the simulator's lock.
#pragma once

#include "modemsim/modemprofiles.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simnetwork.h"

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

class TSimHandsetSink {
public:
    virtual ~TSimHandsetSink() = default;
    // Bytes for the host; lines are what the transcript records. reply: the answer to a
    // command line or data part (fault chunking applies); otherwise an unsolicited output.
    virtual void Send(const std::string &bytes, const std::vector<std::string> &lines, bool reply) = 0;
    // A line received from the host; command: an AT command line (not a data part).
    virtual void Received(const std::string &line, bool command) = 0;
    // Runs fn on the simulator thread after ms milliseconds.
    virtual void Schedule(int ms, std::function<void()> fn) = 0;
    virtual void MessageSent(const TSimSentMessage &message) = 0;
    // Hands a submitted message to the network (routed once the simulator's lock is free).
    virtual void ToNetwork(const TSimSubmission &submission) = 0;
};

enum class TSimState { Ready, Pin, Puk, Failure };

class TSimHandset {
public:
    TSimHandset(const TModemSimulatorOptions &options, const TModemProfile &profile, TSimHandsetSink &sink);

    void Receive(std::string_view bytes);

    void SetSilent(bool on) { m_silent = on; }
    void SetUSSDDelay(int ms) { m_ussdDelayMs = ms; }
    // A restart: the handset goes dead (input and network ignored, a half-received line or
    // data part forgotten) until EndRestart, which comes back with the settings of a power-on
    // (echo on, indications off, the SIM asking for its PIN again when it has one).
    void BeginRestart();
    void EndRestart();
    // The next times command lines that start with prefix (ignoring case; "" for any) are
    // answered with finalLine alone.
    void FailCommand(const std::string &prefix, const std::string &finalLine, int times)
    {
        m_failPrefix = prefix;
        m_failNext = finalLine;
        m_failTimes = times;
    }
    // The answer to the next command line that starts with prefix (to its data part, where it
    // takes one) leaves delayMs late; what the command does is done at once.
    void DelayAnswer(const std::string &prefix, int delayMs)
    {
        m_delayPrefix = prefix;
        m_delayMs = delayMs;
    }
    void SendUnsolicited(const std::string &line);
    void SetRegistration(int status);
    void SetSignal(int rssi);
    bool SwitchedOff() const { return m_off; }
    TSimState SimState() const { return m_sim; }
    const TModemProfile &Profile() const { return m_profile; }
    const std::string &OwnNumber() const { return m_options.ownNumber; }

    // From the network (TPDU octets without service-centre field). Raise EGSMError/EDateError
    // on a TPDU that does not decode.
    void Arrive(const TSimArrival &arrival);
    void Broadcast(const std::string &page);
    int Store(const std::string &storage, int status, const std::string &tpdu);
    std::vector<TSimStoredMessage> Stored() const;
    int PendingAcknowledgements() const { return static_cast<int>(m_unacknowledged.size()); }

private:
    struct TCommand {
        std::string name; // upper case: "+CPIN", "E", "&F", "S"
        enum Kind { Exec, Read, Test, Set } kind = Exec;
        std::string args;                // text after "=" (set) or the digits of a basic command
        std::vector<std::string> params; // args split at commas outside quotes, trimmed
    };
    struct TAnswer {
        std::vector<std::string> lines;
        std::string final = "OK";
        bool prompt = false; // a data part follows
    };
    using THandler = void (TSimHandset::*)(const TCommand &, TAnswer &);
    enum class TNeeds { Nothing, SimCme, SimCms };
    struct THandlerEntry {
        THandler handler;
        TNeeds needs;
    };

    // The answer to command (or to its data part), late when DelayAnswer aimed at it.
    void sendAnswer(const std::string &command, const std::string &bytes,
                    const std::vector<std::string> &lines);
    void lineReceived(const std::string &line);
    void dataReceived(bool cancelled);
    bool parseCommands(std::string_view text, std::vector<TCommand> &out) const;
    void execute(const TCommand &cmd, TAnswer &answer);
    std::string frame(const TAnswer &answer, bool withFinal) const;
    void unsolicited(const std::vector<std::string> &lines);

    std::string cmeError(int code) const;
    static std::string cmsError(int code);
    int effectiveRegistration() const;
    void registrationMaybeChanged();
    void simBecameReady();
    void reset();

    // Command handlers (simcommands.cpp)
    void cmdEcho(const TCommand &, TAnswer &);
    void cmdVerbose(const TCommand &, TAnswer &);
    void cmdQuiet(const TCommand &, TAnswer &);
    void cmdReset(const TCommand &, TAnswer &);
    void cmdInfo(const TCommand &, TAnswer &);
    void cmdOk(const TCommand &, TAnswer &);
    void cmdDial(const TCommand &, TAnswer &);
    void cmdManufacturer(const TCommand &, TAnswer &);
    void cmdModel(const TCommand &, TAnswer &);
    void cmdRevision(const TCommand &, TAnswer &);
    void cmdSerial(const TCommand &, TAnswer &);
    void cmdCimi(const TCommand &, TAnswer &);
    void cmdCmee(const TCommand &, TAnswer &);
    void cmdCpin(const TCommand &, TAnswer &);
    void cmdCreg(const TCommand &, TAnswer &);
    void cmdCereg(const TCommand &, TAnswer &);
    void cmdC5greg(const TCommand &, TAnswer &);
    void registrationCommand(const TCommand &cmd, TAnswer &a, const char *name, int &mode, int status);
    void reportRegistration(const char *name, int mode, int status);
    void cmdCsq(const TCommand &, TAnswer &);
    void cmdCops(const TCommand &, TAnswer &);
    void cmdCfun(const TCommand &, TAnswer &);
    void cmdSmso(const TCommand &, TAnswer &);
    void cmdWind(const TCommand &, TAnswer &);
    void cmdCscs(const TCommand &, TAnswer &);
    void cmdCsms(const TCommand &, TAnswer &);
    void cmdCmgf(const TCommand &, TAnswer &);
    void cmdCsca(const TCommand &, TAnswer &);
    void cmdCsdh(const TCommand &, TAnswer &);
    void cmdCsmp(const TCommand &, TAnswer &);
    void cmdCnmi(const TCommand &, TAnswer &);
    void cmdCpms(const TCommand &, TAnswer &);
    void cmdCmgs(const TCommand &, TAnswer &);
    void cmdCmgw(const TCommand &, TAnswer &);
    void cmdCmgr(const TCommand &, TAnswer &);
    void cmdCmgl(const TCommand &, TAnswer &);
    void cmdCmgd(const TCommand &, TAnswer &);
    void cmdCnma(const TCommand &, TAnswer &);
    void cmdCusd(const TCommand &, TAnswer &);
    std::string ussdLine(int status, const std::u16string &text, bool ucs2) const;
    void cmdCpbs(const TCommand &, TAnswer &);
    void cmdCpbr(const TCommand &, TAnswer &);
    void cmdCpbw(const TCommand &, TAnswer &);

    // Message helpers (simmessages.cpp)
    void submitData(const std::string &data, TAnswer &answer);
    void writeData(const std::string &data, TAnswer &answer);
    void deliverArrived(const std::string &tpdu, const std::string &sca);
    void reportArrived(const std::string &tpdu, const std::string &sca);
    // The storage and slot an index of storage name refers to (the 6650's "MT" spans both).
    struct TSlot {
        std::string storage;
        int index = 0;
    };
    bool resolve(const std::string &name, int index, TSlot &slot) const;
    bool storeIn(const std::string &name, int status, const std::string &tpdu, const std::string &sca,
                 TSlot &slot);
    std::string indication(const char *prefix, const TSlot &slot) const;
    std::string pduLine(const std::string &tpdu, const std::string &sca) const;
    void appendMessage(const TSlot &slot, int listIndex, TAnswer &answer);
    void unsolicitedWithBody(const std::string &header, const std::string &body);
    void expectAcknowledgement(const TSimArrival &arrival);

    static const std::map<std::string, THandlerEntry> &handlers();

    const TModemSimulatorOptions m_options;
    const TModemProfile &m_profile;
    TSimHandsetSink &m_sink;

    // Line assembly
    std::string m_line;
    bool m_lineOverflow = false;
    bool m_dataMode = false;
    std::string m_data;
    std::string m_dataCommand; // the command line that asked for the data part
    enum class TDataFor { Send, Write } m_dataFor = TDataFor::Send;
    int m_dataLength = -1;     // PDU mode: the announced TPDU length
    std::string m_dataAddress; // text mode: destination
    int m_dataStatus = 2;      // AT+CMGW: status of the written message

    // Faults
    bool m_silent = false;
    std::string m_failNext;
    std::string m_failPrefix;
    int m_failTimes = 0;
    std::string m_delayPrefix;
    int m_delayMs = 0;

    // Settings (ATZ restores them)
    bool m_echo = true;
    bool m_verbose = true;
    bool m_quiet = false;
    int m_cmee = 0;
    int m_cregMode = 0;
    int m_ceregMode = 0;
    int m_c5gregMode = 0;
    int m_windMask = 0;
    int m_cmgf = 0;
    int m_csdh = 0;
    int m_service = 0;
    std::array<int, 5> m_cnmi{};
    int m_csmpFo = 17, m_csmpVp = 167, m_csmpPid = 0, m_csmpDcs = 0;
    std::string m_csmpVpAbsolute; // an absolute validity period given to AT+CSMP, unquoted
    int m_nextReference = 0;
    int m_ussdDelayMs = 0;   // the network's delay before it answers a USSD string
    int m_copsMode = 0;      // +COPS <mode>
    int m_copsFormat = 0;    // +COPS <format>: 0 long, 1 short alphanumeric, 2 numeric
    int m_cusdMode = 0;      // +CUSD <n>: 1 presents the network's answers
    int m_ussdMenu = 0;      // the level of the USSD menu the session is in (0: none)
    bool m_ussdUcs2 = false; // that menu is the UCS2 one

    std::deque<TSimArrival> m_unacknowledged; // routed, waiting for AT+CNMA, oldest first
    long long m_routedCount = 0;              // routed messages that want an acknowledgement, ever
    long long m_ackedCount = 0;               // acknowledgements received (or given up), ever

    // SIM and network
    TSimState m_sim = TSimState::Ready;
    std::string m_pin;
    std::string m_puk;
    int m_pinAttempts = 3;
    int m_pukAttempts = 10;
    std::string m_sca;
    int m_registration;
    int m_rssi;
    int m_reportedRegistration = 0;
    int m_reportedSignal = 0;
    int reportedSignal() const;
    bool m_off = false;
    bool m_switchingOff = false; // off once the answer to the switch-off command is out
    std::string m_cscs = "GSM";
    // String parameters and 7-bit text as the host's character set has them (TS 27.007 5.5):
    // as they are, or as hexadecimal UCS2 under "UCS2".
    std::string toHostText(const std::string &text) const;
    std::string fromHostText(const std::string &text) const;

    // Message storage: "SM" on the SIM, "ME" in the handset. m_mem holds the storages of
    // +CPMS: read/delete, write/send, receive.
    struct TSimMessage {
        int status = 0;   // TS 27.005 <stat>: 0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT
        std::string tpdu; // the TPDU octets, without service-centre field
        std::string sca;  // the service centre's number, may be empty
    };
    struct TSimStorage {
        int capacity = 0;
        std::map<int, TSimMessage> entries; // index from 1
    };
    std::map<std::string, TSimStorage> m_storages;
    std::array<std::string, 3> m_mem{"SM", "SM", "SM"};
    bool knownStorage(const std::string &name) const;
    bool hasMT() const { return m_profile.combinedMT || m_profile.mtStorage; }
    int storageUsed(const std::string &name) const;
    int storageTotal(const std::string &name) const;

    // Phonebooks (simphonebook.cpp): "SM" and "ME", and the one +CPBS selected.
    struct TSimPhonebookEntry {
        std::string number; // "+4917..." for type 145
        int type = 129;
        std::u16string name;
    };
    struct TSimPhonebook {
        int capacity = 0;
        int numberLength = 0;                      // digits
        int textLength = 0;                        // as PhonebookTextLength counts
        std::map<int, TSimPhonebookEntry> entries; // index from 1
    };
    std::map<std::string, TSimPhonebook> m_phonebooks;
    std::string m_phonebook;
    void setUpPhonebooks();
    std::string phonebookText(const std::u16string &name) const;
};

// Splits a parameter list at commas outside double quotes; each item trimmed of blanks.
std::vector<std::string> SplitAtParams(std::string_view text);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// The item without its surrounding double quotes, if it has both.
std::string Unquote(std::string_view text);
// A decimal number of at most nine digits; false for anything else.
bool ParseSimInt(std::string_view text, int &value);

} // namespace kestrel
