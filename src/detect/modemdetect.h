// Finding modems. A short probe of one serial device: is there a modem behind it, at which speed, and what
// does it say about itself? The device is locked while it is probed and left as it was found (its line
// settings restored, the lock removed); a device that another live process has locked is not
// touched. Only harmless queries are sent: AT, ATE0, ATI, +CGMI, +CGMM, +CGMR, +CGSN, +CPIN?,
// +CMGF=?, +CPMS=?, +CNMI=?, +CSCS=?, +COPS?.
#pragma once

#include "detect/serialdevices.h"
#include "gsm/gsmequipment.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

struct TDetectOptions {
    std::vector<int> bauds = {115200, 57600, 19200, 9600}; // tried in this order
    int answerTimeoutMs = 500;                             // for the answer to "AT" at each speed
    int queryTimeoutMs = 1500;                             // for the answer to each query after that
    int deadlineMs = 6000;                                 // the whole probe of one device
};

struct TDetectResult {
    std::string device;
    std::string byId;
    int baud = 0; // the speed at which the modem answered
    std::string manufacturer, model, revision, imei;
    std::string pin;                        // the +CPIN state ("READY", "SIM PIN", ...), or the error line
    std::vector<std::string> formats;       // "pdu", "text"
    std::vector<std::string> storages;      // every storage +CPMS=? names, in order
    std::vector<std::string> charsets;      // the character sets +CSCS=? names
    std::string indications;                // the +CNMI=? ranges as given
    std::string operatorName;               // the network's name (+COPS?, or the providers list)
    std::string operatorCode;               // its MCC and MNC, when the modem gave them
    std::string technology;                 // "GSM", "UMTS", "LTE", "NR" from the +COPS <AcT>
    std::optional<TGSMEquipment> equipment; // the suggested type; none for a modem without SMS
    std::string error; // why the device is no modem (or could not be probed); empty for a modem
    long lockedBy = 0; // the process that holds the device's lock, when that is why

    bool IsModem() const { return error.empty(); }
};

TDetectResult ProbeDevice(const TSerialDevice &device, const TDetectOptions &options = {});

// Probes every device at once, each on a thread of its own; the results in the order given.
std::vector<TDetectResult> DetectModems(const std::vector<TSerialDevice> &devices,
                                        const TDetectOptions &options = {});

// The equipment type to suggest for what a modem says about itself: a known handset or module by
// its maker and model, otherwise Generic for anything with short messages (formats not empty).
std::optional<TGSMEquipment> SuggestEquipment(const std::string &manufacturer, const std::string &model,
                                              const std::vector<std::string> &formats);

} // namespace kestrel
