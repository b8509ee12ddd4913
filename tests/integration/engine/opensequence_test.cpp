// The open sequence of every equipment type against the virtual handset of that model: the exact
// commands, the PIN paths, the Wavecom readiness wait, information queries and switching off.
#include "enginerig.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

using TLines = std::vector<std::string>;

const TLines kSiemensTail = {"AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,0,0,0,1"};

TLines Join(std::initializer_list<TLines> parts)
{
    TLines r;
    for (const auto &p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

const TLines kCpinCreg = {"AT+CPIN?", "AT+CREG?", "AT+CREG=1"};
const TLines kStorage = {"AT+CPMS?", "AT+CSMS?", "AT+CSCA=\"+491710760000\""};

struct TOpenCase {
    const char *equipment;
    TLines open;           // with ExtendedErrorMsg set
    const char *switchOff; // nullptr: nothing is sent
    const char *revision;
};

const TOpenCase kOpenCases[] = {
    {"A1", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0"}, kSiemensTail}), "AT^SMSO", "05"},
    {"M1", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0"}, kSiemensTail}), nullptr, "06"},
    {"M20", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0", "AT+CSMS=0"}, kSiemensTail}), "AT^SMSO",
     "REVISION 02.14"},
    {"GM12", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0"}, kSiemensTail}), "AT+CFUN=0", "R2A04"},
    {"Nokia6210",
     Join({{"ATE1", "AT+CREG?", "AT+CREG=1"},
           kStorage,
           {"AT+CMGF=0"},
           {"AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,0,0,0,0"}}),
     nullptr, "V 05.36"},
    // The 6650 answers the revision query on four lines, the revision last.
    {"Nokia6650",
     Join({{"ATE1", "AT+CREG?", "AT+CREG=1"},
           kStorage,
           {"AT+CMGF=0"},
           {"AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,0,0,0,0"}}),
     nullptr, "V 4.34"},
    // Text mode only: no PIN phase, no registration commands.
    {"Nokia9110",
     Join({{"ATE1"}, kStorage, {"AT+CMGF=1", "AT+CSDH=1"}, {"AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,0,0,0,0"}}),
     nullptr, nullptr},
    {"M35", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0", "AT+CSMS=1", "AT+CMEE=1"}, kSiemensTail}),
     "AT^SMSO", nullptr},
    {"S25", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0", "AT+CMEE=1"}, kSiemensTail}), "AT^SMSO",
     nullptr},
    // The T260 asks the signal instead of the registration.
    {"T260", Join({{"ATE1", "AT+CSQ"}, kStorage, {"AT+CMGF=0", "AT+CMEE=1"}, kSiemensTail}), nullptr,
     nullptr},
    {"WaveCom",
     Join({{"ATE1", "AT+WIND=12", "AT+CPIN?", "AT+CREG?", "AT+CREG=1"},
           kStorage,
           {"AT+CMGF=0"},
           kSiemensTail}),
     nullptr, nullptr},
    {"TC35", Join({{"ATE1"}, kCpinCreg, kStorage, {"AT+CMGF=0"}, kSiemensTail}), "AT^SMSO", nullptr},
    {"Fasttrack",
     Join({{"ATE1", "AT+WIND=12", "AT+CPIN?", "AT+CREG?", "AT+CREG=1"},
           kStorage,
           {"AT+CMGF=0"},
           kSiemensTail}),
     nullptr, nullptr},
};

void PrintTo(const TOpenCase &c, std::ostream *os)
{
    *os << c.equipment;
}

class OpenSequence : public ::testing::TestWithParam<TOpenCase> {};

TEST_P(OpenSequence, CommandsRegistrationInfoAndSwitchOff)
{
    const TOpenCase &c = GetParam();
    TEngineRig rig(Handset(c.equipment));
    rig.gsm.SetSCA("+491710760000");
    rig.gsm.SetExtendedErrorMsg(true);
    std::vector<int> registrations;
    rig.gsm.OnNetworkRegistration = [&](TObject *, int status) { registrations.push_back(status); };

    rig.gsm.Open();
    ASSERT_TRUE(rig.gsm.Active());
    EXPECT_EQ(rig.Commands(), c.open);
    // The first +CPMS parameter with its quotes; the GM12 keeps its messages in the phone.
    EXPECT_EQ(rig.gsm.Memory(), std::string(c.equipment) == "GM12" ? "\"ME\"" : "\"SM\"");
    // Lines of the open sequence reach the line handler once no command waits.
    rig.gsm.ProcessReceived();
    const bool registers = std::string(c.equipment) != "Nokia9110";
    EXPECT_EQ(rig.gsm.NetworkRegistration(), registers ? 1 : 0);

    if (c.revision) {
        rig.sim.ClearTranscript();
        std::string value;
        rig.gsm.GetModemInfo(3, value);
        EXPECT_EQ(value, c.revision);
        rig.gsm.GetModemInfo(3, value); // cached until the next open
        EXPECT_EQ(rig.Commands(), TLines{"AT+CGMR"});
    }

    rig.sim.ClearTranscript();
    rig.gsm.SwitchOff();
    EXPECT_EQ(rig.Commands(), c.switchOff ? TLines{c.switchOff} : TLines{});

    rig.gsm.Close();
    EXPECT_FALSE(rig.comm.Active());
    if (registers)
        EXPECT_EQ(registrations, (std::vector<int>{1, 0})) << "close reports the handset unregistered";
    else
        EXPECT_TRUE(registrations.empty());
    EXPECT_EQ(rig.gsm.NetworkRegistration(), 0);
}

INSTANTIATE_TEST_SUITE_P(Equipment, OpenSequence, ::testing::ValuesIn(kOpenCases),
                         [](const auto &info) { return std::string(info.param.equipment); });

TEST(OpenSequence, TextModeAndIndications)
{
    TEngineRig rig(Handset("M20"));
    rig.gsm.SetSMSFormat(1);
    rig.gsm.SetUnsolicitedIndication(Bit(uindSMSDeliver) | Bit(uindSMSStatusReport));
    rig.gsm.Open();
    const TLines cmds = rig.Commands();
    ASSERT_GE(cmds.size(), 6u);
    const TLines tail(cmds.end() - 6, cmds.end());
    EXPECT_EQ(tail,
              (TLines{"AT+CMGF=1", "AT+CSMS=0", "AT+CSDH=1", "AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,2,0,1,1"}));
    EXPECT_EQ(rig.gsm.UnsolicitedIndication(), Bit(uindSMSDeliver) | Bit(uindSMSStatusReport));
    try {
        rig.gsm.SetSMSFormat(0);
        ADD_FAILURE();
    } catch (const EConnectError &e) {
        EXPECT_STREQ(e.what(), "Connection is active");
    }
    EXPECT_THROW(rig.gsm.SetPIN("1234"), EConnectError);
    EXPECT_THROW(rig.gsm.AdjustCommSettings(), EConnectError);

    // A change while open is negotiated at once; what the handset refuses is dropped.
    rig.sim.ClearTranscript();
    rig.gsm.SetUnsolicitedIndication(Bit(uindSMSDeliver) | Bit(uindOnlyIndication) | Bit(uindCellBroadcast));
    EXPECT_EQ(rig.Commands(), (TLines{"AT+CNMI=?", "AT+CNMI?", "AT+CNMI=2,1,2,0,1"}));
    EXPECT_EQ(rig.gsm.UnsolicitedIndication(),
              Bit(uindSMSDeliver) | Bit(uindOnlyIndication) | Bit(uindCellBroadcast));
}

TEST(OpenSequence, RefusedIndicationKeepsCurrentValue)
{
    // The 9110 routes nothing: <mt> supports only 0 and 1.
    TEngineRig rig(Handset("Nokia9110"));
    rig.gsm.SetUnsolicitedIndication(Bit(uindSMSDeliver));
    rig.gsm.Open();
    EXPECT_EQ(rig.Commands().back(), "AT+CNMI=2,0,0,0,0");
    EXPECT_EQ(rig.gsm.UnsolicitedIndication(), 0);
}

struct TPinCase {
    const char *name;
    const char *equipment;
    const char *simPin;
    const char *simPuk;
    const char *enginePin;
    const char *error; // nullptr: the open succeeds
    int pinEntries;    // AT+CPIN= commands the handset receives
};

const TPinCase kPinCases[] = {
    {"ready", "S25", "", "", "", nullptr, 0},
    {"correct PIN", "S25", "1234", "", "1234", nullptr, 1},
    {"wrong PIN tried once", "S25", "1234", "", "0000", "ERROR was returned on AT command: AT+CPIN=\"0000\"",
     1},
    {"no PIN given", "TC35", "1234", "", "", "PIN required", 0},
    {"blocked SIM", "A1", "1234", "87654321", "1234", "PIN is not expected (SIM PUK)", 0},
    {"Wavecom correct PIN", "WaveCom", "4321", "", "4321", nullptr, 1},
    {"Siemens M1 pauses after the PIN", "M1", "1111", "", "1111", nullptr, 1},
};

void PrintTo(const TPinCase &c, std::ostream *os)
{
    *os << c.name;
}

class PinPhase : public ::testing::TestWithParam<TPinCase> {};

TEST_P(PinPhase, Outcome)
{
    const TPinCase &c = GetParam();
    TModemSimulatorOptions options = Handset(c.equipment, c.simPin);
    options.puk = c.simPuk;
    TEngineRig rig(options);
    rig.gsm.SetPIN(c.enginePin);
    rig.gsm.SetRepeatCount(5);
    if (c.error) {
        try {
            rig.gsm.Open();
            ADD_FAILURE() << "opened";
        } catch (const EGSMError &e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_FALSE(rig.gsm.Active());
        EXPECT_FALSE(rig.comm.Active());
    } else {
        rig.gsm.Open();
        EXPECT_TRUE(rig.gsm.Active());
    }
    int entries = 0;
    for (const auto &cmd : rig.Commands())
        entries += cmd.rfind("AT+CPIN=", 0) == 0;
    EXPECT_EQ(entries, c.pinEntries);
    EXPECT_FALSE(rig.gsm.Busy());
}

INSTANTIATE_TEST_SUITE_P(Paths, PinPhase, ::testing::ValuesIn(kPinCases), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
});

TEST(PinPhase, WavecomReadinessTimeout)
{
    TEngineRig rig(Handset("Fasttrack", "1234"));
    rig.gsm.SetPIN("1234");
    rig.gsm.SetReadinessTimeout(600);
    // The handset accepts "AT+WIND=12" without enabling the reports: readiness never comes.
    rig.sim.FailCommand("AT+WIND=", "OK");
    const auto start = std::chrono::steady_clock::now();
    try {
        rig.gsm.Open();
        ADD_FAILURE();
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Wavecom initialization error (no +WIND: 4)");
    }
    EXPECT_GE(ElapsedMs(start), 600);
    EXPECT_FALSE(rig.gsm.Active());
}

TEST(ModemInfo, ClosedEngineOpensOnlyThePort)
{
    TEngineRig rig(Handset("Nokia6650"));
    std::string value;
    rig.gsm.GetModemInfo(1, value);
    EXPECT_EQ(value, "Nokia");
    EXPECT_FALSE(rig.comm.Active());
    rig.gsm.GetModemInfo(3, value);
    EXPECT_EQ(value, "V 4.34");
    rig.gsm.GetModemInfo(3, value); // closed: asked again
    EXPECT_EQ(rig.Commands(), (TLines{"AT+CGMI", "AT+CGMR", "AT+CGMR"}));
    EXPECT_FALSE(rig.gsm.Active());
    EXPECT_FALSE(rig.comm.Active());
}

TEST(ModemInfo, PortThatCannotOpenGetsItsHandlerBack)
{
    TEngineRig rig(Handset("M20"));
    bool own = false;
    rig.comm.OnRxChar = [&](TObject *, int) { own = true; };
    rig.comm.SetDeviceName("/nonexistent/ttyS9");
    std::string value;
    EXPECT_THROW(rig.gsm.GetModemInfo(1, value), EComError);
    ASSERT_TRUE(rig.comm.OnRxChar);
    rig.comm.OnRxChar(nullptr, 0);
    EXPECT_TRUE(own);
    EXPECT_FALSE(rig.comm.Active());
}

} // namespace
