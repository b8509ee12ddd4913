// The gateway as users run it: "kestrel gateway" processes sending a queue through virtual
// handsets on pseudo-terminals, against an SQLite file and a local PostgreSQL server (started
// here in a scratch folder, fsync on). Two parts:
//
// Rate. For each store, K handsets (--handsets, default 1,2,4,8) in one gateway process and,
// for K >= 2, split over two; --messages per handset (default 20) are queued before the
// gateways start. Prints one line per run:
//   messages_per_s     messages sent per second from the K-th "sent" event to the last (so the
//                      modems' opening is not counted)
//   scaling            messages_per_s / (K x the one-handset rate of the same store)
//   store_overhead_ms  mean time a message spent in the store (claim, lease renewals, segment
//                      records), as each gateway measures it around its store calls
//
// Chaos (--chaos N, default 300, 0 skips; 1,000 for the full run). N queued messages (every
// fifth a text of two segments) over four handsets and two gateway processes on PostgreSQL,
// while faults take turns every --fault-interval seconds: SIGKILL of a whole gateway (its
// process group) and its restart, a handset restart, a handset that vanishes and comes back on
// the same device name, a PostgreSQL restart. Then
//   lost        messages not sent, or a segment that no handset ever took (must be 0)
//   duplicates  segments taken more than once over all handsets (at most one per gateway kill,
//               although a kill takes two modem processes, each in the middle of its sending)
//   kills (of gateways), modem_processes_killed, statuses (every message ends sent or
//   delivered), wall_s
//
//   gateway_bench [--kestrel PATH] [--messages N] [--handsets 1,2,4,8] [--backends sqlite,postgresql]
//                 [--chaos N] [--fault-interval S] [--chaos-timeout S] [--faults kill,restart,vanish,store]
//                 [--no-flush] [--equipment NAME]
// --equipment: the handsets' type (default M20), e.g. Generic for a current modem's pace.
// --no-flush measures the store without the disk's flush: SQLite files in /dev/shm, PostgreSQL
// without fsync (the gateway's commits still ask for it; the disk is what differs).
// Exit status 1 when the chaos run lost a message, left one unsent or took more duplicates
// than gateways were killed.
#include "connect/connection.h"
#include "gsm/sms.h"
#include "modemsim/modemsimulator.h"
#include "pgserver.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kestrel;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs the event loop for Ms (the gateways' output is read meanwhile).
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()> &pred, double seconds)
{
    const auto t0 = Clock::now();
    while (!pred()) {
        if (secondsSince(t0) > seconds)
            return false;
        spin(100);
    }
    return true;
}

// A "kestrel gateway" process in a process group of its own, so that a kill takes its modem
// processes with it, as a crash of the machine's service would.
class TGatewayProcess {
public:
    TGatewayProcess(const QString &program, const QStringList &args) : m_program(program), m_args(args)
    {
        Start();
    }
    ~TGatewayProcess()
    {
        if (m_process && m_process->state() != QProcess::NotRunning)
            Kill();
    }
    TGatewayProcess(const TGatewayProcess &) = delete;
    TGatewayProcess &operator=(const TGatewayProcess &) = delete;

    void Start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProgram(m_program);
        m_process->setArguments(m_args);
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->setChildProcessModifier([] { setsid(); });
        QProcess *p = m_process.get();
        QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this, p] {
            while (p->canReadLine())
                line(p->readLine());
        });
        m_process->start();
        m_process->waitForStarted();
    }
    // SIGKILL to the whole group: the gateway and its modem processes die at once.
    void Kill()
    {
        const qint64 pid = m_process->processId();
        if (pid > 0)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        m_process->waitForFinished(10000);
        m_process.reset();
    }
    // SIGTERM: claims go back, modems close.
    int Stop()
    {
        m_process->terminate();
        if (!m_process->waitForFinished(60000)) {
            Kill();
            return -1;
        }
        while (m_process->canReadLine())
            line(m_process->readLine());
        return m_process->exitCode();
    }

    struct TSent {
        Clock::time_point At;
        double StoreMs;
    };
    std::vector<TSent> Sent;
    std::map<std::string, int> Events;

private:
    void line(const QByteArray &text)
    {
        const QJsonObject json = QJsonDocument::fromJson(text).object();
        const std::string event = json["event"].toString().toStdString();
        if (event.empty())
            return;
        ++Events[event];
        if (event == "sent")
            Sent.push_back({Clock::now(), json["store_ms"].toDouble()});
    }

    QString m_program;
    QStringList m_args;
    std::unique_ptr<QProcess> m_process;
};

// Handsets on stable device names (symbolic links), so that one that vanished can come back under
// the same name; every handset that ever stood behind a name is kept for its list of sent messages.
// The handsets' type (--equipment): M20 unless told otherwise.
std::string g_equipment = "M20";

class THandsets {
public:
    THandsets(const QTemporaryDir &dir, int count) : m_dir(dir)
    {
        for (int i = 0; i < count; ++i)
            m_slots.emplace_back().push_back(make(i));
    }
    int Count() const { return static_cast<int>(m_slots.size()); }
    std::string Link(int i) const { return m_dir.filePath(QString("handset%1").arg(i)).toStdString(); }
    TModemSimulator &Current(int i) { return *m_slots[i].back(); }
    void Vanish(int i) { Current(i).HangUp(); }
    void ComeBack(int i) { m_slots[i].push_back(make(i)); }
    // Every segment any handset took, as it went to the network with the handset's reference
    // cleared (the same segment sent twice is then the same text).
    std::map<std::string, int> SentSegments() const
    {
        std::map<std::string, int> sent;
        for (const auto &generations : m_slots)
            for (const auto &sim : generations)
                for (const auto &m : sim->SentMessages())
                    ++sent[m.tpdu.substr(0, 2) + "00" + m.tpdu.substr(4)];
        return sent;
    }
    bool AllListening()
    {
        for (int i = 0; i < Count(); ++i)
            if (!Current(i).WaitForCommand("AT+CNMI", 0))
                return false;
        return true;
    }

private:
    std::unique_ptr<TModemSimulator> make(int i)
    {
        TModemSimulatorOptions options;
        options.equipment = g_equipment;
        options.ownNumber = "+4917100001" + std::to_string(10 + i);
        options.linkPath = Link(i);
        return std::make_unique<TModemSimulator>(options);
    }
    const QTemporaryDir &m_dir;
    std::vector<std::vector<std::unique_ptr<TModemSimulator>>> m_slots;
};

struct TBench {
    QString Kestrel;
    QTemporaryDir Dir;
    std::unique_ptr<QTemporaryDir> MemoryDir; // --no-flush: SQLite files where a flush costs nothing
    bool Flush = true;
    std::unique_ptr<test::TPostgresServer> Postgres;
    int Databases = 0;

    std::string NewStore(const std::string &backend)
    {
        const std::string name = "gateway" + std::to_string(++Databases);
        if (backend == "postgresql") {
            if (!Postgres)
                Postgres = std::make_unique<test::TPostgresServer>(Flush);
            return Postgres->Url(Postgres->CreateDatabase(name));
        }
        if (!Flush) {
            if (!MemoryDir)
                MemoryDir = std::make_unique<QTemporaryDir>("/dev/shm/gateway_bench-XXXXXX");
            return MemoryDir->filePath(QString::fromStdString(name + ".sqlite")).toStdString();
        }
        return Dir.filePath(QString::fromStdString(name + ".sqlite")).toStdString();
    }
    QString Config()
    {
        const QString path = Dir.filePath("gsm.ini");
        std::ofstream(path.toStdString()) << "[Modem.Files]\nGSMLog=<none>\nSMSLog=<none>\n";
        return path;
    }
    QStringList GatewayArgs(const std::string &store, THandsets &handsets, int from, int to)
    {
        QStringList args{"gateway",
                         "--config",
                         Config(),
                         "--store",
                         QString::fromStdString(store),
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
                         "deliver,only-indication"};
        for (int i = from; i < to; ++i)
            args << "--modem"
                 << QString("%1,equipment=%2,name=handset%3")
                        .arg(QString::fromStdString(handsets.Link(i)), QString::fromStdString(g_equipment))
                        .arg(i);
        return args;
    }
};

// Queues Count messages to numbers of their own; every LongEvery-th (0: none) is a text of two
// segments.
void enqueue(TMessageStore &store, int count, int longEvery, int &serial)
{
    TMessageComposer composer;
    for (int i = 0; i < count; ++i, ++serial) {
        TMessageContent c;
        c.Kind = TMessageKind::mkText;
        c.Text = QString("message %1").arg(serial);
        if (longEvery > 0 && serial % longEvery == 0)
            c.Text = c.Text.leftJustified(200, '.');
        const std::string to = "+4915" + std::to_string(200000000 + serial);
        const auto submits = composer.Compose(to, c);
        TOutgoing out;
        out.Peer = to;
        out.Text = c.Text.toStdString();
        for (const auto &s : submits)
            out.Segments.push_back(s.get());
        store.Enqueue(out, NowUTC());
    }
}

struct TRate {
    double PerSecond = 0;
    double StoreMs = 0;
    int Sent = 0;
    int Duplicates = 0;
};

TRate rateRun(TBench &bench, const std::string &backend, int handsetCount, int processes, int perHandset)
{
    const std::string store = bench.NewStore(backend);
    const int total = perHandset * handsetCount;
    int serial = 0;
    enqueue(*TMessageStore::Open(store), total, 0, serial);
    THandsets handsets(bench.Dir, handsetCount);
    std::vector<std::unique_ptr<TGatewayProcess>> gateways;
    const int split = processes == 2 ? handsetCount / 2 : handsetCount;
    gateways.push_back(
        std::make_unique<TGatewayProcess>(bench.Kestrel, bench.GatewayArgs(store, handsets, 0, split)));
    if (split < handsetCount)
        gateways.push_back(std::make_unique<TGatewayProcess>(
            bench.Kestrel, bench.GatewayArgs(store, handsets, split, handsetCount)));
    auto sentCount = [&] {
        size_t n = 0;
        for (const auto &g : gateways)
            n += g->Sent.size();
        return static_cast<int>(n);
    };
    if (!waitUntil([&] { return sentCount() >= total; }, 60.0 + total))
        std::fprintf(stderr, "only %d of %d messages sent\n", sentCount(), total);
    for (auto &g : gateways)
        g->Stop();
    std::vector<TGatewayProcess::TSent> sent;
    for (const auto &g : gateways)
        sent.insert(sent.end(), g->Sent.begin(), g->Sent.end());
    std::sort(sent.begin(), sent.end(), [](const auto &a, const auto &b) { return a.At < b.At; });
    TRate rate;
    rate.Sent = static_cast<int>(sent.size());
    if (rate.Sent > handsetCount) {
        const double span =
            std::chrono::duration<double>(sent.back().At - sent[static_cast<size_t>(handsetCount) - 1].At)
                .count();
        rate.PerSecond = span > 0 ? (rate.Sent - handsetCount) / span : 0;
    }
    for (const auto &s : sent)
        rate.StoreMs += s.StoreMs;
    rate.StoreMs = sent.empty() ? 0 : rate.StoreMs / static_cast<double>(sent.size());
    for (const auto &[segment, n] : handsets.SentSegments())
        rate.Duplicates += n - 1;
    return rate;
}

struct TChaos {
    int Messages = 0;
    int Lost = 0;
    int Duplicates = 0;
    int Kills = 0;
    int ModemKills = 0; // modem processes that died with their gateway
    int HandsetRestarts = 0;
    int Vanished = 0;
    int StoreRestarts = 0;
    std::map<std::string, int> Statuses;
    double WallSeconds = 0;
};

// Statuses of every message, or nothing while the store cannot be read.
std::optional<std::map<std::string, int>> statuses(const std::string &location)
{
    try {
        std::map<std::string, int> counts;
        for (const auto &m : TMessageStore::Open(location)->List(TMessageFilter{}))
            ++counts[StoredStatusName(m.Status)];
        return counts;
    } catch (const EStoreError &) {
        return std::nullopt;
    }
}

int finished(const std::map<std::string, int> &counts)
{
    const auto count = [&](const char *s) { return counts.count(s) ? counts.at(s) : 0; };
    return count("sent") + count("delivered");
}

TChaos chaosRun(TBench &bench, int messages, double interval, double timeout, const QStringList &faults)
{
    TChaos chaos;
    chaos.Messages = messages;
    const std::string store = bench.NewStore("postgresql");
    int serial = 0;
    enqueue(*TMessageStore::Open(store), messages, 5, serial);
    THandsets handsets(bench.Dir, 4);
    TGatewayProcess first(bench.Kestrel, bench.GatewayArgs(store, handsets, 0, 2));
    TGatewayProcess second(bench.Kestrel, bench.GatewayArgs(store, handsets, 2, 4));
    TGatewayProcess *gateways[] = {&first, &second};
    const auto t0 = Clock::now();
    int fault = 0;
    auto last = Clock::now();
    std::map<std::string, int> counts;
    for (;;) {
        spin(250);
        if (const auto now = statuses(store)) {
            counts = *now;
            if (finished(counts) >= messages)
                break;
        }
        if (secondsSince(t0) > timeout) {
            std::fprintf(stderr, "chaos: not finished after %.0f s\n", timeout);
            break;
        }
        if (secondsSince(last) < interval)
            continue;
        last = Clock::now();
        // The faults take turns; each ends before the next begins, except that the handset that
        // vanished stays away for a while.
        static const char *const names[] = {"kill", "restart", "vanish", "kill", "store"};
        if (!faults.contains(names[fault % 5])) {
            ++fault;
            last -= std::chrono::milliseconds(static_cast<int>(interval * 1000));
            continue;
        }
        switch (fault++ % 5) {
        case 0:
        case 3: {
            TGatewayProcess &victim = *gateways[(fault / 4) % 2];
            victim.Kill();
            ++chaos.Kills;
            chaos.ModemKills += 2;
            std::fprintf(stderr, "chaos %.1f s: gateway killed\n", secondsSince(t0));
            spin(1000);
            victim.Start();
            break;
        }
        case 1:
            handsets.Current(fault % 4).Restart(3000, "");
            ++chaos.HandsetRestarts;
            std::fprintf(stderr, "chaos %.1f s: handset restarted\n", secondsSince(t0));
            break;
        case 2: {
            const int i = (fault + 1) % 4;
            handsets.Vanish(i);
            ++chaos.Vanished;
            std::fprintf(stderr, "chaos %.1f s: handset %d vanished\n", secondsSince(t0), i);
            spin(static_cast<int>(interval * 500));
            handsets.ComeBack(i);
            break;
        }
        case 4:
            bench.Postgres->Stop();
            ++chaos.StoreRestarts;
            std::fprintf(stderr, "chaos %.1f s: PostgreSQL stopped\n", secondsSince(t0));
            spin(3000);
            bench.Postgres->Start();
            break;
        }
    }
    chaos.WallSeconds = secondsSince(t0);
    first.Stop();
    second.Stop();
    if (const auto now = statuses(store))
        counts = *now;
    chaos.Statuses = counts;
    // Lost: a message not sent, or one of its segments that no handset took.
    const auto sent = handsets.SentSegments();
    const auto all = TMessageStore::Open(store);
    for (const auto &listed : all->List(TMessageFilter{})) {
        const auto m = all->Message(listed.Id);
        bool whole = m->Status == TStoredStatus::ssSent || m->Status == TStoredStatus::ssDelivered;
        for (const auto &segment : m->Segments)
            // Stored with the service-centre field "00" and TP-MR 0 as composed.
            whole = whole && sent.count(segment.PDU.substr(2, 2) + "00" + segment.PDU.substr(6)) > 0;
        chaos.Lost += whole ? 0 : 1;
    }
    for (const auto &[segment, n] : sent)
        chaos.Duplicates += n - 1;
    return chaos;
}

std::vector<int> intList(const QString &text)
{
    std::vector<int> list;
    for (const QString &part : text.split(',', Qt::SkipEmptyParts))
        list.push_back(part.toInt());
    return list;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    TBench bench;
    bench.Kestrel = KESTREL_PROGRAM;
    int perHandset = 20;
    std::vector<int> handsetCounts{1, 2, 4, 8};
    QStringList backends{"sqlite", "postgresql"};
    int chaosMessages = 300;
    double interval = 6;
    double chaosTimeout = 900;
    QStringList faults{"kill", "restart", "vanish", "store"};
    const QStringList args = app.arguments();
    QStringList pairs = args;
    if (pairs.removeAll("--no-flush") > 0)
        bench.Flush = false;
    for (int i = 1; i + 1 < pairs.size(); i += 2) {
        const QString &key = pairs[i], &value = pairs[i + 1];
        if (key == "--kestrel")
            bench.Kestrel = value;
        else if (key == "--messages")
            perHandset = value.toInt();
        else if (key == "--handsets")
            handsetCounts = intList(value);
        else if (key == "--backends")
            backends = value.split(',', Qt::SkipEmptyParts);
        else if (key == "--chaos")
            chaosMessages = value.toInt();
        else if (key == "--fault-interval")
            interval = value.toDouble();
        else if (key == "--chaos-timeout")
            chaosTimeout = value.toDouble();
        else if (key == "--faults")
            faults = value.split(',', Qt::SkipEmptyParts);
        else if (key == "--equipment")
            g_equipment = value.toStdString();
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(key));
            return 2;
        }
    }
    if (pairs.size() % 2 == 0) {
        std::fprintf(stderr, "option %s needs a value\n", qPrintable(pairs.back()));
        return 2;
    }
    for (const QString &backend : backends) {
        double single = 0;
        for (int k : handsetCounts) {
            for (int processes = 1; processes <= (k >= 2 ? 2 : 1); ++processes) {
                const TRate rate = rateRun(bench, backend.toStdString(), k, processes, perHandset);
                if (k == 1)
                    single = rate.PerSecond;
                std::printf(
                    "backend=%s handsets=%d processes=%d messages=%d messages_per_s=%.2f scaling=%.3f "
                    "store_overhead_ms=%.3f duplicates=%d\n",
                    qPrintable(backend), k, processes, rate.Sent, rate.PerSecond,
                    single > 0 ? rate.PerSecond / (k * single) : 0.0, rate.StoreMs, rate.Duplicates);
                std::fflush(stdout);
            }
        }
    }
    if (chaosMessages <= 0)
        return 0;
    if (!bench.Postgres)
        bench.NewStore("postgresql");
    const TChaos chaos = chaosRun(bench, chaosMessages, interval, chaosTimeout, faults);
    std::printf(
        "chaos messages=%d lost=%d duplicates=%d kills=%d modem_processes_killed=%d handset_restarts=%d "
        "vanished=%d store_restarts=%d wall_s=%.1f statuses=",
        chaos.Messages, chaos.Lost, chaos.Duplicates, chaos.Kills, chaos.ModemKills, chaos.HandsetRestarts,
        chaos.Vanished, chaos.StoreRestarts, chaos.WallSeconds);
    for (const auto &[status, n] : chaos.Statuses)
        std::printf("%s:%d,", status.c_str(), n);
    std::printf("\n");
    const bool ok =
        chaos.Lost == 0 && chaos.Duplicates <= chaos.Kills && finished(chaos.Statuses) == chaos.Messages;
    return ok ? 0 : 1;
}
