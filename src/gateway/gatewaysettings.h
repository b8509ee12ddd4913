// The settings of a gateway and the policy that follows from them: how often a message is tried
// and how long it waits between tries, how long a claim lasts, what a modem is asked to indicate,
// which service centre it uses unless told, how often an idle modem is checked. Every front end
// that runs or describes a gateway (kestrel gateway and its help, the HTTP API) takes them from
// here, so that they all behave alike.
#pragma once

#include "gsm/gsm.h"

#include <cstdint>
#include <string>

namespace kestrel {

// How the queue treats a message whose sending failed: it is tried Attempts times in all (a
// claim counts as a try when it is taken, so that a message whose send crashes its process or
// loses its modem ends too), the n-th retry waiting BackoffMs * 2^(n-1) (at most MaxBackoffMs);
// then it is failed.
struct TQueueSettings {
    int Attempts = 5;
    int BackoffMs = 30000;
    int MaxBackoffMs = 3600000;
    int LeaseMs = 60000; // a claim not renewed within this time goes back to the queue
};

// The wait before the next try after Failures failed ones: doubling from the base, capped.
int64_t QueueBackoffMs(const TQueueSettings &Settings, int Failures);

struct TGatewaySettings {
    std::string ConfigFile;   // the data module's settings file ([Modem], [Modem.Files])
    std::string LogDirectory; // default log files, ending in "/"
    std::string Store;        // path or URL; the settings file's when empty
    TQueueSettings Queue;
    int RatePerMinute = 0;       // messages a modem starts per minute (0: no limit)
    int ReopenMs = 5000;         // a lost modem, or a store that is away, is tried again this often
    int PollMs = 1000;           // an empty queue is looked at again this often
    int HealthMs = 15000;        // an idle modem is asked whether it still answers this often
    int StateMs = 5000;          // the modem's state is written into the store this often
    int RecTimeoutMs = 0;        // the engine's reply time-out (0: the settings file's)
    bool KeepMessages = false;   // leave handled received messages on the handset
    bool EventsWithText = false; // events carry message texts (else ids, peers and kinds only)
    // After a send that got no answer, the modem waits this long for a late one before it sends
    // anything else (an answer that comes during the next send would be taken for that one's).
    int LateAnswerMs = 30000;
};

// What a gateway's modems indicate unless the user chose: messages and status reports are stored
// by the modem and indicated, then read, recorded and deleted.
constexpr TGSMUnsolicitedIndicationSet kGatewayIndications =
    Bit(uindSMSDeliver) | Bit(uindSMSStatusReport) | Bit(uindOnlyIndication);

// The service centre of a gateway's modem unless the user named one: none, so that each handset
// uses the one of its own SIM (modems of several networks share one settings file).
inline const std::string kGatewaySCA;

// How often an idle modem is asked whether it still answers, for a lease of LeaseMs: a claim is
// renewed before each segment, so the check never outlasts half a lease; between one second and
// the default.
int HealthIntervalMs(int LeaseMs);

} // namespace kestrel
