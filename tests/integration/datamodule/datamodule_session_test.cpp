// The data module with a real engine and serial port against the virtual handset: what is found
// in the handset's storage at login, and what arrives later, is logged, reassembled and deleted.
#include "datamodulerig.h"

#include "appcore/datamodule.h"
#include "comm/comm.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using rig::ReadFile;

namespace {

// TPDUs without service-centre field, as the simulator stores them.
const char *const kDeliverHello =
    "040C914421436587090000425060708090000DC8329BFD0691CBECB4BD2C07"; // "Hello deliver"
// The same text ten seconds later: another message.
const char *const kDeliverHelloLater = "040C914421436587090000425060708091000DC8329BFD0691CBECB4BD2C07";
const char *const kConcat1 =
    "440C91442143658709000042506070809000A0050003BD0201C2E231B96C3EA3D3EA35BBED7EC3E3F239BD6EBFE3F3FAA070482C"
    "1A8"
    "FC8A472C96C3A9FD0A8744AAD5AAFD8AC161693CD6835DB0D9703B95861F1985C369FD169F59ADD76BFE171F99C5EB7DFF1797D5"
    "0382"
    "4168D476452B964369D4F68543AA556AD576C560B8BC966B49AED86CB815CACB0784C2E9BCFE8B47ACD6EBBDFF0B87C4EAFDBEF";
const char *const kConcat2 =
    "440C9144214365870900004250607080900036050003BD0202F0797D503824168D476452B964369D4F6854"
    "3AA556AD576C560B8BC966B49AED86CB815CACB0784C2E03";

class DataModuleSession : public rig::TDataModuleRig {
protected:
    void SetUp() override
    {
        TDataModuleRig::SetUp();
        std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=M20\nSCA=+491710760000\nUnsolicitedIndication=1\n";
    }
    std::unique_ptr<TGSMDataModule> Module(TModemSimulator &sim) { return TDataModuleRig::Module(&sim); }
};

TEST_F(DataModuleSession, LoginRecordsEveryStoredMessageBeforeDeletingIt)
{
    TModemSimulatorOptions o;
    o.equipment = "M20";
    TModemSimulator sim(o);
    sim.StoreMessage("SM", 0, kDeliverHello);
    sim.StoreMessage("SM", 1, kDeliverHelloLater); // read already, and new to the store
    sim.StoreMessage("SM", 0, kConcat1);
    sim.StoreMessage("SM", 0, kConcat2);
    auto dm = Module(sim);
    dm->GSM.Open();
    EXPECT_TRUE(sim.StoredMessages().empty());
    std::vector<std::string> refs;
    int summaries = 0;
    for (const auto &l : view.lines) {
        if (l[0] == '>')
            ++summaries;
        if (l[0] == '*')
            refs.push_back(l.substr(0, 27));
    }
    EXPECT_EQ(summaries, 4);
    ASSERT_EQ(refs.size(), 3u);
    EXPECT_EQ(refs[0], "*ref:BD, #1/2, , addr:0000");
    EXPECT_EQ(refs[1].substr(0, 26), "*ref:BD, #2/2, , addr:0000");
    EXPECT_EQ(refs[2].substr(0, 8), "*text: a");
    const std::string log = ReadFile(dm->SMSLogName);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(view.lines.size()));
    dm->GSM.Close();
}

TEST_F(DataModuleSession, UnwritableLogKeepsMessagesOnTheHandset)
{
    TModemSimulatorOptions o;
    o.equipment = "M20";
    TModemSimulator sim(o);
    sim.StoreMessage("SM", 0, kDeliverHello);
    auto dm = Module(sim);
    dm->SMSLogName = dir.string(); // a directory: cannot be appended to
    std::vector<std::string> errors;
    dm->OnError = [&](const std::string &m) { errors.push_back(m); };
    dm->GSM.Open();
    EXPECT_EQ(sim.StoredMessages().size(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Stored message 1 was kept on the handset: ", 0), 0u) << errors[0];
    dm->GSM.Close();
}

TEST_F(DataModuleSession, IndicatedMessageIsReadProcessedAndDeleted)
{
    TModemSimulatorOptions o;
    o.equipment = "M20";
    TModemSimulator sim(o);
    auto dm = Module(sim);
    dm->GSM.Open();
    view.lines.clear();
    sim.DeliverPdu(kDeliverHello);
    ASSERT_TRUE(WaitUntil([&] { return !view.lines.empty() && sim.StoredMessages().empty(); }));
    EXPECT_EQ(view.lines[0][0], '>');
    EXPECT_NE(view.lines[0].find("OA: +441234567890"), std::string::npos);
    dm->GSM.Close();
}

// The handset restarts while logged in: the engine sets it up again, the data module notes it and
// handles what reached the storage meanwhile as at login, and the windows hear that the engine is
// open again (the window refreshes what it shows of the handset).
TEST_F(DataModuleSession, RestartedHandsetIsSetUpAgainAndItsStorageHandled)
{
    struct TStates : TMessageTarget {
        std::vector<long long> states;
        void HandleMessage(int Msg, long long WParam, const TSMS *) override
        {
            if (Msg == kMsgEngineState)
                states.push_back(WParam);
        }
    } forms;
    TModemSimulatorOptions o;
    o.equipment = "M20";
    TModemSimulator sim(o);
    auto dm = Module(sim);
    dm->AddForm(&forms);
    dm->GSM.Open();
    WaitUntil([] { return false; }, 300);
    view.lines.clear();
    forms.states.clear();

    sim.Restart(200, "\r\nRDY\r\n");
    // The message arrives before the engine set the handset up again (no event loop runs): the
    // handset stores it and says nothing.
    auto waitPlain = [](const std::function<bool()> &cond) {
        for (int i = 0; i < 300 && !cond(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    waitPlain([&] { return !sim.Restarting(); });
    sim.DeliverPdu(kDeliverHello);
    waitPlain([&] { return !sim.StoredMessages().empty(); });
    ASSERT_EQ(sim.StoredMessages().size(), 1u);
    ASSERT_TRUE(WaitUntil([&] { return view.lines.size() >= 2 && sim.StoredMessages().empty(); }));
    EXPECT_EQ(view.lines[0], "The handset restarted (RDY) and was set up again");
    EXPECT_EQ(view.lines[1].rfind(">", 0), 0u) << view.lines[1];
    EXPECT_NE(view.lines[1].find("OA: +441234567890"), std::string::npos);
    EXPECT_NE(std::find(forms.states.begin(), forms.states.end(), kEngineOpened), forms.states.end());
    EXPECT_NE(ReadFile(dm->GSMLogName).find(": The handset restarted (RDY) and was set up again\r\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(dm->SMSLogName).find("OA: +441234567890"), std::string::npos);

    // Messages are indicated again.
    sim.DeliverPdu(kDeliverHello);
    ASSERT_TRUE(WaitUntil([&] { return view.lines.size() >= 3; }));
    EXPECT_EQ(view.lines[2].rfind(">", 0), 0u) << view.lines[2];
    dm->RemoveForm(&forms);
    dm->GSM.Close();
}

} // namespace
