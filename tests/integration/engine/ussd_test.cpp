// USSD sessions of the engine with the virtual handset over a pseudo-terminal: the balance, the
// two-level menu in the default alphabet and in UCS2, under each TE character set the modem may
// use; an unknown code refused; a network that never answers; a message the network begins.
#include "enginerig.h"

#include "gsm/gsmerror.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;
using namespace kestrel::test;

namespace {

struct TStep {
    QString sent;
    int status;
    int dcs;
    QString text;
};

struct TSessionCase {
    const char *name;
    const char *charset; // the modem's +CSCS during the session
    std::vector<TStep> steps;
};

const std::vector<TSessionCase> kSessions = {
    {"balance, GSM", "GSM", {{"*100#", 0, 15, "Balance 12.50 EUR, valid until 31.12.2026"}}},
    {"menu, GSM (packed septets)",
     "GSM",
     {{"*101#", 1, 15, "Menu:\n1 Data packs\n2 My number"},
      {"1", 1, 15, "Data packs:\n1 1 GB 5.00 EUR\n2 5 GB 15.00 EUR"},
      {"2", 0, 15, "Pack booked. Balance 7.50 EUR"}}},
    {"menu, UCS2 set",
     "UCS2",
     {{"*101#", 1, 15, "Menu:\n1 Data packs\n2 My number"}, {"2", 0, 15, "Your number is +491710000001"}}},
    {"menu, HEX set",
     "HEX",
     {{"*101#", 1, 15, "Menu:\n1 Data packs\n2 My number"}, {"9", 0, 15, "Invalid choice"}}},
    {"Russian menu, IRA",
     "IRA",
     {{"*102#", 1, 72, "Меню:\n1 Пакеты данных\n2 Мой номер"},
      {"1", 1, 72, "Пакеты данных:\n1 1 ГБ 5,00\n2 5 ГБ 15,00"},
      {"1", 0, 72, "Пакет заказан. Баланс 7,50"}}},
    {"Russian menu, UCS2 set", "UCS2", {{"*102#", 1, 72, "Меню:\n1 Пакеты данных\n2 Мой номер"}}},
    {"unknown code", "GSM", {{"*999#", 4, -1, ""}}},
};

TEST(EngineUSSD, SessionsUnderEachCharacterSet)
{
    for (const auto &c : kSessions) {
        SCOPED_TRACE(c.name);
        TEngineRig rig(Handset("Generic"));
        rig.gsm.Open();
        rig.gsm.CheckResult(rig.gsm.ExecCommand(std::string("AT+CSCS=\"") + c.charset + "\"", kWaitResult));
        std::vector<TUSSDAnswer> events;
        rig.gsm.OnUSSD = [&](TObject *, const TUSSDAnswer &a) { events.push_back(a); };
        for (const auto &step : c.steps) {
            SCOPED_TRACE(step.sent.toStdString());
            const TUSSDAnswer a = rig.gsm.SendUSSD(step.sent, 5000);
            EXPECT_EQ(a.Status, step.status);
            EXPECT_EQ(a.DCS, step.dcs);
            EXPECT_EQ(a.Text, step.text) << a.Text.toStdString();
        }
        EXPECT_EQ(events.size(), c.steps.size());
        // The strings went out in the modem's set.
        const auto commands = rig.Commands();
        const std::string first = c.steps.front().sent.toStdString();
        const std::string expected = std::string(c.charset) == "UCS2"  ? "002A0031003000310023"
                                     : std::string(c.charset) == "HEX" ? "2A31303123"
                                                                       : first;
        if (first == "*101#") {
            EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CUSD=1,\"" + expected + "\",15"),
                      commands.end())
                << ::testing::PrintToString(commands);
        }
        rig.gsm.Close();
    }
}

TEST(EngineUSSD, CancelEndsTheMenu)
{
    TEngineRig rig(Handset("M20"));
    rig.gsm.Open();
    EXPECT_EQ(rig.gsm.SendUSSD("*101#", 5000).Status, ussdActionRequired);
    rig.gsm.CancelUSSD();
    // After the end a "1" is no menu choice but an unknown code.
    EXPECT_EQ(rig.gsm.SendUSSD("1", 5000).Status, ussdNotSupported);
    const auto commands = rig.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CUSD=2"), commands.end());
}

TEST(EngineUSSD, NoAnswerEndsWithATimeOut)
{
    auto options = Handset("Generic");
    options.ussdDelayMs = 3000;
    TEngineRig rig(options);
    rig.gsm.Open();
    try {
        rig.gsm.SendUSSD("*100#", 300);
        FAIL() << "no time-out";
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "No answer from the network to USSD \"*100#\" within 0.3 s");
    }
}

TEST(EngineUSSD, MalformedAnswerIsTheError)
{
    TEngineRig rig(Handset("Generic"));
    rig.gsm.Open();
    rig.gsm.TECharacterSet(); // asked before the fault is armed for AT+CUSD
    rig.sim.FailNextCommand("OK\r\n\r\n+CUSD: 0,\"Balance");
    try {
        rig.gsm.SendUSSD("*100#", 2000);
        FAIL() << "no error";
    } catch (const EGSMError &e) {
        EXPECT_STREQ(
            e.what(),
            "The answer to USSD \"*100#\" is malformed: USSD string: no closing quote after 7 characters");
    }
}

TEST(EngineUSSD, MessageOfTheNetworkReachesTheEvent)
{
    TEngineRig rig(Handset("Generic"));
    rig.gsm.Open();
    std::vector<TUSSDAnswer> events;
    rig.gsm.OnUSSD = [&](TObject *, const TUSSDAnswer &a) { events.push_back(a); };
    rig.sim.SendUnsolicited("+CUSD: 2,\"C2303BEC1E971B\",15");
    ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }, 5000));
    EXPECT_EQ(events[0].Status, ussdTerminated);
    EXPECT_EQ(events[0].Text, "Balance");
}

} // namespace
