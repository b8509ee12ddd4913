#include "modemsim/simnetwork.h"

#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/smscontext.h"

#include <algorithm>
#include <atomic>

namespace kestrel {

namespace {

// The network works on bare TPDUs: no service-centre field in front.
class TBareTpdu : public ISMSContext {
public:
    bool SCAInPDU() const override { return false; }
    std::string SCA() const override { return {}; }
};
const TBareTpdu kBare;

TSMSSubmit decodeSubmit(const std::string &tpdu)
{
    TSMSSubmit submit;
    submit.GSM = &kBare;
    submit.Decode(tpdu);
    return submit;
}

} // namespace

const ISMSContext *SimBareContext()
{
    return &kBare;
}

std::string SimNumberDigits(const std::string &number)
{
    std::string digits;
    for (char c : number)
        if ((c >= '0' && c <= '9') || c == '*' || c == '#')
            digits += c;
    return digits;
}

std::string SimDeliverFromSubmit(const std::string &submitTpdu, const std::string &originator, TDateTime scts)
{
    TSMSSubmit submit = decodeSubmit(submitTpdu);
    TSMSDeliver deliver;
    deliver.GSM = &kBare;
    // TP-MMS set: no more messages wait; TP-RP and TP-UDHI carry over, TP-SRR becomes TP-SRI.
    deliver.FirstOctet = static_cast<uint8_t>(0x04 | (submit.FirstOctet & 0xC0) | (submit.FirstOctet & 0x20));
    deliver.OA = originator;
    deliver.PID = submit.PID;
    deliver.DCS = submit.DCS;
    deliver.SCTS = scts;
    deliver.TimeZone = 0;
    deliver.UserData = submit.UserData;
    return deliver.Encode();
}

std::string SimStatusReportFor(const std::string &submitTpdu, TDateTime submitted, TDateTime discharged)
{
    TSMSSubmit submit = decodeSubmit(submitTpdu);
    TSMSStatusReport report;
    report.GSM = &kBare;
    report.FirstOctet = 0x06; // SMS-STATUS-REPORT, no more messages
    report.MR = submit.MR;
    report.RA = submit.DA;
    report.SCTS = submitted;
    report.DischargeTime = discharged;
    report.Status = 0; // received by the recipient
    return report.Encode();
}

int TSimNetwork::Join(const std::string &number, TReceiver receiver, TRebind rebind)
{
    static std::atomic<int> nextId{1};
    std::lock_guard lock(m_mutex);
    int id = nextId++;
    m_members.push_back({id, SimNumberDigits(number), std::move(receiver), std::move(rebind)});
    return id;
}

bool TSimNetwork::Leave(int id)
{
    std::lock_guard lock(m_mutex);
    auto it =
        std::remove_if(m_members.begin(), m_members.end(), [&](const TMember &m) { return m.id == id; });
    bool found = it != m_members.end();
    m_members.erase(it, m_members.end());
    return found;
}

const TSimNetwork::TMember *TSimNetwork::find(const std::string &number) const
{
    std::string digits = SimNumberDigits(number);
    for (const auto &m : m_members)
        if (!digits.empty() && m.number == digits)
            return &m;
    return nullptr;
}

void TSimNetwork::Route(const TSimSubmission &submission)
{
    TSMSSubmit submit = decodeSubmit(submission.tpdu);
    TDateTime now = NowUTC();
    std::lock_guard lock(m_mutex);
    if (const TMember *to = find(submit.DA))
        to->receiver({TSimArrival::Deliver, SimDeliverFromSubmit(submission.tpdu, submission.from, now),
                      submission.sca});
    // TS 23.040 9.2.3.5: the sender asked for a report.
    if (submit.FirstOctetBit(5)) {
        if (const TMember *back = find(submission.from))
            back->receiver({TSimArrival::StatusReport,
                            SimStatusReportFor(submission.tpdu, submission.submitted, now), submission.sca});
    }
}

void TSimNetwork::Absorb(TSimNetwork &other)
{
    if (&other == this)
        return;
    auto self = shared_from_this();
    std::scoped_lock lock(m_mutex, other.m_mutex);
    for (auto &m : other.m_members) {
        if (m.rebind)
            m.rebind(self);
        m_members.push_back(std::move(m));
    }
    other.m_members.clear();
}

} // namespace kestrel
