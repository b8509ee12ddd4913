#include "modemsim/modemprofiles.h"

#include <cctype>

namespace kestrel {

namespace {

constexpr const char *kSiemensCnmi = "(0-3),(0-3),(0,2,3),(0-2),(0,1)";
constexpr const char *kNokiaCnmi = "(0-2),(0-3),(0,2),(0,1),(0)";
// Wavecom only indicates status reports by storage index (<ds> 2).
constexpr const char *kWavecomCnmi = "(0-3),(0-3),(0-3),(0,2),(0,1)";

} // namespace

const std::vector<TModemProfile> &ModemProfiles()
{
    using O = TSimSwitchOff;
    // clang-format off
    static const std::vector<TModemProfile> profiles = {
        // name, manufacturer, model, revision, serial,
        //   pdu, text, wind, creg, csqRep, cdsSto, MT, scaInPdu, listErr, lenIgnored, off,
        //   csms services, service, cnmi ranges, cnmi current, SM, ME, cereg, c5greg, MT, SR
        {"A1", "SIEMENS", "A1", {"05"}, "350000000000011",
            true, false, false, true, false, false, false, true, false, true, O::Smso,
            "(0)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        {"M1", "SIEMENS", "M1", {"06"}, "350000000000029",
            true, false, false, true, false, false, false, false, false, true, O::None,
            "(0)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        {"M20", "SIEMENS", "M20", {"REVISION 02.14"}, "350000000000037",
            true, true, false, true, false, false, false, true, false, false, O::Smso,
            "(0)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        {"GM12", "ERICSSON", "GM12 GSM Module", {"R2A04"}, "350000000000045",
            true, false, false, true, false, false, false, true, false, false, O::CfunZero,
            "(0)", 0, "(0-3),(0-3),(0-3),(0-2),(0,1)", "0,0,0,0,0", 20, 25, false, false, false, false},
        {"Nokia6210", "Nokia Mobile Phones", "Nokia 6210", {"V 05.36"}, "350000000000052",
            true, true, false, true, false, false, false, true, false, false, O::None,
            "(0,1)", 0, kNokiaCnmi, "0,0,0,0,0", 20, 25, false, false, false, false},
        // The Nokia 6650 answers the revision query on four lines, the revision last.
        {"Nokia6650", "Nokia", "Nokia 6650", {"Nokia 6650", "NHM-2", "(c) Nokia", "V 4.34"}, "350000000000060",
            true, true, false, true, false, false, true, true, false, false, O::None,
            "(0,1)", 1, kNokiaCnmi, "0,0,0,0,0", 10, 25, false, false, false, false},
        // The 9110 communicator only speaks text mode and only indicates by storage index.
        {"Nokia9110", "Nokia Mobile Phones", "Nokia 9110", {"V 04.09"}, "350000000000078",
            false, true, false, false, false, false, false, false, false, true, O::None,
            "(0)", 0, "(0-2),(0,1),(0),(0),(0)", "0,0,0,0,0", 20, 25, false, false, false, false},
        {"M35", "SIEMENS", "M35", {"REVISION 03.05"}, "350000000000086",
            true, true, false, true, false, false, false, true, false, false, O::Smso,
            "(0,1)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        {"S25", "SIEMENS", "S25", {"REVISION 42"}, "350000000000094",
            true, true, false, true, false, false, false, true, false, false, O::Smso,
            "(0,1)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        // The T260 has no +CREG: the host tracks the network through +CSQ lines.
        {"T260", "Motorola", "T260", {"R260_G_08.01.0AR"}, "350000000000102",
            true, false, false, false, true, true, false, true, false, false, O::None,
            "(0,1)", 0, "(0-2),(0-3),(0-3),(0-2),(0,1)", "0,0,0,0,0", 20, 25, false, false, false, false},
        {"WaveCom", "WAVECOM MODEM", "900P", {"310_G250.51 806216 032199 17:04"}, "350000000000110",
            true, false, true, true, false, false, false, false, true, false, O::None,
            "(0,1)", 0, kWavecomCnmi, "0,0,0,0,0", 20, 25, false, false, false, false},
        {"TC35", "SIEMENS", "TC35", {"REVISION 03.02"}, "350000000000128",
            true, true, false, true, false, false, false, true, false, false, O::Smso,
            "(0,1)", 0, kSiemensCnmi, "1,0,0,0,1", 20, 25, false, false, false, false},
        {"Fasttrack", "WAVECOM MODEM", "MULTIBAND  900E  1800", {"641b09gg.Q2406B 1266500 070103 17:06"}, "350000000000136",
            true, true, true, true, false, false, false, true, true, false, O::None,
            "(0,1)", 0, kWavecomCnmi, "0,0,0,0,0", 20, 25, false, false, false, false},
        // A current LTE module: maker, model and revision on ATI, three storages of 255 messages
        // (SM, ME and both as MT) and SR for status reports, LTE registration with +CEREG but no
        // 5G, UCS2 among its character sets, new messages indicated from power-on.
        {"Generic", "Kestrel Wireless", "KW-L400", {"KWL400R02A05M4G"}, "350000000000144",
            true, true, false, true, false, false, false, true, false, false, O::CfunZero,
            "(0,1)", 0, "(0-2),(0-3),(0-3),(0-2),(0,1)", "2,1,0,0,0", 255, 255, true, false, true, true},
    };
    // clang-format on
    return profiles;
}

const TModemProfile *FindModemProfile(std::string_view name)
{
    for (const auto &p : ModemProfiles()) {
        std::string_view n = p.name;
        if (n.size() != name.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < n.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(n[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        if (same)
            return &p;
    }
    return nullptr;
}

} // namespace kestrel
