// Whole-process measurement of draining a handset's storage through the GSM engine, as the
// application does for each stored message: read it (AT+CMGR), then delete it (AT+CMGD). The
// virtual handset on a pseudo-terminal answers at once, so what is measured is the engine's pace:
//   drain_per_s    messages read and deleted per second
//   mean_ms        mean time of one read and delete
//   drain_bench [messages] [equipment]   (defaults 100 and Generic)
#include "simbench.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

using namespace kestrel;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = bench::IntArg(argc, argv, 1, 100);
    const std::string equipment = bench::TextArg(argc, argv, 2, "Generic");
    try {
        bench::TSimEngine rig(equipment);
        for (int i = 0; i < messages; ++i)
            if (rig.sim.StoreMessage("SM", 1,
                                     bench::DeliverTPDU("Stored message number " + std::to_string(i))) < 0)
                throw std::runtime_error("the handset's storage is full");
        rig.gsm.Open();
        rig.gsm.SelectMemory("\"SM\"");
        const auto stored = rig.sim.StoredMessages();
        const auto start = std::chrono::steady_clock::now();
        int drained = 0;
        for (const auto &m : stored) {
            int status = -1;
            if (!rig.gsm.ReadSMS(m.index, status))
                throw std::runtime_error("message " + std::to_string(m.index) + " did not read");
            rig.gsm.DeleteSMS(m.index);
            ++drained;
        }
        const double total =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!rig.sim.StoredMessages().empty())
            throw std::runtime_error("messages left in the storage");
        std::printf("messages: %d\nequipment: %s\ncommand_pause_ms: %d\nmean_ms: %.2f\ndrain_per_s: %.2f\n",
                    drained, equipment.c_str(), rig.gsm.Behaviour().commandPauseMs, total / drained,
                    drained * 1000.0 / total);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
