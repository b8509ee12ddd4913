// Helpers of the message tests: an engine opened against the virtual handset, the events it
// raised, and message objects to send or store.
#pragma once

#include "../engine/enginerig.h"

#include "gsm/tpdufields.h"
#include "modemsim/simnetwork.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrel::test {

// One OnUnsolicitedSMS call; the message is copied while the event runs (the engine frees it).
struct TSMSEvent {
    int index = 0;
    std::string cls; // class name, empty for a storage indication
    std::string text;
    std::string pdu;
};

struct TMessagingRig : TEngineRig {
    std::vector<TSMSEvent> events;
    std::vector<int> registrations;
    std::vector<std::string> lines;
    std::vector<std::string> errors;
    std::vector<std::string> restarts; // reasons of the handset restarts the engine handled

    explicit TMessagingRig(const TModemSimulatorOptions &options, uint8_t format = kSMSFormatPDU,
                           TGSMUnsolicitedIndicationSet indications = 0)
        : TEngineRig(options)
    {
        gsm.SetSMSFormat(format);
        gsm.SetUnsolicitedIndication(indications);
        gsm.OnUnsolicitedSMS = [this](TObject *, int idx, TSMS *sms) {
            TSMSEvent e;
            e.index = idx;
            if (sms) {
                e.cls = sms->ClassName();
                if (auto *s2 = dynamic_cast<TSMS2 *>(sms))
                    e.text = s2->UserData;
                else if (auto *cb = dynamic_cast<TCellBroadcast *>(sms))
                    e.text = cb->Content;
                try {
                    e.pdu = sms->GetPDU();
                } catch (const std::exception &) {
                }
            }
            events.push_back(e);
        };
        gsm.OnNetworkRegistration = [this](TObject *, int status) { registrations.push_back(status); };
        gsm.OnUnsolicitedLine = [this](TObject *, const std::string &l) { lines.push_back(l); };
        gsm.OnProcessingError = [this](TObject *, const std::string &e) { errors.push_back(e); };
        gsm.OnRestart = [this](TObject *, const std::string &reason) { restarts.push_back(reason); };
    }

    // Opens the engine and handles what the open dialogue left for the idle parser (the echoes
    // and answers, the registration among them), so that the events start empty.
    void Open()
    {
        gsm.Open();
        gsm.ProcessReceived();
        events.clear();
        registrations.clear();
        lines.clear();
        errors.clear();
        restarts.clear();
    }

    bool WaitEvents(size_t n, int timeoutMs = 3000)
    {
        return PumpUntil([&] { return events.size() >= n; }, timeoutMs);
    }
};

inline std::unique_ptr<TSMSSubmit> TextSubmit(const std::string &da, const std::string &text)
{
    auto s = std::make_unique<TSMSSubmit>();
    s->DA = da;
    s->UserData = TextToGSM(text);
    return s;
}

// The hex TPDU (no service-centre field) of an SMS-DELIVER with 7-bit text.
inline std::string DeliverTPDU(const std::string &oa, const std::string &text)
{
    TSMSDeliver d;
    d.OA = oa;
    d.SCTS = EncodeDate(2026, 12, 7) + EncodeTime(10, 30, 0, 0);
    d.TimeZone = 4;
    d.UserData = TextToGSM(text);
    d.GSM = SimBareContext();
    return d.GetPDU();
}

} // namespace kestrel::test
