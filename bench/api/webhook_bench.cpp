// Webhook latency as users see it: a "kestrel api --webhook" process delivering to a receiver in
// this program, while received messages are recorded into the store (an SQLite file, and a local
// PostgreSQL server started here, fsync on) one every --gap milliseconds. For each message the
// time from the return of its record (its commit) to the receiver's reading of its request.
// Prints one line per store:
//   webhook_latency backend=... messages=N p50_ms=... p99_ms=... max_ms=...
//
//   webhook_bench [--kestrel PATH] [--messages N] [--gap MS] [--backends sqlite,postgresql]
#include "connect/connection.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/simnetwork.h"
#include "pgserver.h"
#include "store/messagestore.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// An SMS-DELIVER from From with Text, as the network hands it to a handset.
std::unique_ptr<TSMS2> deliver(const std::string &from, const std::string &text, std::string &pdu)
{
    TSMSSubmit submit;
    submit.DCS = 0;
    submit.UserData = TextToGSM(text);
    submit.GSM = SimBareContext();
    pdu = "00" + StrToHex(SimDeliverFromSubmit(submit.Encode(), from, NowUTC()));
    return CreateSMSFromPDU(nullptr, pdu, true);
}

void run(const std::string &backend, const std::string &location, const QString &kestrel, int messages,
         int gapMs)
{
    // The receiver: every request's arrival by the message it names.
    std::mutex mutex;
    std::map<int64_t, Clock::time_point> arrived, committed;
    QTcpServer receiver;
    receiver.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&receiver, &QTcpServer::newConnection, &receiver, [&] {
        while (QTcpSocket *socket = receiver.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket, buffer] {
                *buffer += socket->readAll();
                const qsizetype head = buffer->indexOf("\r\n\r\n");
                if (head < 0)
                    return;
                const qsizetype at = buffer->toLower().indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0
                           : buffer->mid(at + 15, buffer->indexOf('\r', at) - at - 15).trimmed().toLongLong();
                if (buffer->size() < head + 4 + length)
                    return;
                const auto now = Clock::now();
                const int64_t message =
                    QJsonDocument::fromJson(buffer->mid(head + 4, length)).object()["messageId"].toInteger();
                {
                    std::lock_guard lock(mutex);
                    arrived.emplace(message, now);
                }
                socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
            });
        }
    });
    QProcess api;
    api.start(kestrel, {"api", "--store", QString::fromStdString(location), "--webhook",
                        QString("http://127.0.0.1:%1/hook,events=received").arg(receiver.serverPort())});
    bool ready = false;
    while (!ready && api.waitForReadyRead(60000))
        while (api.canReadLine())
            ready = ready || api.readLine().contains("\"webhooks\"");
    if (!ready) {
        std::fprintf(stderr, "kestrel api did not start: %s\n", api.readAllStandardError().constData());
        return;
    }
    std::thread writer([&] {
        auto store = TMessageStore::Open(location);
        for (int i = 0; i < messages; ++i) {
            std::string pdu;
            auto sms = deliver("+49170" + std::to_string(2000000 + i), "order " + std::to_string(i), pdu);
            const int64_t id = store->RecordReceived(pdu, false, sms.get(), NowUTC(), -1, "bench").MessageId;
            {
                std::lock_guard lock(mutex);
                committed.emplace(id, Clock::now());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
    });
    const auto end = Clock::now() + std::chrono::seconds(60 + messages * gapMs / 1000);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::lock_guard lock(mutex);
        if (static_cast<int>(arrived.size()) >= messages || Clock::now() > end)
            break;
    }
    writer.join();
    api.terminate();
    api.waitForFinished(10000);
    std::vector<double> latencies;
    for (const auto &[id, at] : committed)
        if (const auto it = arrived.find(id); it != arrived.end())
            latencies.push_back(ms(it->second - at));
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies.empty()
                   ? -1.0
                   : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
    };
    std::printf("webhook_latency backend=%s messages=%zu of %d p50_ms=%.1f p99_ms=%.1f max_ms=%.1f\n",
                backend.c_str(), latencies.size(), messages, pct(0.5), pct(0.99),
                latencies.empty() ? -1.0 : latencies.back());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString kestrel = KESTREL_PROGRAM;
    int messages = 200, gap = 50;
    QStringList backends{"sqlite", "postgresql"};
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--kestrel")
            kestrel = args[i + 1];
        else if (args[i] == "--messages")
            messages = args[i + 1].toInt();
        else if (args[i] == "--gap")
            gap = args[i + 1].toInt();
        else if (args[i] == "--backends")
            backends = args[i + 1].split(',');
    }
    QTemporaryDir dir;
    for (const QString &backend : backends) {
        if (backend == "postgresql") {
            test::TPostgresServer server(true);
            run("postgresql", server.Url(server.CreateDatabase("webhooks")), kestrel, messages, gap);
        } else {
            run("sqlite", dir.filePath("webhooks.sqlite").toStdString(), kestrel, messages, gap);
        }
    }
    return 0;
}
