// Routing after a missed acknowledgement. In message service 1 (TS 27.005 3.2.1) the host must
// acknowledge every routed message with AT+CNMA; a handset that does not get it in time answers
// the network with an error (the network keeps the message and delivers it again later) and stops
// routing to the host (TS 27.005 3.4.4: <mt> and <ds> of +CNMI become 0). It says nothing about
// that: the host finds out by asking. Until it asks again for the indications, what arrives stays
// in the storage unannounced.
#include "gsm/gsm.h"

#include "base/convert.h"

namespace kestrel {

namespace {

// A handset gives up waiting for the acknowledgement after its relay timer (TS 24.011 10: TR2M,
// 12 to 20 s); past this time it has kept routing and is not asked any more.
constexpr int64_t kRoutingWatchMs = 60000;
// A question that falls on a running command is asked this much later.
constexpr int64_t kBusyRetryMs = 200;
// The async thread never sleeps less than this for a question that is overdue, so that a main
// thread that does not take its call yet is not pressed in a loop.
constexpr int64_t kMinIdleWaitMs = 50;

// <mt> (second) and <ds> (fourth) of a +CNMI parameter list; -1 where one is missing.
std::pair<int, int> RoutingValues(const std::string &params)
{
    size_t pos = 0;
    int mt = -1, ds = -1;
    for (int i = 0; i < 4 && HasParam(params, pos); ++i) {
        const int value = StrToIntDef(ExtractParam(params, pos), -1);
        if (i == 1)
            mt = value;
        else if (i == 3)
            ds = value;
    }
    return {mt, ds};
}

} // namespace

void TGSM::watchRouting()
{
    if (m_messageService < 1 || !Active())
        return;
    const int64_t now = GetTickMs();
    m_routingWatchEnd = now + kRoutingWatchMs;
    int64_t expected = 0;
    m_routingCheckAt.compare_exchange_strong(expected, now + m_routingCheckMs);
    m_asyncThread->Event.SetEvent(); // to sleep until the question is due
}

unsigned TGSM::idleWaitMs() const
{
    const int64_t at = m_routingCheckAt;
    if (at == 0)
        return kInfinite;
    return static_cast<unsigned>(std::max(at - GetTickMs(), kMinIdleWaitMs));
}

void TGSM::recoverRouting()
{
    const int64_t at = m_routingCheckAt;
    if (at == 0)
        return;
    if (!Active() || m_deviceLost) {
        m_routingCheckAt = 0; // the next open sets the indications anyway
        return;
    }
    const int64_t now = GetTickMs();
    if (now < at)
        return;
    if (Busy() || m_recovering) {
        m_routingCheckAt = now + kBusyRetryMs;
        return;
    }
    bool restored = false;
    BeginBusy();
    try {
        constexpr uint8_t kQuery = kWaitResult | kWaitReply | kPrefixedReply;
        std::vector<std::string> lines;
        CheckResult(ExecCommand("AT+CNMI?", kQuery, &lines));
        const auto [mtSet, dsSet] = RoutingValues(m_indicationsSet);
        const auto [mt, ds] = RoutingValues(lines.empty() ? std::string() : lines.front());
        if ((mtSet > 0 && mt == 0) || (dsSet > 0 && ds == 0)) {
            m_unsolicitedIndication &=
                static_cast<TGSMUnsolicitedIndicationSet>(~SetupIndications(m_unsolicitedIndication));
            restored = true;
        }
    } catch (const std::exception &e) {
        DoProcessingError(e.what());
    }
    if (restored)
        m_routingCheckAt = 0;
    else
        m_routingCheckAt = now >= m_routingWatchEnd ? 0 : GetTickMs() + m_routingCheckMs;
    if (restored) {
        try {
            DoRoutingRestored();
        } catch (const std::exception &e) {
            DoProcessingError(e.what());
        }
    }
    EndBusy();
    processLeftovers();
}

void TGSM::DoRoutingRestored()
{
    if (OnRoutingRestored)
        OnRoutingRestored(this);
}

} // namespace kestrel
