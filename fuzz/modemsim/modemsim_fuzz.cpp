// Arbitrary bytes from a host, cut into chunks, through the simulated handset's command
// interpreter (commands, data parts, storage), with every message it sends looped back through
// the network conversion; the same bytes also arrive as a TPDU and as a cell broadcast page.
// Nothing may crash, and the storages never hold more than their slots.
#include "modemsim/modemprofiles.h"
#include "modemsim/simhandset.h"
#include "modemsim/simnetwork.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

using namespace kestrel;

namespace {

class TFuzzSink : public TSimHandsetSink {
public:
    void Send(const std::string &bytes, const std::vector<std::string> &, bool) override
    {
        sent += bytes.size();
    }
    void Received(const std::string &, bool) override {}
    void Schedule(int, std::function<void()> fn) override { pending.push_back(std::move(fn)); }
    void MessageSent(const TSimSentMessage &) override {}
    void ToNetwork(const TSimSubmission &submission) override { submissions.push_back(submission); }

    size_t sent = 0;
    std::vector<std::function<void()>> pending;
    std::vector<TSimSubmission> submissions;
};

void drain(TFuzzSink &sink, TSimHandset &handset)
{
    // Scheduled work may schedule more (readiness after a PIN, deliveries); a bounded number of
    // rounds is plenty.
    for (int round = 0; round < 4 && (!sink.pending.empty() || !sink.submissions.empty()); ++round) {
        auto work = std::move(sink.pending);
        sink.pending.clear();
        for (auto &fn : work)
            fn();
        auto submissions = std::move(sink.submissions);
        sink.submissions.clear();
        for (const auto &s : submissions) {
            try {
                handset.Arrive({TSimArrival::Deliver, SimDeliverFromSubmit(s.tpdu, s.from, 0), s.sca});
                handset.Arrive({TSimArrival::StatusReport, SimStatusReportFor(s.tpdu, 0, 0), s.sca});
            } catch (const std::exception &) {
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const auto &profiles = ModemProfiles();
    const TModemProfile &profile = profiles[data[0] % profiles.size()];
    const size_t chunk = 1 + data[1] % 32;
    std::string_view input(reinterpret_cast<const char *>(data + 2), size - 2);

    TModemSimulatorOptions options;
    options.equipment = profile.name;
    options.pin = (data[1] & 0x80) ? "1234" : "";
    TFuzzSink sink;
    TSimHandset handset(options, profile, sink);
    for (size_t pos = 0; pos < input.size(); pos += chunk) {
        handset.Receive(input.substr(pos, chunk));
        drain(sink, handset);
    }
    std::string octets(input);
    for (auto kind : {TSimArrival::Deliver, TSimArrival::StatusReport}) {
        try {
            handset.Arrive({kind, octets, "+4917"});
        } catch (const std::exception &) {
        }
    }
    try {
        handset.Broadcast(octets);
    } catch (const std::exception &) {
    }
    drain(sink, handset);

    size_t stored = 0;
    for (const auto &m : handset.Stored())
        stored += m.storage.empty() ? 0 : 1;
    if (stored > static_cast<size_t>(profile.smCapacity + profile.meCapacity + 10))
        std::abort();
    return 0;
}
