// Webhooks and delivery-report callbacks as users run them: kestrel gateway and kestrel api
// processes, the virtual handset, a real SQLite file and a database on the real PostgreSQL server,
// and a little HTTP receiver in this test on a loopback port that can be down, answer errors, or
// hold a request without answering.
#include "cli/session/clisessiontest.h"
#include "pgserver.h"
#include "store/storerig.h"
#include "storefixture.h"

#include "api/webhooks.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "modemsim/modemsimulator.h"
#include "store/messagestore.h"
#include "xsms/composer.h"

#include <QMessageAuthenticationCode>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace kestrel {
namespace {

struct TRequest {
    QByteArray Method, Target, Body;
    std::map<QByteArray, QByteArray> Headers; // names in lower case
    QJsonObject Json() const { return QJsonDocument::fromJson(Body).object(); }
};

// A receiver of webhooks on a loopback port, on a thread of its own (the test waits in blocking
// calls). Answer decides each request's status; 0 holds the request unanswered until Release().
class TReceiver {
public:
    TReceiver()
    {
        m_thread = std::thread([this] { run(); });
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_port != 0; });
    }
    ~TReceiver()
    {
        m_stop = true;
        m_thread.join();
    }
    quint16 Port() const { return m_port; }
    QString Url(const QString &path = "/hook") const
    {
        return QString("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }
    // Down: the port refuses connections; up: it listens again.
    void SetDown(bool down) { m_down = down; }
    void SetAnswer(std::function<int(const TRequest &)> answer)
    {
        std::lock_guard lock(m_mutex);
        m_answer = std::move(answer);
    }
    void Release() { m_release = true; }
    std::vector<TRequest> Requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    // Waits until Pred holds for the requests so far.
    bool WaitFor(const std::function<bool(const std::vector<TRequest> &)> &pred, int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return pred(m_requests); });
    }

private:
    void run()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        {
            std::lock_guard lock(m_mutex);
            m_port = server.serverPort();
        }
        m_changed.notify_all();
        while (!m_stop) {
            if (m_down != !server.isListening()) {
                if (m_down)
                    server.close();
                else
                    server.listen(QHostAddress::LocalHost, m_port);
            }
            // Accepting takes every connection waiting at once: those are served before waiting.
            if (!server.hasPendingConnections() &&
                (!server.isListening() || !server.waitForNewConnection(50))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(server.isListening() ? 0 : 20));
                continue;
            }
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            serve(*socket);
        }
    }
    void serve(QTcpSocket &socket)
    {
        QByteArray data;
        TRequest request;
        qsizetype length = -1, head = -1;
        while (!m_stop && (head < 0 || data.size() < head + 4 + length)) {
            if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState)
                return;
            data += socket.readAll();
            if (head < 0 && (head = data.indexOf("\r\n\r\n")) >= 0) {
                const QList<QByteArray> lines = data.left(head).split('\n');
                const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                request.Method = first.value(0);
                request.Target = first.value(1);
                length = 0;
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const qsizetype colon = lines[i].indexOf(':');
                    const QByteArray name = lines[i].left(colon).trimmed().toLower();
                    request.Headers[name] = lines[i].mid(colon + 1).trimmed();
                    if (name == "content-length")
                        length = request.Headers[name].toLongLong();
                }
            }
        }
        if (head < 0)
            return;
        request.Body = data.mid(head + 4, length);
        int status = 200;
        {
            std::lock_guard lock(m_mutex);
            if (m_answer)
                status = m_answer(request);
            m_requests.push_back(request);
        }
        m_changed.notify_all();
        // Held: unanswered until released, or until the sender goes away.
        while (status == 0 && !m_stop && !m_release && socket.state() == QAbstractSocket::ConnectedState)
            socket.waitForReadyRead(50);
        if (socket.state() != QAbstractSocket::ConnectedState)
            return; // the sender went away while its request was held
        if (status == 0)
            status = 200;
        // 204 has no body (a receiver that sent one would confuse the next answer on the line).
        const QByteArray body = status == 204 ? "" : "ok";
        socket.write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " +
                     QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket.flush();
        socket.waitForBytesWritten(1000);
        socket.disconnectFromHost();
    }

    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<TRequest> m_requests;
    std::function<int(const TRequest &)> m_answer;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false}, m_down{false}, m_release{false};
};

// Whether Request's signature holds under Secret: t=UNIX,v1=HEX with HEX = HMAC-SHA256 of
// "UNIX.BODY", as a receiver checks it.
bool signatureHolds(const TRequest &request, const QByteArray &secret)
{
    const auto it = request.Headers.find("x-kestrel-signature");
    if (it == request.Headers.end())
        return false;
    QByteArray t, v1;
    for (const QByteArray &part : it->second.split(',')) {
        if (part.startsWith("t="))
            t = part.mid(2);
        else if (part.startsWith("v1="))
            v1 = part.mid(3);
    }
    const QByteArray expected =
        QMessageAuthenticationCode::hash(t + "." + request.Body, secret, QCryptographicHash::Sha256).toHex();
    return !t.isEmpty() && v1 == expected;
}

// The first request for each event id, in the order they came.
std::vector<TRequest> firstOfEach(const std::vector<TRequest> &requests)
{
    std::vector<TRequest> out;
    std::set<qint64> seen;
    for (const TRequest &r : requests)
        if (seen.insert(r.Json()["id"].toInteger()).second)
            out.push_back(r);
    return out;
}

class Webhooks : public ::testing::TestWithParam<std::string> {
protected:
    QTemporaryDir dir;
    std::string location;
    TReceiver receiver;

    void SetUp() override
    {
        location = test::NewStoreLocation(GetParam(), dir, "hooks");
        std::ofstream(Config().toStdString()) << "[Modem.Files]\nGSMLog=<none>\nSMSLog=<none>\n";
        TMessageStore::Open(location); // created before the processes race to create it
    }
    QString Config() const { return dir.filePath("gsm.ini"); }
    QStringList StoreArgs() const
    {
        return {"--config", Config(), "--store", QString::fromStdString(location)};
    }
    std::unique_ptr<TMessageStore> Store() const { return TMessageStore::Open(location); }
    // An API node that delivers to the receiver (no HTTP of its own), once its receivers' cursors
    // are in place.
    std::unique_ptr<TRunningKestrel> Node(const QString &spec, const QStringList &more = {})
    {
        auto node =
            std::make_unique<TRunningKestrel>(QStringList{"api", "--webhook", spec} + StoreArgs() + more);
        EXPECT_TRUE(node->WaitForEvent("webhooks", 60000));
        return node;
    }
};

// A message that arrives at the handset reaches the webhook, signed, with its text; the signature
// holds under the right secret only. The secret is in no process list of the gateway.
TEST_P(Webhooks, AReceivedMessageArrivesSigned)
{
    TModemSimulatorOptions options;
    options.equipment = "M20";
    TModemSimulator sim(options);
    const QByteArray secret = "whsec_9f3b1c";
    TRunningKestrel gateway(QStringList{"gateway"} + StoreArgs() +
                            QStringList{"--modem",
                                        QString::fromStdString(sim.DevicePath()) + ",equipment=M20,name=left",
                                        "--poll", "100", "--rec-timeout", "1500", "--webhook",
                                        receiver.Url() + ",events=received,secret=" + secret});
    ASSERT_TRUE(gateway.WaitForEvent("webhooks", 60000));
    ASSERT_TRUE(sim.WaitForCommand("AT+CNMI", 60000));
    sim.DeliverText("+4917012345678", "Order 4711 has shipped");
    ASSERT_TRUE(receiver.WaitFor([](const auto &r) { return !r.empty(); }, 60000));
    const TRequest r = receiver.Requests().front();
    EXPECT_EQ(r.Method, "POST");
    EXPECT_EQ(r.Target, "/hook");
    EXPECT_EQ(r.Headers.at("content-type"), "application/json");
    const QJsonObject body = r.Json();
    EXPECT_EQ(body["type"].toString(), "received");
    EXPECT_EQ(body["text"].toString(), "Order 4711 has shipped");
    EXPECT_EQ(body["peer"].toString(), "+4917012345678");
    EXPECT_EQ(body["modem"].toString(), "left");
    EXPECT_EQ(body["kind"].toString(), "text");
    EXPECT_EQ(r.Headers.at("x-kestrel-event-id"), QByteArray::number(body["id"].toInteger()));
    const auto events = Store()->EventsAfter(0, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(body["id"].toInteger(), events[0].Id);
    EXPECT_EQ(body["messageId"].toInteger(), events[0].MessageId);
    EXPECT_EQ(Store()->Message(events[0].MessageId)->Text, "Order 4711 has shipped");
    // The receiver's check.
    EXPECT_TRUE(signatureHolds(r, secret));
    EXPECT_FALSE(signatureHolds(r, "whsec_9f3b1d"));
    TRequest forged = r;
    forged.Body.replace("4711", "4712");
    EXPECT_FALSE(signatureHolds(forged, secret));
    // Neither the gateway nor its API process shows the secret; nor does what they print.
    for (const qint64 pid : {gateway.Pid()}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(cmdline.find(secret.toStdString()), std::string::npos);
    }
    const TRun run = gateway.Stop();
    EXPECT_FALSE(run.out.contains(secret)) << run.out.toStdString();
    EXPECT_FALSE(run.err.contains(secret));
}

// Events of several messages while the receiver is down, then answers errors, then takes them:
// every event arrives, and those of one message in their order.
TEST_P(Webhooks, AReceiverThatIsDownGetsEverythingInOrderAfterwards)
{
    receiver.SetDown(true);
    auto node = Node(receiver.Url() + ",secret=s", {"--webhook-retry", "50"});
    auto store = Store();
    TMessageComposer composer;
    std::vector<int64_t> messages;
    for (int i = 0; i < 4; ++i) {
        TMessageContent c;
        c.Kind = TMessageKind::mkText;
        c.Text = QString("parcel %1").arg(i);
        const std::string to = "+491701000" + std::to_string(i);
        const auto submits = composer.Compose(to, c);
        TOutgoing out;
        out.Peer = to;
        out.Text = c.Text.toStdString();
        for (const auto &s : submits)
            out.Segments.push_back(s.get());
        messages.push_back(store->RecordOutgoing(out, NowUTC()));
        store->SegmentSent(messages.back(), 1, 10 + i, NowUTC());
    }
    for (int i = 0; i < 4; ++i) {
        const auto report =
            storetest::Report("+491701000" + std::to_string(i), 10 + i, i == 3 ? 0x41 : 0x00, NowUTC());
        store->RecordReceived(report.Raw, false, report.SMS.get(), NowUTC(), -1);
    }
    const auto events = store->EventsAfter(0, 100);
    ASSERT_EQ(events.size(), 8u);
    // Down: the deliveries wait with their errors, which kestrel webhooks list shows.
    auto listed = [&] {
        QProcess p;
        p.start(KESTREL_PROGRAM, QStringList{"webhooks"} + StoreArgs() + QStringList{"list", "--json"});
        return Finish(p);
    };
    ASSERT_TRUE(test::PollUntil(
        [&] {
            const TRun run = listed();
            return run.json.size() == 8 && run.json.front()["attempts"].toInt() >= 2;
        },
        60000, 100));
    const TRun run = listed();
    EXPECT_EQ(run.json.front()["status"].toString(), "pending");
    EXPECT_EQ(run.json.front()["lastError"].toString(), "ConnectionRefusedError");
    EXPECT_EQ(run.json.front()["receiver"].toString(), receiver.Url());
    EXPECT_TRUE(receiver.Requests().empty());
    // Up, but each event's first request is answered 503.
    std::set<qint64> refused;
    receiver.SetAnswer(
        [&](const TRequest &r) { return refused.insert(r.Json()["id"].toInteger()).second ? 503 : 200; });
    receiver.SetDown(false);
    ASSERT_TRUE(receiver.WaitFor(
        [&](const auto &requests) {
            std::set<qint64> taken;
            std::map<qint64, int> tries;
            for (const TRequest &r : requests)
                ++tries[r.Json()["id"].toInteger()];
            for (const auto &[id, n] : tries)
                if (n >= 2)
                    taken.insert(id);
            return taken.size() == events.size();
        },
        60000));
    // Per message, no event is sent before the one before it was taken (answered 2xx).
    std::map<qint64, qint64> lastTaken; // message -> event id taken last
    std::map<qint64, int> tries;
    for (const TRequest &r : receiver.Requests()) {
        const QJsonObject b = r.Json();
        const qint64 id = b["id"].toInteger(), message = b["messageId"].toInteger();
        EXPECT_TRUE(signatureHolds(r, "s"));
        for (const TStoredEvent &e : events)
            if (e.MessageId == message && e.Id < id) {
                EXPECT_EQ(lastTaken[message], e.Id)
                    << "event " << id << " came before " << e.Id << " was taken";
            }
        if (++tries[id] == 2)
            lastTaken[message] = id;
    }
    ASSERT_TRUE(test::PollUntil([&] { return store->Deliveries("delivered", 100).size() == events.size(); },
                                30000, 100));
    EXPECT_TRUE(store->Deliveries("", 100).empty());
    EXPECT_EQ(firstOfEach(receiver.Requests()).size(), events.size());
}

// A node killed while it holds delivery claims: another node delivers them once the lease ran out.
TEST_P(Webhooks, ANodeKilledWhileDeliveringLeavesItsDeliveriesToAnother)
{
    receiver.SetAnswer([](const TRequest &) { return 0; }); // hold every request
    auto first = Node(receiver.Url(),
                      {"--webhook-lease", "6000", "--webhook-timeout", "5000", "--webhook-retry", "50"});
    auto store = Store();
    const auto a = storetest::Deliver("+4917011111", 0, TextToGSM("first"), NowUTC());
    store->RecordReceived(a.Raw, false, a.SMS.get(), NowUTC(), -1);
    ASSERT_TRUE(receiver.WaitFor([](const auto &r) { return r.size() == 1; }, 60000));
    const qint64 event = receiver.Requests().front().Json()["id"].toInteger();
    first->Kill(); // in the middle of the request
    receiver.SetAnswer([](const TRequest &) { return 200; });
    receiver.Release();
    auto second = Node(receiver.Url(), {"--webhook-lease", "6000", "--webhook-timeout", "5000"});
    ASSERT_TRUE(receiver.WaitFor([](const auto &r) { return r.size() == 2; }, 60000));
    EXPECT_EQ(receiver.Requests()[1].Json()["id"].toInteger(), event);
    ASSERT_TRUE(test::PollUntil([&] { return store->Deliveries("delivered", 10).size() == 1; }, 30000, 100));
    EXPECT_EQ(store->Deliveries("delivered", 10).front().Attempts, 2);
}

// The compatibility route's dlr-url: called through the same outbox with %d and %p put in, for
// the report kinds its dlr-mask asks for; other schemes are refused.
TEST_P(Webhooks, DeliveryReportUrlIsCalledWithItsSubstitutions)
{
    auto api = std::make_unique<TRunningKestrel>(QStringList{"api", "--http", "127.0.0.1:0"} + StoreArgs());
    quint16 port = 0;
    ASSERT_TRUE(api->WaitFor(
        [&](const QJsonObject &j) {
            port = static_cast<quint16>(j["port"].toInt());
            return j["event"].toString() == "listening";
        },
        60000));
    QProcess tokens;
    tokens.start(KESTREL_PROGRAM, QStringList{"tokens"} + StoreArgs() + QStringList{"add", "legacy"});
    const TRun made = Finish(tokens);
    ASSERT_FALSE(made.json.empty());
    const QByteArray token = made.json.front()["token"].toString().toUtf8();
    auto call = [&](const QByteArray &query) {
        QTcpSocket s;
        s.connectToHost("127.0.0.1", port);
        EXPECT_TRUE(s.waitForConnected(5000));
        s.write("GET /cgi-bin/sendsms?username=legacy&password=" + token + "&" + query +
                " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (!answer.contains("\r\n\r\n") && s.waitForReadyRead(10000))
            answer += s.readAll();
        return answer.mid(9, 3).toInt();
    };
    const QByteArray dlr = QUrl::toPercentEncoding(receiver.Url("/dlr") + "?status=%d&to=%p&id=77");
    EXPECT_EQ(call("to=%2B4917011111&text=a&dlr-mask=3&dlr-url=" + dlr), 202);
    EXPECT_EQ(call("to=%2B4917022222&text=b&dlr-url=" + dlr), 202);            // default mask: final states
    EXPECT_EQ(call("to=%2B4917033333&text=c&dlr-mask=8&dlr-url=" + dlr), 202); // accepted only
    for (const char *refused : {"dlr-url=ftp%3A%2F%2Fx%2Fy", "dlr-url=%2Frelative", "dlr-url=", "dlr-mask=3",
                                "dlr-mask=x&dlr-url=http%3A%2F%2Fh%2F"})
        EXPECT_EQ(call(QByteArray("to=%2B4917044444&text=d&") + refused), 400) << refused;

    // A gateway's part, done on the store: each is sent; the first two are reported delivered
    // and not delivered.
    auto store = Store();
    std::map<std::string, int64_t> ids;
    for (int i = 0; i < 3; ++i) {
        auto m = store->ClaimQueued("gw/left", "left", 60000);
        ASSERT_TRUE(m);
        ids[m->Peer] = m->Id;
        store->SegmentSent(m->Id, 1, 20 + i, NowUTC());
        if (i < 2) {
            const auto report = storetest::Report(m->Peer, 20 + i, i == 0 ? 0x00 : 0x41, NowUTC());
            store->RecordReceived(report.Raw, false, report.SMS.get(), NowUTC(), -1, "left");
        }
    }
    ASSERT_TRUE(receiver.WaitFor([](const auto &r) { return r.size() == 3; }, 60000));
    std::set<QByteArray> targets;
    for (const TRequest &r : receiver.Requests()) {
        EXPECT_EQ(r.Method, "GET");
        targets.insert(r.Target);
    }
    EXPECT_EQ(targets, (std::set<QByteArray>{"/dlr?status=1&to=%2B4917011111&id=77",
                                             "/dlr?status=2&to=%2B4917022222&id=77",
                                             "/dlr?status=8&to=%2B4917033333&id=77"}));
    ASSERT_TRUE(test::PollUntil([&] { return store->Deliveries("delivered", 10).size() == 3; }, 30000, 100));
}

INSTANTIATE_TEST_SUITE_P(Backends, Webhooks, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

// What receivers and operators see of a webhook's configuration, its signature and a callback URL.
TEST(WebhookShapes, SpecsSignaturesAndCallbackUrls)
{
    const struct {
        const char *spec;
        const char *url, *events, *secret, *error; // error: a part of the refusal, "" for none
    } specs[] = {
        {"https://h.example/x", "https://h.example/x", "", "", ""},
        {"http://127.0.0.1:8/a?b=1,2,events=received,sent,secret=s,e,cr", "http://127.0.0.1:8/a?b=1,2",
         "received sent", "s,e,cr", ""},
        {"http://h/,secret=k,events=failed", "http://h/", "failed", "k", ""},
        {"http://h/,events=received,received", "http://h/", "received", "", ""},
        {"ftp://h/", "", "", "", "http:// or https://"},
        {"h/x,secret=k", "", "", "", "http:// or https://"},
        {"http://h/,events=arrived", "", "", "", "not \"arrived\""},
        {"http://h/,secret=", "", "", "", "secret= is empty"},
    };
    for (const auto &row : specs) {
        SCOPED_TRACE(row.spec);
        try {
            const api::TWebhook hook = api::ParseWebhookSpec(row.spec);
            EXPECT_STREQ(row.error, "");
            EXPECT_EQ(hook.Url, row.url);
            std::string events;
            for (const std::string &e : hook.Events)
                events += (events.empty() ? "" : " ") + e;
            EXPECT_EQ(events, row.events);
            EXPECT_EQ(hook.Secret, row.secret);
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
            EXPECT_NE(*row.error, '\0') << e.what();
        }
    }
    EXPECT_EQ(api::WebhookLabel("https://u:p@h.example:8443/x/y?token=t#f"), "https://h.example:8443/x/y");
    // Against an HMAC-SHA256 computed elsewhere.
    EXPECT_EQ(api::WebhookSignature("whsec_test", 1700000000, R"({"id":7,"type":"received"})"),
              "t=1700000000,v1=65c5851e35a9d90226e55275178f6dabfc2589706713d84e1af5e8dc64a8a7fd");

    const struct {
        const char *type, *data, *url;
        int mask;
        const char *expected; // "" for no call
    } callbacks[] = {
        {"delivered", R"({"peer":"+4917011111"})", "http://h/d?s=%d&p=%p", 3,
         "http://h/d?s=1&p=%2B4917011111"},
        {"failed", R"({"peer":"+4917011111"})", "http://h/d?s=%d", 2, "http://h/d?s=2"},
        {"failed", R"({"peer":"x","error":"+CMS ERROR: 500"})", "http://h/d?s=%d", 16, "http://h/d?s=16"},
        {"failed", R"({"peer":"x","error":"+CMS ERROR: 500"})", "http://h/d?s=%d", 2, ""},
        {"sent", R"({"peer":"x"})", "http://h/d?s=%d", 3, ""},
        {"sent", R"({"peer":"x"})", "http://h/d?s=%d", 8, "http://h/d?s=8"},
        {"received", R"({"peer":"x"})", "http://h/d?s=%d", 31, ""},
        {"delivered", R"({"peer":"%d & %p"})", "http://h/?p=%p&d=%d&q=%x", 1,
         "http://h/?p=%25d%20%26%20%25p&d=1&q=%x"},
        {"delivered", R"({"peer":"x"})", "", 1, ""},
    };
    for (const auto &row : callbacks) {
        SCOPED_TRACE(std::string(row.type) + " " + row.data);
        TStoredEvent e;
        e.Type = row.type;
        e.Data = row.data;
        const std::optional<std::string> url = api::CallbackUrl(e, {row.url, row.mask});
        EXPECT_EQ(url.value_or(""), row.expected);
    }
}

} // namespace
} // namespace kestrel
