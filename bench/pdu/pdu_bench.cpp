// Decode and encode speed of the message model on the messages handsets exchange most: a full
// 7-bit SMS-DELIVER, a full UCS2 one and a segment of a concatenated text. Decoding starts from
// the hex line a handset sends and ends with the message object; encoding goes the other way.
//
//   pdu_codec [Google Benchmark flags]
//   pdu_codec --file F   decodes the hex PDUs of F (one per line, service-centre field first) in
//                        a loop for about two seconds; the last line is "ns_per_decode: X".
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

TSMSDeliver deliverWith(uint8_t dcs, const std::string &userData, bool header)
{
    TSMSDeliver sms;
    sms.FirstOctet = header ? 0x44 : 0x04;
    sms.OA = "+441234567890";
    sms.DCS = dcs;
    sms.SCTS = 45418.297326; // 2024-05-06 07:08:09
    sms.TimeZone = 4;
    sms.UserData = userData;
    return sms;
}

std::string text(size_t n)
{
    std::string s;
    const char *words = "The quick brown fox jumps over the lazy dog. ";
    while (s.size() < n)
        s += words;
    return s.substr(0, n);
}

TSMSDeliver sevenBit()
{
    return deliverWith(0x00, TextToGSM(text(160)), false);
}

TSMSDeliver ucs2()
{
    std::u16string w;
    for (int i = 0; i < 70; ++i)
        w += static_cast<char16_t>(0x0410 + i % 32); // Cyrillic capitals
    return deliverWith(0x08, WideToUCS2(w), false);
}

TSMSDeliver concatenated()
{
    return deliverWith(0x00, HexToStr("050003BD0201") + TextToGSM(text(153)), true);
}

void decode(benchmark::State &state, TSMSDeliver (*make)())
{
    const std::string pdu = make().GetPDU();
    for (auto _ : state) {
        auto sms = CreateSMSFromPDU(nullptr, pdu, true);
        benchmark::DoNotOptimize(sms);
    }
}

void encode(benchmark::State &state, TSMSDeliver (*make)())
{
    const TSMSDeliver sms = make();
    for (auto _ : state) {
        std::string pdu = sms.GetPDU();
        benchmark::DoNotOptimize(pdu);
    }
}

BENCHMARK_CAPTURE(decode, deliver_7bit_160, sevenBit);
BENCHMARK_CAPTURE(decode, deliver_ucs2_70, ucs2);
BENCHMARK_CAPTURE(decode, deliver_concat_segment, concatenated);
BENCHMARK_CAPTURE(encode, deliver_7bit_160, sevenBit);
BENCHMARK_CAPTURE(encode, deliver_ucs2_70, ucs2);
BENCHMARK_CAPTURE(encode, deliver_concat_segment, concatenated);

int decodeFile(const char *path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    std::vector<std::string> pdus;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            pdus.push_back(line);
    }
    if (pdus.empty()) {
        std::fprintf(stderr, "no PDUs in %s\n", path);
        return 1;
    }
    // The direction follows the message type: received types as a handset stores them.
    std::vector<bool> mt;
    size_t failures = 0;
    for (const auto &pdu : pdus) {
        std::string b = HexToStr(pdu);
        size_t head = b.empty() ? 0 : static_cast<uint8_t>(b[0]) + 1u;
        mt.push_back(head >= b.size() || (static_cast<uint8_t>(b[head]) & 3) != 1);
        try {
            if (!CreateSMSFromPDU(nullptr, pdu, mt.back()))
                ++failures;
        } catch (const std::exception &) {
            ++failures;
        }
    }
    using clock = std::chrono::steady_clock;
    const std::clock_t cpuStart = std::clock();
    const auto start = clock::now();
    const auto until = start + std::chrono::seconds(2);
    size_t decodes = 0;
    while (clock::now() < until) {
        for (int round = 0; round < 100; ++round) {
            for (size_t i = 0; i < pdus.size(); ++i) {
                try {
                    auto sms = CreateSMSFromPDU(nullptr, pdus[i], mt[i]);
                    benchmark::DoNotOptimize(sms);
                } catch (const std::exception &) {
                }
            }
            decodes += pdus.size();
        }
    }
    double ns = std::chrono::duration<double, std::nano>(clock::now() - start).count();
    double cpuNs = static_cast<double>(std::clock() - cpuStart) * 1e9 / CLOCKS_PER_SEC;
    // Process CPU time beside wall time: on a busy machine the two differ.
    std::printf("pdus: %zu\nundecodable: %zu\ndecodes: %zu\ncpu_ns_per_decode: %.1f\nns_per_decode: %.1f\n",
                pdus.size(), failures, decodes, cpuNs / static_cast<double>(decodes),
                ns / static_cast<double>(decodes));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--file") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "usage: %s --file F\n", argv[0]);
                return 2;
            }
            return decodeFile(argv[i + 1]);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
