// The settings file gsm.ini: the modem's keys, the log files and the store.
#include "appcore/datamodule.h"

#include "appcore/datamoduleinternal.h"
#include "base/inifile.h"

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {
const char *const kModem = "Modem";
const char *const kFiles = "Modem.Files";
} // namespace

std::string StoreLocationFromSettings(const TIniFile &ini, const std::string &logDirectory)
{
    return ini.ReadString(kFiles, "Store", logDirectory + "messages.sqlite");
}

std::string CountryCodeFromSettings(const TIniFile &ini)
{
    return ini.ReadString("Contacts", "CountryCode", "");
}

void LoadModemSettings(const TIniFile &ini, TComm &comm, TGSM &gsm, std::optional<TGSMEquipment> equipment)
{
    comm.SetDeviceName(ini.ReadString(kModem, "DeviceName", comm.DeviceName()));
    if (equipment) {
        gsm.SetEquipment(*equipment);
    } else {
        std::string device = ini.ReadString(kModem, "Device", GSMEquipmentNames[gsm.Equipment()]);
        std::transform(device.begin(), device.end(), device.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        gsm.SetEquipment(StrToEquipment(device));
    }
    gsm.SetPIN(ini.ReadString(kModem, "PIN", gsm.PIN()));
    gsm.SetSCA(ini.ReadString(kModem, "SCA", gsm.SCA()));
    // Stored directly: the set is negotiated with the handset only when the engine opens.
    gsm.SetUnsolicitedIndication(static_cast<TGSMUnsolicitedIndicationSet>(
        ini.ReadInteger(kModem, "UnsolicitedIndication", gsm.UnsolicitedIndication()) & 0x0F));
    const long long format = ini.ReadInteger(kModem, "SMSFormat", 0);
    try {
        gsm.SetSMSFormat(static_cast<uint8_t>(format));
    } catch (const EGSMError &) {
        // A hand-edited format the equipment cannot use keeps the equipment's own; refusing to
        // start would leave no way to correct it from the window.
    }
    gsm.AdjustCommSettings();
    const long long recTimeout = ini.ReadInteger(kModem, "RecTimeout", 0);
    if (recTimeout > 0 && recTimeout <= 0x7FFFFFFF)
        gsm.SetRecTimeout(static_cast<int>(recTimeout));
    const long long baud = ini.ReadInteger(kModem, "Baud", 0);
    TBaudrate rate;
    if (baud > 0 && baud <= 0x7FFFFFFF && IntToBaudrate(static_cast<int>(baud), rate))
        comm.SetBaudrate(rate);
}

void TGSMDataModule::LoadSettings()
{
    TIniFile ini(m_configFile);
    LoadModemSettings(ini, Comm1, GSM, m_equipment);
    GSMLogName = ini.ReadString(kFiles, "GSMLog", m_logDirectory + "gsm.log");
    SMSLogName = ini.ReadString(kFiles, "SMSLog", m_logDirectory + "sms.log");
    StoreName = StoreLocationFromSettings(ini, m_logDirectory);
}

void TGSMDataModule::SaveSettings()
{
    TIniFile ini(m_configFile);
    ini.WriteString(kModem, "DeviceName", Comm1.DeviceName());
    ini.WriteString(kModem, "Device", GSMEquipmentNames[GSM.Equipment()]);
    ini.WriteString(kModem, "PIN", GSM.PIN());
    ini.WriteString(kModem, "SCA", GSM.SCA());
    ini.WriteInteger(kModem, "SMSFormat", GSM.SMSFormat());
    ini.WriteInteger(kModem, "UnsolicitedIndication", GSM.UnsolicitedIndication());
    ini.WriteString(kFiles, "GSMLog", GSMLogName);
    ini.WriteString(kFiles, "SMSLog", SMSLogName);
    // Written when the user chose a store; the default follows the log folder as it moves.
    if (ini.ValueExists(kFiles, "Store") || StoreName != m_logDirectory + "messages.sqlite")
        ini.WriteString(kFiles, "Store", StoreName);
    ini.UpdateFile();
}

} // namespace kestrel
