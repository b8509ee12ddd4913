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
    // The type for current modems joins the list at the end: the thirteen keep their numbers.
    EXPECT_EQ(eqGeneric, 13);
    EXPECT_EQ(StrToEquipment("generic"), eqGeneric);
    EXPECT_STREQ(GSMEquipmentCaptions[eqGeneric], "Generic");
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
        {eqA1, 165, 1},       {eqM1, 164, 1},        {eqM20, 28, 3},     {eqGM12, 28, 1},
        {eqNokia6210, 28, 3}, {eqNokia9110, 164, 2}, {eqT260, 28, 1},    {eqWaveCom, 29, 1},
        {eqTC35, 28, 3},      {eqFasttrack, 28, 3},  {eqGeneric, 28, 3},
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

TEST(Equipment, GenericBehaviour)
{
    const TGSMEquipmentBehaviour &g = EquipmentBehaviour(eqGeneric);
    EXPECT_EQ(g.baud, br115200);
    EXPECT_EQ(g.pin, TPinDialogue::Cpin);
    EXPECT_EQ(g.registration, TRegistrationQuery::CregCeregC5greg);
    EXPECT_STREQ(g.switchOff, "AT+CFUN=0");
    EXPECT_TRUE(g.scaInPdu);
    EXPECT_TRUE(g.chooseStorages);
    EXPECT_TRUE(g.ucs2Text);
    EXPECT_EQ(g.sendPauseMs + g.readPauseMs, 0);
    // The thirteen are as they were: no storage choice, no UCS2 text mode.
    for (size_t i = 0; i < kGSMEquipmentCount - 1; ++i) {
        const auto &b = EquipmentBehaviour(static_cast<TGSMEquipment>(i));
        EXPECT_FALSE(b.chooseStorages || b.ucs2Text) << GSMEquipmentNames[i];
        EXPECT_NE(b.registration, TRegistrationQuery::CregCeregC5greg) << GSMEquipmentNames[i];
    }
}

TEST(Equipment, StoragesChosenFromWhatTheModemOffers)
{
    const struct {
        const char *offered; // the +CPMS=? answer without its prefix
        const char *chosen;
        const char *reports; // where status reports are read apart
    } cases[] = {
        {R"(("SM","ME","MT"),("SM","ME","MT"),("SM","ME","MT"))", R"("MT","MT","MT")", ""},
        {R"(("SM","ME","MT","SR"),("SM","ME","MT"),("SM","ME","MT"))", R"("MT","MT","MT")", R"("SR")"},
        {R"(("ME","SM","SR"),("ME","SM"),("ME","SM"))", R"("ME","ME","ME")", R"("SR")"},
        {R"(("SM"),("SM"),("SM"))", R"("SM","SM","SM")", ""},
        // SR offered for writing only is no storage of reports to read.
        {R"(("SM","ME"),("SM","SR"),("SM"))", R"("ME","SM","SM")", ""},
        // Write storage without a known name: only the read storage is chosen.
        {R"(("SM","ME"),("BM"),("SM","ME"))", R"("ME")", ""},
        {R"(("SM","ME"))", R"("ME")", ""},
        {R"("SM","ME")", R"("SM","ME")", ""}, // without parentheses each list holds one name
        {R"("SR","ME")", R"()", R"("SR")"},
        {R"(("BM","SR"),("BM"),("BM"))", "", R"("SR")"},
        {"", "", ""},
        {"(", "", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ChooseStorages(c.offered), c.chosen) << c.offered;
        EXPECT_EQ(OfferedReportStorage(c.offered), c.reports) << c.offered;
    }
}

// The field after <stat> of a text-mode read or listing: a status report's first octet, or
// anything else (a message's address, quoted or not).
TEST(TextMode, StatusReportFieldIsItsFirstOctet)
{
    const struct {
        const char *field;
        bool report;
    } cases[] = {
        {"6", true},      {"2", true},        {"38", true},        {"254", true}, {"0", false},
        {"4", false},     {"1", false},       {"256", false},      {"-2", false}, {"", false},
        {"\"6\"", false}, {"4917100", false}, {"+4917100", false}, {"6a", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(IsTextStatusReportField(c.field), c.report) << c.field;
}

TEST(Equipment, RegistrationCombinedOverTechnologies)
{
    const struct {
        std::array<int, 3> byTechnology; // +CREG, +CEREG, +C5GREG
        int status;
    } cases[] = {
        {{-1, -1, -1}, 0}, {{1, -1, -1}, 1},
        {{0, 1, -1}, 1},  // an LTE stick: no circuit-switched registration
        {{2, 5, -1}, 5},  // roaming on LTE while 2G searches
        {{5, 1, -1}, 1},  // home before roaming
        {{0, 0, 1}, 1},   // 5G
        {{0, 6, -1}, 1},  // registered for SMS only, home
        {{0, 7, -1}, 5},  // ... roaming
        {{0, 9, 10}, 1},  // CSFB not preferred
        {{2, 0, -1}, 2},  // nowhere registered: what +CREG says
        {{-1, 3, -1}, 3}, // no +CREG: the first one known
        {{-1, -1, 4}, 4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CombinedRegistration(c.byTechnology), c.status)
            << c.byTechnology[0] << "," << c.byTechnology[1] << "," << c.byTechnology[2];
}

} // namespace
