#include "api/console.h"

#include "api/apimessages.h"
#include "appcore/messagerenderers.h"
#include "base/clock.h"
#include "base/datetime.h"
#include "gsm/smstext.h"
#include "gsm/tpdufields.h"
#include "store/messagestore.h"
#include "xsms/melody.h"
#include "xsms/smartmessage.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <set>

namespace kestrel::api {

namespace {

constexpr int kThreadPage = 50;
constexpr int kQueuePage = 200;
constexpr int kSearchPeers = 500;

QString utf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int64_t idParam(const TApiRequest &request, size_t index = 0)
{
    bool ok = false;
    const qint64 id = request.Params.at(index).toLongLong(&ok);
    if (!ok || id <= 0)
        throw EApiError(404, "no such message", "id");
    return id;
}

QJsonObject bodyObject(const TApiRequest &request)
{
    const QJsonDocument doc = QJsonDocument::fromJson(request.Body);
    if (!doc.isObject())
        throw EApiError(400, "the body must be a JSON object");
    return doc.object();
}

QString stringField(const QJsonObject &body, const char *name)
{
    const QJsonValue v = body.value(name);
    if (!v.isString())
        throw EApiError(400, "must be a string", name);
    return v.toString();
}

// The fields of a vCard or vCalendar as the sender wrote them, beside the view's summary of it.
QJsonArray cardFields(const TStoredMessage &m)
{
    QJsonArray fields;
    std::unique_ptr<TSMMIMEDirectory> directory;
    if (m.Kind == TPayloadKind::pkVCard)
        directory = std::make_unique<TSMvCard>();
    else if (m.Kind == TPayloadKind::pkVCalendar)
        directory = std::make_unique<TSMvCalendar>();
    else
        return fields;
    directory->SetData(m.Payload);
    const TDirectoryRecords &r = directory->Records;
    for (int i = 0; i < r.Count(); ++i) {
        const QString name = QString::fromLatin1(r.Names(i)).toUpper();
        if (name == "BEGIN" || name == "END" || name == "VERSION")
            continue;
        fields.append(QJsonArray{name, TextFromOctets(r.ValueFromIndex(i))});
    }
    return fields;
}

QByteArray contentTypeOf(const QString &path)
{
    static const std::vector<std::pair<const char *, const char *>> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".json", "application/json"},
    };
    for (const auto &[suffix, type] : types)
        if (path.endsWith(suffix))
            return type;
    return "application/octet-stream";
}

} // namespace

QJsonObject ConsoleMessageJson(const TStoredMessage &m)
{
    QJsonObject json = StoredMessageJson(m, !m.Segments.empty());
    const TRenderedMessage r = RenderMessage(m);
    json["title"] = r.Title;
    json["text"] = r.Text;
    if (!r.Problem.isEmpty())
        json["problem"] = r.Problem;
    if (!r.Progress.isEmpty())
        json["progress"] = r.Progress;
    QJsonArray pictures;
    for (size_t i = 0; i < r.Pictures.size(); ++i) {
        const TMessagePicture &p = r.Pictures[i];
        pictures.append(QJsonObject{{"label", p.Label},
                                    {"width", p.Frames.front().width()},
                                    {"height", p.Frames.front().height()},
                                    {"frames", static_cast<int>(p.Frames.size())},
                                    {"frameMs", p.FrameMs},
                                    {"url", QString("/v1/messages/%1/pictures/%2").arg(m.Id).arg(i + 1)}});
    }
    if (!pictures.isEmpty())
        json["pictures"] = pictures;
    if (r.Melody) {
        QJsonArray tones;
        int total = 0;
        for (const TMelodyRow &row : r.Melody->Melody.Rows) {
            const int ms = NoteDurationMs(row);
            if (total + ms > kMaxMelodyMs)
                break;
            total += ms;
            tones.append(QJsonArray{NoteFrequency(row.Scale, row.Note), ms});
        }
        json["melody"] =
            QJsonObject{{"title", r.Melody->Title}, {"notes", r.Melody->Notes}, {"tones", tones}};
    }
    if (const QJsonArray card = cardFields(m); !card.isEmpty())
        json["card"] = card;
    return json;
}

TConsole::TConsole(TMessageStore &Store, TTokenBook &Tokens, bool Tls)
    : m_store(Store), m_sessions(Tokens, Tls), m_events(std::make_unique<TEventStreams>(Store))
{
}

std::vector<TRoute> TConsole::Routes()
{
    auto bind = [this](TApiResponse (TConsole::*f)(const TApiRequest &)) {
        return [this, f](const TApiRequest &r) { return (this->*f)(r); };
    };
    return {
        {"POST", "/v1/session", TScope::scRead,
         "Open a console session for the token of the Authorization header: a cookie, and the CSRF token "
         "that requests which change something carry in X-CSRF-Token",
         "", false, bind(&TConsole::openSession)},
        {"GET", "/v1/session", TScope::scNone,
         "Whether the browser has a session, and its token's name, scope and CSRF token", "", false,
         bind(&TConsole::session)},
        {"DELETE", "/v1/session", TScope::scRead, "End the console session", "", false,
         bind(&TConsole::closeSession)},
        {"GET", "/v1/conversations", TScope::scRead,
         "Conversations, newest first; q: only those with a message holding these words or a matching peer",
         "q", false, bind(&TConsole::conversations)},
        {"GET", "/v1/conversation", TScope::scRead,
         "A conversation's messages as the console shows them, newest page first (before: paging)",
         "peer,before", false, bind(&TConsole::thread)},
        {"GET", "/v1/messages/{id}/pictures/{n}", TScope::scRead,
         "Picture n of a message as PNG (an animation's frames side by side)", "", false,
         bind(&TConsole::picture)},
        {"GET", "/v1/queue", TScope::scRead, "Queued, sending, uncertain and failed messages", "", false,
         bind(&TConsole::queue)},
        {"POST", "/v1/messages/{id}/retry", TScope::scSend, "Queue an uncertain or failed message again", "",
         false, bind(&TConsole::retry)},
        {"GET", "/v1/tokens", TScope::scAdmin, "The API's tokens (names and scopes, never the tokens)", "",
         false, bind(&TConsole::tokens)},
        {"POST", "/v1/tokens", TScope::scAdmin, "Make a token {name, scope}; the answer shows it once", "",
         true, bind(&TConsole::addToken)},
        {"DELETE", "/v1/tokens", TScope::scAdmin, "Revoke the token of this name", "name", false,
         bind(&TConsole::revokeToken)},
        {"GET", "/v1/events", TScope::scRead,
         "Server-sent events (text/event-stream): the store's event log (id: the event's id, event: its "
         "type, data: JSON), from Last-Event-ID on when the client gives it; modem changes as \"modem\"; a "
         "comment every 15 s",
         "", false, [this](const TApiRequest &r) { return m_events->Open(r); }},
        {"GET", "/v1/alphabet", TScope::scNone,
         "The characters of the GSM default alphabet: one septet each, or two (extension table)", "", false,
         bind(&TConsole::alphabet)},
    };
}

std::optional<TApiResponse> TConsole::File(const QByteArray &Method, const QString &Path)
{
    if (Method != "GET" && Method != "HEAD")
        return std::nullopt;
    static const QRegularExpression name("^/console/[a-z0-9-]+\\.[a-z]+$");
    QString resource;
    if (Path == "/")
        resource = ":/console/index.html";
    else if (name.match(Path).hasMatch())
        resource = ":" + Path;
    else
        return std::nullopt;
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    TApiResponse r;
    r.Body = file.readAll();
    r.ContentType = contentTypeOf(resource);
    // The files change only with the program; a browser asks again but may reuse what it has.
    r.Headers.push_back({"Cache-Control", "no-cache"});
    return r;
}

void TConsole::AddSecurityHeaders(TApiResponse &Response)
{
    Response.Headers.push_back({"Content-Security-Policy",
                                "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
                                "frame-ancestors 'none'"});
    Response.Headers.push_back({"X-Content-Type-Options", "nosniff"});
    Response.Headers.push_back({"Referrer-Policy", "no-referrer"});
    Response.Headers.push_back({"X-Frame-Options", "DENY"});
}

TApiResponse TConsole::openSession(const TApiRequest &Request)
{
    const QByteArray auth = Request.Header("Authorization");
    if (!auth.startsWith("Bearer "))
        throw EApiError(400, "a session is opened with a token (Authorization: Bearer ...)", "Authorization");
    const TSessionBook::TOpened opened = m_sessions.Open(auth.mid(7).trimmed().toStdString());
    TApiResponse r =
        TApiResponse::Json(201, QJsonObject{{"signedIn", true},
                                            {"name", QString::fromStdString(Request.Token.Name)},
                                            {"scope", QString::fromStdString(Request.Token.Scope)},
                                            {"csrf", QString::fromStdString(opened.Csrf)}});
    r.Headers.push_back({"Set-Cookie", opened.Cookie});
    r.Headers.push_back({"Cache-Control", "no-store"});
    return r;
}

TApiResponse TConsole::session(const TApiRequest &Request)
{
    // Open to all, so that a page without a session learns it without an authentication failure.
    const std::optional<TSessionBook::TFound> found = m_sessions.Find(Request);
    QJsonObject out{{"signedIn", found.has_value()}};
    if (found) {
        out["name"] = QString::fromStdString(found->Token.Name);
        out["scope"] = QString::fromStdString(found->Token.Scope);
        out["csrf"] = QString::fromStdString(found->Csrf);
    }
    TApiResponse r = TApiResponse::Json(200, out);
    r.Headers.push_back({"Cache-Control", "no-store"});
    return r;
}

TApiResponse TConsole::closeSession(const TApiRequest &Request)
{
    TApiResponse r = TApiResponse::Json(200, QJsonObject{{"session", "closed"}});
    r.Headers.push_back({"Set-Cookie", m_sessions.Close(Request)});
    return r;
}

TApiResponse TConsole::conversations(const TApiRequest &Request)
{
    const QString q = Request.Query.queryItemValue("q", QUrl::FullyDecoded).trimmed();
    std::set<std::string> found;
    if (!q.isEmpty()) {
        TMessageFilter filter;
        filter.Search = q.toStdString();
        filter.Limit = kSearchPeers;
        for (const TStoredMessage &m : m_store.List(filter))
            found.insert(m.Peer);
    }
    QJsonArray list;
    for (const TConversation &c : m_store.Conversations()) {
        if (!q.isEmpty() && !found.contains(c.Peer) && !utf8(c.Peer).contains(q, Qt::CaseInsensitive))
            continue;
        list.append(QJsonObject{{"peer", utf8(c.Peer)},
                                {"lastId", static_cast<qint64>(c.LastId)},
                                {"time", QString::fromStdString(DateTimeToISO(c.LastTime) + "Z")},
                                {"summary", MessageSummary(c.LastKind, c.LastText)},
                                {"unread", c.Unread},
                                {"count", c.Count}});
    }
    return TApiResponse::Json(200, QJsonObject{{"conversations", list}});
}

TApiResponse TConsole::thread(const TApiRequest &Request)
{
    TMessageFilter filter;
    filter.Peer = Request.Query.queryItemValue("peer", QUrl::FullyDecoded).toStdString();
    if (filter.Peer.empty())
        throw EApiError(400, "missing", "peer");
    filter.Limit = kThreadPage;
    if (Request.Query.hasQueryItem("before")) {
        bool ok = false;
        filter.BeforeId = Request.Query.queryItemValue("before").toLongLong(&ok);
        if (!ok || filter.BeforeId <= 0)
            throw EApiError(400, "must be a message id", "before");
    }
    QJsonArray items;
    const std::vector<TStoredMessage> found = m_store.List(filter);
    for (const TStoredMessage &listed : found) {
        // Sent messages show each part's delivery; only their full record has the parts.
        std::optional<TStoredMessage> full;
        if (listed.Outgoing)
            full = m_store.Message(listed.Id);
        items.append(ConsoleMessageJson(full ? *full : listed));
    }
    QJsonObject out{{"peer", utf8(filter.Peer)}, {"messages", items}};
    out["before"] = static_cast<int>(found.size()) == kThreadPage
                        ? QJsonValue(static_cast<qint64>(found.front().Id))
                        : QJsonValue(QJsonValue::Null);
    return TApiResponse::Json(200, out);
}

TApiResponse TConsole::picture(const TApiRequest &Request)
{
    const std::optional<TStoredMessage> m = m_store.Message(idParam(Request));
    if (!m)
        throw EApiError(404, "no such message", "id");
    const TRenderedMessage rendered = RenderMessage(*m);
    const int64_t n = idParam(Request, 1);
    if (n > static_cast<int64_t>(rendered.Pictures.size()))
        throw EApiError(404, "the message has no such picture", "n");
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    rendered.Pictures[static_cast<size_t>(n - 1)].Strip().save(&buffer, "PNG");
    TApiResponse r;
    r.Body = buffer.data();
    r.ContentType = "image/png";
    // A stored message's picture never changes.
    r.Headers.push_back({"Cache-Control", "private, max-age=86400, immutable"});
    return r;
}

TApiResponse TConsole::queue(const TApiRequest &)
{
    const int64_t now = Clock().UnixMs();
    QJsonArray list;
    for (TStoredStatus status :
         {TStoredStatus::ssQueued, TStoredStatus::ssUncertain, TStoredStatus::ssFailed}) {
        TMessageFilter filter;
        filter.Status = status;
        filter.Outgoing = true;
        filter.Limit = kQueuePage;
        const std::vector<TStoredMessage> found = m_store.List(filter);
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            QJsonObject item = StoredMessageJson(*it, false);
            item["summary"] = MessageSummary(it->Kind, it->Text);
            item["attempts"] = it->Attempts;
            if (status == TStoredStatus::ssQueued && it->LeaseUntilMs > now)
                item["status"] = "sending";
            list.append(item);
        }
    }
    return TApiResponse::Json(200, QJsonObject{{"messages", list}});
}

TApiResponse TConsole::retry(const TApiRequest &Request)
{
    const int64_t id = idParam(Request);
    if (!m_store.Requeue(id))
        throw EApiError(409, "only an uncertain or failed message can be sent again", "id");
    return TApiResponse::Json(200, QJsonObject{{"id", static_cast<qint64>(id)}, {"status", "queued"}});
}

TApiResponse TConsole::tokens(const TApiRequest &)
{
    QJsonArray list;
    for (const TApiToken &t : m_store.Tokens())
        list.append(QJsonObject{
            {"name", utf8(t.Name)},
            {"scope", QString::fromStdString(t.Scope)},
            {"created", QString::fromStdString(DateTimeToISO(UnixMsToDateTime(t.CreatedMs)) + "Z")}});
    return TApiResponse::Json(200, QJsonObject{{"tokens", list}});
}

TApiResponse TConsole::addToken(const TApiRequest &Request)
{
    const QJsonObject body = bodyObject(Request);
    const QString name = stringField(body, "name").trimmed();
    static const QRegularExpression valid("^[A-Za-z0-9._-]{1,64}$");
    if (!valid.match(name).hasMatch())
        throw EApiError(400, "1 to 64 letters, digits, '.', '_' or '-'", "name");
    const std::string scope = stringField(body, "scope").toStdString();
    if (!ScopeFromName(scope))
        throw EApiError(400, "is read, send or admin", "scope");
    const std::string token = NewToken();
    if (!m_store.AddToken({name.toStdString(), scope, TokenHash(token), Clock().UnixMs()}))
        throw EApiError(409, "a token of this name exists", "name");
    TApiResponse r = TApiResponse::Json(201, QJsonObject{{"name", name},
                                                         {"scope", QString::fromStdString(scope)},
                                                         {"token", QString::fromStdString(token)}});
    r.Headers.push_back({"Cache-Control", "no-store"});
    return r;
}

TApiResponse TConsole::revokeToken(const TApiRequest &Request)
{
    const std::string name = Request.Query.queryItemValue("name", QUrl::FullyDecoded).toStdString();
    if (name.empty())
        throw EApiError(400, "missing", "name");
    if (!m_store.RevokeToken(name))
        throw EApiError(404, "no token of this name", "name");
    return TApiResponse::Json(200, QJsonObject{{"name", utf8(name)}, {"revoked", true}});
}

TApiResponse TConsole::alphabet(const TApiRequest &)
{
    // From the alphabet table itself, so that the reply box counts as the composer does.
    QString single, twice;
    for (int index = 0; index < 256; ++index) {
        if (index == kGSMEscape || index == 128 + kGSMEscape)
            continue;
        std::string codes;
        if (index >= 128)
            codes += static_cast<char>(kGSMEscape);
        codes += static_cast<char>(index & 0x7F);
        const QString c = GSMCodesToUnicode(codes);
        std::string back;
        if (c.size() != 1 || !UnicodeToGSMCodes(c, back) || single.contains(c) || twice.contains(c))
            continue;
        (back.size() == 1 ? single : twice) += c;
    }
    TApiResponse r = TApiResponse::Json(200, QJsonObject{{"single", single}, {"double", twice}});
    r.Headers.push_back({"Cache-Control", "max-age=3600"});
    return r;
}

} // namespace kestrel::api
