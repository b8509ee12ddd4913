// What the benchmarks against the virtual handset share: their arguments, lock files in the
// temporary folder (no rights on /var/lock needed), the handset of an equipment type with a port
// on its pseudo-terminal, an engine opened on it in PDU mode, and the messages the network brings.
#pragma once

#include "comm/comm.h"
#include "gsm/gsm.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kestrel::bench {

// Positional argument Index (from 1) as a number or a text, Default when not given.
inline int IntArg(int argc, char **argv, int index, int fallback)
{
    return argc > index ? std::atoi(argv[index]) : fallback;
}
inline std::string TextArg(int argc, char **argv, int index, const char *fallback)
{
    return argc > index ? argv[index] : fallback;
}

// The virtual handset of Equipment (storages of Capacity messages each; 0: the model's own).
inline TModemSimulatorOptions SimOptions(const std::string &equipment, int capacity = 0)
{
    SetLockDirectory(std::filesystem::temp_directory_path().string());
    TModemSimulatorOptions options;
    options.equipment = equipment;
    options.storageCapacity = capacity;
    return options;
}

// An engine on the virtual handset's port, opened in PDU mode. The port comes first: the engine
// refers to it and must go before it.
struct TSimEngine {
    explicit TSimEngine(const std::string &equipment, int capacity = 0) : sim(SimOptions(equipment, capacity))
    {
        comm.SetDeviceName(sim.DevicePath());
        gsm.SetCOMDevice(&comm);
        gsm.SetEquipment(StrToEquipment(equipment));
        gsm.SetSMSFormat(kSMSFormatPDU);
    }
    ~TSimEngine() { gsm.Close(); }
    TModemSimulator sim;
    TComm comm;
    TGSM gsm;
};

// The hex TPDU, as the handset stores it (no service-centre field), of a 7-bit SMS-DELIVER.
inline std::string DeliverTPDU(const std::string &text, const std::string &from = "+491710000002")
{
    TSMSDeliver deliver;
    deliver.OA = from;
    deliver.SCTS = NowUTC();
    deliver.UserData = TextToGSM(text);
    std::string pdu = deliver.GetPDU();
    size_t pos = 0;
    DecodeSCA(nullptr, HexToStr(pdu), pos);
    return pdu.substr(pos * 2);
}

} // namespace kestrel::bench
