// National numbering plans (ITU-T E.164 country codes with each country's trunk prefix and the
// length of its national numbers), found by the mobile country code of a SIM (ITU-T E.212) or by
// the country's ISO 3166 code: what it takes to write a number dialled at home ("0171...") in its
// international form ("+49171..."). Only countries whose dialling this table knows are in it.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

struct TNumberingPlan {
    std::string_view ISO;           // ISO 3166-1 alpha-2, upper case ("DE")
    std::string_view MCCs;          // E.212 mobile country codes, comma-separated ("262")
    std::string_view CountryCode;   // E.164 country code ("49")
    std::string_view Trunk;         // national (trunk) prefix ("0"; "" where numbers have none)
    std::string_view International; // international prefix besides "00" and "+" ("011"; often "")
    int MinNational = 0;            // digits of a national number after the trunk prefix
    int MaxNational = 0;
    bool TrunkOptional = false; // national numbers are also dialled without the trunk prefix
};

// The plan of a mobile country code ("262"), of an E.164 country code ("49" or "+49") or of an
// ISO 3166 code ("DE", any case); nullptr when the table does not know it.
const TNumberingPlan *NumberingPlanOfMCC(std::string_view mcc);
const TNumberingPlan *NumberingPlanOfCountryCode(std::string_view countryCode);
const TNumberingPlan *NumberingPlanOfISO(std::string_view iso);

// The plan of a setting: an E.164 country code ("49", "+49") or an ISO 3166 code ("DE"); nullptr
// when it names none the table knows.
const TNumberingPlan *NumberingPlanOfSetting(std::string_view setting);
// The home plan of a user: by Setting when it is given (nullptr when it names no plan); else by
// the mobile country code of the SIM's IMSI (its first three digits); else by the territory of
// the system's locale; nullptr when none of them names a plan the table knows.
const TNumberingPlan *HomeNumberingPlan(std::string_view setting, std::string_view imsi);

// The digits of Number in international form, without "+": "+49 171 123" and "0049171123" give
// "49171123" whatever the plan; a national number ("0171 123 4567") only with the home plan, when
// its length is that of the plan's national numbers. Separators (blanks, "-", ".", "/",
// parentheses) are ignored. Empty when the number is not one to write internationally: a short
// code, a service code with "*" or "#", an alphanumeric sender, or a national number without a
// plan or of another length.
std::string InternationalDigits(std::string_view number, const TNumberingPlan *home);

} // namespace kestrel
