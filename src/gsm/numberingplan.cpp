#include "gsm/numberingplan.h"

#include <QLocale>

#include <algorithm>
#include <array>

namespace kestrel {

namespace {

// ITU-T E.164 allows at most 15 digits in an international number, country code included.
constexpr size_t kMaxE164Digits = 15;

// One row per country; the national number lengths are those after the trunk prefix. Italy keeps
// the leading 0 of its numbers in the international form, so it has no trunk prefix to drop.
constexpr std::array kPlans = {
    TNumberingPlan{"AD", "213", "376", "", "", 6, 6},
    TNumberingPlan{"AE", "424,430,431", "971", "0", "", 8, 9},
    TNumberingPlan{"AL", "276", "355", "0", "", 8, 9},
    TNumberingPlan{"AM", "283", "374", "0", "", 8, 8},
    TNumberingPlan{"AR", "722", "54", "0", "", 10, 10},
    TNumberingPlan{"AT", "232", "43", "0", "", 6, 13},
    TNumberingPlan{"AU", "505", "61", "0", "0011", 9, 9},
    TNumberingPlan{"BA", "218", "387", "0", "", 8, 8},
    TNumberingPlan{"BE", "206", "32", "0", "", 8, 9},
    TNumberingPlan{"BG", "284", "359", "0", "", 8, 9},
    TNumberingPlan{"BR", "724", "55", "0", "", 10, 11},
    TNumberingPlan{"CA", "302", "1", "1", "011", 10, 10, true},
    TNumberingPlan{"CH", "228", "41", "0", "", 9, 9},
    TNumberingPlan{"CL", "730", "56", "", "", 9, 9},
    TNumberingPlan{"CO", "732", "57", "", "", 10, 10},
    TNumberingPlan{"CY", "280", "357", "", "", 8, 8},
    TNumberingPlan{"CZ", "230", "420", "", "", 9, 9},
    TNumberingPlan{"DE", "262", "49", "0", "", 6, 13},
    TNumberingPlan{"DK", "238", "45", "", "", 8, 8},
    TNumberingPlan{"EE", "248", "372", "", "", 7, 8},
    TNumberingPlan{"EG", "602", "20", "0", "", 9, 10},
    TNumberingPlan{"ES", "214", "34", "", "", 9, 9},
    TNumberingPlan{"FI", "244", "358", "0", "", 6, 11},
    TNumberingPlan{"FR", "208", "33", "0", "", 9, 9},
    TNumberingPlan{"GB", "234,235", "44", "0", "", 9, 10},
    TNumberingPlan{"GE", "282", "995", "0", "", 9, 9},
    TNumberingPlan{"GR", "202", "30", "", "", 10, 10},
    TNumberingPlan{"HK", "454", "852", "", "", 8, 8},
    TNumberingPlan{"HR", "219", "385", "0", "", 8, 9},
    TNumberingPlan{"HU", "216", "36", "06", "", 8, 9},
    TNumberingPlan{"ID", "510", "62", "0", "", 8, 12},
    TNumberingPlan{"IE", "272", "353", "0", "", 7, 9},
    TNumberingPlan{"IL", "425", "972", "0", "", 8, 9},
    TNumberingPlan{"IN", "404,405,406", "91", "0", "", 10, 10},
    TNumberingPlan{"IS", "274", "354", "", "", 7, 7},
    TNumberingPlan{"IT", "222", "39", "", "", 9, 11},
    TNumberingPlan{"JP", "440,441", "81", "0", "010", 9, 10},
    TNumberingPlan{"KE", "639", "254", "0", "", 9, 9},
    TNumberingPlan{"KR", "450", "82", "0", "", 8, 10},
    TNumberingPlan{"LU", "270", "352", "", "", 6, 11},
    TNumberingPlan{"LV", "247", "371", "", "", 8, 8},
    TNumberingPlan{"MD", "259", "373", "0", "", 8, 8},
    TNumberingPlan{"ME", "297", "382", "0", "", 8, 8},
    TNumberingPlan{"MK", "294", "389", "0", "", 8, 8},
    TNumberingPlan{"MT", "278", "356", "", "", 8, 8},
    TNumberingPlan{"MX", "334", "52", "", "", 10, 10},
    TNumberingPlan{"MY", "502", "60", "0", "", 8, 10},
    TNumberingPlan{"NG", "621", "234", "0", "", 8, 10},
    TNumberingPlan{"NL", "204", "31", "0", "", 9, 9},
    TNumberingPlan{"NO", "242", "47", "", "", 8, 8},
    TNumberingPlan{"NZ", "530", "64", "0", "", 8, 10},
    TNumberingPlan{"PH", "515", "63", "0", "", 10, 10},
    TNumberingPlan{"PK", "410", "92", "0", "", 9, 10},
    TNumberingPlan{"PL", "260", "48", "", "", 9, 9},
    TNumberingPlan{"PT", "268", "351", "", "", 9, 9},
    TNumberingPlan{"RO", "226", "40", "0", "", 9, 9},
    TNumberingPlan{"RS", "220", "381", "0", "", 8, 9},
    TNumberingPlan{"RU", "250", "7", "8", "810", 10, 10},
    TNumberingPlan{"SE", "240", "46", "0", "", 7, 9},
    TNumberingPlan{"SG", "525", "65", "", "", 8, 8},
    TNumberingPlan{"SI", "293", "386", "0", "", 8, 8},
    TNumberingPlan{"SK", "231", "421", "0", "", 9, 9},
    TNumberingPlan{"TH", "520", "66", "0", "", 8, 9},
    TNumberingPlan{"TR", "286", "90", "0", "", 10, 10},
    TNumberingPlan{"TW", "466", "886", "0", "", 8, 9},
    TNumberingPlan{"UA", "255", "380", "0", "", 9, 9},
    TNumberingPlan{"US", "310,311,312,313,314,315,316", "1", "1", "011", 10, 10, true},
    TNumberingPlan{"UY", "748", "598", "", "", 8, 8},
    TNumberingPlan{"VN", "452", "84", "0", "", 9, 10},
    TNumberingPlan{"ZA", "655", "27", "0", "", 9, 9},
};

bool ListHas(std::string_view list, std::string_view item)
{
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (list.substr(0, comma) == item)
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool AllDigits(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

const TNumberingPlan *NumberingPlanOfMCC(std::string_view mcc)
{
    if (mcc.size() != 3 || !AllDigits(mcc))
        return nullptr;
    for (const TNumberingPlan &p : kPlans)
        if (ListHas(p.MCCs, mcc))
            return &p;
    return nullptr;
}

const TNumberingPlan *NumberingPlanOfCountryCode(std::string_view countryCode)
{
    if (!countryCode.empty() && countryCode.front() == '+')
        countryCode.remove_prefix(1);
    // The US row stands for the whole North American plan.
    for (const TNumberingPlan &p : kPlans)
        if (p.CountryCode == countryCode && (countryCode != "1" || p.ISO == "US"))
            return &p;
    return nullptr;
}

const TNumberingPlan *NumberingPlanOfISO(std::string_view iso)
{
    if (iso.size() != 2)
        return nullptr;
    std::string upper(iso);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (const TNumberingPlan &p : kPlans)
        if (p.ISO == upper)
            return &p;
    return nullptr;
}

const TNumberingPlan *NumberingPlanOfSetting(std::string_view setting)
{
    if (setting.size() == 2 && !AllDigits(setting))
        return NumberingPlanOfISO(setting);
    return NumberingPlanOfCountryCode(setting);
}

const TNumberingPlan *HomeNumberingPlan(std::string_view setting, std::string_view imsi)
{
    if (!setting.empty())
        return NumberingPlanOfSetting(setting);
    if (imsi.size() >= 6 && AllDigits(imsi))
        if (const TNumberingPlan *plan = NumberingPlanOfMCC(imsi.substr(0, 3)))
            return plan;
    const QString territory = QLocale::territoryToCode(QLocale::system().territory());
    return NumberingPlanOfISO(territory.toStdString());
}

std::string InternationalDigits(std::string_view number, const TNumberingPlan *home)
{
    std::string digits;
    bool plus = false;
    for (char c : number) {
        if (c == ' ' || c == '-' || c == '(' || c == ')' || c == '.' || c == '/')
            continue;
        if (c == '+' && digits.empty() && !plus)
            plus = true;
        else if (c >= '0' && c <= '9')
            digits += c;
        else
            return {}; // a service code, an alphanumeric sender, or no number at all
    }
    auto international = [](std::string rest) {
        return rest.size() >= 4 && rest.size() <= kMaxE164Digits && rest.front() != '0' ? rest
                                                                                        : std::string();
    };
    if (plus)
        return international(digits);
    if (digits.starts_with("00"))
        return international(digits.substr(2));
    if (!home)
        return {};
    if (!home->International.empty() && digits.starts_with(home->International))
        return international(digits.substr(home->International.size()));
    auto national = [&](std::string_view rest) {
        const int n = static_cast<int>(rest.size());
        return n >= home->MinNational && n <= home->MaxNational
                   ? std::string(home->CountryCode) + std::string(rest)
                   : std::string();
    };
    if (!home->Trunk.empty() && digits.starts_with(home->Trunk)) {
        std::string result = national(std::string_view(digits).substr(home->Trunk.size()));
        if (!result.empty())
            return result;
    }
    if (home->Trunk.empty() || home->TrunkOptional)
        return national(digits);
    return {};
}

} // namespace kestrel
