// Whole-process measurement of draining a handset's storage through the GSM engine, as the
// application does for each stored message: read it (AT+CMGR), then delete it (AT+CMGD). The
// virtual handset on a pseudo-terminal answers at once, so what is measured is the engine's pace:
//   drain_per_s    messages read and deleted per second
//   mean_ms        mean time of one read and delete
//   drain_bench [messages] [equipment]   (defaults 100 and Generic)
#include "comm/comm.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace kestrel;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? std::atoi(argv[1]) : 100;
    const std::string equipment = argc > 2 ? argv[2] : "Generic";
    SetLockDirectory(std::filesystem::temp_directory_path().string());

    TModemSimulatorOptions options;
    options.equipment = equipment;
    TModemSimulator sim(options);
    TComm comm;
    comm.SetDeviceName(sim.DevicePath());
    TGSM gsm;
    gsm.SetCOMDevice(&comm);
    try {
        TSMSDeliver deliver;
        deliver.OA = "+491710000002";
        deliver.SCTS = NowUTC();
        for (int i = 0; i < messages; ++i) {
            deliver.UserData = TextToGSM("Stored message number " + std::to_string(i));
            // The handset's storage holds TPDUs without the service-centre field.
            std::string pdu = deliver.GetPDU();
            size_t pos = 0;
            DecodeSCA(nullptr, HexToStr(pdu), pos);
            if (sim.StoreMessage("SM", 1, pdu.substr(pos * 2)) < 0)
                throw std::runtime_error("the handset's storage is full");
        }
        gsm.SetEquipment(StrToEquipment(equipment));
        gsm.SetSMSFormat(kSMSFormatPDU);
        gsm.Open();
        gsm.SelectMemory("\"SM\"");
        const auto stored = sim.StoredMessages();
        const auto start = std::chrono::steady_clock::now();
        int drained = 0;
        for (const auto &m : stored) {
            int status = -1;
            if (!gsm.ReadSMS(m.index, status))
                throw std::runtime_error("message " + std::to_string(m.index) + " did not read");
            gsm.DeleteSMS(m.index);
            ++drained;
        }
        const double total =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!sim.StoredMessages().empty())
            throw std::runtime_error("messages left in the storage");
        std::printf("messages: %d\nequipment: %s\ncommand_pause_ms: %d\nmean_ms: %.2f\ndrain_per_s: %.2f\n",
                    drained, equipment.c_str(), gsm.Behaviour().commandPauseMs, total / drained,
                    drained * 1000.0 / total);
        gsm.Close();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
