// The HTTP API as users run it: kestrel api and kestrel gateway --http processes on loopback
// ports, real HTTP over sockets, tokens made by kestrel tokens, a real SQLite file and a database
// on a real PostgreSQL server, and virtual handsets that receive what the API queued.
#include "cli/session/clisessiontest.h"
#include "pgserver.h"
#include "storefixture.h"

#include "modemsim/modemsimulator.h"
#include "store/messagestore.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>

#include <chrono>
#include <map>
#include <set>
#include <thread>

namespace kestrel {
namespace {

std::string newLocation(const std::string &backend, const QTemporaryDir &dir)
{
    return test::NewStoreLocation(backend, dir, "api");
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    return test::PollUntil(pred, timeoutMs, 100);
}

struct THttpAnswer {
    int Status = 0; // 0: no answer (the connection closed first)
    QByteArray Head;
    QByteArray Body;
    QJsonObject Json() const { return QJsonDocument::fromJson(Body).object(); }
};

// A plain HTTP/1.1 client over one socket, so that tests can send what no library would.
class THttpClient {
public:
    explicit THttpClient(quint16 port) { m_socket.connectToHost("127.0.0.1", port); }

    // Writes Raw as it is and reads one answer.
    THttpAnswer Raw(const QByteArray &raw, int timeoutMs = 20000)
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState && !m_socket.waitForConnected(5000))
            return {};
        m_socket.write(raw);
        m_socket.flush();
        return Read(timeoutMs);
    }
    THttpAnswer Read(int timeoutMs = 20000)
    {
        THttpAnswer a;
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            m_buffer += m_socket.readAll();
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end >= 0) {
                a.Head = m_buffer.left(end);
                qsizetype length = 0;
                for (const QByteArray &line : a.Head.split('\n'))
                    if (line.toLower().startsWith("content-length:"))
                        length = line.mid(15).trimmed().toLongLong();
                if (m_buffer.size() >= end + 4 + length) {
                    a.Status = a.Head.mid(9, 3).toInt();
                    a.Body = m_buffer.mid(end + 4, length);
                    m_buffer.remove(0, end + 4 + length);
                    return a;
                }
            }
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0 ||
                (!m_socket.waitForReadyRead(static_cast<int>(left)) && m_socket.bytesAvailable() == 0))
                return a;
        }
    }
    THttpAnswer Call(const QByteArray &method, const QByteArray &path, const QByteArray &token = {},
                     const QByteArray &body = {}, const QList<QByteArray> &headers = {})
    {
        return Raw(Request(method, path, token, body, headers));
    }
    // Writes a request without waiting for its answer.
    void Send(const QByteArray &method, const QByteArray &path, const QByteArray &token = {},
              const QByteArray &body = {}, const QList<QByteArray> &headers = {})
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            m_socket.waitForConnected(5000);
        m_socket.write(Request(method, path, token, body, headers));
        m_socket.flush();
    }
    static QByteArray Request(const QByteArray &method, const QByteArray &path, const QByteArray &token = {},
                              const QByteArray &body = {}, const QList<QByteArray> &headers = {})
    {
        QByteArray raw = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\n";
        if (!token.isEmpty())
            raw += "Authorization: Bearer " + token + "\r\n";
        if (!body.isEmpty() || method == "POST") {
            bool typed = false;
            for (const QByteArray &h : headers)
                typed = typed || h.toLower().startsWith("content-type:");
            if (!typed)
                raw += "Content-Type: application/json\r\n";
            raw += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        }
        for (const QByteArray &h : headers)
            raw += h + "\r\n";
        return raw + "\r\n" + body;
    }
    QTcpSocket &Socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

class Api : public ::testing::TestWithParam<std::string> {
protected:
    QTemporaryDir dir;
    std::string location;
    std::unique_ptr<TRunningKestrel> server;
    quint16 port = 0;

    void SetUp() override
    {
        location = newLocation(GetParam(), dir);
        std::ofstream(Config().toStdString()) << "[Modem.Files]\nGSMLog=<none>\nSMSLog=<none>\n";
    }
    QString Config() const { return dir.filePath("gsm.ini"); }
    QStringList StoreArgs() const
    {
        return {"--config", Config(), "--store", QString::fromStdString(location)};
    }
    std::unique_ptr<TMessageStore> Store() const { return TMessageStore::Open(location); }

    // Starts Args (kestrel api or gateway) and waits for the API's listening line.
    void Serve(const QStringList &args)
    {
        server = std::make_unique<TRunningKestrel>(args);
        ASSERT_TRUE(server->WaitFor(
            [&](const QJsonObject &j) {
                if (j["event"].toString() != "listening")
                    return false;
                port = static_cast<quint16>(j["port"].toInt());
                return true;
            },
            60000));
    }
    void ServeApi() { Serve(QStringList{"api", "--http", "127.0.0.1:0"} + StoreArgs()); }

    QByteArray Token(const QString &name, const QString &scope)
    {
        QProcess p;
        p.start(KESTREL_PROGRAM,
                QStringList{"tokens"} + StoreArgs() + QStringList{"add", name, "--scope", scope});
        const TRun run = Finish(p);
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        return run.json.empty() ? QByteArray() : run.json.front()["token"].toString().toUtf8();
    }
    size_t Queued() const
    {
        TMessageFilter f;
        f.Status = TStoredStatus::ssQueued;
        return Store()->List(f).size();
    }
};

// Send, read back with its parts, find in the list, cancel: what a client of the API does first.
TEST_P(Api, SendReadListCancel)
{
    ServeApi();
    const QByteArray token = Token("shop", "send");
    THttpClient http(port);
    const THttpAnswer sent =
        http.Call("POST", "/v1/messages", token, R"({"to":"+4917012345","text":"hello"})");
    ASSERT_EQ(sent.Status, 202) << sent.Body.toStdString();
    const qint64 id = sent.Json()["id"].toInteger();
    EXPECT_EQ(sent.Json()["status"].toString(), "queued");
    EXPECT_EQ(sent.Json()["parts"].toInt(), 1);

    // A text of three parts: each part with its own status.
    const THttpAnswer longer =
        http.Call("POST", "/v1/messages", token,
                  json({{"to", "+4917012345"}, {"text", QString(400, 'x')}, {"statusReport", true}}));
    ASSERT_EQ(longer.Status, 202) << longer.Body.toStdString();
    EXPECT_EQ(longer.Json()["parts"].toInt(), 3);
    const THttpAnswer read =
        http.Call("GET", "/v1/messages/" + QByteArray::number(longer.Json()["id"].toInteger()), token);
    ASSERT_EQ(read.Status, 200);
    const QJsonObject m = read.Json();
    EXPECT_EQ(m["direction"].toString(), "sent");
    EXPECT_EQ(m["peer"].toString(), "+4917012345");
    EXPECT_EQ(m["status"].toString(), "queued");
    ASSERT_EQ(m["segments"].toArray().size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m["segments"].toArray()[i].toObject()["sequence"].toInt(), i + 1);

    // Newest first, paged by the cursor, filtered by direction and words.
    const THttpAnswer page = http.Call("GET", "/v1/messages?direction=sent&limit=1", token);
    ASSERT_EQ(page.Status, 200);
    ASSERT_EQ(page.Json()["messages"].toArray().size(), 1);
    EXPECT_EQ(page.Json()["messages"].toArray()[0].toObject()["id"].toInteger(),
              longer.Json()["id"].toInteger());
    const QByteArray next = page.Json()["next"].toString().toUtf8();
    const THttpAnswer second = http.Call("GET", "/v1/messages?limit=1&since=" + next, token);
    ASSERT_EQ(second.Json()["messages"].toArray().size(), 1);
    EXPECT_EQ(second.Json()["messages"].toArray()[0].toObject()["id"].toInteger(), id);
    EXPECT_EQ(http.Call("GET", "/v1/messages?direction=received", token).Json()["messages"].toArray().size(),
              0);
    EXPECT_EQ(http.Call("GET", "/v1/messages?q=hello", token).Json()["messages"].toArray().size(), 1);

    EXPECT_EQ(http.Call("DELETE", "/v1/messages/" + QByteArray::number(id), token).Status, 200);
    EXPECT_EQ(http.Call("GET", "/v1/messages/" + QByteArray::number(id), token).Status, 404);
    EXPECT_EQ(http.Call("DELETE", "/v1/messages/" + QByteArray::number(id), token).Status, 404);
    EXPECT_EQ(Queued(), 1u);
    // A message a gateway holds is being sent: not cancelled.
    const auto claimed = Store()->ClaimQueued("gw", "sim0", 60000);
    ASSERT_TRUE(claimed);
    const THttpAnswer busy = http.Call("DELETE", "/v1/messages/" + QByteArray::number(claimed->Id), token);
    EXPECT_EQ(busy.Status, 409);
    EXPECT_EQ(busy.Json()["field"].toString(), "id");
}

// A retried request with its key queues nothing new; the same key with another body is refused;
// a batch is one transaction, all or nothing.
TEST_P(Api, IdempotencyAndBatches)
{
    ServeApi();
    const QByteArray token = Token("shop", "send");
    THttpClient http(port);
    const QByteArray body = R"({"to":"+4917012345","text":"once"})";
    const THttpAnswer first = http.Call("POST", "/v1/messages", token, body, {"Idempotency-Key: order-17"});
    const THttpAnswer again = http.Call("POST", "/v1/messages", token, body, {"Idempotency-Key: order-17"});
    ASSERT_EQ(first.Status, 202);
    EXPECT_EQ(again.Status, 202);
    EXPECT_EQ(again.Body, first.Body);
    EXPECT_EQ(Queued(), 1u);
    const THttpAnswer other =
        http.Call("POST", "/v1/messages", token, R"({"to":"+4917012345","text":"twice"})",
                  {"Idempotency-Key: order-17"});
    EXPECT_EQ(other.Status, 409);
    EXPECT_EQ(other.Json()["field"].toString(), "Idempotency-Key");
    // Another token has keys of its own.
    const QByteArray second = Token("desk", "send");
    EXPECT_EQ(http.Call("POST", "/v1/messages", second, body, {"Idempotency-Key: order-17"}).Status, 202);
    EXPECT_EQ(Queued(), 2u);

    QJsonArray batch;
    for (int i = 0; i < 1000; ++i)
        batch.append(QJsonObject{{"to", QString("+49151%1").arg(i, 7, 10, QChar('0'))},
                                 {"text", QString("n%1").arg(i)}});
    const THttpAnswer many = http.Call("POST", "/v1/messages", token, json({{"messages", batch}}));
    ASSERT_EQ(many.Status, 202) << many.Body.toStdString();
    const QJsonArray ids = many.Json()["messages"].toArray();
    ASSERT_EQ(ids.size(), 1000);
    std::set<qint64> distinct;
    for (const QJsonValue &v : ids)
        distinct.insert(v.toObject()["id"].toInteger());
    EXPECT_EQ(distinct.size(), 1000u);
    EXPECT_EQ(Queued(), 1002u);
    // One bad message refuses the batch, naming it; over 1000 is refused whole.
    batch[500] = QJsonObject{{"to", "+49151"}, {"text", ""}};
    const THttpAnswer bad = http.Call("POST", "/v1/messages", token, json({{"messages", batch}}));
    EXPECT_EQ(bad.Status, 400);
    EXPECT_EQ(bad.Json()["field"].toString(), "messages[500].text");
    batch[500] = QJsonObject{{"to", "+49151"}, {"text", "ok"}};
    batch.append(QJsonObject{{"to", "+49151"}, {"text", "one too many"}});
    EXPECT_EQ(http.Call("POST", "/v1/messages", token, json({{"messages", batch}})).Status, 400);
    EXPECT_EQ(Queued(), 1002u);
}

// Requests that arrive together, at two API nodes of one store, are committed in groups and each
// still stands alone: every 202 names a message that is in the store when the answer comes, a key
// sent several times at once queues one message (the same body is replayed, another body is 409),
// and a refused request in the crowd fails no other.
TEST_P(Api, RequestsArrivingTogetherStandAlone)
{
    ServeApi();
    const quint16 first = port;
    const QByteArray token = Token("shop", "send");
    TRunningKestrel other(QStringList{"api", "--http", "127.0.0.1:0"} + StoreArgs());
    quint16 second = 0;
    ASSERT_TRUE(other.WaitFor(
        [&](const QJsonObject &j) {
            second = static_cast<quint16>(j["port"].toInt());
            return j["event"].toString() == "listening";
        },
        60000));
    auto store = Store();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        struct TSent {
            QByteArray Key;  // "" for none
            QByteArray Text; // "" for a refused request
            std::unique_ptr<THttpClient> Http;
        };
        std::vector<TSent> sent;
        const QByteArray same = "same-" + QByteArray::number(round),
                         mixed = "mixed-" + QByteArray::number(round);
        for (int i = 0; i < 10; ++i)
            sent.push_back({"", "plain " + QByteArray::number(i), nullptr});
        for (int i = 0; i < 4; ++i)
            sent.push_back({same, "same body", nullptr});
        for (int i = 0; i < 4; ++i)
            sent.push_back({mixed, i % 2 ? "body A" : "body B", nullptr});
        sent.push_back({"", "", nullptr});
        for (size_t i = 0; i < sent.size(); ++i) {
            TSent &s = sent[i];
            s.Http = std::make_unique<THttpClient>(i % 2 ? first : second);
            QList<QByteArray> headers;
            if (!s.Key.isEmpty())
                headers << "Idempotency-Key: " + s.Key;
            const QByteArray body = s.Text.isEmpty()
                                        ? QByteArray(R"({"to":"+49x","text":"a"})")
                                        : json({{"to", "+4917012345"}, {"text", QString(s.Text)}});
            s.Http->Send("POST", "/v1/messages", token, body, headers);
        }
        std::map<QByteArray, std::set<qint64>> idsOfKey;
        std::map<QByteArray, std::set<QByteArray>> acceptedBodies;
        std::map<QByteArray, int> firstAnswers; // not replayed
        for (TSent &s : sent) {
            const THttpAnswer a = s.Http->Read();
            if (s.Text.isEmpty()) {
                EXPECT_EQ(a.Status, 400) << a.Body.toStdString();
                continue;
            }
            if (a.Status == 409) {
                EXPECT_EQ(s.Key, mixed) << "only a key used with two bodies conflicts";
                continue;
            }
            ASSERT_EQ(a.Status, 202) << s.Text.toStdString() << ": " << a.Body.toStdString();
            const qint64 id = a.Json()["id"].toInteger();
            const auto m = store->Message(id);
            ASSERT_TRUE(m) << "answered before its commit";
            EXPECT_EQ(m->Status, TStoredStatus::ssQueued);
            if (s.Key.isEmpty()) {
                EXPECT_EQ(m->Text, s.Text.toStdString());
                continue;
            }
            idsOfKey[s.Key].insert(id);
            acceptedBodies[s.Key].insert(s.Text);
            if (!a.Head.contains("Idempotent-Replayed"))
                ++firstAnswers[s.Key];
        }
        for (const QByteArray &key : {same, mixed}) {
            EXPECT_EQ(idsOfKey[key].size(), 1u) << key.toStdString() << ": one message per key";
            EXPECT_EQ(acceptedBodies[key].size(), 1u) << key.toStdString() << ": one body per key";
            EXPECT_EQ(firstAnswers[key], 1) << key.toStdString() << ": the others are replays";
        }
    }
    EXPECT_EQ(Queued(), 3u * (10 + 1 + 1));
}

// Every route refuses a missing, wrong or revoked token and a token of too small a scope; the
// tokens never appear in what the server prints.
TEST_P(Api, TokensAndScopes)
{
    ServeApi();
    const QByteArray reader = Token("reader", "read"), sender = Token("sender", "send"),
                     admin = Token("admin", "admin");
    ASSERT_FALSE(reader.isEmpty());
    THttpClient http(port);
    const QByteArray send = R"({"to":"+4917012345","text":"hi"})";
    struct TCase {
        const char *Name;
        QByteArray Method, Path, Token, Body;
        int Status;
    };
    const std::vector<TCase> cases = {
        {"no token", "GET", "/v1/messages", "", "", 401},
        {"wrong token", "GET", "/v1/messages", reader + "x", "", 401},
        {"token of another shape", "GET", "/v1/messages", "abc", "", 401},
        {"read may read", "GET", "/v1/messages", reader, "", 200},
        {"read may not send", "POST", "/v1/messages", reader, send, 403},
        {"read may not cancel", "DELETE", "/v1/messages/1", reader, "", 403},
        {"send may send", "POST", "/v1/messages", sender, send, 202},
        {"send may read", "GET", "/v1/messages/1", sender, "", 200},
        {"admin may send", "POST", "/v1/messages", admin, send, 202},
        {"health needs none", "GET", "/v1/healthz", "", "", 200},
    };
    for (const TCase &c : cases) {
        const THttpAnswer a = http.Call(c.Method, c.Path, c.Token, c.Body);
        EXPECT_EQ(a.Status, c.Status) << c.Name << ": " << a.Body.toStdString();
        if (c.Status == 401) {
            EXPECT_TRUE(a.Head.contains("WWW-Authenticate: Bearer")) << c.Name;
        }
    }
    // Revoked: refused as soon as the server looks at the list again.
    QProcess revoke;
    revoke.start(KESTREL_PROGRAM, QStringList{"tokens"} + StoreArgs() + QStringList{"revoke", "sender"});
    ASSERT_EQ(Finish(revoke).status, 0);
    EXPECT_TRUE(waitUntil([&] { return http.Call("GET", "/v1/messages", sender).Status == 401; }, 20000));
    EXPECT_EQ(http.Call("GET", "/v1/messages", reader).Status, 200);

    QProcess list;
    list.start(KESTREL_PROGRAM, QStringList{"tokens"} + StoreArgs() + QStringList{"list"});
    const TRun listed = Finish(list);
    ASSERT_EQ(listed.json.size(), 2u);
    const TRun run = server->Stop();
    for (const QByteArray &t : {reader, sender, admin}) {
        EXPECT_FALSE(run.out.contains(QString::fromUtf8(t)));
        EXPECT_FALSE(run.err.contains(QString::fromUtf8(t)));
        EXPECT_FALSE(listed.out.contains(QString::fromUtf8(t)));
    }
}

// Hostile requests are answered with the right status and the right field, and the server goes on
// serving the next client.
TEST_P(Api, HostileRequests)
{
    ServeApi();
    const QByteArray token = Token("shop", "send");
    const QByteArray auth = "Authorization: Bearer " + token + "\r\n";
    auto post = [&](const QByteArray &body, const QByteArray &type = "application/json") {
        return "POST /v1/messages HTTP/1.1\r\nHost: x\r\n" + auth + "Content-Type: " + type +
               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    struct TCase {
        const char *Name;
        QByteArray Raw;
        int Status;
        const char *Field; // nullptr: not checked
    };
    const std::vector<TCase> cases = {
        {"malformed JSON", post(R"({"to":"+49170","text":)"), 400, nullptr},
        {"not an object", post(R"(["+49170"])"), 400, nullptr},
        {"unknown field", post(R"({"to":"+49170","text":"a","colour":"red"})"), 400, "colour"},
        {"field of another kind", post(R"({"to":"+49170","text":"a","melody":"x"})"), 400, "melody"},
        {"unknown kind", post(R"({"to":"+49170","kind":"fax","text":"a"})"), 400, "kind"},
        {"bad number", post(R"({"to":"+49 170 abc","text":"a"})"), 400, "to"},
        {"number too long", post(R"({"to":"+123456789012345678901","text":"a"})"), 400, "to"},
        {"number as number", post(R"({"to":4917012345,"text":"a"})"), 400, "to"},
        {"empty text", post(R"({"to":"+49170","text":""})"), 400, "text"},
        {"NUL in text", post(R"({"to":"+49170","text":"a\u0000b"})"), 400, "text"},
        {"huge class", post(R"({"to":"+49170","text":"a","class":1e400})"), 400, nullptr},
        {"class out of range", post(R"({"to":"+49170","text":"a","class":4})"), 400, "class"},
        {"bad UTF-8", post("{\"to\":\"+49170\",\"text\":\"\xC3\x28\"}"), 400, nullptr},
        {"image that is none", post(R"({"to":"+49170","kind":"picture","image":"AAAA"})"), 400, "image"},
        {"bad melody", post(R"({"to":"+49170","kind":"ringtone","melody":"no melody"})"), 400, "melody"},
        {"wrong content type", post(R"({"to":"+49170","text":"a"})", "text/plain"), 415, "Content-Type"},
        {"form body", post("to=1&text=a", "application/x-www-form-urlencoded"), 415, "Content-Type"},
        {"10 MB announced",
         "POST /v1/messages HTTP/1.1\r\nHost: x\r\n" + auth +
             "Content-Type: application/json\r\nContent-Length: 10485760\r\n\r\n",
         413, nullptr},
        {"header flood",
         "GET /v1/healthz HTTP/1.1\r\n" + QByteArray("X-Flood: ") + QByteArray(20000, 'a') + "\r\n\r\n", 431,
         nullptr},
        {"dot segments", "GET /v1/messages/../healthz HTTP/1.1\r\nHost: x\r\n\r\n", 404, nullptr},
        {"encoded slash", "GET /v1%2Fhealthz HTTP/1.1\r\nHost: x\r\n\r\n", 404, nullptr},
        {"id that is no number", "GET /v1/messages/1%00 HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n", 404,
         nullptr},
        {"id too large", "GET /v1/messages/99999999999999999999999 HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n",
         404, nullptr},
        {"unknown route", "GET /v2/messages HTTP/1.1\r\nHost: x\r\n\r\n", 404, nullptr},
        {"wrong method", "PUT /v1/healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405, nullptr},
        {"bad cursor", "GET /v1/messages?since=zzz HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n", 400, "since"},
        {"bad limit", "GET /v1/messages?limit=100000 HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n", 400, "limit"},
    };
    for (const TCase &c : cases) {
        THttpClient http(port);
        const THttpAnswer a = http.Raw(c.Raw);
        EXPECT_EQ(a.Status, c.Status) << c.Name << ": " << a.Body.toStdString();
        EXPECT_TRUE(a.Json().contains("error")) << c.Name << ": " << a.Body.toStdString();
        if (c.Field) {
            EXPECT_EQ(a.Json()["field"].toString(), c.Field) << c.Name;
        }
    }
    // A body sent whole past the limit (no length announced: chunks) is cut off too.
    {
        THttpClient http(port);
        QByteArray raw = "POST /v1/messages HTTP/1.1\r\nHost: x\r\n" + auth +
                         "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
        const QByteArray chunk(64 * 1024, 'a');
        for (int i = 0; i < 24; ++i)
            raw += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
        EXPECT_EQ(http.Raw(raw).Status, 413);
    }
    // A client that stops in the middle of its head is answered 408 after the time-out, and
    // others are served meanwhile.
    THttpClient slow(port);
    slow.Socket().waitForConnected(5000);
    slow.Socket().write("GET /v1/healthz HTTP/1.1\r\nHost: x\r\n");
    THttpClient other(port);
    EXPECT_EQ(other.Call("GET", "/v1/healthz").Status, 200);
    EXPECT_EQ(slow.Read(30000).Status, 408);
    // Still serving, and nothing was queued by any of it.
    THttpClient after(port);
    EXPECT_EQ(after.Call("GET", "/v1/healthz").Status, 200);
    EXPECT_EQ(Queued(), 0u);
}

// The OpenAPI document names exactly the routes served: each of its operations is answered (not
// 404 or 405), and each of its paths refuses the methods it does not list.
TEST_P(Api, OpenApiDocumentMatchesTheRoutes)
{
    ServeApi();
    const QByteArray token = Token("admin", "admin");
    const THttpAnswer doc = THttpClient(port).Call("GET", "/v1/openapi.json");
    ASSERT_EQ(doc.Status, 200);
    const QJsonObject paths = doc.Json()["paths"].toObject();
    ASSERT_GE(paths.size(), 4);
    int operations = 0;
    for (auto p = paths.begin(); p != paths.end(); ++p) {
        const QByteArray path = p.key().replace(QRegularExpression("\\{\\w+\\}"), "1").toUtf8();
        for (const char *method : {"get", "post", "delete", "put", "patch"}) {
            // A connection each: a stream (GET /v1/events) keeps its connection.
            const THttpAnswer a = THttpClient(port).Call(QByteArray(method).toUpper(), path, token, "{}");
            if (p.value().toObject().contains(method)) {
                ++operations;
                EXPECT_NE(a.Status, 405) << method << " " << path.toStdString();
                EXPECT_FALSE(a.Status == 404 && a.Json()["error"].toString() == "no such resource")
                    << method << " " << path.toStdString();
            } else {
                EXPECT_EQ(a.Status, 405) << method << " " << path.toStdString();
            }
        }
    }
    EXPECT_GE(operations, 6);
}

// kestrel gateway --http: a message sent through the API goes out through the virtual handset, in
// each kind the composer makes, and the API shows it sent.
TEST_P(Api, GatewaySendsWhatTheApiQueued)
{
    TModemSimulatorOptions options;
    options.equipment = "M20";
    options.ownNumber = "+491710000010";
    TModemSimulator sim(options);
    QImage picture(72, 28, QImage::Format_Mono);
    picture.fill(1);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    Serve(QStringList{"gateway"} + StoreArgs() +
          QStringList{"--modem", QString::fromStdString(sim.DevicePath()) + ",equipment=M20,name=sim0",
                      "--poll", "100", "--rec-timeout", "1500", "--http", "127.0.0.1:0"});
    const QByteArray token = Token("shop", "send");
    THttpClient http(port);
    const std::vector<QJsonObject> sends = {
        {{"to", "+4917011111"}, {"text", "through the API"}},
        {{"to", "+4917022222"}, {"kind", "vcard"}, {"name", "Ada"}, {"phone", "+4930123"}},
        {{"to", "+4917033333"},
         {"kind", "picture"},
         {"image", QString::fromLatin1(png.toBase64())},
         {"text", "hi"}},
        {{"to", "+4917044444"}, {"kind", "ringtone"}, {"melody", "tune:d=4,o=5,b=120:c,e,g"}},
        {{"to", "+4917055555"}, {"text", "only sim0"}, {"via", "sim0"}, {"statusReport", true}},
    };
    std::vector<qint64> ids;
    int parts = 0;
    for (const QJsonObject &s : sends) {
        const THttpAnswer a = http.Call("POST", "/v1/messages", token, json(s));
        ASSERT_EQ(a.Status, 202) << a.Body.toStdString();
        ids.push_back(a.Json()["id"].toInteger());
        parts += a.Json()["parts"].toInt();
    }
    ASSERT_TRUE(sim.WaitForSentMessages(static_cast<size_t>(parts), 120000)) << sim.SentMessages().size();
    std::set<std::string> to;
    for (const auto &m : sim.SentMessages())
        to.insert(m.destination);
    EXPECT_EQ(to, (std::set<std::string>{"+4917011111", "+4917022222", "+4917033333", "+4917044444",
                                         "+4917055555"}));
    for (qint64 id : ids)
        EXPECT_TRUE(waitUntil(
            [&] {
                const QJsonObject m =
                    http.Call("GET", "/v1/messages/" + QByteArray::number(id), token).Json();
                return m["status"].toString() == "sent" && m["modem"].toString() == "sim0";
            },
            30000))
            << id;
    // A gateway killed outright takes its API with it: nothing is left holding the port.
    server->Kill();
    EXPECT_TRUE(waitUntil(
        [&] {
            QTcpSocket probe;
            probe.connectToHost("127.0.0.1", port);
            return !probe.waitForConnected(2000);
        },
        20000))
        << "the API outlived its gateway";
}

// An API node without modems shows the modems of a gateway that shares its store, and counts
// what they sent in its metrics; a gateway that stops shows its modem down.
TEST_P(Api, ModemsAndMetricsOfAnotherNodesGateway)
{
    TModemSimulatorOptions options;
    options.equipment = "M20";
    options.ownNumber = "+491710000010";
    TModemSimulator sim(options);
    ServeApi();
    const QByteArray token = Token("monitor", "read"), sender = Token("shop", "send");
    TRunningKestrel gateway(QStringList{"gateway"} + StoreArgs() +
                            QStringList{"--modem",
                                        QString::fromStdString(sim.DevicePath()) + ",equipment=M20,name=left",
                                        "--poll", "100", "--rec-timeout", "1500"});
    THttpClient http(port);
    auto modem = [&] {
        const QJsonArray list = http.Call("GET", "/v1/modems", token).Json()["modems"].toArray();
        return list.size() == 1 ? list[0].toObject() : QJsonObject();
    };
    ASSERT_TRUE(waitUntil([&] { return modem()["state"].toString() == "up"; }, 60000))
        << QJsonDocument(modem()).toJson().toStdString();
    EXPECT_EQ(modem()["label"].toString(), "left");
    EXPECT_EQ(modem()["equipment"].toString(), "M20");
    EXPECT_EQ(modem()["device"].toString().toStdString(), sim.DevicePath());
    EXPECT_FALSE(modem()["lastContact"].isNull());
    EXPECT_EQ(http.Call("GET", "/v1/healthz").Json()["modems"].toObject()["up"].toInt(), 1);

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(
            http.Call("POST", "/v1/messages", sender, json({{"to", "+4917011111"}, {"text", "m"}})).Status,
            202);
    ASSERT_TRUE(sim.WaitForSentMessages(3, 60000));
    ASSERT_TRUE(waitUntil([&] { return modem()["sent"].toInt() == 3; }, 30000));
    EXPECT_EQ(modem()["failed"].toInt(), 0);
    const THttpAnswer metrics = http.Call("GET", "/metrics", token);
    ASSERT_EQ(metrics.Status, 200);
    EXPECT_TRUE(metrics.Head.contains("Content-Type: text/plain; version=0.0.4"));
    for (const char *line :
         {"kestrel_messages{modem=\"left\",direction=\"sent\",status=\"sent\"} 3\n",
          "kestrel_modem_up{modem=\"left\"} 1\n", "# TYPE kestrel_queue_oldest_age_seconds gauge\n",
          "kestrel_api_responses_total{status=\"202\"} 3\n"})
        EXPECT_TRUE(metrics.Body.contains(line)) << line << "\n" << metrics.Body.toStdString();
    EXPECT_EQ(http.Call("GET", "/metrics").Status, 401);

    gateway.Stop();
    EXPECT_EQ(modem()["state"].toString(), "lost");
    EXPECT_TRUE(http.Call("GET", "/metrics", token).Body.contains("kestrel_modem_up{modem=\"left\"} 0\n"));
}

// The route that applications written for other SMS gateways call: a token's name and the token
// as username and password, in the query or a form body.
TEST_P(Api, CompatibilityRoute)
{
    ServeApi();
    const QByteArray token = Token("legacy", "send"), reader = Token("reader", "read");
    const QByteArray base = "/cgi-bin/sendsms?username=legacy&password=" + token;
    struct TCase {
        const char *Name;
        QByteArray Method, Path, Body;
        int Status;
        const char *Field;
    };
    const std::vector<TCase> cases = {
        {"query", "GET", base + "&to=%2B4917011111&text=hello+world%2B1", "", 202, ""},
        {"two numbers", "GET", base + "&to=%2B4917022222%20%2B4917033333&text=both", "", 202, ""},
        {"form body", "POST", "/cgi-bin/sendsms",
         "username=legacy&password=" + token + "&to=%2B4917044444&text=from+a+form", 202, ""},
        {"another token's name", "GET", "/cgi-bin/sendsms?username=reader&password=" + token + "&to=1&text=a",
         "", 401, "password"},
        {"wrong password", "GET", "/cgi-bin/sendsms?username=legacy&password=kst_x&to=1&text=a", "", 401,
         "password"},
        {"scope too small", "GET", "/cgi-bin/sendsms?username=reader&password=" + reader + "&to=1&text=a", "",
         403, ""},
        {"delivery callback of another scheme", "GET",
         base + "&to=%2B4917011111&text=a&dlr-url=ftp%3A%2F%2Fx", "", 400, "dlr-url"},
        {"bad number", "GET", base + "&to=abc&text=a", "", 400, "to"},
        {"empty text", "GET", base + "&to=%2B4917011111&text=", "", 400, "text"},
    };
    THttpClient http(port);
    for (const TCase &c : cases) {
        const THttpAnswer a =
            c.Method == "POST"
                ? http.Call("POST", c.Path, {}, c.Body, {"Content-Type: application/x-www-form-urlencoded"})
                : http.Call(c.Method, c.Path);
        EXPECT_EQ(a.Status, c.Status) << c.Name << ": " << a.Body.toStdString();
        if (c.Status == 202) {
            EXPECT_EQ(a.Body, "0: Accepted for delivery\n") << c.Name;
        } else if (*c.Field) {
            EXPECT_EQ(a.Json()["field"].toString(), c.Field) << c.Name;
        }
    }
    std::map<std::string, std::string> queued;
    TMessageFilter all;
    for (const TStoredMessage &m : Store()->List(all))
        queued[m.Peer] = m.Text;
    EXPECT_EQ(queued, (std::map<std::string, std::string>{{"+4917011111", "hello world+1"},
                                                          {"+4917022222", "both"},
                                                          {"+4917033333", "both"},
                                                          {"+4917044444", "from a form"}}));
}

// HTTPS with --tls-cert and --tls-key: the API answers over TLS, and nothing in plain text.
TEST_P(Api, ServesHttps)
{
    if (GetParam() != "sqlite")
        GTEST_SKIP() << "TLS does not depend on the store";
    const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                              "/CN=localhost", "-keyout", key, "-out", cert});
    ASSERT_EQ(Finish(openssl).status, 0);
    Serve(QStringList{"api", "--http", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key} + StoreArgs());
    QSslSocket tls;
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.connectToHostEncrypted("127.0.0.1", port);
    ASSERT_TRUE(tls.waitForEncrypted(20000)) << tls.errorString().toStdString();
    tls.write("GET /v1/healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray answer;
    while (!answer.contains("\"store\":\"ok\"") && tls.waitForReadyRead(20000))
        answer += tls.readAll();
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.toStdString();
    EXPECT_EQ(tls.peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0), "localhost");
    THttpClient plain(port);
    EXPECT_EQ(plain.Call("GET", "/v1/healthz").Status, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Api, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return info.param; });

} // namespace
} // namespace kestrel
