// The data module records what it handles in the message store, against the virtual handset: a
// sent message turns delivered with its status report; a store that cannot be written keeps the
// messages on the handset and is reported once; the reassembly stack gets back what the last run
// left incomplete; text-mode messages are stored as their PDU would be. Each on an SQLite file and
// on a real PostgreSQL server.
#include "datamodulerig.h"
#include "pgserver.h"
#include "support/deliverytpdus.h"

#include "appcore/datamodule.h"
#include "connect/connection.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"
#include "store/messagestore.h"
#include "xsms/composer.h"
#include "xsms/protocolstack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace kestrel;

namespace {

class DataModuleStore : public rig::TDataModuleRig, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override
    {
        TDataModuleRig::SetUp();
        // Messages and status reports routed to the host (+CMT, +CDS).
        std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=M20\nSCA=+491710760000\nUnsolicitedIndication=3\n";
        sim = std::make_unique<TModemSimulator>();
        location = NewLocation();
    }
    void TearDown() override
    {
        sim.reset();
        TDataModuleRig::TearDown();
    }
    bool PostgreSQL() const { return std::string(GetParam()) == "postgresql"; }
    // An empty store: a file of its own, or a database of its own on the shared server (its
    // password from the environment, as users are told to give it).
    std::string NewLocation()
    {
        static int count = 0;
        if (!PostgreSQL())
            return (dir / ("messages" + std::to_string(++count) + ".sqlite")).string();
        test::TPostgresServer &server = test::TPostgresServer::Shared();
        setenv("PGPASSWORD", server.Password().c_str(), 1);
        return server.Url(server.CreateDatabase("datamodule"), false);
    }
    std::unique_ptr<TGSMDataModule> Module(TModemSimulator *simulator)
    {
        auto dm = TDataModuleRig::Module(simulator);
        dm->StoreName = location;
        return dm;
    }
    std::unique_ptr<TMessageStore> OpenStore() const { return TMessageStore::Open(location); }

    std::unique_ptr<TModemSimulator> sim;
    std::string location;
};

TEST_P(DataModuleStore, SentMessageTurnsDeliveredWithItsReport)
{
    auto dm = Module(sim.get());
    dm->GSM.Open();
    TMessageContent content;
    content.Text = QString::fromUtf8("Zustellung bestätigt? ✓");
    content.StatusReport = true;
    TMessageComposer composer;
    const auto submits = composer.Compose(sim->OwnNumber(), content, &dm->GSM);
    const TSendResult sent = dm->SendMessages(submits, content);
    ASSERT_GT(sent.StoredId, 0) << sent.StoreError;
    ASSERT_EQ(sent.References.size(), 1u);
    // Back comes the message itself and the report on it; both are recorded as they arrive.
    auto store = OpenStore();
    ASSERT_TRUE(WaitUntil([&] {
        auto m = store->Message(sent.StoredId);
        return m && m->Status == TStoredStatus::ssDelivered;
    })) << StoredStatusName(store->Message(sent.StoredId)->Status);
    const TStoredMessage out = *store->Message(sent.StoredId);
    EXPECT_TRUE(out.Outgoing);
    EXPECT_EQ(out.Peer, sim->OwnNumber());
    EXPECT_EQ(out.Text, "Zustellung bestätigt? ✓");
    ASSERT_EQ(out.Segments.size(), 1u);
    EXPECT_EQ(out.Segments[0].MR, sent.References[0]);
    EXPECT_EQ(out.Segments[0].ReportStatus, 0);
    TMessageFilter received;
    received.Status = TStoredStatus::ssReceived;
    ASSERT_TRUE(WaitUntil([&] { return store->List(received).size() == 1; }));
    EXPECT_EQ(store->List(received)[0].Text, "Zustellung bestätigt? ✓");
    // The SMS log has the sent line and the report's line as before.
    ASSERT_TRUE(WaitUntil([&] { return view.lines.size() >= 3; }));
    EXPECT_EQ(view.lines[0][0], '<');
    dm->GSM.Close();
}

// A current module in text mode keeps the report in SR and indicates it (+CDSI); read from there,
// it still finds the message it is about.
TEST_P(DataModuleStore, TextModeReportReadFromSRMarksTheMessageDelivered)
{
    std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=Generic\nUnsolicitedIndication=11\nSMSFormat=1\n";
    TModemSimulatorOptions generic;
    generic.equipment = "Generic";
    sim = std::make_unique<TModemSimulator>(generic);
    auto dm = Module(sim.get());
    dm->GSM.Open();
    TMessageContent content;
    content.Text = "report from SR";
    content.StatusReport = true;
    TMessageComposer composer;
    const TSendResult sent = dm->SendMessages(composer.Compose(sim->OwnNumber(), content, &dm->GSM), content);
    ASSERT_GT(sent.StoredId, 0) << sent.StoreError;
    auto store = OpenStore();
    ASSERT_TRUE(WaitUntil([&] {
        auto m = store->Message(sent.StoredId);
        return m && m->Status == TStoredStatus::ssDelivered;
    })) << StoredStatusName(store->Message(sent.StoredId)->Status);
    // The report was handled, and so it is gone from the module like the message.
    EXPECT_TRUE(WaitUntil([&] { return sim->StoredMessages().empty(); }));
    dm->GSM.Close();
}

// The server back again, whatever ends the test.
struct TServerBack {
    test::TPostgresServer *server;
    ~TServerBack()
    {
        if (server && !server->Running())
            server->Start();
    }
};

TEST_P(DataModuleStore, UnwritableStoreKeepsMessagesUntilTheNextStorageRead)
{
    sim->StoreMessage("SM", 0, kDeliverHello);
    sim->StoreMessage("SM", 0, kConcat1);
    auto dm = Module(sim.get());
    // The file: a directory is no store. The server: it is down.
    TServerBack back{PostgreSQL() ? &test::TPostgresServer::Shared() : nullptr};
    if (back.server)
        back.server->Stop();
    else
        dm->StoreName = dir.string();
    std::vector<std::string> errors;
    dm->OnError = [&](const std::string &m) { errors.push_back(m); };
    dm->GSM.Open();
    EXPECT_EQ(sim->StoredMessages().size(), 2u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The message store cannot be written", 0), 0u) << errors[0];
    EXPECT_TRUE(view.lines.empty()); // not logged either: it comes again whole
    // A routed message, which the handset acknowledged to the network itself (service 0), goes
    // to the spool beside the logs and is handled as if recorded.
    sim->DeliverPdu(kConcat2);
    ASSERT_TRUE(WaitUntil([&] { return !view.lines.empty(); }));
    EXPECT_EQ(view.lines[0].rfind(">", 0), 0u) << view.lines[0];
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_TRUE(dm->HasKept());
    dm->GSM.Close();

    if (back.server)
        back.server->Start();
    dm->StoreName = location;
    dm->GSM.Open();
    EXPECT_TRUE(sim->StoredMessages().empty());
    EXPECT_EQ(errors.size(), 1u) << errors.back();
    auto store = OpenStore();
    const auto messages = store->List({});
    // The spooled second part and the first part from the handset make the payload whole in the
    // store (the first part, listed and so marked read in the first run, is logged as a read one).
    ASSERT_EQ(messages.size(), 2u);
    const auto hello = std::find_if(messages.begin(), messages.end(),
                                    [](const auto &m) { return m.Text == "Hello deliver"; });
    ASSERT_NE(hello, messages.end());
    const auto &joined = messages[hello == messages.begin() ? 1 : 0];
    EXPECT_EQ(joined.Status, TStoredStatus::ssReceived) << StoredStatusName(joined.Status);
    EXPECT_EQ(joined.PartsPresent, 2);
    EXPECT_EQ(joined.Text.rfind("abcdefghijklmnopqrstuvwxyz", 0), 0u) << joined.Text;
    EXPECT_FALSE(dm->HasKept());
    dm->GSM.Close();
}

// Makes the store unavailable for as long as it lives: the server stopped, or a directory where
// the file should be.
struct TStoreDown {
    TStoreDown(bool postgresql, TGSMDataModule &dm, const std::string &directory)
        : back{postgresql ? &test::TPostgresServer::Shared() : nullptr}
    {
        if (back.server)
            back.server->Stop();
        else
            dm.StoreName = directory;
    }
    TServerBack back;
};

// A message that the engine read (the handset marks it read) while the store was away, and the
// process ended before the store came back: the next start records it, and deletes the handset's
// copy then. On a handset whose plain listing shows unread messages only; what the user composed
// on the handset stays there.
TEST_P(DataModuleStore, AMessageReadWhileTheStoreWasAwayIsRecordedAtTheNextStart)
{
    std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=S25\nSCA=+491710760000\nUnsolicitedIndication=9\n";
    TModemSimulatorOptions o;
    o.equipment = "S25";
    sim = std::make_unique<TModemSimulator>(o);
    const char *const draft = "01000C91442143658709000005E8329BFD06"; // "hello", stored unsent
    sim->StoreMessage("SM", 2, draft);
    {
        auto dm = Module(sim.get());
        TStoreDown down(PostgreSQL(), *dm, dir.string());
        std::vector<std::string> errors;
        dm->OnError = [&](const std::string &m) { errors.push_back(m); };
        dm->GSM.Open();
        sim->DeliverPdu(kDeliverHello);
        ASSERT_TRUE(WaitUntil([&] {
            const auto s = sim->StoredMessages();
            return s.size() == 2 && s[1].status == 1;
        }));
        ASSERT_TRUE(WaitUntil([&] { return errors.size() == 1; }));
        const auto stored = sim->StoredMessages();
        ASSERT_EQ(stored.size(), 2u);
        EXPECT_EQ(stored[1].status, 1); // read, as reading it left it
        EXPECT_TRUE(view.lines.empty());
        dm->GSM.Close();
    } // the process ends; the store comes back
    auto dm = Module(sim.get());
    dm->GSM.Open();
    const auto stored = sim->StoredMessages();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].status, 2);
    const auto messages = OpenStore()->List({});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Hello deliver");
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].rfind(">", 0), 0u) << view.lines[0];
    dm->GSM.Close();
}

// A read message that the store has was logged when it first came: a handset that keeps its
// messages (nothing deleted) lists it at every start, and the log has it once.
TEST_P(DataModuleStore, AReadMessageTheStoreHasIsNotLoggedAgain)
{
    sim->StoreMessage("SM", 0, kDeliverHello);
    for (int start = 0; start < 2; ++start) {
        auto dm = Module(sim.get());
        dm->DeleteHandled = false;
        dm->GSM.Open();
        dm->GSM.Close();
    }
    ASSERT_EQ(sim->StoredMessages().size(), 1u);
    const std::string log = rig::ReadFile((dir / "sms.log").string());
    EXPECT_EQ(std::count(log.begin(), log.end(), '>'), 1) << log;
    EXPECT_EQ(OpenStore()->List({}).size(), 1u);
}

// Routed messages while the store is away: in service 0 the handset acknowledged them to the
// network already, in service 1 (the M35) the host must acknowledge each, or the handset stops
// routing (TS 27.005 3.4.4). Each is kept in the spool, acknowledged and logged, and recorded
// once the store is back: none is lost.
TEST_P(DataModuleStore, RoutedMessagesTheStoreCannotTakeAreKeptInBothServices)
{
    for (const std::string equipment : {"M20", "M35"}) {
        SCOPED_TRACE(equipment);
        view.lines.clear();
        location = NewLocation();
        std::ofstream(dir / "gsm.ini", std::ios::trunc)
            << "[Modem]\nDevice=" << equipment << "\nSCA=+491710760000\nUnsolicitedIndication=1\n";
        TModemSimulatorOptions o;
        o.equipment = equipment;
        sim = std::make_unique<TModemSimulator>(o);
        const std::vector<std::string> texts = {"first", "second", "third"};
        {
            auto dm = Module(sim.get());
            TStoreDown down(PostgreSQL(), *dm, dir.string());
            dm->OnError = [](const std::string &) {};
            dm->GSM.Open();
            for (const std::string &text : texts)
                sim->DeliverText("+441234567890", text);
            ASSERT_TRUE(WaitUntil([&] { return view.lines.size() >= texts.size(); }));
            if (equipment == "M35") {
                ASSERT_TRUE(WaitUntil([&] { return sim->PendingAcknowledgements() == 0; }, 3000)) << [&] {
                    std::string s;
                    for (const auto &l : sim->Transcript())
                        s += l + "\n";
                    return s;
                }();
                const auto commands = sim->ReceivedCommands();
                EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CNMA"), 3);
            }
            EXPECT_TRUE(dm->HasKept());
            dm->GSM.Close();
        }
        auto dm = Module(sim.get());
        dm->GSM.Open();
        EXPECT_FALSE(dm->HasKept());
        std::vector<std::string> recorded;
        for (const auto &m : OpenStore()->List({}))
            recorded.push_back(m.Text);
        EXPECT_EQ(recorded, texts);
        EXPECT_EQ(view.lines.size(), texts.size()) << "logged again";
        dm->GSM.Close();
    }
}

// Service 1 (the M35): a routed message that neither the store nor the spool can take stays
// unacknowledged, and the handset stops routing (TS 27.005 3.4.4); the network delivers that
// message again later, into the storage. The engine notices, asks for the indications again and
// the storage is read: that message and the later ones are recorded without a new login, each
// once.
TEST_P(DataModuleStore, RoutingSwitchedOffByAMissedAcknowledgementIsRestored)
{
    std::ofstream(dir / "gsm.ini", std::ios::trunc)
        << "[Modem]\nDevice=M35\nSCA=+491710760000\nUnsolicitedIndication=1\n";
    TModemSimulatorOptions o;
    o.equipment = "M35";
    o.ackTimeoutMs = 300;
    o.redeliveryMs = 300;
    sim = std::make_unique<TModemSimulator>(o);
    auto dm = Module(sim.get());
    dm->GSM.SetRoutingCheck(200);
    std::vector<std::string> errors;
    dm->OnError = [&](const std::string &m) { errors.push_back(m); };
    dm->GSM.Open();
    ASSERT_EQ(dm->GSM.MessageService(), 1);
    const auto notKept = [&] {
        return std::any_of(errors.begin(), errors.end(), [](const std::string &e) {
            return e.find("A routed message could not be kept") != std::string::npos;
        });
    };
    {
        // The store away (the file: a directory in its place) and the spool a directory too.
        if (!PostgreSQL())
            dm->CloseStore();
        TStoreDown down(PostgreSQL(), *dm, dir.string());
        std::filesystem::create_directory(dir / "received.spool");
        sim->DeliverText("+441234567890", "first");
        ASSERT_TRUE(WaitUntil(notKept)) << (errors.empty() ? "" : errors.back());
        std::filesystem::remove(dir / "received.spool");
        dm->StoreName = location;
    }
    // The handset gave up waiting for the acknowledgement: it routes no more.
    ASSERT_TRUE(WaitUntil([&] { return sim->PendingAcknowledgements() == 0; }));
    sim->DeliverText("+441234567890", "second");
    sim->DeliverText("+441234567890", "third");
    auto store = OpenStore();
    const auto recorded = [&] {
        std::vector<std::string> texts;
        for (const auto &m : store->List({}))
            texts.push_back(m.Text);
        std::sort(texts.begin(), texts.end());
        return texts;
    };
    const std::vector<std::string> all = {"first", "second", "third"};
    EXPECT_TRUE(WaitUntil([&] { return recorded() == all && sim->StoredMessages().empty(); }, 30000))
        << recorded().size() << " recorded, " << sim->StoredMessages().size() << " on the handset";
    const auto commands = sim->ReceivedCommands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CSMS?"), 1) << "a new login";
    EXPECT_GE(
        std::count_if(commands.begin(), commands.end(),
                      [](const std::string &c) { return c.rfind("AT+CNMI=", 0) == 0 && c != "AT+CNMI=?"; }),
        2);
    dm->GSM.Close();
}

TEST_P(DataModuleStore, StackGetsBackWhatTheLastRunLeftIncomplete)
{
    {
        auto first = Module(sim.get());
        first->GSM.Open();
        sim->DeliverPdu(kConcat1);
        ASSERT_TRUE(WaitUntil([&] { return first->ProtocolStack->Count() == 1; }));
    } // gone without handing the payload on
    view.lines.clear();
    auto second = Module(sim.get());
    second->GSM.Open();
    EXPECT_EQ(second->ProtocolStack->Count(), 1);
    EXPECT_TRUE(view.lines.empty()); // filling the stack writes no log lines
    sim->DeliverPdu(kConcat2);
    ASSERT_TRUE(WaitUntil([&] { return view.lines.size() >= 3; }));
    EXPECT_EQ(view.lines[1], "*ref:BD, #2/2, , addr:0000 complete EMS");
    EXPECT_EQ(view.lines[2].rfind("*text: abcdefghijklmnopqrstuvwxyz", 0), 0u);
    EXPECT_EQ(second->ProtocolStack->Count(), 0);
    second->GSM.Close();
}

TEST_P(DataModuleStore, StackGetsPayloadsBackWithTheirAge)
{
    // A payload gets the stack's five minutes from its first segment, restart or not; older ones
    // stay in the store, where a late segment still joins them.
    struct TCase {
        double minutesAgo;
        bool inStack;
    };
    for (const TCase c : {TCase{1, true}, TCase{4.5, true}, TCase{6, false}, TCase{600, false}}) {
        SCOPED_TRACE(c.minutesAgo);
        location = NewLocation();
        const TDateTime arrival = NowUTC() - c.minutesAgo / 1440;
        {
            auto store = OpenStore();
            auto sms = CreateSMSFromPDU(nullptr, std::string("00") + kConcat1, true);
            store->RecordReceived(std::string("00") + kConcat1, false, sms.get(), arrival, 3);
        }
        auto dm = Module(nullptr);
        ASSERT_NE(dm->Store(), nullptr);
        ASSERT_EQ(dm->ProtocolStack->Count(), c.inStack ? 1 : 0);
        if (c.inStack) {
            const auto entries = dm->ProtocolStack->Entries();
            EXPECT_NEAR(entries[0].second->Timestamp(), arrival, 1.0 / 86400);
        }
    }
}

TEST_P(DataModuleStore, TextModeMessagesAreStoredAsTheirPDUWouldBe)
{
    std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=M20\nSMSFormat=1\nUnsolicitedIndication=1\n";
    auto dm = Module(sim.get());
    dm->GSM.Open();
    sim->DeliverText("+4917123", "Gr\xFC\xDF"
                                 "e @ 5 \x80"); // the model's 8-bit text: Latin-1, euro at 0x80
    ASSERT_TRUE(WaitUntil([&] { return !view.lines.empty(); }));
    auto store = OpenStore();
    const auto messages = store->List({});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Text, "Grüße @ 5 €");
    EXPECT_EQ(messages[0].Peer, "+4917123");
    const auto m = store->Message(messages[0].Id);
    ASSERT_EQ(m->Segments.size(), 1u);
    EXPECT_TRUE(m->Segments[0].TextMode);
    EXPECT_EQ(m->Segments[0].PDU.rfind("+CMT: \"+4917123\"", 0), 0u) << m->Segments[0].PDU;
    dm->GSM.Close();
}

// A handset whose PDUs carry no service-centre field: its segments are stored with an empty one
// in front, once, so that the store still joins them into their payload.
TEST_P(DataModuleStore, SegmentsFromAHandsetWithoutServiceCentreFieldAreJoined)
{
    std::ofstream(dir / "gsm.ini") << "[Modem]\nDevice=M1\nSCA=+491710760000\n";
    TModemSimulatorOptions options;
    options.equipment = "M1";
    sim = std::make_unique<TModemSimulator>(options);
    sim->StoreMessage("SM", 0, kConcat1);
    sim->StoreMessage("SM", 0, kConcat2);
    auto dm = Module(sim.get());
    dm->GSM.Open();
    ASSERT_FALSE(dm->GSM.SCAInPDU());
    ASSERT_TRUE(WaitUntil([&] { return sim->StoredMessages().empty(); }));
    auto store = OpenStore();
    const auto messages = store->List({});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Status, TStoredStatus::ssReceived) << StoredStatusName(messages[0].Status);
    EXPECT_EQ(messages[0].Parts, 2);
    EXPECT_EQ(messages[0].PartsPresent, 2);
    EXPECT_EQ(messages[0].Text.rfind("abcdefghijklmnopqrstuvwxyz", 0), 0u) << messages[0].Text;
    const auto m = store->Message(messages[0].Id);
    ASSERT_EQ(m->Segments.size(), 2u);
    EXPECT_EQ(m->Segments[0].PDU, std::string("00") + kConcat1);
    dm->GSM.Close();
}

INSTANTIATE_TEST_SUITE_P(Backends, DataModuleStore, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace
