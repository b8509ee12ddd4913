// The equipment table and the settings rules of the engine that need no handset.
#include "gsm/gsm.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TEST(Equipment, NamesAndLookup)
{
    EXPECT_STREQ(GSMEquipmentNames[eqNokia6650], "Nokia6650");
    EXPECT_STREQ(GSMEquipmentCaptions[eqFasttrack], "Wavecom Fasttrack");
    for (size_t i = 0; i < kGSMEquipmentCount; ++i)
        EXPECT_EQ(StrToEquipment(GSMEquipmentNames[i]), static_cast<TGSMEquipment>(i));
    EXPECT_EQ(StrToEquipment("wavecom"), eqWaveCom);
    EXPECT_EQ(StrToEquipment("M20"), eqM20);
    try {
        StrToEquipment("M21");
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Bad equipment name");
    }
}

TEST(Equipment, SendLengthAndFormats)
{
    // A 58-character PDU: 29 octets, one of them the service-centre length octet.
    const struct {
        TGSMEquipment eq;
        int length;
        TSMSFormats formats;
    } cases[] = {
        {eqA1, 165, 1},        {eqM1, 164, 1},  {eqM20, 28, 3},     {eqGM12, 28, 1}, {eqNokia6210, 28, 3},
        {eqNokia9110, 164, 2}, {eqT260, 28, 1}, {eqWaveCom, 29, 1}, {eqTC35, 28, 3}, {eqFasttrack, 28, 3},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CMGSLength(c.eq, 58), c.length) << GSMEquipmentNames[c.eq];
        EXPECT_EQ(SupportedFormats(c.eq), c.formats) << GSMEquipmentNames[c.eq];
    }
    EXPECT_EQ(CMGSLength(eqM20, 59), 28); // the division truncates
}

TEST(Engine, Defaults)
{
    TGSM gsm;
    EXPECT_EQ(gsm.Equipment(), eqM1);
    EXPECT_EQ(gsm.SMSFormat(), 0);
    EXPECT_EQ(gsm.RepeatCount(), 5);
    EXPECT_EQ(gsm.RecTimeout(), 6000);
    EXPECT_EQ(gsm.RepeatTimeout(), 500);
    EXPECT_EQ(gsm.Memory(), "\"SM\"");
    EXPECT_TRUE(gsm.CommandEcho());
    EXPECT_FALSE(gsm.ExtendedErrorMsg());
    EXPECT_EQ(gsm.UnsolicitedIndication(), 0);
    EXPECT_FALSE(gsm.Active());
}

TEST(Engine, FormatFollowsEquipment)
{
    TGSM gsm;
    gsm.SetEquipment(eqNokia9110);
    EXPECT_EQ(gsm.SMSFormat(), 1);
    gsm.SetEquipment(eqM1);
    EXPECT_EQ(gsm.SMSFormat(), 0);
    gsm.SetEquipment(eqM20);
    gsm.SetSMSFormat(1);
    gsm.SetEquipment(eqTC35); // supports text mode: unchanged
    EXPECT_EQ(gsm.SMSFormat(), 1);
    try {
        gsm.SetEquipment(eqWaveCom);
        EXPECT_EQ(gsm.SMSFormat(), 0);
        gsm.SetSMSFormat(1);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "SMS format (1) is not supported");
    }
}

TEST(Engine, CommandTextChecks)
{
    TGSM gsm;
    TComm port;
    port.SetDeviceName("/nonexistent/tty");
    gsm.SetCOMDevice(&port);
    const std::pair<const char *, uint8_t> bad[] = {{"XT+CSQ", 0x01}, {"", 0x01}, {"  +CSQ", 0x13}};
    for (auto [cmd, flags] : bad) {
        try {
            gsm.ExecCommand(cmd, flags);
            ADD_FAILURE() << cmd;
        } catch (const EGSMError &e) {
            EXPECT_STREQ(e.what(), "Bad AT command");
        }
    }
    try {
        gsm.ExecCommand("AT+CMGS=23", 0x1F);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Bad PDU format");
    }
    EXPECT_FALSE(gsm.Busy()); // every busy section was closed
}

TEST(Engine, OpenWithoutPort)
{
    TGSM gsm;
    std::vector<bool> busy;
    gsm.OnBusyChanged = [&](TObject *, bool b) { busy.push_back(b); };
    try {
        gsm.SetActive(true);
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "No assigned COM device");
    }
    EXPECT_FALSE(gsm.Active());
    std::string value;
    EXPECT_THROW(gsm.GetModemInfo(1, value), EGSMError);
    EXPECT_TRUE(busy.empty());
}

} // namespace
