#include "gateway/gatewaysettings.h"

#include <algorithm>

namespace kestrel {

int64_t QueueBackoffMs(const TQueueSettings &Settings, int Failures)
{
    int64_t wait = std::max(0, Settings.BackoffMs);
    for (int i = 1; i < Failures && wait < Settings.MaxBackoffMs; ++i)
        wait *= 2;
    return std::min<int64_t>(wait, std::max(0, Settings.MaxBackoffMs));
}

int HealthIntervalMs(int LeaseMs)
{
    return std::clamp(LeaseMs / 2, 1000, TGatewaySettings{}.HealthMs);
}

} // namespace kestrel
