// Gateways as users run them (kestrel gateway processes) against virtual handsets and a real
// store (an SQLite file, and a database on a real PostgreSQL server): the queue is sent exactly
// once across processes, as the handsets' own lists of sent messages say; a gateway killed mid-run
// leaves its claims to the others after the lease; +CMS ERROR is retried; a lost handset's
// messages go through another; received messages are recorded with their modem; every kind that
// "kestrel send --queue" takes is sent as composed.
#include "cli/session/clisessiontest.h"
#include "pgserver.h"
#include "storefixture.h"

#include "base/datetime.h"
#include "base/format.h"
#include "connect/connection.h"
#include "gsm/atparser.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <QImage>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace kestrel {
namespace {

std::string newLocation(const std::string &backend, const QTemporaryDir &dir)
{
    return test::NewStoreLocation(backend, dir, "gateway");
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    return test::PollUntil(pred, timeoutMs, 200);
}

class Gateway : public ::testing::TestWithParam<std::string> {
protected:
    QTemporaryDir dir;
    std::string location;
    std::vector<std::unique_ptr<TModemSimulator>> sims;
    std::vector<std::string> equipments; // of each simulator

    void SetUp() override
    {
        location = newLocation(GetParam(), dir);
        std::ofstream(Config().toStdString()) << "[Modem.Files]\nGSMLog=<none>\nSMSLog=<none>\n";
    }
    QString Config() const { return dir.filePath("gsm.ini"); }
    std::unique_ptr<TMessageStore> Store() const { return TMessageStore::Open(location); }

    TModemSimulator &AddSim(const std::string &equipment = "M20", const std::string &pin = {})
    {
        TModemSimulatorOptions options;
        options.equipment = equipment;
        options.pin = pin;
        options.ownNumber = "+4917100000" + std::to_string(10 + sims.size());
        sims.push_back(std::make_unique<TModemSimulator>(options));
        equipments.push_back(equipment);
        return *sims.back();
    }
    // "--modem DEVICE,name=simN" for the simulators From..To-1.
    QStringList Modems(size_t from, size_t to) const
    {
        QStringList args;
        for (size_t i = from; i < to; ++i)
            args << "--modem"
                 << QString("%1,equipment=%2,name=sim%3")
                        .arg(QString::fromStdString(sims[i]->DevicePath()))
                        .arg(QString::fromStdString(equipments[i]))
                        .arg(i);
        return args;
    }
    QStringList GatewayArgs(const QStringList &modems, const QStringList &more = {}) const
    {
        return QStringList{"gateway",
                           "--config",
                           Config(),
                           "--store",
                           QString::fromStdString(location),
                           "--poll",
                           "100",
                           "--lease",
                           "5",
                           "--backoff",
                           "1",
                           "--reopen",
                           "1",
                           "--rec-timeout",
                           "1500",
                           "--indications",
                           "deliver,only-indication"} +
               modems + more;
    }

    // Queues Count texts to numbers of their own; their ids.
    std::vector<int64_t> Enqueue(int count, const std::string &via = {})
    {
        auto store = Store();
        std::vector<int64_t> ids;
        for (int i = 0; i < count; ++i) {
            TMessageComposer composer;
            TMessageContent c;
            c.Kind = TMessageKind::mkText;
            c.Text = QString("message %1").arg(i);
            const std::string to = "+4915" + std::to_string(100000000 + m_numbers++);
            const auto submits = composer.Compose(to, c);
            TOutgoing out;
            out.Peer = to;
            out.Text = c.Text.toStdString();
            for (const auto &s : submits)
                out.Segments.push_back(s.get());
            ids.push_back(store->Enqueue(out, NowUTC(), via));
        }
        return ids;
    }
    // Messages in the store with the status.
    size_t Count(TStoredStatus status) const
    {
        TMessageFilter filter;
        filter.Status = status;
        return Store()->List(filter).size();
    }
    // How often each destination was sent, over all handsets.
    std::map<std::string, int> SentTo() const
    {
        std::map<std::string, int> sent;
        for (const auto &sim : sims)
            for (const auto &m : sim->SentMessages())
                ++sent[m.destination];
        return sent;
    }
    // A terminal number held open by the test.
    struct TReservedDevice {
        explicit TReservedDevice(int descriptor) : fd(descriptor) {}
        TReservedDevice(const TReservedDevice &) = delete;
        TReservedDevice &operator=(const TReservedDevice &) = delete;
        ~TReservedDevice()
        {
            if (fd >= 0)
                ::close(fd);
        }
        const int fd;
    };
    // The handset vanishes. Its terminal number stays taken while the result lives: otherwise a
    // pseudo-terminal of another program (tests run side by side) may get it, and the gateway's
    // reopen would send through that one.
    TReservedDevice HangUp(size_t i) const
    {
        const int fd = ::open(sims[i]->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0) << sims[i]->DevicePath();
        sims[i]->HangUp();
        return TReservedDevice{fd};
    }
    // Runs statements on the store's database beside the programs under test, as its
    // administrator would.
    void Sql(const QStringList &statements) const
    {
        const QString name = "direct";
        {
            QSqlDatabase db;
            if (GetParam() == "postgresql") {
                const test::TPostgresServer &server = test::TPostgresServer::Shared();
                db = QSqlDatabase::addDatabase("QPSQL", name);
                db.setHostName(QString::fromStdString(server.Host()));
                db.setPort(server.Port());
                db.setUserName(QString::fromStdString(server.User()));
                db.setPassword(QString::fromStdString(server.Password()));
                db.setDatabaseName(QString::fromStdString(location.substr(location.rfind('/') + 1)));
            } else {
                db = QSqlDatabase::addDatabase("QSQLITE", name);
                db.setDatabaseName(QString::fromStdString(location));
            }
            ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
            for (const QString &statement : statements) {
                QSqlQuery query(db);
                EXPECT_TRUE(query.exec(statement))
                    << statement.toStdString() << ": " << query.lastError().text().toStdString();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    // The store refuses to record a segment as sent while the fault is armed (SetSegmentFault):
    // a store that fails for that one statement and answers every other.
    void InstallSegmentFault() const
    {
        Store(); // the schema
        QStringList sql = {"CREATE TABLE fault (armed INTEGER NOT NULL)", "INSERT INTO fault VALUES (0)"};
        if (GetParam() == "postgresql")
            sql << "CREATE FUNCTION fault_raise() RETURNS trigger AS $$ BEGIN IF (SELECT armed FROM fault) = "
                   "1 "
                   "THEN RAISE EXCEPTION 'injected fault'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql"
                << "CREATE TRIGGER fault_segment BEFORE UPDATE OF mr ON segments FOR EACH ROW "
                   "EXECUTE FUNCTION fault_raise()";
        else
            sql << "CREATE TRIGGER fault_segment BEFORE UPDATE OF mr ON segments "
                   "WHEN (SELECT armed FROM fault) = 1 BEGIN SELECT RAISE(ABORT, 'injected fault'); END";
        Sql(sql);
    }
    void SetSegmentFault(bool armed) const
    {
        Sql({QString("UPDATE fault SET armed = %1").arg(armed ? 1 : 0)});
    }
    static int Duplicates(const std::map<std::string, int> &sent)
    {
        int duplicates = 0;
        for (const auto &[to, n] : sent)
            duplicates += n - 1;
        return duplicates;
    }

private:
    int m_numbers = 0;
};

// Two gateway processes of two handsets each share one queue: every message exactly once.
TEST_P(Gateway, TwoGatewaysSendEachMessageExactlyOnce)
{
    for (int i = 0; i < 4; ++i)
        AddSim();
    constexpr int kMessages = 200;
    Enqueue(kMessages);
    TRunningKestrel first(GatewayArgs(Modems(0, 2)));
    TRunningKestrel second(GatewayArgs(Modems(2, 4)));
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == kMessages; }, 240000))
        << Count(TStoredStatus::ssSent) << " sent";
    const TRun a = first.Stop(), b = second.Stop();
    EXPECT_EQ(a.status, 0) << a.err.toStdString();
    EXPECT_EQ(b.status, 0) << b.err.toStdString();
    const auto sent = SentTo();
    EXPECT_EQ(sent.size(), static_cast<size_t>(kMessages));
    EXPECT_EQ(Duplicates(sent), 0);
    // Every handset took part, and the store says which one sent what.
    std::map<std::string, int> byModem;
    TMessageFilter all;
    for (const auto &m : Store()->List(all))
        ++byModem[m.Modem];
    EXPECT_EQ(byModem.size(), 4u);
    for (size_t i = 0; i < sims.size(); ++i)
        EXPECT_EQ(byModem["sim" + std::to_string(i)], static_cast<int>(sims[i]->SentMessages().size()));
    EXPECT_EQ(Events(a, "sent").size() + Events(b, "sent").size(), static_cast<size_t>(kMessages));
    // What a gateway remembers of the segments it sent is only what still waits for its record:
    // nothing once a message is recorded, however many went before.
    for (const TRun *run : {&a, &b})
        for (const QJsonObject &sentEvent : Events(*run, "sent"))
            ASSERT_EQ(sentEvent["unrecorded"].toInt(-1), 0)
                << QJsonDocument(sentEvent).toJson().toStdString();
}

// A gateway killed mid-run: what it had claimed is sent by the other once the lease ran out.
TEST_P(Gateway, KilledGatewaysClaimsAreTakenOverAfterTheLease)
{
    AddSim();
    AddSim();
    constexpr int kMessages = 30;
    Enqueue(kMessages);
    auto victim = std::make_unique<TRunningKestrel>(GatewayArgs(Modems(0, 1)));
    ASSERT_TRUE(victim->WaitForEvent("sent"));
    victim->Kill();
    victim.reset();
    TRunningKestrel survivor(GatewayArgs(Modems(1, 2)));
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == kMessages; }, 120000))
        << Count(TStoredStatus::ssSent) << " sent";
    survivor.Stop();
    const auto sent = SentTo();
    EXPECT_EQ(sent.size(), static_cast<size_t>(kMessages));
    // A kill between the handset's answer and the store's commit may repeat one message.
    EXPECT_LE(Duplicates(sent), 1);
    EXPECT_GT(sims[1]->SentMessages().size(), 0u);
}

// +CMS ERROR: the message waits its back-off and is sent on the next attempt, the error kept.
TEST_P(Gateway, CMSErrorIsRetried)
{
    TModemSimulator &sim = AddSim();
    // Armed for the send itself: the open dialogue, storage reads and health checks go on.
    sim.FailCommand("AT+CMGS", "+CMS ERROR: 38");
    const int64_t id = Enqueue(1).front();
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
    EXPECT_TRUE(gateway.WaitForEvent("retry"));
    EXPECT_TRUE(gateway.WaitForEvent("sent"));
    const TRun run = gateway.Stop();
    auto m = Store()->Message(id);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Status, TStoredStatus::ssSent);
    EXPECT_NE(m->Error.find("38"), std::string::npos) << m->Error;
    EXPECT_EQ(Store()->QueueAttempts(id), 2);
    EXPECT_EQ(sim.SentMessages().size(), 1u);
}

// A message that fails every attempt ends failed with its error.
TEST_P(Gateway, MessageFailsAfterItsLastAttempt)
{
    TModemSimulator &sim = AddSim();
    // Only a modem of that label may send it; this gateway's modem has another.
    const int64_t id = Enqueue(1, "nobody").front();
    sim.FailCommand("AT+CMGS", "+CMS ERROR: 500");
    const int64_t refused = Enqueue(1).front();
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1), {"--attempts", "1"}));
    EXPECT_TRUE(gateway.WaitForEvent("failed", 30000));
    // The gateway looked at the queue with both in it and left the other modem's alone.
    EXPECT_EQ(Store()->Message(id)->Status, TStoredStatus::ssQueued);
    const TRun run = gateway.Stop();
    auto m = Store()->Message(refused);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Status, TStoredStatus::ssFailed);
    EXPECT_NE(m->Error.find("+CMS ERROR: 500"), std::string::npos) << m->Error;
    EXPECT_TRUE(sim.SentMessages().empty());
}

// A handset that answers a send after longer than the lease: the claim is kept alive during the
// send, so the other gateway, looking at the queue all the while, never sends it too.
TEST_P(Gateway, SendSlowerThanTheLeaseIsSentOnce)
{
    for (int i = 0; i < 2; ++i)
        AddSim().DelayAnswer("AT+CMGS", 4000);
    const QStringList slow = {"--lease", "1", "--rec-timeout", "8000"};
    TRunningKestrel first(GatewayArgs(Modems(0, 1), slow));
    TRunningKestrel second(GatewayArgs(Modems(1, 2), slow));
    for (const auto &sim : sims)
        ASSERT_TRUE(waitUntil([&] { return sim->WaitForCommand("AT+CNMI", 100); }, 20000));
    const int64_t id = Enqueue(1).front();
    ASSERT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 1; }, 60000));
    first.Stop();
    second.Stop();
    EXPECT_EQ(SentTo().size(), 1u);
    EXPECT_EQ(Duplicates(SentTo()), 0) << "sent by both gateways";
    EXPECT_EQ(Store()->QueueAttempts(id), 1);
}

// A send that times out after the handset took the message may have gone out: it is not sent
// again by itself. An answer that comes late records it as sent; without one the message is
// uncertain until a user asks for it again.
TEST_P(Gateway, SendWithoutAnAnswerIsNotRetried)
{
    TModemSimulator &sim = AddSim();
    // Late: the answer comes after the reply time-out of 1.5 s.
    sim.DelayAnswer("AT+CMGS", 3000);
    const int64_t late = Enqueue(1).front();
    {
        TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
        EXPECT_TRUE(gateway.WaitForEvent("uncertain"));
        EXPECT_TRUE(gateway.WaitForEvent("late-answer"));
        ASSERT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 1; }, 20000));
        const TRun run = gateway.Stop();
        EXPECT_TRUE(Events(run, "retry").empty());
    }
    EXPECT_EQ(sim.SentMessages().size(), 1u);
    const auto m = Store()->Message(late);
    EXPECT_EQ(m->Segments[0].MR, sim.SentMessages()[0].reference);

    // Never: uncertain, and not sent again by this or the next gateway.
    sim.DelayAnswer("AT+CMGS", 600000);
    const int64_t lost = Enqueue(1).front();
    {
        TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
        EXPECT_TRUE(gateway.WaitForEvent("uncertain"));
        gateway.Stop();
    }
    EXPECT_EQ(Store()->Message(lost)->Status, TStoredStatus::ssUncertain);
    EXPECT_NE(Store()->Message(lost)->Error.find("No reply"), std::string::npos);
    EXPECT_EQ(sim.SentMessages().size(), 2u);
    TRunningKestrel retry(
        {"messages", "--store", QString::fromStdString(location), "retry", QString::number(lost)});
    const TRun asked = retry.Wait(30000);
    EXPECT_EQ(asked.status, 0) << asked.err.toStdString();
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
    EXPECT_TRUE(gateway.WaitForEvent("sent"));
    gateway.Stop();
    EXPECT_EQ(Store()->Message(lost)->Status, TStoredStatus::ssSent);
    EXPECT_EQ(sim.SentMessages().size(), 3u);
}

// The events go to the system journal: they name messages by id, peer and kind; their texts
// only when asked for.
TEST_P(Gateway, EventsCarryMessageTextsOnlyWhenAsked)
{
    for (const bool withText : {false, true}) {
        SCOPED_TRACE(withText ? "--events-with-text" : "without texts");
        const size_t n = sims.size();
        TModemSimulator &sim = AddSim();
        const int64_t id = Enqueue(1).front();
        TRunningKestrel gateway(
            GatewayArgs(Modems(n, n + 1), withText ? QStringList{"--events-with-text"} : QStringList{}));
        ASSERT_TRUE(waitUntil([&] { return sim.WaitForCommand("AT+CNMI", 100); }, 20000));
        sim.DeliverText("+4917012345", "the secret word is plover");
        EXPECT_TRUE(gateway.WaitForEvent("message"));
        EXPECT_TRUE(gateway.WaitForEvent("sent"));
        const TRun run = gateway.Stop();
        const std::string sentText = Store()->Message(id)->Text;
        EXPECT_EQ(run.out.contains("plover"), withText) << run.out.toStdString();
        EXPECT_EQ(run.out.contains(QString::fromStdString(sentText)), withText) << run.out.toStdString();
        const auto sent = Events(run, "sent");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0]["id"].toInteger(), id);
        EXPECT_EQ(sent[0]["kind"].toString(), "text");
        EXPECT_FALSE(sent[0]["to"].toString().isEmpty());
    }
}

// A handset that vanishes: its messages go through the other, the gateway says so.
TEST_P(Gateway, LostHandsetsMessagesAreSentByAnother)
{
    AddSim();
    AddSim();
    constexpr int kMessages = 40;
    Enqueue(kMessages);
    TRunningKestrel gateway(GatewayArgs(Modems(0, 2)));
    ASSERT_TRUE(waitUntil([&] { return sims[0]->SentMessages().size() >= 3; }, 60000));
    const TReservedDevice reserved = HangUp(0);
    EXPECT_TRUE(gateway.WaitFor([](const QJsonObject &j) {
        return j["event"].toString() == "modem-lost" && j["modem"].toString() == "sim0";
    }));
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == kMessages; }, 120000))
        << Count(TStoredStatus::ssSent) << " sent";
    gateway.Stop();
    const auto sent = SentTo();
    EXPECT_EQ(sent.size(), static_cast<size_t>(kMessages));
    // The handset may vanish between taking a segment and answering for it.
    EXPECT_LE(Duplicates(sent), 1);
}

// A modem lost while the segment it sent could not be recorded gives its claim back only once the
// segment is recorded: the gateway that starts next finds the message sent and never sends it
// again.
TEST_P(Gateway, LostModemGivesItsClaimsBackOnlyAfterRecordingWhatItSent)
{
    InstallSegmentFault();
    AddSim();
    AddSim();
    SetSegmentFault(true);
    const int64_t id = Enqueue(1).front();
    // No reopening and no retry of the store within the test: only the loss records the segment.
    TRunningKestrel first(GatewayArgs(Modems(0, 1), {"--reopen", "600"}));
    ASSERT_TRUE(first.WaitForEvent("store-lost", 30000));
    ASSERT_EQ(sims[0]->SentMessages().size(), 1u);
    SetSegmentFault(false);
    const TReservedDevice reserved = HangUp(0);
    ASSERT_TRUE(first.WaitForEvent("modem-lost", 30000));
    TRunningKestrel second(GatewayArgs(Modems(1, 2)));
    // The next message shows that the second gateway looked at the queue.
    const int64_t next = Enqueue(1).front();
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 2; }, 60000))
        << Count(TStoredStatus::ssSent) << " sent";
    second.Stop();
    first.Stop();
    EXPECT_EQ(Duplicates(SentTo()), 0) << "the first message was sent again";
    ASSERT_EQ(sims[1]->SentMessages().size(), 1u);
    EXPECT_NE(sims[1]->SentMessages()[0].destination, sims[0]->SentMessages()[0].destination);
    EXPECT_EQ(Store()->Message(next)->Status, TStoredStatus::ssSent);
    const auto m = Store()->Message(id);
    EXPECT_EQ(m->Status, TStoredStatus::ssSent);
    EXPECT_EQ(m->Segments[0].MR, sims[0]->SentMessages()[0].reference);
}

// Messages arriving at each handset are recorded with their modem (and removed from the handset),
// with the indications asked for and with those a gateway asks for when none are given.
TEST_P(Gateway, ReceivedMessagesAreRecordedWithTheirModem)
{
    for (const bool given : {true, false}) {
        SCOPED_TRACE(given ? "--indications given" : "no indications given");
        // Handsets of their own (a handset keeps the indications the last program set), and
        // current modules, which keep what arrives to themselves unless asked.
        const size_t first = sims.size();
        AddSim(given ? "M20" : "Generic");
        AddSim(given ? "M20" : "Generic");
        QStringList args = GatewayArgs(Modems(first, first + 2));
        if (!given)
            args.remove(args.indexOf("--indications"), 2);
        TRunningKestrel gateway(args);
        // Messages and status reports kept by the modem and indicated, unless told otherwise.
        const std::string cnmi = given ? "AT+CNMI" : "AT+CNMI=2,1,0,2,1";
        for (size_t i = first; i < sims.size(); ++i)
            ASSERT_TRUE(waitUntil([&] { return sims[i]->WaitForCommand(cnmi, 100); }, 20000)) << cnmi;
        const QString tag = given ? "given" : "default";
        sims[first]->DeliverText("+4917012345", ("to the first, " + tag).toStdString());
        sims[first + 1]->DeliverText("+4917054321", ("to the second, " + tag).toStdString());
        EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssReceived) == sims.size(); }, 30000));
        const TRun run = gateway.Stop();
        std::map<std::string, std::string> modemOf;
        TMessageFilter received;
        received.Status = TStoredStatus::ssReceived;
        for (const auto &m : Store()->List(received))
            modemOf[m.Text] = m.Modem;
        EXPECT_EQ(modemOf[("to the first, " + tag).toStdString()], Format("sim%zu", first));
        EXPECT_EQ(modemOf[("to the second, " + tag).toStdString()], Format("sim%zu", first + 1));
        EXPECT_TRUE(waitUntil(
            [&] {
                return sims[first]->StoredMessages().empty() && sims[first + 1]->StoredMessages().empty();
            },
            5000));
    }
    // The modem key of "kestrel messages list".
    TRunningKestrel list(
        {"messages", "--store", QString::fromStdString(location), "list", "--status", "received"});
    const TRun listed = list.Wait(30000);
    std::set<QString> modems;
    for (const auto &json : listed.json)
        modems.insert(json["modem"].toString());
    EXPECT_EQ(modems, (std::set<QString>{"sim0", "sim1", "sim2", "sim3"}));
}

// On PostgreSQL a message queued by another program wakes an idle gateway at once, long before
// its next look at the queue.
TEST_P(Gateway, QueuedMessageWakesAnIdleGateway)
{
    if (std::string(GetParam()) != "postgresql")
        GTEST_SKIP() << "no notifications: the gateway looks at the queue every --poll ms";
    AddSim();
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1), {"--poll", "60000"}));
    // The modem writes its state once it is open and then every few seconds; the first look at
    // the empty queue comes with the opening, so it is over by the second write. The next look
    // would come in a minute.
    const auto written = [&] {
        for (const TModemState &state : Store()->ModemStates())
            if (state.Label == "sim0" && state.Up)
                return state.UpdatedMs;
        return int64_t{0};
    };
    int64_t first = 0;
    ASSERT_TRUE(waitUntil([&] { return (first = written()) != 0; }, 20000));
    ASSERT_TRUE(waitUntil([&] { return written() > first; }, 20000));
    Enqueue(1);
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 1; }, 15000));
    gateway.Stop();
}

// "kestrel send --queue" of every kind: queued without a handset, sent as composed.
TEST_P(Gateway, SendQueueOfEveryKind)
{
    QImage picture(72, 28, QImage::Format_RGB32);
    picture.fill(0xFFFFFFFF);
    picture.setPixel(1, 1, 0xFF000000);
    const QString png = dir.filePath("p.png");
    ASSERT_TRUE(picture.save(png));
    const QString melody = dir.filePath("m.txt");
    std::ofstream(melody.toStdString()) << "Tune:d=4,o=5,b=63:c,8d\n";
    const QList<QStringList> kinds = {
        {"--text", "hello"},
        {"--ucs2", "hello"},
        {"--vcard", "Novak", "--phone", "+420602123456"},
        {"--picture", png, "--text", "caption"},
        {"--logo", png, "--operator", "23001"},
        {"--cli", png},
        {"--ringtone", melody},
        {"--ems-picture", png, "--size", "small"},
        {"--ems-animation", png, "--size", "small"},
        {"--ems-melody", melody},
    };
    std::vector<int64_t> ids;
    for (const QStringList &kind : kinds) {
        SCOPED_TRACE(kind.join(' ').toStdString());
        TRunningKestrel send(QStringList{"send", "--queue", "--config", Config(), "--store",
                                         QString::fromStdString(location), "--to", "+491710000099"} +
                             kind);
        const TRun run = send.Wait(30000);
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        ASSERT_EQ(run.json.size(), 1u) << run.out.toStdString();
        ASSERT_TRUE(run.json[0].contains("queued")) << run.out.toStdString();
        ids.push_back(static_cast<int64_t>(run.json[0]["queued"].toInteger()));
    }
    {
        TRunningKestrel bad({"send", "--config", Config(), "--store", QString::fromStdString(location),
                             "--to", "+491710000099", "--via", "sim0", "--text", "x"});
        EXPECT_EQ(bad.Wait(30000).status, 2) << "--via without --queue";
    }
    EXPECT_EQ(Count(TStoredStatus::ssQueued), ids.size());
    TModemSimulator &sim = AddSim();
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == ids.size(); }, 120000));
    const TRun run = gateway.Stop();
    // The answers to the gateway's own commands (the open dialogue, the sends) are no events.
    for (const QJsonObject &event : run.json)
        EXPECT_NE(event["event"].toString(), "line") << event["text"].toString().toStdString();
    // Each segment went out as it was composed and stored (the handset's copy has no
    // service-centre field), in the order queued.
    std::vector<std::string> stored;
    auto store = Store();
    for (int64_t id : ids) {
        const auto m = store->Message(id);
        for (const auto &segment : m->Segments)
            stored.push_back(segment.PDU.substr(2));
    }
    std::vector<std::string> taken;
    for (const auto &m : sim.SentMessages())
        // The handset puts its own reference into TP-MR (the second octet).
        taken.push_back(m.tpdu.substr(0, 2) + "00" + m.tpdu.substr(4));
    ASSERT_EQ(taken.size(), stored.size());
    for (size_t i = 0; i < stored.size(); ++i)
        EXPECT_EQ(UpperASCII(taken[i]), UpperASCII(stored[i])) << "segment " << i;
}

// A PostgreSQL restart: sending pauses and a message that arrives meanwhile stays on the handset;
// once the server is back the queue goes on and the message is recorded, then deleted.
TEST_P(Gateway, SurvivesAPostgreSQLRestart)
{
    if (GetParam() != "postgresql")
        GTEST_SKIP() << "a server restart";
    // A server of its own: the other tests' server stays up whatever happens here.
    test::TPostgresServer server;
    location = server.Url(server.CreateDatabase("restart"));
    TModemSimulator &sim = AddSim();
    Enqueue(2);
    TRunningKestrel gateway(GatewayArgs(Modems(0, 1)));
    ASSERT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 2; }, 30000));
    server.Stop();
    EXPECT_TRUE(gateway.WaitForEvent("store-lost"));
    sim.DeliverText("+4917012345", "while the store was away");
    ASSERT_TRUE(sim.WaitForCommand("AT+CMGR", 10000)) << "the gateway read the arrival";
    // Its handling is over once the gateway asks the handset anything else (a health check): a
    // delete would have come before.
    sim.ClearTranscript();
    ASSERT_TRUE(sim.WaitForCommand("AT", 20000));
    EXPECT_EQ(sim.StoredMessages().size(), 1u) << "deleted while the store was away";
    server.Start();
    EXPECT_TRUE(gateway.WaitForEvent("store-back"));
    Enqueue(3);
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 5; }, 30000))
        << Count(TStoredStatus::ssSent) << " sent";
    EXPECT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssReceived) == 1; }, 30000));
    EXPECT_TRUE(waitUntil([&] { return sim.StoredMessages().empty(); }, 10000));
    const TRun run = gateway.Stop();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(sim.SentMessages().size(), 5u);
}

// The process ids of Pid's descendants, from /proc.
std::vector<int> descendants(int pid)
{
    std::multimap<int, int> children; // by parent
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')'); // the command name may hold blanks and brackets
        if (close == std::string::npos)
            continue;
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        int parent = 0;
        fields >> state >> parent;
        children.emplace(parent, std::stoi(name));
    }
    std::vector<int> out;
    std::vector<int> open{pid};
    while (!open.empty()) {
        const int p = open.back();
        open.pop_back();
        for (auto [it, end] = children.equal_range(p); it != end; ++it) {
            out.push_back(it->second);
            open.push_back(it->second);
        }
    }
    return out;
}

std::string readProcFile(int pid, const char *file)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The SIM PIN, the store's password and a webhook's secret reach the modem processes and the HTTP API process
// of a gateway without showing in the process list: no argument list of the gateway or of its processes holds
// them, nor what those keep of their environment, while the modems log in with the PIN and the queue goes out
// through the store.
TEST_P(Gateway, SecretsAreInNoProcessList)
{
    const std::string pin = "975318";
    const std::string secret = "whsec_0e1d2c";
    std::string password;
    if (GetParam() == "postgresql") {
        password = test::TPostgresServer::Shared().Password();
        ASSERT_NE(location.find(":" + password + "@"), std::string::npos) << "the URL carries the password";
    }
    for (int i = 0; i < 2; ++i)
        AddSim("M20", pin);
    QStringList modems = Modems(0, 2);
    modems[1] += QString::fromStdString(",pin=" + pin);
    modems[3] += QString::fromStdString(",pin=" + pin);
    TRunningKestrel gateway(GatewayArgs(
        modems, {"--http", "127.0.0.1:0", "--webhook",
                 QString::fromStdString("http://127.0.0.1:9/hook,secret=" + secret + ",events=received")}));
    Enqueue(2);
    ASSERT_TRUE(waitUntil([&] { return Count(TStoredStatus::ssSent) == 2; }, 60000))
        << "the modems logged in with the PIN and sent from the store";
    const std::vector<int> processes = descendants(static_cast<int>(gateway.Pid()));
    EXPECT_EQ(processes.size(), 3u) << "one process per modem, one of the HTTP API";
    std::vector<int> all = processes;
    all.push_back(static_cast<int>(gateway.Pid()));
    for (const int pid : all) {
        SCOPED_TRACE(pid);
        std::string cmdline = readProcFile(pid, "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        EXPECT_NE(cmdline.find("kestrel"), std::string::npos) << cmdline;
        EXPECT_EQ(cmdline.find(pin), std::string::npos) << cmdline;
        EXPECT_EQ(cmdline.find(secret), std::string::npos) << cmdline;
        // The arguments of a modem process or the API's never held a secret, not even for the
        // moment before a process masks its own (the gateway's own are the user's).
        if (pid != static_cast<int>(gateway.Pid())) {
            EXPECT_EQ(cmdline.find("**"), std::string::npos) << cmdline;
        }
        if (!password.empty()) {
            EXPECT_EQ(cmdline.find(password), std::string::npos) << cmdline;
        }
        const std::string environment = readProcFile(pid, "environ");
        EXPECT_EQ(environment.find(pin), std::string::npos);
        EXPECT_EQ(environment.find(secret), std::string::npos);
        if (!password.empty()) {
            EXPECT_EQ(environment.find(password), std::string::npos);
        }
    }
    const TRun run = gateway.Stop();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_FALSE(run.out.contains(QString::fromStdString(pin)));
    EXPECT_FALSE(run.err.contains(QString::fromStdString(pin)));
    for (const auto &sim : sims)
        EXPECT_EQ(sim->SimState(), "READY");
}

INSTANTIATE_TEST_SUITE_P(Backends, Gateway, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

} // namespace
} // namespace kestrel
