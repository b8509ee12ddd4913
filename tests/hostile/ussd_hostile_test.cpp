// "+CUSD:" lines no network sends: over-long strings, reserved and out-of-range coding schemes,
// 7-bit and UCS2 strings of odd length, unterminated quotes, control characters. Each row names a
// file of fuzz/corpus/ussd (its first byte chooses the TE character set) and what it must give:
// the decoded answer, or the error that names the field.
#include "hostilecorpus.h"

#include "gsm/ussd.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

struct TUSSDCase {
    const char *file;
    std::string error; // empty: decodes
    int status = -1;
    int dcs = -1;
    QString text;
};

const TUSSDCase kCases[] = {
    {"hostile_cusd_overlong", "USSD string: 2000 characters, at most 1024", -1, -1, ""},
    {"hostile_cusd_odd_septets", "", 0, 15, "C2303BEC1E971"},
    {"hostile_cusd_odd_ucs2", "", 0, 72, "041C043"},
    // TS 23.038 5: a reserved group reads as the default alphabet.
    {"hostile_cusd_reserved_dcs", "", 0, 143, "Balance"},
    {"hostile_cusd_dcs_out_of_range",
     "USSD data coding scheme: \"99999999999999999999999\" is no number of 0 to 255", -1, -1, ""},
    {"hostile_cusd_unterminated", "USSD string: no closing quote after 21 characters", -1, -1, ""},
    {"hostile_cusd_status_huge", "USSD status: \"18446744073709551617\" is no number of 0 to 99", -1, -1, ""},
    {"hostile_cusd_control", "", 0, 15, "\uFFFD]0;owned\uFFFD\uFFFD[2J\uFFFDdone"},
    {"hostile_cusd_only_escapes", "", 0, 15, ""},
    {"hostile_cusd_language_short", "", 0, 17, ""},
};

TEST(USSDHostile, EachLineDecodesOrNamesItsField)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.file);
        const std::string input = Corpus("ussd", c.file);
        ASSERT_FALSE(input.empty());
        const auto charset = static_cast<TTECharset>(static_cast<uint8_t>(input[0]) % 5);
        TUSSDAnswer answer;
        EXPECT_EQ(ErrorOf([&] { answer = DecodeUSSDLine(std::string_view(input).substr(1), charset); }),
                  c.error);
        if (!c.error.empty())
            continue;
        EXPECT_EQ(answer.Status, c.status);
        EXPECT_EQ(answer.DCS, c.dcs);
        EXPECT_EQ(answer.Text, c.text) << answer.Text.toStdString();
    }
}

} // namespace
