// Two ways to put hostile AT text in front of the real engine. TFeedRig hands it to the engine's
// own receive handler and idle line processing straight from memory (what arrives while no
// command waits: indications and routed messages), so a case can be cut at every byte in
// milliseconds. TAnswerRig opens the engine against the virtual handset over a pseudo-terminal,
// silences it and writes a scripted answer to one command, so the reply parser, the message
// operations and the idle parser afterwards all see it as they would from a real handset.
#pragma once

#include "connect/connection.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"

#include "integration/engine/enginerig.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel::hostile {

// A byte stream that gives the engine whatever the test put in it.
class TFeedConnection : public TCommunicationConnection {
public:
    std::string pending;

    int InQueueCount() override { return static_cast<int>(pending.size()); }
    void PurgeInput() override { pending.clear(); }
    void PurgeOutput() override {}
    int Write(const void *, int Count) override { return Count; }
    int Read(void *Buffer, int Count) override
    {
        const size_t n = std::min(pending.size(), static_cast<size_t>(Count));
        std::memcpy(Buffer, pending.data(), n);
        pending.erase(0, n);
        return static_cast<int>(n);
    }

protected:
    void DoOpen() override {}
    void DoClose() override {}
};

// What the engine made of the text, one entry per event in order: "sms <idx> <class> <fields>",
// "index <idx>", "line <text>", "error <text>".
inline void Record(TGSM &gsm, std::vector<std::string> &out)
{
    gsm.OnUnsolicitedSMS = [&out](TObject *, int idx, TSMS *sms) {
        if (!sms) {
            out.push_back("index " + std::to_string(idx));
            return;
        }
        std::string e = "sms " + std::to_string(idx) + " " + sms->ClassName();
        if (auto *d = dynamic_cast<TSMSDeliver *>(sms))
            e += " OA=" + d->OA + " UD=" + d->UserData;
        else if (auto *cb = dynamic_cast<TCellBroadcast *>(sms))
            e += " page=" + cb->Content;
        out.push_back(e);
    };
    gsm.OnUnsolicitedLine = [&out](TObject *, const std::string &l) { out.push_back("line " + l); };
    gsm.OnProcessingError = [&out](TObject *, const std::string &m) { out.push_back("error " + m); };
}

struct TFeedRig {
    TGSM gsm;
    TFeedConnection port;
    std::vector<std::string> outcome;
    size_t rxChars = 0;

    explicit TFeedRig(uint8_t format = kSMSFormatPDU)
    {
        gsm.SetEquipment(eqNokia6210); // both message formats, no pauses
        gsm.SetSMSFormat(format);
        Record(gsm, outcome);
        gsm.OnRxChar = [this](TObject *, char) { ++rxChars; };
    }

    // Bytes as one serial read, without line processing (a main thread that is busy elsewhere).
    void Receive(std::string_view bytes)
    {
        port.pending.assign(bytes);
        gsm.CommRxChar(&port, static_cast<int>(bytes.size()));
    }
    // The main thread's turn, as the engine's async thread has it run: a failure of one line is
    // reported and the lines after it are still processed.
    void Process()
    {
        for (;;) {
            try {
                gsm.ProcessReceived();
                return;
            } catch (const std::exception &e) {
                outcome.push_back(std::string("error ") + e.what());
            }
        }
    }
    void Feed(std::string_view bytes)
    {
        Receive(bytes);
        Process();
    }
};

using test::PumpUntil;

struct TAnswerRig {
    TModemSimulator sim;
    TComm comm;
    TGSM gsm;
    std::vector<std::string> outcome;

    static TModemSimulatorOptions Options()
    {
        TModemSimulatorOptions o;
        o.equipment = "Nokia6210";
        o.chunkGapMs = 2;
        return o;
    }

    TAnswerRig() : sim(Options())
    {
        static const std::string lockDir = [] {
            auto dir = std::filesystem::temp_directory_path() /
                       ("kestrel-hostile-locks-" + std::to_string(getpid()));
            std::filesystem::create_directories(dir);
            return dir.string();
        }();
        SetLockDirectory(lockDir);
        comm.SetDeviceName(sim.DevicePath());
        gsm.SetCOMDevice(&comm);
        gsm.SetEquipment(eqNokia6210);
        gsm.SetRecTimeout(300);
        gsm.SetRepeatTimeout(10);
        gsm.Open();
        gsm.ProcessReceived();
        Record(gsm, outcome);
        sim.SetSilent(true);
    }

    ~TAnswerRig() { gsm.Close(); }

    // Runs op (which issues one command starting with prefix) while the handset answers it with
    // answer, cut at the given offsets; then lets the idle parser have what followed.
    template <typename Op>
    void Answer(const std::string &prefix, const std::string &answer, std::vector<size_t> cuts, Op op)
    {
        sim.ClearTranscript();
        std::thread handset([&] {
            if (sim.WaitForCommand(prefix, 3000)) {
                sim.SetChunking(cuts);
                sim.SendRaw(answer);
            }
        });
        try {
            op();
        } catch (...) {
            handset.join();
            throw;
        }
        handset.join();
        Settle();
    }

    // Lets every byte still on its way arrive and pass the idle parser.
    void Settle()
    {
        PumpUntil([] { return false; }, 60);
        for (;;) {
            try {
                gsm.ProcessReceived();
                return;
            } catch (const std::exception &e) {
                outcome.push_back(std::string("error ") + e.what());
            }
        }
    }
};

} // namespace kestrel::hostile
