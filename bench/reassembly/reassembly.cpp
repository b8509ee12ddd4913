// Reassembly speed: 10,000 payloads of three segments each from 1,000 senders, arriving
// interleaved and out of order, handled as the application handles received messages (expire,
// add, take complete payloads out). The argument is the number of payloads open at once: the cost
// per segment should not grow with it.
#include "gsm/sms.h"
#include "xsms/protocolstack.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

constexpr int kPayloads = 10000;
constexpr int kSenders = 1000;
constexpr TDateTime kMaxAge = 5.0 / 1440;

// Segment s (0..2) of every payload, 8-bit data behind a header with ports and concatenation.
std::vector<std::vector<std::unique_ptr<TSMSDeliver>>> buildSegments()
{
    std::vector<std::vector<std::unique_ptr<TSMSDeliver>>> segments(3);
    for (int i = 0; i < kPayloads; ++i) {
        TUDHProtocol payload;
        payload.SetOptions({poPortAddressing, poConcatenation});
        payload.SetDestPort(5514);
        payload.SetReference(static_cast<uint32_t>(i / kSenders));
        payload.SetData(std::string(3 * 128, static_cast<char>(i)));
        for (int s = 0; s < 3; ++s) {
            auto sms = std::make_unique<TSMSDeliver>();
            sms->OA = "+4477" + std::to_string(1000000 + i % kSenders);
            sms->DCS = 0x04;
            sms->SetFirstOctetBit(6, true);
            sms->UserData = payload.GetSegment(s + 1);
            segments[static_cast<size_t>(s)].push_back(std::move(sms));
        }
    }
    return segments;
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_Reassembly(benchmark::State &state)
{
    static const auto segments = buildSegments();
    const int open = static_cast<int>(state.range(0));
    long completed = 0;
    double heapPerOpen = 0;
    for (auto _ : state) {
        const size_t heapBefore = mallinfo2().uordblks;
        TSMSProtocolStack stack;
        // Batches of `open` payloads: every third segment first, then the first ones, then the
        // second ones, which complete them.
        for (int start = 0; start < kPayloads; start += open) {
            const int end = std::min(kPayloads, start + open);
            for (int s : {2, 0, 1}) {
                for (int i = start; i < end; ++i) {
                    const TSMSDeliver *sms = segments[static_cast<size_t>(s)][static_cast<size_t>(i)].get();
                    stack.Expire(false, kMaxAge);
                    TSMSProtocol *protocol = nullptr;
                    if (!stack.AddSegment(sms, protocol))
                        state.SkipWithError("segment refused");
                    if (protocol->State() == kStateComplete) {
                        benchmark::DoNotOptimize(protocol->Data().size());
                        stack.RemoveProtocol(protocol);
                        ++completed;
                    }
                }
                if (s == 0 && start == 0) // the most payloads are open: two segments of each
                    heapPerOpen = static_cast<double>(mallinfo2().uordblks - heapBefore) / stack.Count();
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kPayloads * 3);
    state.counters["open_payloads"] = open;
    state.counters["payloads_completed"] =
        benchmark::Counter(static_cast<double>(completed), benchmark::Counter::kAvgIterations);
    state.counters["heap_per_open_payload_B"] = heapPerOpen;
    state.counters["peak_rss_KiB"] = static_cast<double>(peakRssKiB());
}

} // namespace

BENCHMARK(BM_Reassembly)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
