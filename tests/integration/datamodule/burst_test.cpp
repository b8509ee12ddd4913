// Many arrivals at once, against the virtual handset: the data module reads them with one listing
// and records each exactly once; a store that fails in the middle keeps what it did not record on
// the handset; indications that come while the listing is on its way are handled after it.
#include "datamodulerig.h"
#include "support/deliverytpdus.h"

#include "appcore/datamodule.h"
#include "base/format.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/simnetwork.h"
#include "store/messagestore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

using namespace kestrel;

namespace {

std::string BurstText(int n)
{
    return Format("Burst message %02d", n);
}

// The hex TPDU (no service-centre field) of message n of a burst.
std::string BurstTPDU(int n)
{
    TSMSDeliver d;
    d.OA = "+4917100" + std::to_string(1000 + n);
    d.SCTS = EncodeDate(2026, 12, 8) + EncodeTime(9, 0, n % 60, 0);
    d.UserData = TextToGSM(BurstText(n));
    d.GSM = SimBareContext();
    return d.GetPDU();
}

// Messages first..last of a burst.
std::vector<std::string> BurstTPDUs(int first, int last)
{
    std::vector<std::string> out;
    for (int n = first; n <= last; ++n)
        out.push_back(BurstTPDU(n));
    return out;
}

struct TBurstCase {
    const char *name;
    const char *equipment;
    int format;        // kSMSFormatPDU or kSMSFormatText
    bool concatenated; // two of the fifty are the parts of one long text
};

void PrintTo(const TBurstCase &c, std::ostream *os)
{
    *os << c.name;
}

class BurstRig : public rig::TDataModuleRig {
protected:
    void Start(const char *equipment, int format)
    {
        // Stored with an indication (+CMTI), in the format asked for.
        std::ofstream(dir / "gsm.ini")
            << "[Modem]\nDevice=" << equipment
            << "\nSCA=+491710760000\nUnsolicitedIndication=9\nSMSFormat=" << format << "\n";
        TModemSimulatorOptions o;
        o.equipment = equipment;
        o.storageCapacity = 100; // fifty at once fit, as on a SIM of that size
        sim = std::make_unique<TModemSimulator>(o);
        location = (dir / "messages.sqlite").string();
        dm = Module(sim.get());
        dm->StoreName = location;
        dm->OnError = [this](const std::string &m) { errors.push_back(m); };
        dm->GSM.Open();
        sim->ClearTranscript();
    }
    void TearDown() override
    {
        if (dm)
            dm->GSM.Close();
        dm.reset();
        sim.reset();
        TDataModuleRig::TearDown();
    }
    // How often the store holds each text.
    std::map<std::string, int> Recorded()
    {
        std::map<std::string, int> texts;
        for (const auto &m : TMessageStore::Open(location)->List({}))
            ++texts[m.Text];
        return texts;
    }
    size_t StoreCount() { return TMessageStore::Open(location)->List({}).size(); }
    // Reads and listings the handset was asked for since the set-up.
    size_t ReadCommands(const char *prefix)
    {
        const auto commands = sim->ReceivedCommands();
        return static_cast<size_t>(std::count_if(
            commands.begin(), commands.end(), [&](const std::string &c) { return c.rfind(prefix, 0) == 0; }));
    }

    std::unique_ptr<TModemSimulator> sim;
    std::unique_ptr<TGSMDataModule> dm;
    std::string location;
    std::vector<std::string> errors;
};

class Burst : public BurstRig, public ::testing::WithParamInterface<TBurstCase> {};

TEST_P(Burst, FiftyAtOnceAreRecordedOnceEachAndDeleted)
{
    const TBurstCase &c = GetParam();
    Start(c.equipment, c.format);
    std::vector<std::string> tpdus = BurstTPDUs(1, c.concatenated ? 48 : 50);
    if (c.concatenated) {
        // The parts far apart, the second one first.
        tpdus.insert(tpdus.begin() + 10, kConcat2);
        tpdus.insert(tpdus.begin() + 40, kConcat1);
    }
    sim->DeliverPdus(tpdus);
    const size_t expected = c.concatenated ? 49 : 50;
    ASSERT_TRUE(WaitUntil([&] { return sim->StoredMessages().empty() && StoreCount() == expected; }, 30000))
        << sim->StoredMessages().size() << " left on the handset, " << StoreCount() << " recorded";
    EXPECT_TRUE(errors.empty()) << errors.front();
    const auto texts = Recorded();
    for (int n = 1; n <= (c.concatenated ? 48 : 50); ++n)
        EXPECT_EQ(texts.count(BurstText(n)) ? texts.at(BurstText(n)) : 0, 1) << BurstText(n);
    if (c.concatenated) {
        const auto joined = std::find_if(texts.begin(), texts.end(), [](const auto &t) {
            return t.first.rfind("abcdefghijklmnopqrstuvwxyz", 0) == 0;
        });
        ASSERT_NE(joined, texts.end());
        EXPECT_EQ(joined->second, 1);
        // The log has the text reassembled, once.
        EXPECT_EQ(std::count_if(view.lines.begin(), view.lines.end(),
                                [](const std::string &l) { return l.rfind("*text: abcdef", 0) == 0; }),
                  1);
    }
    // Each arrival logged once.
    EXPECT_EQ(
        std::count_if(view.lines.begin(), view.lines.end(), [](const std::string &l) { return l[0] == '>'; }),
        50);
    // One listing read them, not a read each (text mode reads each listed message for the fields
    // its listing lacks).
    EXPECT_GE(ReadCommands("AT+CMGL"), 1u);
    if (c.format == kSMSFormatPDU) {
        EXPECT_LT(ReadCommands("AT+CMGR") + ReadCommands("AT+CMGL"), 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(Handsets, Burst,
                         ::testing::Values(TBurstCase{"GenericPDU", "Generic", kSMSFormatPDU, true},
                                           TBurstCase{"TC35PDU", "TC35", kSMSFormatPDU, true},
                                           TBurstCase{"GenericText", "Generic", kSMSFormatText, false},
                                           TBurstCase{"TC35Text", "TC35", kSMSFormatText, false}),
                         [](const auto &info) { return std::string(info.param.name); });

class BurstFaults : public BurstRig {};

// The store refuses one message of the burst (a trigger in the database itself): that one stays on
// the handset, unlogged, while the others are recorded and deleted; once the store takes it, it is
// recorded and deleted too.
TEST_F(BurstFaults, AStoreThatFailsInTheMiddleDeletesNothingUnrecorded)
{
    Start("Generic", kSMSFormatPDU);
    ASSERT_NE(dm->Store(), nullptr); // the schema is there for the trigger
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "burst-trigger");
        db.setDatabaseName(QString::fromStdString(location));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(
            q.exec("CREATE TRIGGER refuse BEFORE INSERT ON messages WHEN NEW.text = 'Burst message 25' "
                   "BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END"))
            << q.lastError().text().toStdString();
    }
    sim->DeliverPdus(BurstTPDUs(1, 50));
    ASSERT_TRUE(WaitUntil([&] { return sim->StoredMessages().size() == 1 && StoreCount() == 49; }, 30000))
        << sim->StoredMessages().size() << " left on the handset, " << StoreCount() << " recorded";
    EXPECT_LT(ReadCommands("AT+CMGR") + ReadCommands("AT+CMGL"), 10u);
    const auto left = sim->StoredMessages();
    EXPECT_EQ(left[0].tpdu, BurstTPDU(25));
    EXPECT_EQ(Recorded().count(BurstText(25)), 0u);
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0].rfind("The message store cannot be written", 0), 0u) << errors[0];
    EXPECT_TRUE(dm->HasKept());
    EXPECT_EQ(std::count_if(view.lines.begin(), view.lines.end(),
                            [](const std::string &l) { return l.find(BurstText(25)) != std::string::npos; }),
              0);

    {
        QSqlDatabase db = QSqlDatabase::database("burst-trigger");
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("DROP TRIGGER refuse")) << q.lastError().text().toStdString();
        db.close();
    }
    QSqlDatabase::removeDatabase("burst-trigger");
    dm->RetryKept(); // as the front ends do once the store answers again
    EXPECT_TRUE(sim->StoredMessages().empty());
    const auto texts = Recorded();
    EXPECT_EQ(texts.size(), 50u);
    for (const auto &[text, count] : texts)
        EXPECT_EQ(count, 1) << text;
    EXPECT_FALSE(dm->HasKept());
    EXPECT_EQ(errors.size(), 1u);
}

// The answer to the listing is late, and a second burst arrives meanwhile: its indications come
// after the listing was written, so they are not taken as listed; the second burst is read after
// the first, and nothing is read twice or lost.
TEST_F(BurstFaults, IndicationsDuringTheListingAreHandledAfterIt)
{
    Start("Generic", kSMSFormatPDU);
    sim->DelayAnswer("AT+CMGL", 300);
    sim->DeliverPdus(BurstTPDUs(1, 30));
    // The engine works on the event loop: it runs until the listing is out.
    ASSERT_TRUE(WaitUntil([&] { return ReadCommands("AT+CMGL") > 0; }));
    sim->DeliverPdus(BurstTPDUs(31, 50));
    ASSERT_TRUE(WaitUntil([&] { return sim->StoredMessages().empty() && StoreCount() == 50; }, 30000))
        << sim->StoredMessages().size() << " left on the handset, " << StoreCount() << " recorded";
    EXPECT_TRUE(errors.empty()) << errors.front();
    const auto texts = Recorded();
    for (int n = 1; n <= 50; ++n)
        EXPECT_EQ(texts.count(BurstText(n)) ? texts.at(BurstText(n)) : 0, 1) << BurstText(n);
    EXPECT_GE(ReadCommands("AT+CMGL"), 2u);
    EXPECT_EQ(
        std::count_if(view.lines.begin(), view.lines.end(), [](const std::string &l) { return l[0] == '>'; }),
        50);
}

} // namespace
