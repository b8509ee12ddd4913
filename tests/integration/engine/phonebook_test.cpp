// The phonebooks of the virtual handset through the engine over a pseudo-terminal: both storages
// read whole in every TE character set the handset may be in (names in UCS2 where it offers it,
// and the set put back), entries written and deleted, and what is refused before or by the
// handset: a name or number too long, an index outside the storage, a full storage.
#include "enginerig.h"

#include "gsm/gsmerror.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;
using namespace kestrel::test;

namespace {

struct TExpected {
    int index;
    std::string number;
    QString name;
};

const std::vector<TExpected> kSIM = {
    {1, "+491711234567", "Anna Schmidt"}, {2, "+79161234567", "Иван"}, {3, "0301234567", "shop@net_1"}};
const std::vector<TExpected> kME = {
    {1, "+491710760333", "Mailbox"}, {2, "004917122233344", "Ольга"}, {4, "*100#", "Balance"}};

void ExpectEntries(const std::vector<TPhonebookEntry> &got, const std::vector<TExpected> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].Index, want[i].index);
        EXPECT_EQ(got[i].Number, want[i].number);
        EXPECT_EQ(got[i].Type, want[i].number.front() == '+' ? 145 : 129);
        EXPECT_EQ(got[i].Name, want[i].name) << got[i].Name.toStdString();
    }
}

bool Sent(const std::vector<std::string> &commands, const std::string &command)
{
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

TEST(EnginePhonebook, ReadsBothStoragesUnderEachCharacterSet)
{
    for (const char *charset : {"GSM", "IRA", "UCS2", "HEX", "8859-1"}) {
        SCOPED_TRACE(charset);
        TEngineRig rig(Handset("Generic"));
        rig.gsm.Open();
        rig.gsm.CheckResult(rig.gsm.ExecCommand(std::string("AT+CSCS=\"") + charset + "\"", kWaitResult));
        EXPECT_EQ(rig.gsm.PhonebookStorages(), (std::vector<std::string>{"SM", "ME"}));
        TPhonebookInfo info;
        std::vector<std::string> problems;
        ExpectEntries(rig.gsm.ReadPhonebook("SM", &info, &problems), kSIM);
        EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
        EXPECT_EQ(info.Status.Storage, "SM");
        EXPECT_EQ(info.Status.Used, 3);
        EXPECT_EQ(info.Status.Total, 10);
        EXPECT_EQ(info.Range.First, 1);
        EXPECT_EQ(info.Range.Last, 10);
        EXPECT_EQ(info.Range.NumberLength, 20);
        EXPECT_EQ(info.Range.TextLength, 14);
        rig.sim.ClearTranscript();
        ExpectEntries(rig.gsm.ReadPhonebook("me", &info), kME);
        const auto commands = rig.Commands();
        // The first chunk holds all three entries: the rest of the hundred places are not asked.
        EXPECT_TRUE(Sent(commands, "AT+CPBR=1,20"));
        EXPECT_FALSE(Sent(commands, "AT+CPBR=21,40"));
        // The names came in UCS2, and the handset's own set is back.
        if (std::string(charset) != "UCS2") {
            EXPECT_TRUE(Sent(commands, "AT+CSCS=\"UCS2\""));
            EXPECT_EQ(commands.back(), std::string("AT+CSCS=\"") + charset + "\"");
        }
        std::vector<std::string> lines;
        rig.gsm.ExecCommand("AT+CSCS?", kWaitResult | kWaitReply | kPrefixedReply, &lines);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::string("\"") + charset + "\"");
        rig.gsm.Close();
    }
}

TEST(EnginePhonebook, WritesAndDeletes)
{
    TEngineRig rig(Handset("Generic"));
    rig.gsm.Open();
    // The first free place of the SIM is 4; the names of each alphabet come back as written.
    EXPECT_EQ(rig.gsm.WritePhonebookEntry("SM", {0, "+4915112345678", 145, "Ünal_@"}), 0);
    EXPECT_EQ(rig.gsm.WritePhonebookEntry("SM", {7, "0711", 129, "Пётр"}), 7);
    EXPECT_TRUE(Sent(rig.Commands(), "AT+CPBW=7,\"0711\",129,\"041F045104420440\""));
    std::vector<TPhonebookEntry> sm = rig.gsm.ReadPhonebook("SM");
    ASSERT_EQ(sm.size(), 5u);
    EXPECT_EQ(sm[3].Index, 4);
    EXPECT_EQ(sm[3].Number, "+4915112345678");
    EXPECT_EQ(sm[3].Name, "Ünal_@");
    EXPECT_EQ(sm[4].Index, 7);
    EXPECT_EQ(sm[4].Name, "Пётр");
    // Overwritten in place, then deleted.
    rig.gsm.WritePhonebookEntry("SM", {2, "+79161234567", 145, "Ivan"});
    rig.gsm.DeletePhonebookEntry("SM", 1);
    sm = rig.gsm.ReadPhonebook("SM");
    ASSERT_EQ(sm.size(), 4u);
    EXPECT_EQ(sm[0].Index, 2);
    EXPECT_EQ(sm[0].Name, "Ivan");
    rig.gsm.Close();
}

TEST(EnginePhonebook, RefusalsNameTheCause)
{
    TEngineRig rig(Handset("Generic"));
    rig.gsm.SetExtendedErrorMsg(true);
    rig.gsm.Open();
    struct TCase {
        const char *name;
        std::function<void()> run;
        std::string error;
        bool sent; // the handset was asked (false: refused before anything went out)
    };
    const std::vector<TCase> cases = {
        {"name of 15 GSM characters",
         [&] {
             rig.gsm.WritePhonebookEntry("SM", {0, "123", 129, "Fifteen letters"});
         },
         "The name \"Fifteen letters\" is too long for the phonebook SM: it takes 15 of the 14 places of a "
         "name",
         false},
        {"Cyrillic name of 7 characters",
         [&] {
             rig.gsm.WritePhonebookEntry("SM", {0, "123", 129, "Екатери"});
         },
         "The name \"Екатери\" is too long for the phonebook SM: it takes 15 of the 14 places of a name (a "
         "name outside the GSM alphabet takes two per character and one more)",
         false},
        {"number of 21 digits",
         [&] {
             rig.gsm.WritePhonebookEntry("SM", {0, "+" + std::string(21, '1'), 145, "A"});
         },
         "The number +111111111111111111111 is too long for the phonebook SM: 21 digits, at most 20", false},
        {"index past the storage",
         [&] {
             rig.gsm.WritePhonebookEntry("SM", {11, "123", 129, "A"});
         },
         "Index 11 is outside the phonebook SM (1 to 10)", false},
        {"delete past the storage", [&] { rig.gsm.DeletePhonebookEntry("ME", 101); },
         "Index 101 is outside the phonebook ME (1 to 100)", false},
        {"storage name with a quote", [&] { rig.gsm.ReadPhonebook("S\"M"); },
         "phonebook storage: \"S\"M\" is no storage name", false},
        {"storage the handset lacks", [&] { rig.gsm.ReadPhonebook("FD"); },
         "+CME ERROR: 3 \"Operation not allowed\" was returned on AT command: AT+CPBS=\"FD\"", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rig.sim.ClearTranscript();
        try {
            c.run();
            ADD_FAILURE() << "accepted";
        } catch (const EGSMError &e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        const auto commands = rig.Commands();
        const bool asked = std::any_of(commands.begin(), commands.end(), [](const std::string &cmd) {
            return cmd.starts_with("AT+CPBW") || cmd == "AT+CPBS=\"FD\"";
        });
        EXPECT_EQ(asked, c.sent) << ::testing::PrintToString(commands);
    }
    rig.gsm.Close();
}

TEST(EnginePhonebook, ChunksWithoutEntriesAreSkipped)
{
    // Some handsets answer a range without entries with "not found" (or a plain ERROR without
    // extended errors); the read goes on with the next chunk.
    for (const char *answer : {"+CME ERROR: 22", "+CME ERROR: not found", "ERROR"}) {
        SCOPED_TRACE(answer);
        TEngineRig rig(Handset("Generic"));
        rig.gsm.Open();
        rig.sim.FailCommand("AT+CPBR=1,20", answer, 1);
        EXPECT_TRUE(rig.gsm.ReadPhonebook("ME").empty());
        EXPECT_TRUE(Sent(rig.Commands(), "AT+CPBR=81,100"));
        // Another failure still ends the read with its error.
        rig.sim.FailCommand("AT+CPBR=1,20", "+CME ERROR: 13", 1);
        EXPECT_THROW(rig.gsm.ReadPhonebook("ME"), EGSMError);
        ExpectEntries(rig.gsm.ReadPhonebook("ME"), kME);
        rig.gsm.Close();
    }
}

TEST(EnginePhonebook, FullStorage)
{
    TEngineRig rig(Handset("Generic"));
    rig.gsm.SetExtendedErrorMsg(true);
    rig.gsm.Open();
    for (int i = 0; i < 7; ++i)
        rig.gsm.WritePhonebookEntry("SM", {0, "555000" + std::to_string(i), 129, QString("N%1").arg(i)});
    EXPECT_EQ(rig.gsm.ReadPhonebook("SM").size(), 10u);
    // The engine knows from +CPBS? that nothing fits; an index given still overwrites.
    EXPECT_THROW(rig.gsm.WritePhonebookEntry("SM", {0, "5550009", 129, "N9"}), EGSMError);
    rig.gsm.WritePhonebookEntry("SM", {10, "5550010", 129, "N10"});
    // A handset that gives no counts answers the write itself: memory full.
    rig.sim.FailCommand("AT+CPBS?", "ERROR", 1);
    try {
        rig.gsm.WritePhonebookEntry("SM", {0, "5550009", 129, "N9"});
        ADD_FAILURE() << "accepted";
    } catch (const EGSMError &e) {
        EXPECT_EQ(std::string(e.what()), "+CME ERROR: 20 \"Memory full\" was returned on AT command: "
                                         "AT+CPBW=,\"5550009\",129,\"004E0039\"");
    }
    rig.gsm.Close();
}

} // namespace
